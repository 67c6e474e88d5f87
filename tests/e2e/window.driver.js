// Whole user flows in the real window through the page's own controls (run by window.sh); the
// panels the page opens are answered with the paths queued right before each click.
const tiles = (grid) => [...$(grid).querySelectorAll('li.tile')];
const idle = () => document.body.dataset.busy === 'false';
const text = (id) => $(id).textContent;
function click(element, { shift = false, ctrl = false } = {}) {
  element.dispatchEvent(new MouseEvent('click', { bubbles: true, cancelable: true, shiftKey: shift, ctrlKey: ctrl }));
}
const selected = (grid) => JSON.stringify(tiles(grid).filter((li) => li.getAttribute('aria-selected') === 'true')
  .map((li) => li.querySelector('.secondary-text').textContent));
const names = () => JSON.stringify(tiles('images-grid').map((li) => li.querySelector('.primary-text').textContent));
const byName = (name) => tiles('images-grid').find((li) => li.querySelector('.primary-text').textContent === name);
function choose(selectId, value) {
  $(selectId).value = value;
  $(selectId).dispatchEvent(new Event('change', { bubbles: true }));
}
async function answerAndClick(paths, button) {
  await host({ cmd: 'panel', paths });
  click($(button));
}
const alerts = [];
window.alert = (message) => alerts.push(String(message));

// The file on the command line ("Open With") opens once the page is ready.
await waitFor(() => document.body.dataset.ready === 'true' && text('source-name') === 'anim.gif', 'the launch file');
check(text('source-details').endsWith('animated GIF'), `launch file details: "${text('source-details')}"`);

// The window opens at 1040x720 and goes no smaller than 880x600; the page follows it.
let win = await host({ cmd: 'window' });
check(win.width === 1040 && win.height === 720, `window size ${win.width}x${win.height}`);
await host({ cmd: 'resize', width: 500, height: 400 });
await sleep(700);
win = await host({ cmd: 'window' });
check(win.width === 880 && win.height === 600 && window.innerWidth === 880, `smallest window ${win.width}x${win.height}`);
await host({ cmd: 'resize', width: 1040, height: 720 });
await sleep(700);

// ---- Video mode ----
await answerAndClick([E2E.clip], 'open-video');
await waitFor(() => text('source-name') === 'clip.mp4' && idle(), 'the clip to open');
check(text('source-details') === '0:00:04.000 · 320 × 240 · 10 fps · video', `clip details: "${text('source-details')}"`);

// A dense run (1 %, 101 stills): tiles appear while it runs, with the progress bar moving and
// the work buttons disabled.
click(document.querySelector('input[name="step"][value="1"]'));
check(text('step-hint') === '101 stills', `1 % promises "${text('step-hint')}"`);
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
check(v.every((li) => li.querySelector('img.thumb')?.src.startsWith('data:image/jpeg;base64,')), 'every tile has its preview');

// Selection: click, Shift-click, then the real keyboard and Ctrl-click.
click(v[0]);
click(v[2], { shift: true });
check(selected('video-grid') === '["0 %","10 %","20 %"]', `Shift-click: ${selected('video-grid')}`);
click(v[4]);
$('video-grid').focus();
await keys('shift+Right', 'shift+Right');
await waitFor(() => selected('video-grid').includes('60 %'), 'Shift+Right twice');
click(v[10], { ctrl: true });
check(selected('video-grid') === '["40 %","50 %","60 %","100 %"]', `Shift+Right, Ctrl-click: ${selected('video-grid')}`);
check(text('video-count') === '11 stills · 4 selected' && text('export') === 'Export 4 stills', `"${text('video-count')}", "${text('export')}"`);

// Quality only for the lossy formats; a destination chosen once; export; reveal.
choose('format', 'png');
check($('quality-field').hidden, 'no quality for PNG');
choose('format', 'jpeg');
check(!$('quality-field').hidden, 'quality for JPEG');
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

// ---- Images mode ----
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
choose('format', 'tiff');
check(text('export') === 'Convert all (5)', `convert button: "${text('export')}"`);
await answerAndClick([E2E.outImages], 'export');
await waitFor(() => idle() && !$('images-summary').hidden, 'the conversion summary');
check($('images-summary').querySelector('.headline').textContent === 'Wrote 4 files to out-images; 1 failed.', 'conversion summary');
const listed = [...$('images-summary').querySelectorAll('li')].map((li) => li.textContent);
check(JSON.stringify(listed) === '["broken.png: could not decode image"]', `failure listed: ${JSON.stringify(listed)}`);
await sleep(1000);
check(await host({ cmd: 'snapshot', name: 'page-images' }), 'screenshot page-images.png');

// Remove with the keyboard, select, clear; then add files with the file panel.
click(broken);
$('images-grid').focus();
await keys('Delete');
await waitFor(() => tiles('images-grid').length === 4 && !byName('broken.png'), 'Delete to remove the selected image');
click(byName('a.png'));
click(byName('b.jpg'), { ctrl: true });
check(text('export') === 'Convert 2 images', `convert selection: "${text('export')}"`);
click($('images-clear'));
check(tiles('images-grid').length === 0 && !$('images-empty').hidden, 'Clear list empties the grid');
await answerAndClick([`${E2E.images}/b.jpg`, `${E2E.images}/a.png`], 'add-images');
await waitFor(() => idle() && names() === '["a.png","b.jpg"]', 'two chosen images in path order');
click($('images-clear'));

// Drags from another application (quillon-e2e-drag-source, at the top left): files go to the
// bridge, text keeps WebKit's own handling. A gesture that started nothing is tried again.
async function drag(argv, toX, toY, arrived) {
  await host({ cmd: 'spawn', argv: [E2E.dragSource, ...argv] });
  for (let attempt = 0; attempt < 4 && !arrived(); attempt++) {
    await sleep(1500);
    await xdotool('mousemove', '60', '60', 'mousedown', '1', 'sleep', '0.3', 'mousemove', '90', '90', 'sleep', '0.3',
      'mousemove', String(toX - 40), String(toY - 20), 'sleep', '0.3', 'mousemove', String(toX), String(toY), 'sleep', '0.5', 'mouseup', '1');
    for (const end = Date.now() + 4000; !arrived() && Date.now() < end;) await sleep(100);
  }
}
await drag([`${E2E.pictures}/b.png`, `${E2E.pictures}/sub`, `${E2E.pictures}/a.png`], 520, 420, () => idle() && tiles('images-grid').length === 3);
check(names() === '["a.png","b.png","c.png"]', `files and a folder dragged in: ${names()}`);
click($('tab-video'));
const field = $('step-custom');
click($('step-custom-radio'));
field.value = '';
win = await host({ cmd: 'window' });
const box = field.getBoundingClientRect();
await drag(['--text', '7.5'], Math.round(box.left + box.width / 2), Math.round(box.top + box.height / 2 + win.height - window.innerHeight), () => field.value !== '');
check(field.value === '7.5', `text dragged onto a page field lands in it ("${field.value}")`);
await host({ cmd: 'menu', action: 'bring-to-front' });  // the focus back from the drag source
await sleep(300);

// A shortcut fires once: copy and paste in a text field with the keyboard and the menu; undo, redo.
field.value = 'ab';
field.focus();
field.setSelectionRange(2, 2);
await keys('ctrl+a', 'ctrl+c', 'End', 'ctrl+v');
await waitFor(() => field.value !== 'ab', 'the paste');
await host({ cmd: 'menu', action: 'paste' });
await sleep(500);
check(field.value === 'ababab', `Ctrl+A, Ctrl+C, End, Ctrl+V, Edit > Paste give "ababab" ("${field.value}")`);
await keys('ctrl+z');
await sleep(500);
check(field.value === 'abab', `Ctrl+Z undoes once ("${field.value}")`);
await keys('ctrl+shift+z');
await sleep(500);
check(field.value === 'ababab', `Ctrl+Shift+Z redoes once ("${field.value}")`);

// Drops on the window follow the mode the host routes them to.
await host({ cmd: 'drop', paths: [`${E2E.images}/a.png`] });
await waitFor(() => $('tab-images').getAttribute('aria-selected') === 'true' && tiles('images-grid').length === 4, 'images dropped in video mode to switch modes');
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
check(alerts.length === 0, 'no script from a file name ever ran');
// Ctrl+W closes the window, and that quits: the verdict stands only if the app then ends.
await verdict('verdict');
await keys('ctrl+w');
