import { test } from 'node:test';
import assert from 'node:assert/strict';
import { parseSeconds, spacingHint, stepFromSeconds, stillsRepeat } from '../../web/lib/spacing.js';
import { settingsFromHost, sliderFromQuality, spacingControls } from '../../web/lib/settings.js';
import { stillCount } from '../../web/lib/options.js';
import { pageKeyAction, tipWithKeys } from '../../web/lib/shortcuts.js';

test('seconds become the step in percent of the clip; the ends and the limits hold', () => {
  // [seconds, duration, step percent or null when refused]
  const cases = [[1, 4, 25], [0.5, 10, 5], [2.5, 60, 2.5 / 60 * 100], [4, 4, 100], [30, 4, 100],
    [0.004, 4, 0.1], [0.0039, 4, null], [1, 0, null], [1, NaN, null], [1, undefined, null]];
  for (const [seconds, duration, step] of cases) {
    const result = stepFromSeconds(seconds, duration);
    if (step === null) {
      assert.equal(result.ok, false, `${seconds} s of ${duration}`);
      assert.match(result.message, /\S/);
    } else {
      assert.equal(result.ok, true, `${seconds} s of ${duration}`);
      assert.ok(Math.abs(result.value - step) < 1e-9, `${seconds} s of ${duration}: ${result.value}`);
    }
  }
  // Every second of a 4 s clip: stills at 0, 1, 2, 3 and 4 s.
  assert.equal(stillCount(stepFromSeconds(1, 4).value), 5);
});

test('seconds typed by the user: decimals with a point or a comma, within a day', () => {
  assert.deepEqual(parseSeconds(' 1,5 '), { ok: true, value: 1.5 });
  assert.deepEqual(parseSeconds('86400'), { ok: true, value: 86400 });
  for (const bad of ['', '0', '0.0', '-1', 'abc', '1e2', '86401', '2 s']) {
    const result = parseSeconds(bad);
    assert.equal(result.ok, false, bad);
    assert.match(result.message, /\S/, bad);
  }
});

test('stills repeat only when spaced closer than one frame', () => {
  // [step %, duration s, fps, repeats]
  const cases = [
    [1, 3, 10, true],      // a 30-frame GIF at 1 %: 0.03 s apart, frames 0.1 s apart
    [10 / 3, 3, 10, false], // exactly one frame apart
    [5, 4, 10, false],      // 0.2 s apart
    [1, 4, 10, true],       // 0.04 s apart at 10 fps
    [2.5, 4, 10, false],    // 0.1 s: one frame apart
    [0.5, 4, 30, true],     // 0.02 s at 30 fps (0.033 s)
    [1, 0, 10, false], [1, 3, 0, false], [1, 3, NaN, false], [1, Infinity, 10, false],
  ];
  for (const [step, duration, fps, repeats] of cases) {
    assert.equal(stillsRepeat(step, duration, fps), repeats, `${step} % of ${duration} s at ${fps} fps`);
  }
  const hint = spacingHint(1, { durationSec: 3, fps: 10 });
  assert.equal(hint.warn, true);
  assert.match(hint.text, /^101 stills.*stills will repeat/);
  assert.deepEqual(spacingHint(5, { durationSec: 4, fps: 10 }), { text: '21 stills', warn: false });
  assert.deepEqual(spacingHint(1, null), { text: '101 stills', warn: false });
});

test('remembered settings: each mode apart, unusable fields fall back to defaults', () => {
  const formats = ['jpeg', 'png', 'tiff', 'heic'];
  const s = settingsFromHost({
    video: { format: 'png', quality: 1, dest: '/out video' },
    images: { format: 'webp', quality: 0, dest: 7 },
    spacing: { unit: 'seconds', value: 2.5 },
  }, formats);
  assert.deepEqual(s.video, { format: 'png', quality: 1, dest: '/out video' });
  assert.deepEqual(s.images, { format: 'jpeg', quality: 0.9, dest: '' });
  assert.deepEqual(s.spacing, { unit: 'seconds', value: 2.5 });
  for (const junk of [null, 'x', [], { spacing: { unit: 'percent', value: 0.01 } }, { spacing: { unit: 'frames', value: 3 } }]) {
    const d = settingsFromHost(junk, formats);
    assert.deepEqual(d, { video: { format: 'jpeg', quality: 0.9, dest: '' }, images: { format: 'jpeg', quality: 0.9, dest: '' },
      spacing: { unit: 'percent', value: 5 } }, JSON.stringify(junk));
  }
});

test('spacing controls and the quality slider show what was remembered', () => {
  assert.deepEqual(spacingControls({ unit: 'percent', value: 10 }), { radio: '10', percentText: '', secondsText: '' });
  assert.deepEqual(spacingControls({ unit: 'percent', value: 2.5 }), { radio: 'custom', percentText: '2.5', secondsText: '' });
  assert.deepEqual(spacingControls({ unit: 'seconds', value: 2 }), { radio: 'seconds', percentText: '', secondsText: '2' });
  for (const [quality, position] of [[0.9, 90], [0.425, 43], [1, 100], [0.001, 1], ['x', 90]]) {
    assert.equal(sliderFromQuality(quality), position, String(quality));
  }
});

test('the page keeps Delete and Escape, and Delete only outside text fields', () => {
  const cases = [
    [{ key: 'Escape' }, {}, 'dismiss'],
    [{ key: 'Escape' }, { editing: true }, 'dismiss'],
    [{ key: 'Delete' }, {}, 'removeSelected'],
    [{ key: 'Delete' }, { editing: true }, null],
    [{ key: 'Delete', shiftKey: true }, {}, null],
    [{ key: 'Delete', ctrlKey: true }, {}, null],
    [{ key: 'Backspace' }, {}, null],
    [{ key: 'o', ctrlKey: true }, {}, null],  // the host's accelerator, not the page's
  ];
  for (const [event, where, action] of cases) assert.equal(pageKeyAction(event, where), action, JSON.stringify([event, where]));
  assert.equal(tipWithKeys('Add folders of images', 'openFolder'), 'Add folders of images (Shift+Ctrl+O)');
  assert.equal(tipWithKeys('Extract', 'extract'), 'Extract');
});
