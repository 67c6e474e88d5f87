import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  describeFrameFailure, frameFromEvent, imageFromRecord, newImages, safeThumb, sourceFromDescription,
} from '../../web/lib/records.js';
import { describeImageFailure, summarizeExport } from '../../web/lib/summary.js';

const jpeg = 'data:image/jpeg;base64,/9j/4AAQSkZJRg==';

test('previews are taken only as inline image data', () => {
  assert.equal(safeThumb(jpeg), jpeg);
  for (const bad of ['', null, 42, 'http://example.com/x.jpg', 'javascript:alert(1)',
    'data:text/html;base64,PHNjcmlwdD4=', 'data:image/svg+xml;base64,PHN2Zz4=',
    'data:image/jpeg;base64,abc" onerror="x']) {
    assert.equal(safeThumb(bad), '', String(bad));
  }
});

test('a source description becomes the line shown under the name', () => {
  const source = sourceFromDescription({
    path: '/v/clip.mov', name: 'clip.mov', durationSec: 65.25, width: 1920, height: 1080, fps: 29.97002997, isGif: false,
  });
  assert.equal(source.name, 'clip.mov');
  assert.equal(source.details, '0:01:05.250 · 1920 × 1080 · 29.97 fps · video');
  const gif = sourceFromDescription({ path: '/g/a.gif', name: 'a.gif', durationSec: 2, width: 10, height: 8, fps: 10, isGif: true });
  assert.match(gif.details, /animated GIF$/);
  // Missing numbers read as unknown rather than NaN; a payload without a path is refused.
  assert.equal(sourceFromDescription({ path: '/x.mp4' }).details, '0:00:00.000 · unknown size · unknown rate · video');
  assert.equal(sourceFromDescription({ path: '/x.mp4' }).name, '/x.mp4');
  assert.equal(sourceFromDescription(null), null);
  assert.equal(sourceFromDescription({ name: 'x' }), null);
});

test('frame events become tiles keyed by frame id; malformed ones are dropped', () => {
  const frame = frameFromEvent({ id: 3, percent: 0.30000000000000004, timeSec: 0.030000000000000006, thumbDataUrl: jpeg, width: 640, height: 360 });
  assert.equal(frame.key, 3);
  assert.equal(frame.percentText, '0.3 %');
  assert.equal(frame.timeText, '0:00:00.030');
  assert.equal(frame.thumb, jpeg);
  assert.equal(frameFromEvent({ id: 4, percent: 20, timeSec: 2, thumbDataUrl: '' }).thumb, '');
  assert.equal(frameFromEvent({ id: '4' }), null);
  assert.equal(frameFromEvent({ id: 1.5 }), null);
  assert.equal(frameFromEvent(undefined), null);
});

test('image records keep a hostile file name as plain text and skip repeats by path', () => {
  const evil = '<img src=x onerror=alert(1)>.png';
  const image = imageFromRecord({ id: 0, name: evil, path: `/p/${evil}`, width: 3000, height: 4000, thumbDataUrl: jpeg, isImage: true });
  assert.equal(image.name, evil);
  assert.equal(image.sizeText, '3000 × 4000');
  const broken = imageFromRecord({ id: 1, name: 'broken.png', path: '/p/broken.png', width: 0, height: 0, thumbDataUrl: '', isImage: true });
  assert.equal(broken.thumb, '');
  assert.equal(broken.sizeText, 'unknown size');
  assert.equal(imageFromRecord({ id: 2, name: 'x' }), null);

  const known = new Set(['/p/a.png']);
  const fresh = newImages([
    { id: 5, name: 'a.png', path: '/p/a.png' },
    { id: 6, name: 'b.png', path: '/p/b.png' },
    { id: 7, name: 'b.png', path: '/p/b.png' },
    { id: 'x', path: '/p/c.png' },
    { id: 8, name: 'c.png', path: '/p/c.png' },
  ], (p) => known.has(p));
  assert.deepEqual(fresh.map((i) => i.id), [6, 8]);
  assert.deepEqual(newImages(undefined, () => false), []);
});

test('export summaries count files and name each failure in the user terms', () => {
  const frames = new Map([[4, frameFromEvent({ id: 4, percent: 20, timeSec: 2, thumbDataUrl: jpeg })]]);
  const summary = summarizeExport({
    written: ['/out/clip_p000.jpg', '/out/clip_p100.jpg'],
    failed: [{ id: 4, reason: 'could not decode frame' }, { id: 9, reason: 'write failed (permission or disk)' }],
    folder: '/home/u/out',
  }, describeFrameFailure((id) => frames.get(id)));
  assert.equal(summary.cancelled, false);
  assert.equal(summary.headline, 'Wrote 2 files to out; 2 failed.');
  assert.deepEqual(summary.failures.map((f) => `${f.label}: ${f.reason}`), [
    'Still at 20 % (0:00:02.000): could not decode frame',
    'Still #9: write failed (permission or disk)',
  ]);

  const all = summarizeExport({ written: ['/o/a.jpg'], failed: [], folder: '/o' }, describeImageFailure);
  assert.equal(all.headline, 'Wrote 1 file to o.');

  const none = summarizeExport({
    written: [], failed: [{ path: '/p/a.png', reason: 'folder not writable' }, { path: '/p/b.png' }], folder: '/ro',
  }, describeImageFailure);
  assert.equal(none.headline, 'Nothing was written: 2 items failed.');
  assert.deepEqual(none.failures, [
    { label: 'a.png', detail: '/p/a.png', reason: 'folder not writable' },
    { label: 'b.png', detail: '/p/b.png', reason: 'unknown failure' },
  ]);

  const cancelled = summarizeExport(null, describeImageFailure);
  assert.equal(cancelled.cancelled, true);
  assert.match(cancelled.headline, /nothing was written/);
  // A reply without the expected lists is not reported as a success with files.
  assert.equal(summarizeExport({}, describeImageFailure).headline, 'Nothing was written.');
});
