// The viewer's pure logic: which action a key asks for, the picture size to ask the host for,
// and a still's record after the host moved it. No DOM.

import { formatPercent, formatTime } from './format.js';
import { safeThumb } from './records.js';

/** The largest picture the host makes for the viewer, in pixels along the longer side. */
export const kMaxPictureSide = 2560;

/**
 * The action a key in the open viewer asks for, or null. `,` and `.` step one frame back and
 * forward, with Shift one second (Shift turns them into `<` and `>` on many layouts, so the
 * physical key decides); left and right arrows go to the previous and next tile; Escape closes;
 * `1`, `z` or `Z` switch between fit and 1:1; Backspace (and Ctrl/Cmd+Z, where the window lets the
 * page have it) takes the still back to its planned time.
 * `event` needs key, code, shiftKey, ctrlKey, metaKey, altKey.
 */
export function viewerAction(event) {
  const { key, code = '', shiftKey = false, ctrlKey = false, metaKey = false, altKey = false } = event;
  if (altKey) return null;
  if ((ctrlKey || metaKey) && !shiftKey && (key === 'z' || key === 'Z')) return { kind: 'restore' };
  if (ctrlKey || metaKey) return null;
  const back = code === 'Comma' || key === ',' || key === '<';
  const forward = code === 'Period' || key === '.' || key === '>';
  if (back || forward) {
    const sign = forward ? 1 : -1;
    const bySecond = shiftKey || key === '<' || key === '>';
    return bySecond ? { kind: 'step', seconds: sign } : { kind: 'step', frames: sign };
  }
  switch (key) {
    case 'ArrowLeft': return { kind: 'tile', offset: -1 };
    case 'ArrowRight': return { kind: 'tile', offset: 1 };
    case 'Escape': return { kind: 'close' };
    case 'Backspace': return { kind: 'restore' };
    case '1':
    case 'z':
    case 'Z': return { kind: 'zoom' };
    default: return null;
  }
}

/**
 * The longer side of the picture to ask for: to fit, the viewing area in device pixels; at 1:1,
 * the still's own longer side. Never above kMaxPictureSide nor below 16; a still of unknown size
 * is asked for at the fitting size.
 */
export function pictureSide({ areaWidth, areaHeight, devicePixelRatio = 1, actualSize = false, width = 0, height = 0 }) {
  const ratio = Number.isFinite(devicePixelRatio) && devicePixelRatio > 0 ? devicePixelRatio : 1;
  const fit = Math.ceil(Math.max(Number(areaWidth) || 0, Number(areaHeight) || 0) * ratio);
  const own = Math.max(Number(width) || 0, Number(height) || 0);
  const side = actualSize && own > 0 ? own : fit;
  return Math.min(kMaxPictureSide, Math.max(16, Math.round(side)));
}

/**
 * The record of a still after a reply of "stillPicture", "stepStill" or "restoreStill": the
 * grid's record with the reply's time, position, frame number, moved mark and preview. The
 * record given is left as it was; null when the reply is not about that still.
 */
export function stillAfterReply(frame, reply) {
  if (!frame || !reply || typeof reply !== 'object' || reply.id !== frame.id) return null;
  const number = (value, fallback) => (typeof value === 'number' && Number.isFinite(value) ? value : fallback);
  const timeSec = number(reply.timeSec, frame.timeSec);
  const percent = number(reply.percent, frame.percent);
  return {
    ...frame,
    timeSec,
    percent,
    frameNumber: Number.isInteger(reply.frame) ? reply.frame : frame.frameNumber,
    moved: reply.moved === true,
    thumb: safeThumb(reply.thumbDataUrl) || frame.thumb,
    timeText: formatTime(timeSec),
    percentText: formatPercent(percent),
  };
}

/** The index of the tile `offset` places from `index` among `count`, held inside the list. */
export function neighbourIndex(index, offset, count) {
  if (count <= 0) return -1;
  return Math.min(count - 1, Math.max(0, index + offset));
}
