import { test } from 'node:test';
import assert from 'node:assert/strict';
import { neighbourIndex, pictureSide, stillAfterReply, viewerAction } from '../../web/lib/viewer.js';

test('viewer keys: comma and period step a frame, with Shift a second, by the physical key', () => {
  const table = [
    [{ key: ',', code: 'Comma' }, { kind: 'step', frames: -1 }],
    [{ key: '.', code: 'Period' }, { kind: 'step', frames: 1 }],
    [{ key: '<', code: 'Comma', shiftKey: true }, { kind: 'step', seconds: -1 }],
    [{ key: '>', code: 'Period', shiftKey: true }, { kind: 'step', seconds: 1 }],
    // A layout where Shift+comma gives ';': the key's place still decides.
    [{ key: ';', code: 'Comma', shiftKey: true }, { kind: 'step', seconds: -1 }],
    [{ key: 'ArrowLeft' }, { kind: 'tile', offset: -1 }],
    [{ key: 'ArrowRight' }, { kind: 'tile', offset: 1 }],
    [{ key: 'Escape' }, { kind: 'close' }],
    [{ key: '1' }, { kind: 'zoom' }],
    [{ key: 'z' }, { kind: 'zoom' }],
    [{ key: 'z', ctrlKey: true }, { kind: 'restore' }],
    [{ key: 'Backspace' }, { kind: 'restore' }],
    [{ key: ',', code: 'Comma', ctrlKey: true }, null],
    [{ key: '.', code: 'Period', altKey: true }, null],
    [{ key: 'a' }, null],
  ];
  for (const [event, action] of table) assert.deepEqual(viewerAction(event), action, JSON.stringify(event));
});

test('picture sizes: the area in device pixels to fit, the still itself at 1:1, within 16..2560', () => {
  assert.equal(pictureSide({ areaWidth: 800, areaHeight: 500, devicePixelRatio: 2 }), 1600);
  assert.equal(pictureSide({ areaWidth: 2000, areaHeight: 1400, devicePixelRatio: 2 }), 2560);
  assert.equal(pictureSide({ areaWidth: 800, areaHeight: 500, actualSize: true, width: 1920, height: 1080 }), 1920);
  assert.equal(pictureSide({ areaWidth: 800, areaHeight: 500, actualSize: true, width: 7680, height: 4320 }), 2560);
  assert.equal(pictureSide({ areaWidth: 800, areaHeight: 500, actualSize: true }), 800, 'unknown size fits');
  assert.equal(pictureSide({ areaWidth: 0, areaHeight: 0, devicePixelRatio: NaN }), 16);
});

test('a reply moves the still: new time, texts, mark and preview; a reply for another still changes nothing', () => {
  const jpeg = 'data:image/jpeg;base64,/9j/4AAQ';
  const frame = { key: 5, id: 5, timeSec: 2, percent: 50, thumb: 'data:image/jpeg;base64,AAAA', timeText: '0:00:02.000', percentText: '50 %' };
  const moved = stillAfterReply(frame, { id: 5, timeSec: 2.1, percent: 52.5, frame: 21, moved: true, thumbDataUrl: jpeg });
  assert.deepEqual([moved.timeText, moved.percentText, moved.frameNumber, moved.moved, moved.thumb, moved.key],
    ['0:00:02.100', '52.5 %', 21, true, jpeg, 5]);
  assert.equal(frame.timeSec, 2, 'the old record is kept as it was');
  const back = stillAfterReply(moved, { id: 5, timeSec: 2, percent: 50, frame: 20, moved: false, thumbDataUrl: 'javascript:x' });
  assert.deepEqual([back.timeText, back.moved, back.thumb], ['0:00:02.000', false, jpeg]);
  assert.equal(stillAfterReply(frame, { id: 6, timeSec: 1 }), null);
  assert.equal(stillAfterReply(frame, null), null);
  assert.deepEqual([neighbourIndex(0, -1, 3), neighbourIndex(2, 1, 3), neighbourIndex(1, 1, 3), neighbourIndex(0, 1, 0)], [0, 2, 2, -1]);
});
