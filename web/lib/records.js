// Turns the host's payloads (source description, frame events, image records) into the items
// the page shows, checking every field it uses: a malformed payload yields null and is left
// out instead of breaking the page. Pure: no DOM.

import { formatFps, formatPercent, formatSize, formatTime } from './format.js';

/**
 * A preview URL the page may put into an <img>: only inline JPEG, PNG, GIF or WebP data.
 * Anything else (the empty string of a failed preview, another scheme) answers '' and the tile
 * shows a placeholder.
 */
export function safeThumb(url) {
  return typeof url === 'string' && /^data:image\/(jpeg|png|gif|webp);base64,[A-Za-z0-9+/=]+$/.test(url) ? url : '';
}

/**
 * The clip as the page shows it: {path, name, durationSec, width, height, fps, isGif, details},
 * `details` reading e.g. "0:01:05.250 · 1920 × 1080 · 29.97 fps · video". Null when the payload
 * is not a source description.
 */
export function sourceFromDescription(desc) {
  if (!desc || typeof desc !== 'object' || typeof desc.path !== 'string') return null;
  const name = typeof desc.name === 'string' && desc.name !== '' ? desc.name : desc.path;
  const source = {
    path: desc.path,
    name,
    durationSec: finiteOr(desc.durationSec, 0),
    width: finiteOr(desc.width, 0),
    height: finiteOr(desc.height, 0),
    fps: finiteOr(desc.fps, 0),
    isGif: desc.isGif === true,
  };
  source.details = [
    formatTime(source.durationSec),
    formatSize(source.width, source.height),
    formatFps(source.fps),
    source.isGif ? 'animated GIF' : 'video',
  ].join(' · ');
  return source;
}

/** What every tile has: its key and id, its preview, and its size in pixels. */
function tileOf(item) {
  return {
    key: item.id,
    id: item.id,
    thumb: safeThumb(item.thumbDataUrl),
    width: finiteOr(item.width, 0),
    height: finiteOr(item.height, 0),
  };
}

/** A still from "window.__onFrameReady", or null when the event is malformed. */
export function frameFromEvent(event) {
  if (!event || typeof event !== 'object' || !Number.isInteger(event.id)) return null;
  const percent = finiteOr(event.percent, 0);
  const timeSec = finiteOr(event.timeSec, 0);
  return { ...tileOf(event), percent, timeSec, timeText: formatTime(timeSec), percentText: formatPercent(percent) };
}

/** An image from a "window.__onImagesChunk" record, or null when the record is malformed. */
export function imageFromRecord(record) {
  if (!record || typeof record !== 'object' || !Number.isInteger(record.id) || typeof record.path !== 'string') {
    return null;
  }
  const tile = tileOf(record);
  const name = typeof record.name === 'string' && record.name !== '' ? record.name : record.path;
  return {
    ...tile,
    name,
    path: record.path,
    sizeText: formatSize(tile.width, tile.height),
    // The image's folder under the folder it was added with ('' for none).
    folder: typeof record.folder === 'string' ? record.folder : '',
  };
}

/**
 * The images of a batch that are not yet in the list, judged by path: adding a folder a second
 * time must not list (and later convert) its files twice. `known(path)` tells whether a path is
 * already listed; repeats inside the batch are dropped too.
 */
export function newImages(records, known) {
  const seen = new Set();
  const fresh = [];
  for (const record of Array.isArray(records) ? records : []) {
    const image = imageFromRecord(record);
    if (!image || seen.has(image.path) || known(image.path)) continue;
    seen.add(image.path);
    fresh.push(image);
  }
  return fresh;
}

/**
 * Names a failed still of an export by what the user saw on its tile, e.g.
 * "Still at 25 % (0:00:02.500)"; `frameOf(id)` looks the still up.
 */
export function describeFrameFailure(frameOf) {
  return (record) => {
    const frame = Number.isInteger(record.id) ? frameOf(record.id) : undefined;
    if (!frame) return { label: `Still #${record.id}`, detail: '' };
    return { label: `Still at ${frame.percentText} (${frame.timeText})`, detail: '' };
  };
}

function finiteOr(value, fallback) {
  return typeof value === 'number' && Number.isFinite(value) ? value : fallback;
}
