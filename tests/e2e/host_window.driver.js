// Driver for tests/e2e/host_window.sh, evaluated in Quillon's page by quillon-e2e. The shell
// script puts `const E2E = {clip, gif, out, work}` in front of it. Commands go through the page's
// own bridge channel; replies to this driver's ids are taken off before the page's client sees
// them, every other reply and event passes through to the page unchanged.
const host = (message) => window.webkit.messageHandlers.e2e.postMessage(message);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const failures = [];
function check(condition, what) {
  console.log(`${condition ? 'ok  ' : 'FAIL'} ${what}`);
  if (!condition) failures.push(what);
}
async function waitFor(test, what, ms = 20000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (test()) return true;
    await sleep(50);
  }
  check(false, `timed out waiting for ${what}`);
  return false;
}

// Every delivery in arrival order: replies as ['reply', envelope], events as [name, payload].
const deliveries = [];
const replies = new Map();
const pageResolve = window.__bridgeResolveRaw;
window.__bridgeResolveRaw = (envelope) => {
  deliveries.push(['reply', envelope]);
  if (envelope && envelope.id >= 100000) replies.set(envelope.id, envelope);
  else pageResolve(envelope);
};
for (const fn of ['__onExtractProgress', '__onFrameReady', '__onExportProgress', '__onImagesBegin',
                  '__onImagesChunk', '__onDrop']) {
  const page = window[fn];
  window[fn] = (payload) => { deliveries.push([fn, payload]); if (page) page(payload); };
}
let nextId = 100000;
async function command(cmd, args) {
  const id = nextId++;
  const message = args === undefined ? { id, cmd } : { id, cmd, args };
  window.webkit.messageHandlers.bridge.postMessage(message);
  await waitFor(() => replies.has(id), `the reply to ${cmd}`, 60000);
  return replies.get(id);
}

// The file given on the command line arrives as a drop once the page has loaded.
await waitFor(() => deliveries.some(([n]) => n === '__onDrop'), 'the launch file');
const launched = deliveries.find(([n]) => n === '__onDrop');
check(launched && launched[1] && launched[1].name === 'anim.gif', `launch file opened: ${JSON.stringify(launched && launched[1])}`);

// The window and the page it shows.
const win = await host({ cmd: 'window' });
check(win.title === 'Quillon', `window title "${win.title}"`);
check(win.uri === 'quillon://app/index.html', `page URI ${win.uri}`);
check(win.width >= 1000 && win.height >= 700, `window size ${win.width}x${win.height}`);
check(getComputedStyle(document.body).backgroundColor === 'rgb(14, 16, 13)',
      `the page's stylesheet applies (${getComputedStyle(document.body).backgroundColor})`);
await host({ cmd: 'resize', width: 500, height: 400 });
await sleep(700);
const small = await host({ cmd: 'window' });
check(small.width === 880 && small.height === 600, `the window goes no smaller than 880x600 (${small.width}x${small.height})`);
check(window.innerWidth === 880, `the page follows the window's width (${window.innerWidth})`);
await host({ cmd: 'resize', width: 1040, height: 720 });
await sleep(700);
const restored = await host({ cmd: 'window' });
check(restored.width === 1040 && window.innerWidth === 1040, `and back to 1040 wide (${restored.width}, page ${window.innerWidth})`);
const lib = await import('./bridge-client.js');
check(typeof lib.createBridgeClient === 'function', 'ES modules load from the page\'s origin');

// Protocol basics through the real bridge.
let reply = await command('setMode', { mode: 'video' });
check(reply.ok === true && reply.payload === null, 'setMode answers ok with null');
reply = await command('ChooseVideo');
check(reply.ok === false && reply.payload === 'unknown cmd: ChooseVideo', `unknown command: ${JSON.stringify(reply.payload)}`);

// Open a clip with the page's own button; the panel is answered with the clip.
document.getElementById('open-video').click();
await waitFor(() => document.getElementById('source-name').textContent.includes('clip'), 'the clip to open');
const panels = await host({ cmd: 'panels' });
check(panels.length === 1 && panels[0].title === 'Choose a video or animated GIF' &&
      panels[0].acceptLabel === 'Open' && panels[0].kind === 'openFile',
      `the video panel: ${JSON.stringify(panels[0])}`);

// Extraction: progress events and previews, then the reply.
deliveries.length = 0;
reply = await command('extract', { stepPercent: 25 });
check(reply.ok === true && reply.payload && reply.payload.count === 5, `extract at 25 %: ${JSON.stringify(reply.payload)}`);
const frames = deliveries.filter(([n]) => n === '__onFrameReady').map(([, p]) => p);
check(frames.length === 5 && frames.every((f) => f.thumbDataUrl.startsWith('data:image/jpeg;base64,')),
      `five previews arrived (${frames.length})`);
const replyAt = deliveries.findIndex(([n, p]) => n === 'reply' && p.id === reply.id);
check(deliveries.slice(replyAt + 1).every(([n]) => n === 'reply'), 'every event came before the reply');

// Export two stills into a folder; the shell script checks the files.
reply = await command('export', { ids: [0, 4], format: 'png', quality: 1, dest: E2E.out });
check(reply.ok && reply.payload.written.length === 2 && reply.payload.failed.length === 0,
      `export wrote ${JSON.stringify(reply.payload)}`);
const written = reply.payload.written;
await host({ cmd: 'snapshot', name: 'host-window-video' });

// A cancelled folder panel answers null.
reply = await command('chooseDest');
check(reply.ok === true && reply.payload === null, 'a cancelled chooseDest answers null');

// reveal goes to the file manager (the test's stand-in prints the call).
reply = await command('reveal', { paths: written });
check(reply.ok === true && reply.payload === null, 'reveal answers ok with null');

// A file dropped on the window in video mode opens it and fires __onDrop.
deliveries.length = 0;
await host({ cmd: 'drop', paths: [E2E.gif] });
await waitFor(() => deliveries.some(([n]) => n === '__onDrop'), 'the drop event');
const drop = deliveries.find(([n]) => n === '__onDrop');
check(drop && drop[1] && drop[1].isGif === true && drop[1].name === 'anim.gif', `dropped GIF: ${JSON.stringify(drop && drop[1])}`);

// Drags from another application (quillon-e2e-drag-source, a window at the top left): files go
// to the bridge, text keeps WebKit's own handling. The source window needs a moment to appear,
// so a gesture that started nothing is tried again.
async function dragFromSource(argv, toX, toY, arrived) {
  await host({ cmd: 'spawn', argv: [E2E.dragSource, ...argv] });
  for (let attempt = 0; attempt < 4 && !arrived(); attempt++) {
    await sleep(1500);
    await host({ cmd: 'xdotool', args: ['mousemove', '60', '60', 'mousedown', '1', 'sleep', '0.3',
      'mousemove', '90', '90', 'sleep', '0.3', 'mousemove', String(toX - 40), String(toY - 20),
      'sleep', '0.3', 'mousemove', String(toX), String(toY), 'sleep', '0.5', 'mouseup', '1'] });
    const end = Date.now() + 4000;
    while (!arrived() && Date.now() < end) await sleep(100);
  }
}
deliveries.length = 0;
reply = await command('setMode', { mode: 'images' });
await dragFromSource([E2E.pictures + '/b.png', E2E.pictures + '/sub', E2E.pictures + '/a.png'], 520, 420,
  () => deliveries.some(([n]) => n === '__onImagesBegin'));
const begin = deliveries.find(([n]) => n === '__onImagesBegin');
check(begin && begin[1].total === 3, `files dragged from another application were imported: ${JSON.stringify(begin && begin[1])}`);
await waitFor(() => deliveries.some(([n]) => n === '__onImagesChunk'), 'the imported images');
const names = deliveries.filter(([n]) => n === '__onImagesChunk').flatMap(([, p]) => p.items.map((i) => i.name)).sort();
check(JSON.stringify(names) === '["a.png","b.png","c.png"]', `dropped files and folder contents: ${names}`);
reply = await command('setMode', { mode: 'video' });
document.getElementById('tab-video').click();
await sleep(300);

deliveries.length = 0;
const textField = document.getElementById('step-custom');
document.getElementById('step-custom-radio').click();
textField.value = '';
const winNow = await host({ cmd: 'window' });
const box = textField.getBoundingClientRect();
const fieldX = Math.round(box.left + box.width / 2);
const fieldY = Math.round(box.top + box.height / 2 + (winNow.height - window.innerHeight));
await dragFromSource(['--text', '7.5'], fieldX, fieldY, () => textField.value !== '');
check(textField.value === '7.5', `text dragged onto a page field lands in it (got "${textField.value}")`);
check(deliveries.length === 0, `a text drag reaches no bridge command (${deliveries.length} deliveries)`);
// The drag source took the keyboard focus while it was there; Bring All to Front takes it back.
await host({ cmd: 'menu', action: 'bring-to-front' });
await sleep(300);

// A shortcut fires once: select, copy and paste in a page text field with the keyboard.
const field = document.getElementById('step-custom');
document.getElementById('step-custom-radio').click();
field.value = 'ab';
field.focus();
field.setSelectionRange(2, 2);
await host({ cmd: 'keys', keys: ['ctrl+a', 'ctrl+c', 'End', 'ctrl+v'] });
await waitFor(() => field.value !== 'ab', 'the paste');
await sleep(500);
check(field.value === 'abab', `Ctrl+A, Ctrl+C, End, Ctrl+V gives "abab" (got "${field.value}")`);
await host({ cmd: 'menu', action: 'paste' });
await waitFor(() => field.value !== 'abab', 'the menu paste');
await sleep(300);
check(field.value === 'ababab', `Edit > Paste pastes once (got "${field.value}")`);
await host({ cmd: 'keys', keys: ['ctrl+z'] });
await sleep(500);
check(field.value === 'abab', `Ctrl+Z undoes once (got "${field.value}")`);

await host({ cmd: 'keys', keys: ['ctrl+shift+z'] });
await sleep(500);
check(field.value === 'ababab', `Ctrl+Shift+Z redoes once (got "${field.value}")`);

// Nothing but our page loads: links and scripts that leave it are refused, no new windows.
check(window.open('quillon://app/index.html') === null, 'window.open opens nothing');
// (A web address cannot be tried here: without a network it would fail to load either way.)
location.href = 'file:///etc/hostname';
await sleep(700);
check(location.href === 'quillon://app/index.html', 'navigation to a local file refused');

await host({ cmd: 'snapshot', name: 'host-window' });
// Ctrl+W closes the window, and closing it quits: the verdict stands only if the app then ends
// by itself (otherwise quillon-e2e times out with status 3).
await host({ cmd: 'verdict', ok: failures.length === 0, message: failures.length ? failures.join('; ') : `all checks passed` });
await host({ cmd: 'keys', keys: ['ctrl+w'] });
