// Driver for the real file chooser run of tests/e2e/host_panels.sh (quillon-e2e --real-panels):
// the page's Open button shows GTK's chooser, which is answered by typing a path into it.
const host = (message) => window.webkit.messageHandlers.e2e.postMessage(message);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const failures = [];
function check(condition, what) {
  console.log(`${condition ? 'ok  ' : 'FAIL'} ${what}`);
  if (!condition) failures.push(what);
}
async function until(test, ms) {
  const end = Date.now() + ms;
  while (!test() && Date.now() < end) await sleep(100);
  return test();
}
const sourceName = () => document.getElementById('source-name').textContent;

document.getElementById('open-video').click();
let titles = [];
for (let i = 0; i < 50 && !titles.includes('Choose a video or animated GIF'); i++) {
  await sleep(200);
  titles = await host({ cmd: 'toplevels' });
}
check(titles.includes('Choose a video or animated GIF'), `the chooser is shown with its title (${JSON.stringify(titles)})`);
// With no window manager under Xvfb, GTK's own focus request can come before the chooser is
// mapped and be dropped; focusing it the way a click would keeps the keys out of the page.
const focusChooser = () => host({ cmd: 'xdotool', args: ['search', '--sync', '--onlyvisible', '--name',
  '^Choose a video or animated GIF$', 'windowfocus', '--sync'] });
await sleep(500);
check(await focusChooser(), 'the chooser has the keyboard focus');
check(await host({ cmd: 'keys', keys: ['ctrl+l'] }), 'xdotool pressed ctrl+l');
await sleep(500);
check(await host({ cmd: 'xdotool', args: ['type', '--delay', '20', E2E.clip] }), 'xdotool typed the path');
await sleep(800);
check(await host({ cmd: 'keys', keys: ['Return'] }), 'xdotool pressed Return');
check(await until(() => sourceName() === 'clip.mp4', 10000), `the chosen clip opened (${sourceName()})`);
titles = await host({ cmd: 'toplevels' });
check(JSON.stringify(titles) === '["Quillon"]', `the chooser is gone (${JSON.stringify(titles)})`);

// Escape cancels: the clip stays open and the page reports nothing.
document.getElementById('open-video').click();
for (let i = 0; i < 50 && titles.length < 2; i++) {
  await sleep(200);
  titles = await host({ cmd: 'toplevels' });
}
await sleep(500);
check(await focusChooser(), 'the second chooser has the keyboard focus');
await host({ cmd: 'keys', keys: ['Escape'] });
await sleep(1500);
titles = await host({ cmd: 'toplevels' });
check(JSON.stringify(titles) === '["Quillon"]', `Escape closes the chooser (${JSON.stringify(titles)})`);
check(sourceName() === 'clip.mp4', `the clip stays open after a cancel (${sourceName()})`);

await host({ cmd: 'done', ok: failures.length === 0, message: failures.length ? failures.join('; ') : 'all checks passed' });
