import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Selection, changedKeys } from '../../web/lib/selection.js';

function make(keys = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]) {
  const s = new Selection();
  s.append(keys);
  return s;
}

test('clicks: plain, Shift from the anchor (either way, re-spanning), Ctrl, Ctrl+Shift', () => {
  const s = make([0, 1, 2, 3, 4, 5, 7, 8, 9]);  // 6 failed: a gap
  const steps = [[2, {}, [2]], [7, { range: true }, [2, 3, 4, 5, 7]], [3, { range: true }, [2, 3]],
    [0, { range: true }, [0, 1, 2]], [8, { toggle: true }, [0, 1, 2, 8]], [1, { toggle: true }, [0, 2, 8]],
    [4, { range: true, toggle: true }, [0, 1, 2, 3, 4, 8]], [42, {}, [0, 1, 2, 3, 4, 8]], [5, {}, [5]]];
  for (const [key, how, selected] of steps) {
    s.click(key, how);
    assert.deepEqual(s.selectedKeys(), selected, `${key} ${JSON.stringify(how)}`);
  }
  const fresh = make();
  fresh.click(4, { range: true });
  assert.deepEqual(fresh.selectedKeys(), [4], 'Shift-click with no anchor selects only the item');
});

test('keyboard: moves select, Shift extends, Ctrl moves the focus only, Space toggles; moves clamp', () => {
  const s = make();
  assert.equal(s.move(1), 0, 'the first move lands on the first item');
  s.move(4);
  s.move(-2, { range: true });
  s.move(5, { toggle: true });
  s.toggleFocus();
  assert.deepEqual([s.selectedKeys(), s.focus], [[2, 3, 4, 7], 7]);
  s.move(100);
  s.jump(false, { range: true });
  assert.deepEqual([s.focus, s.selectedKeys().length], [0, 10]);
  assert.equal(new Selection().move(1), null);
});

test('removing items drops their selection and moves a removed focus and anchor; changed keys', () => {
  const s = make();
  s.click(3);
  s.click(5, { range: true });
  s.remove([4, 5]);
  assert.deepEqual([s.selectedKeys(), s.focus, s.position(6)], [[3], 6, 4], 'focus to the next survivor');
  s.click(9);
  s.remove([8, 9]);
  assert.deepEqual([s.focus, s.anchor], [7, 7], 'at the end, focus goes back');
  s.click(0, { range: true });
  assert.deepEqual(s.selectedKeys(), [0, 1, 2, 3, 6, 7]);
  s.remove(s.keys.slice());
  assert.deepEqual([s.focus, s.size], [null, 0]);
  assert.deepEqual(changedKeys(new Set([1, 2, 3]), new Set([2, 3, 4])).sort(), [1, 4]);
});
