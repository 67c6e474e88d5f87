// Driver for tests/e2e/page_flows.sh, evaluated in Quillon's page by quillon-e2e. The shell script
// puts `const E2E = {clip, notes, images, outVideo, outImages}` in front of it. Everything goes
// through the page's own controls, as a user would: buttons, tiles, keys; the panels the page
// opens are answered by quillon-e2e with the paths this driver queues right before each click.
const host = (message) => window.webkit.messageHandlers.e2e.postMessage(message);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const $ = (id) => document.getElementById(id);
const failures = [];
function check(condition, what) {
  console.log(`${condition ? 'ok  ' : 'FAIL'} ${what}`);
  if (!condition) failures.push(what);
}
async function waitFor(test, what, ms = 30000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (test()) return true;
    await sleep(40);
  }
  check(false, `timed out waiting for ${what}`);
  return false;
}
const tiles = (grid) => [...$(grid).querySelectorAll('li.tile')];
const idle = () => document.body.dataset.busy === 'false';
function click(element, { shift = false, ctrl = false } = {}) {
  element.dispatchEvent(new MouseEvent('click', { bubbles: true, cancelable: true, shiftKey: shift, ctrlKey: ctrl }));
}
function selectedCaptions(grid) {
  return tiles(grid).filter((li) => li.getAttribute('aria-selected') === 'true')
    .map((li) => li.querySelector('.secondary-text').textContent);
}
function choose(selectId, value) {
  $(selectId).value = value;
  $(selectId).dispatchEvent(new Event('change', { bubbles: true }));
}
const alerts = [];
window.alert = (text) => alerts.push(String(text));

await waitFor(() => document.body.dataset.ready === 'true', 'the page to start');

// ---- Video mode -------------------------------------------------------------------------------
check($('extract').disabled, 'Extract waits for a clip');
await host({ cmd: 'panel', paths: [E2E.clip] });
click($('open-video'));
await waitFor(() => $('source-name').textContent === 'clip.mp4' && idle(), 'the clip to open');
check($('source-details').textContent === '0:00:04.000 · 320 × 240 · 10 fps · video',
  `clip details: "${$('source-details').textContent}"`);

// Watch the grid fill during a dense run (1 %, 101 stills): tiles must appear while the
// extraction is still running, with the progress bar moving and the work buttons disabled.
click(document.querySelector('input[name="step"][value="1"]'));
check($('step-hint').textContent === '101 stills', `1 % spacing promises 101 stills ("${$('step-hint').textContent}")`);
const countsWhileBusy = [];
const observer = new MutationObserver(() => {
  if (document.body.dataset.busy === 'true') countsWhileBusy.push(tiles('video-grid').length);
});
observer.observe($('video-grid'), { childList: true });
const progressSeen = [];
const pageProgress = window.__onExtractProgress;
window.__onExtractProgress = (p) => {
  pageProgress(p);
  progressSeen.push({
    done: p.done, bar: $('activity-progress').value, max: $('activity-progress').max,
    openDisabled: $('open-video').disabled, extractDisabled: $('extract').disabled,
  });
};
click($('extract'));
await waitFor(() => idle() && tiles('video-grid').length === 101, '101 stills');
observer.disconnect();
window.__onExtractProgress = pageProgress;
check(countsWhileBusy.length > 1 && countsWhileBusy[0] < 101,
  `the grid grew while extracting, not at the end: ${JSON.stringify(countsWhileBusy)}`);
const mid = progressSeen.find((p) => p.done > 0 && p.done < 101);
check(mid && mid.bar === mid.done && mid.max === 101, `the progress bar follows the run: ${JSON.stringify(mid)}`);
check(mid && mid.openDisabled && mid.extractDisabled, 'Open and Extract are disabled while extracting');
check($('activity').hidden, 'the activity bar goes away when the run ends');

// A second run at 10 % replaces the grid.
click(document.querySelector('input[name="step"][value="10"]'));
check($('step-hint').textContent === '11 stills', `10 % spacing promises 11 stills ("${$('step-hint').textContent}")`);
click($('extract'));
await waitFor(() => idle() && tiles('video-grid').length === 11, 'eleven stills replacing the 101');
const captions = tiles('video-grid').map((li) => li.querySelector('.caption').textContent);
check(captions[0] === '0:00:00.0000 %' && captions[4] === '0:00:01.60040 %' && captions[10] === '0:00:03.900100 %',
  `tiles show time and position: ${JSON.stringify([captions[0], captions[4], captions[10]])}`);
check(tiles('video-grid').every((li) => li.querySelector('img.thumb')?.src.startsWith('data:image/jpeg;base64,')),
  'every tile has its preview');
check($('video-count').textContent === '11 stills · 0 selected', `count: "${$('video-count').textContent}"`);

// Selection: click, Shift-click, Ctrl-click, then the real keyboard.
const v = tiles('video-grid');
click(v[0]);
click(v[2], { shift: true });
click(v[10], { ctrl: true });
check(JSON.stringify(selectedCaptions('video-grid')) === '["0 %","10 %","20 %","100 %"]',
  `click, Shift-click, Ctrl-click: ${JSON.stringify(selectedCaptions('video-grid'))}`);
check($('video-count').textContent === '11 stills · 4 selected', `count: "${$('video-count').textContent}"`);
$('video-grid').focus();
await host({ cmd: 'keys', keys: ['ctrl+a'] });
await waitFor(() => selectedCaptions('video-grid').length === 11, 'Ctrl+A to select all');
await host({ cmd: 'keys', keys: ['Escape'] });
await waitFor(() => selectedCaptions('video-grid').length === 0, 'Escape to select none');
click(v[4]);
await host({ cmd: 'keys', keys: ['shift+Right', 'shift+Right'] });
await waitFor(() => selectedCaptions('video-grid').length === 3, 'Shift+Right twice');
click(v[10], { ctrl: true });
check(JSON.stringify(selectedCaptions('video-grid')) === '["40 %","50 %","60 %","100 %"]',
  `keyboard range plus Ctrl-click: ${JSON.stringify(selectedCaptions('video-grid'))}`);
check($('export').textContent === 'Export 4 stills' && !$('export').disabled, `export button: "${$('export').textContent}"`);

// Output settings: quality only for the lossy formats; a destination chosen once.
choose('format', 'png');
check($('quality-field').hidden, 'no quality for PNG');
choose('format', 'jpeg');
check(!$('quality-field').hidden, 'quality for JPEG');
$('quality').value = '80';
$('quality').dispatchEvent(new Event('input', { bubbles: true }));
check($('quality-value').textContent === '80', 'the quality value follows the slider');
await host({ cmd: 'panel', paths: [E2E.outVideo] });
click($('dest-choose'));
await waitFor(() => $('dest-text').textContent === 'out-video', 'the destination folder');
check($('dest-text').title === E2E.outVideo, 'the full destination path is in the tooltip');

click($('export'));
await waitFor(() => idle() && !$('video-summary').hidden, 'the export summary');
const videoHeadline = $('video-summary').querySelector('.headline').textContent;
check(videoHeadline === 'Wrote 4 files to out-video.', `export summary: "${videoHeadline}"`);
check(!$('video-summary').querySelector('ul'), 'no failures listed');
await host({ cmd: 'snapshot', name: 'page-video' });
const reveal = [...$('video-summary').querySelectorAll('button')].find((b) => b.textContent === 'Show in folder');
check(Boolean(reveal), 'the summary offers Show in folder');
if (reveal) click(reveal);
await sleep(500);

// A file that is not a clip: the host's words reach the user, and the clip stays open.
await host({ cmd: 'panel', paths: [E2E.notes] });
click($('open-video'));
await waitFor(() => idle() && !$('message').hidden, 'the open failure message');
check($('message-text').textContent === 'Could not open the clip: Could not read that file as a video or GIF.',
  `failure in words: "${$('message-text').textContent}"`);
check($('source-name').textContent === 'clip.mp4' && tiles('video-grid').length === 11, 'the open clip and its stills stay');
click($('message-close'));

// ---- Images mode ------------------------------------------------------------------------------
click($('tab-images'));
check(!$('panel-images').hidden && $('panel-video').hidden, 'the Images tab shows images mode');
await host({ cmd: 'panel', paths: [E2E.images] });
click($('add-folders'));
await waitFor(() => idle() && tiles('images-grid').length === 5, 'five images from the folder');
const panels = await host({ cmd: 'panels' });
const folderPanel = panels[panels.length - 1];
check(folderPanel && folderPanel.title === 'Choose folders of images', `Add folders opens the folder panel: ${JSON.stringify(folderPanel)}`);
const byName = (name) => tiles('images-grid').find((li) => li.querySelector('.primary-text').textContent === name);
const evilName = '<img src=x onerror=alert(1)>.png';
check(Boolean(byName(evilName)), 'a file named like markup is listed by its name');
check(!document.querySelector('img[src="x"]') && alerts.length === 0, 'and its name ran nothing');
const broken = byName('broken.png');
check(broken && broken.querySelector('.placeholder')?.textContent === 'No preview'
  && broken.querySelector('.secondary-text').textContent === 'unknown size', 'an unreadable file shows a placeholder');
const a = byName('a.png');
check(a && a.querySelector('.secondary-text').textContent === '64 × 48' && a.querySelector('img.thumb'),
  'an image shows its preview and pixel size');
check($('images-count').textContent === '5 images · 0 selected', `count: "${$('images-count').textContent}"`);

// The same folder again adds nothing twice.
await host({ cmd: 'panel', paths: [E2E.images] });
click($('add-folders'));
await waitFor(() => idle(), 'the second import');
await sleep(300);
check(tiles('images-grid').length === 5, `adding the folder again keeps five images (${tiles('images-grid').length})`);

// Convert everything to TIFF, asked for the folder this time.
click($('dest-ask'));
check($('dest-text').textContent === 'Ask each time', 'the destination is asked again');
choose('format', 'tiff');
check($('export').textContent === 'Convert all (5)', `convert button: "${$('export').textContent}"`);
await host({ cmd: 'panel', paths: [E2E.outImages] });
click($('export'));
await waitFor(() => idle() && !$('images-summary').hidden, 'the conversion summary');
const imagesHeadline = $('images-summary').querySelector('.headline').textContent;
check(imagesHeadline === 'Wrote 4 files to out-images; 1 failed.', `conversion summary: "${imagesHeadline}"`);
const failuresShown = [...$('images-summary').querySelectorAll('li')].map((li) => li.textContent);
check(JSON.stringify(failuresShown) === '["broken.png: could not decode image"]', `failure listed: ${JSON.stringify(failuresShown)}`);
await host({ cmd: 'snapshot', name: 'page-images' });

// Remove with the keyboard, then clear.
click(byName('broken.png'));
$('images-grid').focus();
await host({ cmd: 'keys', keys: ['Delete'] });
await waitFor(() => tiles('images-grid').length === 4, 'Delete to remove the selected image');
check(!byName('broken.png'), 'the removed image is gone');
click(byName('a.png'));
click(byName('b.jpg'), { ctrl: true });
check($('export').textContent === 'Convert 2 images', `convert selection: "${$('export').textContent}"`);
click($('images-clear'));
check(tiles('images-grid').length === 0 && !$('images-empty').hidden, 'Clear list empties the grid');

// Add images picks files (several in one panel).
await host({ cmd: 'panel', paths: [`${E2E.images}/b.jpg`, `${E2E.images}/a.png`] });
click($('add-images'));
await waitFor(() => idle() && tiles('images-grid').length === 2, 'two chosen images');
const filePanel = (await host({ cmd: 'panels' })).pop();
check(filePanel && filePanel.title === 'Choose images or folders' && filePanel.kind !== 'openFolders',
  `Add images opens the file panel: ${JSON.stringify(filePanel)}`);
check(JSON.stringify(tiles('images-grid').map((li) => li.querySelector('.primary-text').textContent)) === '["a.png","b.jpg"]',
  'chosen images are listed in path order');
click($('images-clear'));

// ---- Drops ------------------------------------------------------------------------------------
click($('tab-video'));
await host({ cmd: 'drop', paths: [`${E2E.images}/a.png`] });
await waitFor(() => $('tab-images').getAttribute('aria-selected') === 'true' && tiles('images-grid').length === 1,
  'images dropped in video mode to switch to images mode');
await host({ cmd: 'drop', paths: [E2E.notes] });
await waitFor(() => !$('message').hidden, 'a message for a drop with nothing to add');
check($('message-text').textContent.startsWith('Nothing was added'), `drop of a text file: "${$('message-text').textContent}"`);
click($('tab-video'));
await host({ cmd: 'drop', paths: [E2E.clip] });
await waitFor(() => $('source-name').textContent === 'clip.mp4' && tiles('video-grid').length === 0,
  'a dropped clip to open afresh');

check(alerts.length === 0, 'no script from a file name ever ran');
await host({ cmd: 'done', ok: failures.length === 0, message: failures.length ? failures.join('; ') : 'all page flows passed' });
