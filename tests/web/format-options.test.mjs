import { test } from 'node:test';
import assert from 'node:assert/strict';
import { formatTime } from '../../web/lib/format.js';
import {
  conversionArgs, parseMaxSide, parseStep, qualityFromSlider, stillCount, usesQuality,
} from '../../web/lib/options.js';

test('times read h:mm:ss.mmm, rounding carries into every unit, unusable times read as zero', () => {
  const cases = [[0, '0:00:00.000'], [65.5, '0:01:05.500'], [3 * 3600 + 25 * 60 + 7.089, '3:25:07.089'],
    [100 * 3600, '100:00:00.000'], [59.9996, '0:01:00.000'], [3599.9999, '1:00:00.000'],
    [2.9699999999999998, '0:00:02.970'], [-1, '0:00:00.000'], [NaN, '0:00:00.000'], [Infinity, '0:00:00.000'],
    [undefined, '0:00:00.000'], ['12', '0:00:00.000']];
  for (const [sec, text] of cases) assert.equal(formatTime(sec), text, String(sec));
});

test('still counts match the host plan, accumulation at the end included', () => {
  const cases = [[5, 21], [1, 101], [30, 5], [100, 2], [150, 2], [0.1, 1001],
    [33.3333333334, 4], [99.9999999995, 2], [99.99999999, 3], [0, 21], [NaN, 21], [Infinity, 21]];
  for (const [step, count] of cases) assert.equal(stillCount(step), count, String(step));
});

test('custom spacing takes decimals within 0.1..100 and explains refusals', () => {
  assert.deepEqual(parseStep(' 7,5 '), { ok: true, value: 7.5 });
  assert.deepEqual(parseStep('.5'), { ok: true, value: 0.5 });
  assert.deepEqual(parseStep('100'), { ok: true, value: 100 });
  for (const bad of ['', 'abc', '1e3', '-5', '0.05', '100.5', '5%', '1.2.3', 'Infinity']) {
    const result = parseStep(bad);
    assert.equal(result.ok, false, bad);
    assert.match(result.message, /\S/, bad);
  }
});

test('quality: only for the lossy formats, slider clamped to 0.01..1', () => {
  for (const name of ['jpeg', 'jpg', 'HEIC', 'heif', 'webp', 'AVIF']) assert.equal(usesQuality(name), true, name);
  for (const name of ['png', 'TIF', '', undefined]) assert.equal(usesQuality(name), false, String(name));
  const cases = [['90', 0.9], [0, 0.01], [250, 1], [45.6, 0.46], ['junk', 0.9]];
  for (const [position, quality] of cases) assert.equal(qualityFromSlider(position), quality, String(position));
});

test('custom longest side: whole pixels within 16..65535, refusals explained', () => {
  assert.deepEqual(parseMaxSide(' 1600 '), { ok: true, value: 1600 });
  assert.deepEqual(parseMaxSide('16'), { ok: true, value: 16 });
  for (const bad of ['', '15', '65536', '1e3', '12.5', '-800', '800px', 'abc']) {
    const result = parseMaxSide(bad);
    assert.equal(result.ok, false, bad);
    assert.match(result.message, /\S/, bad);
  }
});

test('conversion arguments: size 0 for full size, folders one per image in order when kept', () => {
  const images = [{ path: '/a/x.png', folder: 'trip' }, { path: '/b.png', folder: '' }, { path: '/c.png' }];
  assert.deepEqual(conversionArgs({ maxSide: 0, keepFolders: false }, images), { maxSide: 0 });
  assert.deepEqual(conversionArgs({ maxSide: NaN, keepFolders: false }, images), { maxSide: 0 });
  assert.deepEqual(conversionArgs({ maxSide: 1920, keepFolders: true }, images), { maxSide: 1920, folders: ['trip', '', ''] });
});
