import { test } from 'node:test';
import assert from 'node:assert/strict';
import { describeFrameFailure, frameFromEvent, imageFromRecord, newImages, safeThumb, sourceFromDescription } from '../../web/lib/records.js';
import { describeImageFailure, summarizeExport } from '../../web/lib/summary.js';

const jpeg = 'data:image/jpeg;base64,/9j/4AAQSkZJRg==';

test('previews are taken only as inline raster image data', () => {
  assert.equal(safeThumb(jpeg), jpeg);
  for (const bad of ['', null, 42, 'http://example.com/x.jpg', 'javascript:alert(1)', 'data:text/html;base64,PHNjcmlwdD4=',
    'data:image/svg+xml;base64,PHN2Zz4=', 'data:image/jpeg;base64,abc" onerror="x']) {
    assert.equal(safeThumb(bad), '', String(bad));
  }
});

test('host payloads become records; malformed ones are dropped, missing numbers read as unknown', () => {
  assert.equal(sourceFromDescription({ path: '/x.mp4' }).details, '0:00:00.000 · unknown size · unknown rate · video');
  assert.equal(sourceFromDescription({ name: 'x' }), null);
  const frame = frameFromEvent({ id: 3, percent: 0.30000000000000004, timeSec: 0.030000000000000006, thumbDataUrl: jpeg });
  assert.deepEqual([frame.key, frame.percentText, frame.timeText, frame.thumb], [3, '0.3 %', '0:00:00.030', jpeg]);
  for (const bad of [{ id: '4' }, { id: 1.5 }, undefined]) assert.equal(frameFromEvent(bad), null);
  const evil = '<img src=x onerror=alert(1)>.png';
  const image = imageFromRecord({ id: 0, name: evil, path: `/p/${evil}`, width: 0, height: 0, thumbDataUrl: '', isImage: true });
  assert.deepEqual([image.name, image.sizeText, image.thumb], [evil, 'unknown size', '']);
  assert.equal(imageFromRecord({ id: 2, name: 'x' }), null);
});

test('new images skip paths already listed or repeated, and malformed records', () => {
  const fresh = newImages([{ id: 5, name: 'a.png', path: '/p/a.png' }, { id: 6, name: 'b.png', path: '/p/b.png' },
    { id: 7, name: 'b.png', path: '/p/b.png' }, { id: 'x', path: '/p/c.png' }, { id: 8, name: 'c.png', path: '/p/c.png' }],
  (p) => p === '/p/a.png');
  assert.deepEqual(fresh.map((i) => i.id), [6, 8]);
  assert.deepEqual(newImages(undefined, () => false), []);
});

test('export summaries count files and name each failure in the user terms', () => {
  const frames = new Map([[4, frameFromEvent({ id: 4, percent: 20, timeSec: 2, thumbDataUrl: jpeg })]]);
  const summary = summarizeExport({ written: ['/out/a.jpg', '/out/b.jpg'], folder: '/home/u/out',
    failed: [{ id: 4, reason: 'could not decode frame' }, { id: 9, reason: 'write failed (permission or disk)' }] },
  describeFrameFailure((id) => frames.get(id)));
  assert.equal(summary.headline, 'Wrote 2 files to out; 2 failed.');
  assert.deepEqual(summary.failures.map((f) => `${f.label}: ${f.reason}`),
    ['Still at 20 % (0:00:02.000): could not decode frame', 'Still #9: write failed (permission or disk)']);
  const none = summarizeExport({ written: [], failed: [{ path: '/p/b.png' }], folder: '/ro' }, describeImageFailure);
  assert.equal(none.headline, 'Nothing was written: 1 item failed.');
  assert.deepEqual(none.failures, [{ label: 'b.png', detail: '/p/b.png', reason: 'unknown failure' }]);
  assert.equal(summarizeExport(null, describeImageFailure).cancelled, true);
  // A reply without the expected lists is not reported as a success with files.
  assert.equal(summarizeExport({}, describeImageFailure).headline, 'Nothing was written.');
});

test('failures are grouped by reason with a count, in the order the reasons first occurred', () => {
  const denied = 'write failed (permission or disk)';
  const failed = ['a', 'b', 'c', 'd', 'e', 'f'].map((n) => ({ path: `/p/${n}.png`, reason: denied }));
  failed.splice(2, 0, { path: '/p/broken.png', reason: 'could not decode image' });
  const summary = summarizeExport({ written: [], failed, folder: '/ro' }, describeImageFailure, 'image');
  assert.deepEqual(summary.groups.map((g) => [g.reason, g.countText, g.items.map((i) => i.label).join(' ')]), [
    [denied, '6 images', 'a.png b.png c.png d.png e.png f.png'],
    ['could not decode image', '1 image', 'broken.png'],
  ]);
  assert.equal(summary.groups[0].items[2].detail, '/p/c.png');
  assert.equal(summary.headline, 'Nothing was written: 7 images failed.');
  assert.deepEqual(summarizeExport({ written: ['/o/x.jpg'] }, describeImageFailure).groups, []);
});

test('records keep their folder; the summary counts names changed by the collision rule', () => {
  assert.equal(imageFromRecord({ id: 1, path: '/p/t/a.png', folder: 't' }).folder, 't');
  assert.equal(imageFromRecord({ id: 1, path: '/p/a.png', folder: 7 }).folder, '');
  const one = summarizeExport({ written: ['/o/a-1.jpg'], failed: [], folder: '/o', renamed: 1 }, describeImageFailure);
  assert.equal(one.headline, 'Wrote 1 file to o. 1 name was changed so as not to replace existing files.');
  const none = summarizeExport({ written: ['/o/a.jpg'], failed: [], folder: '/o', renamed: 0 }, describeImageFailure);
  assert.equal(none.headline, 'Wrote 1 file to o.');
  assert.equal(summarizeExport({ written: ['/o/a.jpg'], folder: '/o', renamed: '3' }, describeImageFailure).renamed, 0);
});
