import { test } from 'node:test';
import assert from 'node:assert/strict';
import { BridgeError, createBridgeClient, kEventFunctions } from '../../web/bridge-client.js';

function fakeHost() {
  const posted = [];
  const target = {};
  const client = createBridgeClient({ target, post: (m) => posted.push(m) });
  return { posted, target, client };
}

test('requests are numbered and each reply resolves its own promise, in any order', async () => {
  const { posted, target, client } = fakeHost();
  const a = client.request('extract', { stepPercent: 10 });
  const b = client.request('setMode', { mode: 'images' });
  const c = client.request('chooseDest');
  assert.deepEqual(posted, [
    { id: 1, cmd: 'extract', args: { stepPercent: 10 } },
    { id: 2, cmd: 'setMode', args: { mode: 'images' } },
    { id: 3, cmd: 'chooseDest', args: {} },
  ]);
  assert.equal(client.pendingCount, 3);
  target.__bridgeResolveRaw({ id: 3, ok: true, payload: { path: '/out' } });
  target.__bridgeResolveRaw({ id: 1, ok: true, payload: { count: 11 } });
  target.__bridgeResolveRaw({ id: 2, ok: true, payload: null });
  assert.deepEqual(await a, { count: 11 });
  assert.equal(await b, null);
  assert.deepEqual(await c, { path: '/out' });
  assert.equal(client.pendingCount, 0);
});

test('a failure reply rejects with the host words and the command name', async () => {
  const { target, client } = fakeHost();
  const p = client.request('export', { ids: [] });
  target.__bridgeResolveRaw({ id: 1, ok: false, payload: 'No frames selected' });
  await assert.rejects(p, (error) => error instanceof BridgeError
    && error.message === 'No frames selected' && error.command === 'export');
  const q = client.request('extract');
  target.__bridgeResolveRaw({ id: 2, ok: false, payload: null });
  await assert.rejects(q, /could not complete "extract"/);
});

test('stray, repeated and malformed replies change nothing', async () => {
  const { target, client } = fakeHost();
  const p = client.request('loadVideo', { path: '/v.mp4' });
  target.__bridgeResolveRaw({ id: 99, ok: true, payload: 1 });
  target.__bridgeResolveRaw(null);
  target.__bridgeResolveRaw('not json');
  target.__bridgeResolveRaw({ id: '1', ok: true, payload: 'string id' });
  assert.deepEqual(client.pendingCommands(), ['loadVideo']);
  // A reply given as JSON text is understood too.
  target.__bridgeResolveRaw('{"id":1,"ok":true,"payload":{"name":"v.mp4"}}');
  assert.deepEqual(await p, { name: 'v.mp4' });
  target.__bridgeResolveRaw({ id: 1, ok: false, payload: 'late duplicate' });
  assert.equal(client.pendingCount, 0);
});

test('a post that throws rejects the request instead of leaving it pending', async () => {
  const target = {};
  const client = createBridgeClient({ target });
  await assert.rejects(client.request('chooseVideo'), /not running inside Quillon/);
  assert.equal(client.pendingCount, 0);
  // With the WebKit handler present the default transport posts through it.
  const posted = [];
  target.webkit = { messageHandlers: { bridge: { postMessage: (m) => posted.push(m) } } };
  client.request('reveal', { paths: ['/a'] });
  assert.deepEqual(posted, [{ id: 2, cmd: 'reveal', args: { paths: ['/a'] } }]);
});

test('all six event functions are installed and reach every handler', () => {
  const { target, client } = fakeHost();
  const seen = [];
  for (const name of Object.values(kEventFunctions)) {
    client.on(name, (payload) => seen.push([name, payload]));
  }
  client.on('frameReady', () => {
    throw new Error('a broken handler');
  });
  client.on('frameReady', (payload) => seen.push(['second', payload.id]));
  const originalError = console.error;
  const logged = [];
  console.error = (e) => logged.push(e);
  try {
    target.__onExtractProgress({ done: 0, total: 3 });
    target.__onFrameReady({ id: 2 });
    target.__onExportProgress({ done: 1, total: 2 });
    target.__onImagesBegin({ total: 50 });
    target.__onImagesChunk({ items: [] });
    target.__onDrop(null);
  } finally {
    console.error = originalError;
  }
  assert.deepEqual(seen, [
    ['extractProgress', { done: 0, total: 3 }],
    ['frameReady', { id: 2 }],
    ['second', 2],
    ['exportProgress', { done: 1, total: 2 }],
    ['imagesBegin', { total: 50 }],
    ['imagesChunk', { items: [] }],
    ['drop', null],
  ]);
  assert.equal(logged.length, 1, 'the throwing handler is reported, not swallowed');
});
