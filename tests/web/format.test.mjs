import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  baseName, formatDecimal, formatFps, formatPercent, formatSize, formatTime, plural,
} from '../../web/lib/format.js';

test('times read h:mm:ss.mmm with carries at every unit', () => {
  assert.equal(formatTime(0), '0:00:00.000');
  assert.equal(formatTime(1.25), '0:00:01.250');
  assert.equal(formatTime(65.5), '0:01:05.500');
  assert.equal(formatTime(3600), '1:00:00.000');
  assert.equal(formatTime(3 * 3600 + 25 * 60 + 7.089), '3:25:07.089');
  assert.equal(formatTime(100 * 3600), '100:00:00.000');
  // Rounding to the millisecond must carry into seconds, minutes and hours.
  assert.equal(formatTime(59.9996), '0:01:00.000');
  assert.equal(formatTime(3599.9999), '1:00:00.000');
  assert.equal(formatTime(9.958333333333334), '0:00:09.958');
  assert.equal(formatTime(2.9699999999999998), '0:00:02.970');
});

test('times that are not usable read as zero', () => {
  for (const bad of [-1, NaN, Infinity, -Infinity, undefined, null, '12']) {
    assert.equal(formatTime(bad), '0:00:00.000', String(bad));
  }
});

test('decimals drop accumulation noise and trailing zeros', () => {
  assert.equal(formatDecimal(0.30000000000000004), '0.3');
  assert.equal(formatDecimal(99.8999999999986), '99.9');
  assert.equal(formatDecimal(7.5), '7.5');
  assert.equal(formatDecimal(100), '100');
  assert.equal(formatDecimal(29.97002997), '29.97');
  assert.equal(formatDecimal(-0.001), '0');
  assert.equal(formatPercent(33.3333333334), '33.33 %');
  assert.equal(formatPercent(NaN), '0 %');
});

test('sizes, rates, counts and file names', () => {
  assert.equal(formatSize(1920, 1080), '1920 × 1080');
  assert.equal(formatSize(853.9, 480), '853 × 480');
  assert.equal(formatSize(0, 0), 'unknown size');
  assert.equal(formatSize(640, undefined), 'unknown size');
  assert.equal(formatFps(30000 / 1001), '29.97 fps');
  assert.equal(formatFps(25), '25 fps');
  assert.equal(formatFps(0), 'unknown rate');
  assert.equal(plural(1, 'still'), '1 still');
  assert.equal(plural(0, 'still'), '0 stills');
  assert.equal(plural(2, 'image'), '2 images');
  assert.equal(baseName('/home/u/out/'), 'out');
  assert.equal(baseName('/a/b/c.png'), 'c.png');
  assert.equal(baseName('c.png'), 'c.png');
});
