// Whole user flows in the real window through the page's own controls (run by window.sh); the
// panels the page opens are answered with the paths queued right before each click.
const tiles = (grid) => [...$(grid).querySelectorAll('li.tile')];
const idle = () => document.body.dataset.busy === 'false';
const text = (id) => $(id).textContent;
function click(element, { shift = false, ctrl = false } = {}) {
  element.dispatchEvent(new MouseEvent('click', { bubbles: true, cancelable: true, shiftKey: shift, ctrlKey: ctrl }));
}
const selected = () => JSON.stringify(tiles('video-grid').filter((li) => li.getAttribute('aria-selected') === 'true')
  .map((li) => li.querySelector('.secondary-text').textContent));
const byName = (name) => tiles('images-grid').find((li) => li.querySelector('.primary-text').textContent === name);
async function answerAndClick(paths, button) {
  await host({ cmd: 'panel', paths });
  click($(button));
}

// The file on the command line ("Open With") opens once the page is ready.
await waitFor(() => document.body.dataset.ready === 'true' && text('source-name') === 'anim.gif', 'the launch file');

// The window opens at 1040x720 and goes no smaller than 880x600 (the rest runs at that size).
check(outerWidth === 1040 && outerHeight === 720, `window size ${outerWidth}x${outerHeight}`);
await host({ cmd: 'resize', width: 500, height: 400 });
await sleep(700);
check(outerWidth === 880 && outerHeight === 600 && innerWidth === 880, `smallest window ${outerWidth}x${outerHeight}, page ${innerWidth}`);

// Video mode: open a clip with the page's button.
await answerAndClick([E2E.clip], 'open-video');
await waitFor(() => text('source-name') === 'clip.mp4' && idle(), 'the clip to open');
check(text('source-details') === '0:00:04.000 · 320 × 240 · 10 fps · video', `clip details: "${text('source-details')}"`);

// A dense run (1 %, 101 stills): tiles appear while it runs, with the progress bar moving and
// the work buttons disabled.
click(document.querySelector('input[name="step"][value="1"]'));
const seen = [];
const pageProgress = window.__onExtractProgress;
window.__onExtractProgress = (p) => {
  pageProgress(p);
  seen.push({ done: p.done, tiles: tiles('video-grid').length, bar: $('activity-progress').value,
    disabled: $('open-video').disabled && $('extract').disabled });
};
click($('extract'));
await waitFor(() => idle() && tiles('video-grid').length === 101, '101 stills');
window.__onExtractProgress = pageProgress;
check(seen.some((p) => p.done < 101 && p.tiles > 0), 'tiles appear while the run goes on');
const mid = seen.find((p) => p.done > 0 && p.done < 101);
check(mid && mid.bar === mid.done && mid.disabled, `the bar moves, buttons disabled: ${JSON.stringify(mid)}`);
check($('activity').hidden, 'the activity bar goes away when the run ends');

// A second run at 10 % replaces the grid.
click(document.querySelector('input[name="step"][value="10"]'));
click($('extract'));
await waitFor(() => idle() && tiles('video-grid').length === 11, 'eleven stills replacing the 101');
const v = tiles('video-grid');
check(v[4].querySelector('.caption').textContent === '0:00:01.60040 %', `tile caption: "${v[4].querySelector('.caption').textContent}"`);

// Selection: click, Shift-click, then the real keyboard and Ctrl-click.
click(v[0]);
click(v[2], { shift: true });
check(selected() === '["0 %","10 %","20 %"]', `Shift-click: ${selected()}`);
click(v[4]);
$('video-grid').focus();
await keys('shift+Right', 'shift+Right');
await waitFor(() => selected().includes('60 %'), 'Shift+Right twice');
click(v[10], { ctrl: true });
check(selected() === '["40 %","50 %","60 %","100 %"]', `Shift+Right, Ctrl-click: ${selected()}`);
check(text('video-count') === '11 stills · 4 selected' && text('export') === 'Export 4 stills', `"${text('video-count')}", "${text('export')}"`);

// JPEG (the default) into a destination chosen once; then reveal.
await answerAndClick([E2E.outVideo], 'dest-choose');
await waitFor(() => text('dest-text') === 'out video', 'the destination folder');
click($('export'));
await waitFor(() => idle() && !$('video-summary').hidden, 'the export summary');
check($('video-summary').querySelector('.headline').textContent === 'Wrote 4 files to out video.', 'export summary');
check(await host({ cmd: 'snapshot', name: 'page-video' }), 'screenshot page-video.png');
click([...$('video-summary').querySelectorAll('button')].find((b) => b.textContent === 'Show in folder'));

// A file that is not a clip: the host's words reach the user, and the clip stays open.
await answerAndClick([E2E.notes], 'open-video');
await waitFor(() => idle() && !$('message').hidden, 'the open failure message');
check(text('message-text') === 'Could not open the clip: Could not read that file as a video or GIF.', `"${text('message-text')}"`);
check(text('source-name') === 'clip.mp4' && tiles('video-grid').length === 11, 'the open clip and its stills stay');
click($('message-close'));

// Images mode: a folder with a file named like markup, a broken file and a text file.
click($('tab-images'));
await answerAndClick([E2E.images], 'add-folders');
await waitFor(() => idle() && tiles('images-grid').length === 5, 'five images from the folder');
check(byName('<img src=x onerror=alert(1)>.png') && !document.querySelector('img[src="x"]'), 'a file named like markup is listed by its name');
const broken = byName('broken.png');
check(broken?.querySelector('.placeholder')?.textContent === 'No preview' &&
  broken.querySelector('.secondary-text').textContent === 'unknown size', 'an unreadable file shows a placeholder');
check(byName('a.png')?.querySelector('.secondary-text').textContent === '64 × 48', 'an image shows its pixel size');

// Convert everything to TIFF, asked for the folder this time.
click($('dest-ask'));
$('format').value = 'tiff';
$('format').dispatchEvent(new Event('change', { bubbles: true }));
check(text('export') === 'Convert all (5)', `convert button: "${text('export')}"`);
await answerAndClick([E2E.outImages], 'export');
await waitFor(() => idle() && !$('images-summary').hidden, 'the conversion summary');
check($('images-summary').querySelector('.headline').textContent === 'Wrote 4 files to out-images; 1 failed.', 'conversion summary');
const listed = [...$('images-summary').querySelectorAll('li')].map((li) => li.textContent);
check(JSON.stringify(listed) === '["broken.png: could not decode image"]', `failure listed: ${JSON.stringify(listed)}`);
await sleep(1000);
check(await host({ cmd: 'snapshot', name: 'page-images' }), 'screenshot page-images.png');

// Again as WebP reduced to a custom longest side of 40, keeping the sub-folder; a size that is
// too small is explained first.
$('format').value = 'webp';
$('format').dispatchEvent(new Event('change', { bubbles: true }));
$('max-side').value = 'custom';
$('max-side').dispatchEvent(new Event('change', { bubbles: true }));
$('max-side-custom').value = '4';
$('max-side-custom').dispatchEvent(new Event('input', { bubbles: true }));
check(!$('max-side-custom').hidden && text('max-side-hint').startsWith('The longest side must be between'), `size hint: "${text('max-side-hint')}"`);
$('max-side-custom').value = '40';
$('max-side-custom').dispatchEvent(new Event('input', { bubbles: true }));
click($('keep-folders'));
check($('keep-folders').checked && !$('quality-field').hidden, 'keep folders checked, quality shown for WebP');
check(await host({ cmd: 'snapshot', name: 'page-convert-options' }), 'screenshot page-convert-options.png');
await answerAndClick([E2E.outImages], 'export');
await waitFor(() => idle() && !$('images-summary').hidden, 'the second conversion summary');
check($('images-summary').querySelector('.headline').textContent === 'Wrote 4 files to out-images; 1 failed.', 'second conversion summary');

// Remove with the keyboard; clear.
click(broken);
$('images-grid').focus();
await keys('Delete');
await waitFor(() => tiles('images-grid').length === 4 && !byName('broken.png'), 'Delete to remove the selected image');
click($('images-clear'));
check(tiles('images-grid').length === 0 && !$('images-empty').hidden, 'Clear list empties the grid');

// A shortcut fires once: copy and paste in a text field with the keyboard and the menu; undo.
click($('tab-video'));
click($('step-custom-radio'));
const field = $('step-custom');
field.value = 'ab';
field.focus();
field.setSelectionRange(2, 2);
await keys('ctrl+a', 'ctrl+c', 'End', 'ctrl+v');
await waitFor(() => field.value !== 'ab', 'the paste');
await sleep(500);
check(field.value === 'abab', `Ctrl+A, Ctrl+C, End, Ctrl+V give "abab" ("${field.value}")`);
await host({ cmd: 'menu', action: 'paste' });
await sleep(500);
check(field.value === 'ababab', `Edit > Paste pastes once ("${field.value}")`);
await keys('ctrl+z');
await sleep(500);
check(field.value === 'abab', `Ctrl+Z undoes once ("${field.value}")`);

// Drops on the window follow the mode the host routes them to.
await host({ cmd: 'drop', paths: [`${E2E.images}/a.png`] });
await waitFor(() => $('tab-images').getAttribute('aria-selected') === 'true' && tiles('images-grid').length === 1, 'images dropped in video mode to switch modes');
await host({ cmd: 'drop', paths: [E2E.notes] });
await waitFor(() => !$('message').hidden && text('message-text').startsWith('Nothing was added'), 'a message for a drop with nothing to add');
click($('tab-video'));
await host({ cmd: 'drop', paths: [E2E.clip] });
await waitFor(() => text('source-name') === 'clip.mp4' && tiles('video-grid').length === 0, 'a dropped clip to open afresh');

// Nothing but our page loads: no new windows, no navigation away.
check(window.open('quillon://app/index.html') === null, 'window.open opens nothing');
location.href = 'file:///etc/hostname';
await sleep(700);
check(location.href === 'quillon://app/index.html', 'navigation to a local file refused');
// Ctrl+W closes the window, and that quits: the verdict stands only if the app then ends.
await verdict('verdict');
await keys('ctrl+w');
