// Text shown for times, positions, sizes and rates. Pure functions: no DOM.

/**
 * Formats seconds as h:mm:ss.mmm (hours unpadded, milliseconds always three digits).
 * The value is rounded to the nearest millisecond before it is split, so 59.9996 s reads
 * 0:01:00.000 and never 0:00:59.1000. Negative, infinite and non-numeric input reads as zero.
 */
export function formatTime(sec) {
  const value = typeof sec === 'number' && Number.isFinite(sec) && sec > 0 ? sec : 0;
  const totalMs = Math.round(value * 1000);
  const ms = totalMs % 1000;
  const totalSec = (totalMs - ms) / 1000;
  const s = totalSec % 60;
  const totalMin = (totalSec - s) / 60;
  const m = totalMin % 60;
  const h = (totalMin - m) / 60;
  return `${h}:${pad(m, 2)}:${pad(s, 2)}.${pad(ms, 3)}`;
}

/**
 * Formats a number with at most `digits` decimals and no trailing zeros, so that the
 * accumulated 0.30000000000000004 of a sample plan reads 0.3 and 7.5 stays 7.5.
 */
export function formatDecimal(value, digits = 2) {
  if (typeof value !== 'number' || !Number.isFinite(value)) return '0';
  const text = value.toFixed(digits);
  const trimmed = text.includes('.') ? text.replace(/\.?0+$/, '') : text;
  return trimmed === '-0' ? '0' : trimmed;
}

/** A position along the clip, e.g. "25 %" or "7.5 %". */
export function formatPercent(percent) {
  return `${formatDecimal(percent, 2)} %`;
}

/** A pixel size as "1920 × 1080"; "unknown size" when either side is missing or zero. */
export function formatSize(width, height) {
  const w = Math.trunc(Number(width));
  const h = Math.trunc(Number(height));
  if (!(w > 0) || !(h > 0)) return 'unknown size';
  return `${w} × ${h}`;
}

/** A frame rate as "29.97 fps"; "unknown rate" when it is missing or not positive. */
export function formatFps(fps) {
  if (typeof fps !== 'number' || !Number.isFinite(fps) || fps <= 0) return 'unknown rate';
  return `${formatDecimal(fps, 2)} fps`;
}

/** "1 still", "3 stills": a count with its noun, singular for exactly one. */
export function plural(count, singular, pluralForm = `${singular}s`) {
  return `${count} ${count === 1 ? singular : pluralForm}`;
}

/** The last path component of a path, for showing where files went. */
export function baseName(path) {
  const text = String(path ?? '');
  const trimmed = text.replace(/\/+$/, '');
  const slash = trimmed.lastIndexOf('/');
  return slash >= 0 ? trimmed.slice(slash + 1) : trimmed;
}

function pad(n, width) {
  return String(n).padStart(width, '0');
}
