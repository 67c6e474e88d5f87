// Times the viewer's stepping through `quillon-cli bridge`: opens CLIP, extracts at 50 % (the
// still at 50 % is id 1), then sends STEPS steps of one frame forward and STEPS back, one command
// at a time, each timed from the moment it is written to the moment its reply (with the large
// picture at MAXSIDE) is read. Prints one JSON line: the median, fastest and slowest milliseconds
// of each direction and the frames the still reached.
//   node step-latency.mjs CLI CLIP [STEPS=30] [MAXSIDE=1920]
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';

const [cli, clip, stepsText = '30', maxSideText = '1920'] = process.argv.slice(2);
const steps = Number(stepsText);
const maxSide = Number(maxSideText);
const child = spawn(cli, ['bridge'], { stdio: ['pipe', 'pipe', 'inherit'] });
const waiting = new Map();
createInterface({ input: child.stdout }).on('line', (line) => {
  const prefix = 'window.__bridgeResolveRaw(';
  if (!line.startsWith(prefix)) return;
  const reply = JSON.parse(line.slice(prefix.length, -1));
  waiting.get(reply.id)?.(reply);
});

let nextId = 1;
function send(cmd, args) {
  const id = nextId++;
  return new Promise((resolve, reject) => {
    const start = process.hrtime.bigint();
    waiting.set(id, (reply) => {
      waiting.delete(id);
      if (!reply.ok) reject(new Error(`${cmd}: ${JSON.stringify(reply.payload)}`));
      else resolve({ payload: reply.payload, ms: Number(process.hrtime.bigint() - start) / 1e6 });
    });
    child.stdin.write(`${JSON.stringify({ id, cmd, args })}\n`);
  });
}

function summary(times) {
  const sorted = [...times].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  const median = sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  return { median: +median.toFixed(1), fastest: +sorted[0].toFixed(1), slowest: +sorted.at(-1).toFixed(1) };
}

await send('loadVideo', { path: clip });
await send('extract', { stepPercent: 50 });
const start = (await send('stillPicture', { id: 1, maxSide })).payload.frame;
const forward = [];
let frame = start;
for (let i = 0; i < steps; i++) {
  const { payload, ms } = await send('stepStill', { id: 1, frames: 1, maxSide });
  forward.push(ms);
  frame = payload.frame;
}
const reachedForward = frame;
const back = [];
for (let i = 0; i < steps; i++) {
  const { payload, ms } = await send('stepStill', { id: 1, frames: -1, maxSide });
  back.push(ms);
  frame = payload.frame;
}
child.stdin.end();
console.log(JSON.stringify({ start, reachedForward, reachedBack: frame, forward: summary(forward), back: summary(back) }));
