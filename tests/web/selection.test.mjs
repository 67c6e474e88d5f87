import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Selection, changedKeys } from '../../web/lib/selection.js';

function make(keys = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]) {
  const s = new Selection();
  s.append(keys);
  return s;
}

test('plain, Ctrl and Shift clicks', () => {
  const s = make();
  s.click(2);
  assert.deepEqual(s.selectedKeys(), [2]);
  s.click(5, { range: true });
  assert.deepEqual(s.selectedKeys(), [2, 3, 4, 5]);
  // A second Shift-click re-spans from the same anchor, shrinking the range.
  s.click(3, { range: true });
  assert.deepEqual(s.selectedKeys(), [2, 3]);
  // Backwards from the anchor.
  s.click(0, { range: true });
  assert.deepEqual(s.selectedKeys(), [0, 1, 2]);
  s.click(8, { toggle: true });
  assert.deepEqual(s.selectedKeys(), [0, 1, 2, 8]);
  s.click(1, { toggle: true });
  assert.deepEqual(s.selectedKeys(), [0, 2, 8]);
  // Ctrl+Shift adds the range from the new anchor (1) to 4 and keeps the rest.
  s.click(4, { range: true, toggle: true });
  assert.deepEqual(s.selectedKeys(), [0, 1, 2, 3, 4, 8]);
  s.click(6);
  assert.deepEqual(s.selectedKeys(), [6]);
  assert.equal(s.size, 1);
});

test('Shift-click with no anchor selects only the item; unknown keys are ignored', () => {
  const s = make();
  s.click(4, { range: true });
  assert.deepEqual(s.selectedKeys(), [4]);
  s.click(42);
  assert.deepEqual(s.selectedKeys(), [4]);
});

test('keys with gaps (failed stills) keep display order', () => {
  const s = make([0, 1, 3, 4, 7]);
  s.click(1);
  s.click(7, { range: true });
  assert.deepEqual(s.selectedKeys(), [1, 3, 4, 7]);
  s.append([3, 9]);
  assert.deepEqual(s.keys, [0, 1, 3, 4, 7, 9]);
});

test('keyboard moves select, Shift extends, Ctrl moves focus only, Space toggles', () => {
  const s = make();
  assert.equal(s.move(1), 0, 'the first move lands on the first item');
  assert.deepEqual(s.selectedKeys(), [0]);
  s.move(4);
  assert.deepEqual(s.selectedKeys(), [4]);
  s.move(2, { range: true });
  assert.deepEqual(s.selectedKeys(), [4, 5, 6]);
  s.move(-4, { range: true });
  assert.deepEqual(s.selectedKeys(), [2, 3, 4]);
  s.move(5, { toggle: true });
  assert.equal(s.focus, 7);
  assert.deepEqual(s.selectedKeys(), [2, 3, 4]);
  s.toggleFocus();
  assert.deepEqual(s.selectedKeys(), [2, 3, 4, 7]);
  s.move(100);
  assert.equal(s.focus, 9, 'moves clamp at the end');
  s.move(-100);
  assert.equal(s.focus, 0, 'and at the start');
  s.jump(true, { range: true });
  assert.equal(s.selectedKeys().length, 10);
  s.jump(false);
  assert.deepEqual(s.selectedKeys(), [0]);
  assert.equal(new Selection().move(1), null);
});

test('select all and none', () => {
  const s = make([3, 1, 2]);
  s.selectAll();
  assert.deepEqual(s.selectedKeys(), [3, 1, 2]);
  s.selectNone();
  assert.equal(s.size, 0);
});

test('removing items drops their selection and moves a removed focus and anchor', () => {
  const s = make();
  s.click(3);
  s.click(5, { range: true });
  s.remove([4, 5]);
  assert.deepEqual(s.keys, [0, 1, 2, 3, 6, 7, 8, 9]);
  assert.deepEqual(s.selectedKeys(), [3]);
  assert.equal(s.focus, 6, 'focus goes to the next survivor');
  assert.equal(s.position(6), 4, 'positions are recomputed');
  s.click(9);
  s.remove([8, 9]);
  assert.equal(s.focus, 7, 'at the end, focus goes back');
  assert.equal(s.anchor, 7);
  s.click(0, { range: true });
  assert.deepEqual(s.selectedKeys(), [0, 1, 2, 3, 6, 7]);
  s.remove(s.keys.slice());
  assert.equal(s.focus, null);
  assert.equal(s.size, 0);
  s.reset();
  assert.deepEqual(s.keys, []);
});

test('changedKeys lists exactly the keys that flipped', () => {
  assert.deepEqual(changedKeys(new Set([1, 2, 3]), new Set([2, 3, 4])).sort(), [1, 4]);
  assert.deepEqual(changedKeys(new Set(), new Set()), []);
});
