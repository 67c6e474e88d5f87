import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  kMaxStep, kMinStep, parseStep, qualityFromSlider, stillCount, usesQuality,
} from '../../web/lib/options.js';

test('still counts follow the host plan, including accumulation at the end', () => {
  assert.equal(stillCount(5), 21);
  assert.equal(stillCount(10), 11);
  assert.equal(stillCount(20), 6);
  assert.equal(stillCount(1), 101);
  assert.equal(stillCount(100), 2);
  assert.equal(stillCount(150), 2);
  assert.equal(stillCount(30), 5);
  assert.equal(stillCount(33), 5);
  assert.equal(stillCount(0.1), 1001);
  // A point that lands within 1e-9 of 100 by accumulation is not a separate still.
  assert.equal(stillCount(33.3333333334), 4);
  assert.equal(stillCount(99.9999999995), 2);
  assert.equal(stillCount(99.99999999), 3);
  // Unusable steps fall back to 5, as the host does.
  for (const bad of [0, -3, NaN, Infinity]) assert.equal(stillCount(bad), 21, String(bad));
});

test('custom spacing accepts decimals within bounds and explains refusals', () => {
  assert.deepEqual(parseStep('2.5'), { ok: true, value: 2.5 });
  assert.deepEqual(parseStep(' 7,5 '), { ok: true, value: 7.5 });
  assert.deepEqual(parseStep('.5'), { ok: true, value: 0.5 });
  assert.deepEqual(parseStep(String(kMinStep)), { ok: true, value: kMinStep });
  assert.deepEqual(parseStep(String(kMaxStep)), { ok: true, value: kMaxStep });
  for (const bad of ['', '   ', 'abc', '1e3', '-5', '0', '0.05', '100.5', '5%', '1.2.3', 'Infinity']) {
    const result = parseStep(bad);
    assert.equal(result.ok, false, bad);
    assert.match(result.message, /\S/, bad);
  }
});

test('quality applies to the lossy formats only, under any of their names', () => {
  for (const name of ['jpeg', 'jpg', 'JPEG', 'heic', 'heif', 'HEIC']) assert.equal(usesQuality(name), true, name);
  for (const name of ['png', 'tiff', 'tif', 'PNG', '', undefined, 'bmp']) assert.equal(usesQuality(name), false, String(name));
});

test('the quality slider maps to 0.01..1 and never outside', () => {
  assert.equal(qualityFromSlider('90'), 0.9);
  assert.equal(qualityFromSlider(100), 1);
  assert.equal(qualityFromSlider(1), 0.01);
  assert.equal(qualityFromSlider(0), 0.01);
  assert.equal(qualityFromSlider(250), 1);
  assert.equal(qualityFromSlider(45.6), 0.46);
  assert.equal(qualityFromSlider('junk'), 0.9);
});
