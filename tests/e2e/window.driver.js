// Whole user flows in the real window through the page's own controls (run by window.sh); the
// panels the page opens are answered with the paths queued right before each click.
const tiles = (grid) => [...$(grid).querySelectorAll('li.tile')];
const idle = () => document.body.dataset.busy === 'false';
const headline = (summary) => $(summary).querySelector('.headline').textContent;
function click(element, { shift = false, ctrl = false } = {}) {
  element.dispatchEvent(new MouseEvent('click', { bubbles: true, cancelable: true, shiftKey: shift, ctrlKey: ctrl }));
}
const dblclick = (element) => element.dispatchEvent(new MouseEvent('dblclick', { bubbles: true, cancelable: true }));
const stepRadio = (value) => click(document.querySelector(`input[name="step"][value="${value}"]`));
// A field changed as the user would: its value, then the event the page listens for.
function setField(id, value, event = 'change') {
  $(id).value = value;
  $(id).dispatchEvent(new Event(event, { bubbles: true }));
}
const selected = () => JSON.stringify(tiles('video-grid').filter((li) => li.getAttribute('aria-selected') === 'true')
  .map((li) => li.querySelector('.secondary-text').textContent));
const byName = (name) => tiles('images-grid').find((li) => li.querySelector('.primary-text').textContent === name);
// Each of these then waits, when asked, for what it should bring about.
async function clickThen(element, test, what) {
  click(element);
  await waitFor(test, what);
}
async function answerAndClick(paths, button, test, what) {
  await host({ cmd: 'panel', paths });
  click($(button));
  if (test) await waitFor(test, what);
}
async function keysThen(k, test, what) {
  await keys(...[k].flat());
  await waitFor(test, what);
}
const snapshot = async (name) => check(await host({ cmd: 'snapshot', name }), `screenshot ${name}.png`);
// The whole screen, with the host's own dialogs, which a page snapshot leaves out.
const screenshot = async (name) => check(await host({ cmd: 'run', argv: ['import', '-window', 'root', `${E2E.shots}/${name}.png`] }),
  `screenshot ${name}.png`);
// Runs `after` behind the page's own handler of a host event; the returned function undoes it.
function spy(name, after) {
  const page = window[name];
  window[name] = (p) => { page(p); after(p); };
  return () => { window[name] = page; };
}
// A real pointer click at a point of the page: the web view sits below the menu bar.
const pointerClick = (x, y) => xdotool('search', '--onlyvisible', '--name', '^Quillon$', 'mousemove', '--window', '%1',
  String(Math.round(x)), String(Math.round(outerHeight - innerHeight + y)), 'click', '1');
// Rows of tiles wholly inside the grid's box, scrolled to the top.
function fullRows(grid) {
  $(grid).scrollTop = 0;
  const box = $(grid).getBoundingClientRect();
  return new Set(tiles(grid).map((li) => li.getBoundingClientRect())
    .filter((r) => r.top >= box.top - 1 && r.bottom <= box.bottom + 1).map((r) => Math.round(r.top))).size;
}

// The file on the command line ("Open With") opens once the page is ready.
await waitFor(() => document.body.dataset.ready === 'true' && text('source-name') === 'anim.gif', 'the launch file');

// The window opens at 1040x720 and goes no smaller than 880x600 (the rest runs at that size).
check(outerWidth === 1040 && outerHeight === 720, `window size ${outerWidth}x${outerHeight}`);
await host({ cmd: 'resize', width: 500, height: 400 });
await sleep(700);
check(outerWidth === 880 && outerHeight === 600 && innerWidth === 880, `smallest window ${outerWidth}x${outerHeight}, page ${innerWidth}`);

// Video mode: open a clip with the page's button.
await answerAndClick([E2E.clip], 'open-video', () => text('source-name') === 'clip.mp4' && idle(), 'the clip to open');
check(text('source-details') === '0:00:04.000 · 320 × 240 · 10 fps · video', `clip details: "${text('source-details')}"`);

// A dense run (1 %, 101 stills): tiles appear as it runs, the bar moves, the work buttons are disabled.
stepRadio(1);
const seen = [];
let unspy = spy('__onExtractProgress', (p) => seen.push({ done: p.done, tiles: tiles('video-grid').length,
  bar: $('activity-progress').value, disabled: $('open-video').disabled && $('extract').disabled }));
await clickThen($('extract'), () => idle() && tiles('video-grid').length === 101, '101 stills');
unspy();
check(seen.some((p) => p.done < 101 && p.tiles > 0), 'tiles appear while the run goes on');
const mid = seen.find((p) => p.done > 0 && p.done < 101);
check(mid && mid.bar === mid.done && mid.disabled, `the bar moves, buttons disabled: ${JSON.stringify(mid)}`);
check($('activity').hidden, 'the activity bar goes away when the run ends');

// Buttons with keys say so in their tooltips.
check($('open-video').title.endsWith('(Ctrl+O)') && $('add-folders').title.endsWith('(Shift+Ctrl+O)') &&
  $('message-close').title.endsWith('(Esc)'), `tooltips: "${$('open-video').title}", "${$('add-folders').title}"`);

check(fullRows('video-grid') >= 2, `rows shown at 880x600: ${fullRows('video-grid')}`);

// The first click after a fresh run, far down the grid, selects the tile under the pointer, which
// stays where it was. Its place on screen is compared, not scrollTop: tiles laid out for the first
// time may replace their estimated height, and the browser then shifts scrollTop to keep what is
// shown in place.
const grid = $('video-grid');
grid.scrollTop = grid.scrollHeight;
await sleep(300);
const target = tiles('video-grid').filter((li) => li.getBoundingClientRect().top > grid.getBoundingClientRect().top + 20).at(-3);
const targetBox = target.getBoundingClientRect();
await pointerClick(targetBox.left + targetBox.width / 2, targetBox.top + targetBox.height / 2);
await waitFor(() => target.getAttribute('aria-selected') === 'true', 'the clicked tile to be selected', 5000);
const targetTop = target.getBoundingClientRect().top;
check(Math.abs(targetTop - targetBox.top) < 1 && tiles('video-grid').filter((li) => li.getAttribute('aria-selected') === 'true').length === 1,
  `first click: the clicked tile stays at ${targetBox.top} (now ${targetTop}), one tile selected`);
await snapshot('layout-880x600');

// The footer keeps its place when Quality hides for a lossless format.
const footer = () => JSON.stringify([$('export').getBoundingClientRect(), document.querySelector('.exportbar').getBoundingClientRect()]);
const footerBefore = footer();
setField('format', 'png');
check($('quality-field').classList.contains('unused'), 'Quality is out of use for PNG');
check(footerBefore === footer(), `the footer does not move: ${footerBefore} / ${footer()}`);
setField('format', 'jpeg');

// Spacing in seconds: counted on the open clip (4 s at 10 fps), with a warning below a frame.
click($('step-seconds-radio'));
setField('step-seconds', '1', 'input');
check(text('step-hint') === '5 stills' && !$('extract').disabled, `every 1 s: "${text('step-hint')}"`);
setField('step-seconds', '0.05', 'input');
check(/stills will repeat/.test(text('step-hint')) && $('step-hint').classList.contains('warn'), `every 0.05 s: "${text('step-hint')}"`);

// A drag of files over the window shows where the drop will land.
const overlay = () => getComputedStyle(document.querySelector('.drop-overlay')).display;
window.__onDropHover({ active: true });
await sleep(100);
check(overlay() === 'flex', 'the drop highlight shows');
await snapshot('drop-highlight');
window.__onDropHover({ active: false });
check(overlay() === 'none', 'the drop highlight goes');

// Cancel a running export: all 101 stills, stopped with the activity bar's Cancel button once the
// first file is written. The files written stay and are listed; nothing else is in the folder.
click($('video-select-all'));
let cancelOffered = false;
unspy = spy('__onExportProgress', (p) => {
  if (p.done !== 1) return;
  cancelOffered = !$('activity').hidden && !$('activity-cancel').disabled;
  host({ cmd: 'snapshot', name: 'page-export-cancelling' });
  click($('activity-cancel'));
});
await answerAndClick([E2E.outCancel], 'export', () => idle() && !$('video-summary').hidden, 'the cancelled export');
unspy();
const wrote = headline('video-summary').match(/^Cancelled\. Wrote (\d+) files? to out cancel\.$/);
check(cancelOffered && wrote && Number(wrote[1]) < 101, `Cancel beside the bar stops the export: "${headline('video-summary')}"`);
check(await host({ cmd: 'run', argv: ['sh', '-c', 'test "$(ls -A "$1" | wc -l)" -eq "$2"', 'sh', E2E.outCancel, wrote?.[1] ?? '-1'] }),
  'the folder holds exactly the files listed');
await snapshot('page-export-cancelled');
click($('video-select-none'));

// Esc does the same while work runs: an extraction stops after a few stills and says so.
stepRadio(1);
unspy = spy('__onExtractProgress', (p) => {
  if (p.done === 3) document.activeElement.dispatchEvent(new KeyboardEvent('keydown', { key: 'Escape', bubbles: true }));
});
await clickThen($('extract'), () => idle() && !$('message').hidden, 'the extraction stopped by Esc');
unspy();
const kept = tiles('video-grid').length;
check(kept >= 3 && kept < 101 && text('message-text') === `Cancelled. ${kept} stills of 101 extracted.`,
  `Esc stops the extraction: ${kept} stills, "${text('message-text')}"`);
click($('message-close'));

// A second run at 10 % replaces the grid.
stepRadio(10);
await clickThen($('extract'), () => idle() && tiles('video-grid').length === 11, 'eleven stills replacing the 101');
const v = tiles('video-grid');
check(v[4].querySelector('.caption').textContent === '0:00:01.60040 %', `tile caption: "${v[4].querySelector('.caption').textContent}"`);

// A real drag across the tiles' captions selects no page text.
await xdotool('mousemove', '30', '380', 'mousedown', '1', 'mousemove', '400', '390', 'mousemove', '760', '400', 'mouseup', '1');
await sleep(300);
check(getSelection().toString() === '', `dragging across tiles selects no text ("${getSelection().toString().slice(0, 40)}")`);

// Selection: click, Shift-click, then the real keyboard and Ctrl-click.
click(v[0]);
click(v[2], { shift: true });
check(selected() === '["0 %","10 %","20 %"]', `Shift-click: ${selected()}`);
click(v[4]);
$('video-grid').focus();
await keysThen(['shift+Right', 'shift+Right'], () => selected().includes('60 %'), 'Shift+Right twice');
click(v[10], { ctrl: true });
check(selected() === '["40 %","50 %","60 %","100 %"]', `Shift+Right, Ctrl-click: ${selected()}`);
check(text('video-count') === '11 stills · 4 selected' && text('export') === 'Export 4 stills', `"${text('video-count')}", "${text('export')}"`);

// JPEG (the default) into a destination chosen once; then reveal.
await answerAndClick([E2E.outVideo], 'dest-choose', () => text('dest-text') === 'out video', 'the destination folder');
await clickThen($('export'), () => idle() && !$('video-summary').hidden, 'the export summary');
check(headline('video-summary') === 'Wrote 4 files to out video.', 'export summary');
check(fullRows('video-grid') >= 2, `rows shown at 880x600 with the summary: ${fullRows('video-grid')}`);
await snapshot('page-video');
click([...$('video-summary').querySelectorAll('button')].find((b) => b.textContent === 'Show in folder'));

// The viewer: a double click opens a still large; comma and period step a frame, Shift a
// second; the tile shows the move; arrows go to the neighbouring tiles; Backspace takes the still
// back to its planned time; Escape closes, Return opens again from the grid.
const viewerShows = (caption) => !$('viewer').hidden && $('viewer').querySelector('.primary-text').textContent === caption &&
  $('viewer').dataset.loading === 'false';
dblclick(v[4]);
await waitFor(() => viewerShows('0:00:01.600 · 40 % · frame 16'), 'the viewer on the still at 40 %');
const picture = $('viewer').querySelector('img');
await waitFor(() => picture.complete && picture.naturalWidth > 0, 'the large picture');
check(picture.naturalWidth === 320 && picture.naturalHeight === 240, `the large picture is ${picture.naturalWidth}x${picture.naturalHeight}`);
await keysThen('period', () => viewerShows('0:00:01.700 · 42.5 % · frame 17'), 'a step forward');
await keysThen(['comma', 'comma'], () => viewerShows('0:00:01.500 · 37.5 % · frame 15'), 'two steps back');
await keysThen('shift+period', () => viewerShows('0:00:02.500 · 62.5 % · frame 25'), 'a second forward');
const moved = tiles('video-grid')[4];
check(moved.classList.contains('moved') && moved.querySelector('.moved-mark') &&
  moved.querySelector('.primary-text').textContent === '0:00:02.500', 'the tile shows the move and its new time');
await snapshot('page-viewer');
await keysThen('1', () => $('viewer').classList.contains('actual-size') && picture.getBoundingClientRect().width === 320, '1 for actual size');
await keysThen('1', () => !$('viewer').classList.contains('actual-size') && picture.getBoundingClientRect().width > 320,
  '1 again to fit the window');
await keysThen('Right', () => viewerShows('0:00:02.000 · 50 % · frame 20'), 'Right to the next still');
await keysThen('Left', () => viewerShows('0:00:02.500 · 62.5 % · frame 25'), 'Left back to the moved still');
await keysThen('BackSpace', () => viewerShows('0:00:01.600 · 40 % · frame 16'), 'Backspace back to the planned time');
check(!tiles('video-grid')[4].classList.contains('moved'), 'the tile loses its mark');
await keysThen('Escape', () => $('viewer').hidden && document.activeElement === $('video-grid'), 'Escape to close the viewer');
await keysThen('Return', () => viewerShows('0:00:01.600 · 40 % · frame 16'), 'Return to open the focused still');
await keysThen('Escape', () => $('viewer').hidden, 'the viewer to close again');

// A file that is not a clip: the host's words reach the user, and the clip stays open.
await answerAndClick([E2E.notes], 'open-video', () => idle() && !$('message').hidden, 'the open failure message');
check(text('message-text') === 'Could not open the clip: Could not read that file as a video or GIF.', `"${text('message-text')}"`);
check(text('source-name') === 'clip.mp4' && tiles('video-grid').length === 11, 'the open clip and its stills stay');
click($('message-close'));

check($('conversion-options').getClientRects().length === 0, 'no conversion options in video mode');
// Images mode, by Ctrl+Shift+O from video mode: a folder with a file named like markup, a broken
// file and a text file.
await host({ cmd: 'panel', paths: [E2E.images] });
await keysThen('ctrl+shift+o', () => idle() && tiles('images-grid').length === 5, 'five images from the folder');
check(byName('<img src=x onerror=alert(1)>.png') && !document.querySelector('img[src="x"]'), 'a file named like markup is listed by its name');
const broken = byName('broken.png');
check(broken?.querySelector('.placeholder')?.textContent === 'No preview' &&
  broken.querySelector('.secondary-text').textContent === 'unknown size', 'an unreadable file shows a placeholder');
check(byName('a.png')?.querySelector('.secondary-text').textContent === '64 × 48', 'an image shows its pixel size');
// The viewer shows a photo with its name and pixel size; Right goes on to the next one.
dblclick(byName('a.png'));
const photoCaption = () => [...$('viewer').querySelectorAll('.viewer-caption span')].map((s) => s.textContent).join(' | ');
await waitFor(() => !$('viewer').hidden && photoCaption() === 'a.png | 64 × 48' && $('viewer').dataset.loading === 'false' &&
  $('viewer').querySelector('img').naturalWidth === 64, 'the viewer on a.png');
await keysThen('Right', () => photoCaption() === 'b.jpg | 80 × 60', 'Right to b.jpg');
await keysThen('Escape', () => $('viewer').hidden, 'Escape to close the photo');

// Images mode has its own output: no folder yet. Convert everything to TIFF, asked for the folder;
// nothing says work is going on while the folder panel is open. The photos' details are kept.
check(text('dest-text') === 'Ask each time' && $('format').value === 'jpeg', `images mode output: "${text('dest-text')}"`);
check($('conversion-options').getClientRects().length > 0 && !$('keep-details').checked && !$('to-srgb').checked,
  'the conversion options show in images mode, off');
click($('keep-details'));
setField('format', 'tiff');
check(text('export') === 'Convert all (5)', `convert button: "${text('export')}"`);
await answerAndClick([E2E.outImages], 'export');
check($('activity').hidden, 'no progress shown while the folder panel is open');
await waitFor(() => idle() && !$('images-summary').hidden, 'the conversion summary');
check(headline('images-summary') === 'Wrote 4 files to out-images; 1 failed.', 'conversion summary');
const listed = [...$('images-summary').querySelectorAll('li')].map((li) => li.textContent);
check(JSON.stringify(listed) === '["broken.png: could not decode image"]', `failure listed: ${JSON.stringify(listed)}`);
await sleep(1000);
await snapshot('page-images');

// Again as WebP reduced to a custom longest side of 40, keeping the sub-folder; a size that is
// too small is explained first.
setField('format', 'webp');
setField('max-side', 'custom');
setField('max-side-custom', '4', 'input');
check(!$('max-side-custom').hidden && text('max-side-hint').startsWith('The longest side must be between'), `size hint: "${text('max-side-hint')}"`);
setField('max-side-custom', '40', 'input');
click($('keep-folders'));
check($('keep-folders').checked && !$('quality-field').hidden, 'keep folders checked, quality shown for WebP');
await snapshot('page-convert-options');
await answerAndClick([E2E.outImages], 'export', () => idle() && !$('images-summary').hidden, 'the second conversion summary');
check(headline('images-summary') === 'Wrote 4 files to out-images; 1 failed.', 'second conversion summary');

// A file for a folder fails every image the same way: one reason with a count, the names folded.
await answerAndClick([E2E.notes], 'export', () => idle() && !$('images-summary').hidden, 'the failed conversion summary');
const folds = [...$('images-summary').querySelectorAll('details')];
check(JSON.stringify(folds.map((d) => d.querySelector('summary').textContent)) === '["folder not writable · 5 images"]' &&
  !folds[0].open && folds[0].querySelectorAll('li').length === 5, `grouped failures: ${$('images-summary').textContent}`);
folds[0].open = true;
await snapshot('failures-grouped');
document.activeElement.blur();
await keysThen('Escape', () => $('images-summary').hidden, 'Esc to close the summary');

// Remove with the keyboard; clear.
click(broken);
$('images-grid').focus();
await keysThen('Delete', () => tiles('images-grid').length === 4 && !byName('broken.png'), 'Delete to remove the selected image');
click($('images-clear'));
check(tiles('images-grid').length === 0 && !$('images-empty').hidden, 'Clear list empties the grid');
// Ctrl+O in images mode asks for images (the panel is cancelled).
await host({ cmd: 'panel', paths: [] });
await keys('ctrl+o');
await sleep(300);
await waitFor(idle, 'the cancelled images panel');

// A shortcut fires once: copy and paste in a text field with the keyboard and the menu; undo.
click($('tab-video'));
check(text('dest-text') === 'out video' && $('format').value === 'jpeg', `video mode keeps its output: "${text('dest-text')}"`);
click($('step-custom-radio'));
const field = $('step-custom');
field.value = 'ab';
field.focus();
field.setSelectionRange(2, 2);
await keysThen(['ctrl+a', 'ctrl+c', 'End', 'ctrl+v'], () => field.value !== 'ab', 'the paste');
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
// A reload would end this script with the page; refused, the list stays.
location.reload();
await sleep(700);
check(tiles('images-grid').length === 1, 'a reload is refused and the image list stays');
// Right-click shows no browser menu (Back, Reload, Inspect Element): the page gets the click and
// no menu opens.
let rightClicks = 0;
document.addEventListener('contextmenu', () => { rightClicks += 1; });
await xdotool('mousemove', '440', '360', 'click', '3');
await sleep(700);
check(rightClicks === 1, `the right-click reached the page (${rightClicks})`);
check(await host({ cmd: 'popovers' }) === 0, 'no context menu opened');
await screenshot('window-no-context-menu');

// Quitting with an image in the list asks first; "Don't Quit" keeps everything. Ctrl+W (closing
// the window) asks the same.
const quitQuestion = () => host({ cmd: 'quitDialog' });
await host({ cmd: 'menu', action: 'quit' });
await sleep(700);
const asked = await quitQuestion();
check(asked?.question === 'Quit Quillon?' && asked?.detail === 'The list of 1 image is not saved anywhere and will be lost.',
  `the quit question: ${JSON.stringify(asked)}`);
await screenshot('window-quit-question');
await host({ cmd: 'answerQuit', quit: false });
await sleep(300);
check(await quitQuestion() === null && tiles('images-grid').length === 1, "Don't Quit keeps the window and the list");
await keys('ctrl+w');
await sleep(700);
check((await quitQuestion())?.question === 'Quit Quillon?', 'Ctrl+W asks the same question');
await host({ cmd: 'answerQuit', quit: false });

// Quitting while an export runs names the export; once confirmed the app ends, and the stills
// written until then are whole files (window.sh checks them). The verdict stands only if the app
// then ends.
stepRadio(1);
await clickThen($('extract'), () => idle() && tiles('video-grid').length === 101, '101 stills to export');
click($('video-select-all'));
await answerAndClick([E2E.outQuit], 'dest-choose', () => text('dest-text') === 'out-quit', 'the destination of the export to quit');
spy('__onExportProgress', (p) => { if (p.done === 1) host({ cmd: 'menu', action: 'quit' }); });
click($('export'));
let during = null;
for (const end = Date.now() + 10000; !during && Date.now() < end; await sleep(50)) during = await quitQuestion();
check(during?.question === 'Quit and stop the export?' && during?.detail === 'Files written so far are kept; nothing ' +
  'half-written is left behind. The 101 stills and the list of 1 image are not saved anywhere and will be lost.',
  `the quit question during an export: ${JSON.stringify(during)}`);
await sleep(500);  // the window's pixels on the display lag behind the page
await screenshot('window-quit-during-export');
await verdict('verdict');
await host({ cmd: 'answerQuit', quit: true });
