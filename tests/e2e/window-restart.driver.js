// The second start of the window run (window.sh): what the first run left is there again.
await waitFor(() => document.body.dataset.ready === 'true' && text('dest-text') === 'out-quit', 'the remembered destination');
check(outerWidth === 880 && outerHeight === 600, `window size ${outerWidth}x${outerHeight}`);
check($('format').value === 'jpeg' && document.querySelector('input[name="step"][value="1"]').checked,
  `video mode: ${$('format').value}, spacing ${document.querySelector('input[name="step"]:checked').value}`);
$('tab-images').click();
check($('format').value === 'webp' && text('dest-text') === 'Ask each time', `images mode: ${$('format').value}, "${text('dest-text')}"`);
await verdict('done');
