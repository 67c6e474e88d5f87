// Put in front of every driver by run_window (lib/common.sh): calls to quillon-e2e and checks.
const host = (message) => window.webkit.messageHandlers.e2e.postMessage(message);
const xdotool = (...args) => host({ cmd: 'run', argv: ['xdotool', ...args] });
const keys = (...k) => xdotool('key', '--delay', '60', ...k);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const $ = (id) => document.getElementById(id);
const text = (id) => $(id).textContent;
const failures = [];
function check(condition, what) {
  console.log(`${condition ? 'ok  ' : 'FAIL'} ${what}`);
  if (!condition) failures.push(what);
}
async function waitFor(test, what, ms = 30000) {
  for (const end = Date.now() + ms; !test(); await sleep(50)) {
    if (Date.now() > end) return check(false, `timed out waiting for ${what}`);
  }
}
const verdict = (cmd) => host({ cmd, ok: !failures.length, message: failures.join('; ') || 'all checks passed' });
