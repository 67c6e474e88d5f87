import { test } from 'node:test';
import assert from 'node:assert/strict';
import { BridgeError, createBridgeClient, kEventFunctions } from '../../web/bridge-client.js';

function fakeHost() {
  const posted = [];
  const target = {};
  return { posted, target, client: createBridgeClient({ target, post: (m) => posted.push(m) }) };
}

test('requests are numbered and each reply settles its own promise, in any order', async () => {
  const { posted, target, client } = fakeHost();
  const a = client.request('extract', { stepPercent: 10 });
  const b = client.request('export', { ids: [] });
  const c = client.request('chooseDest');
  assert.deepEqual(posted.map((m) => [m.id, m.cmd, m.args]), [[1, 'extract', { stepPercent: 10 }], [2, 'export', { ids: [] }], [3, 'chooseDest', {}]]);
  target.__bridgeResolveRaw({ id: 3, ok: false, payload: null });
  target.__bridgeResolveRaw('{"id":1,"ok":true,"payload":{"count":11}}');  // JSON text too
  target.__bridgeResolveRaw({ id: 2, ok: false, payload: 'No frames selected' });
  assert.deepEqual(await a, { count: 11 });
  await assert.rejects(b, (e) => e instanceof BridgeError && e.message === 'No frames selected' && e.command === 'export');
  await assert.rejects(c, /could not complete "chooseDest"/);
});

test('stray, repeated and malformed replies change nothing; a failed post rejects', async () => {
  const { target, client } = fakeHost();
  const p = client.request('loadVideo', { path: '/v.mp4' });
  for (const junk of [{ id: 99, ok: true, payload: 1 }, null, 'not json', { id: '1', ok: true, payload: 'string id' }]) {
    target.__bridgeResolveRaw(junk);
  }
  assert.deepEqual(client.pendingCommands(), ['loadVideo']);
  target.__bridgeResolveRaw({ id: 1, ok: true, payload: 'v' });
  target.__bridgeResolveRaw({ id: 1, ok: false, payload: 'late duplicate' });
  assert.equal(await p, 'v');
  const outside = createBridgeClient({ target: {} });  // no WebKit handler to post through
  await assert.rejects(outside.request('chooseVideo'), /not running inside Quillon/);
  assert.deepEqual([client.pendingCount, outside.pendingCount], [0, 0]);
});

test('every event function reaches every handler, past one that throws', (t) => {
  const { target, client } = fakeHost();
  const seen = [];
  const logged = t.mock.method(console, 'error', () => {});
  client.on('frameReady', () => { throw new Error('a broken handler'); });
  for (const name of Object.values(kEventFunctions)) client.on(name, (payload) => seen.push(name + payload));
  for (const fn of Object.keys(kEventFunctions)) target[fn](fn);
  assert.deepEqual(seen, Object.entries(kEventFunctions).map(([fn, name]) => name + fn));
  assert.equal(logged.mock.callCount(), 1, 'the throwing handler is reported, not swallowed');
});
