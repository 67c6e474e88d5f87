// Spacing of stills given as "every N seconds", turned into the step in percent of the clip that
// the host plans with, and the warning for a spacing finer than the clip's own frames. Pure: no DOM.

import { formatDecimal, formatFps, plural } from './format.js';
import { kMaxStep, kMinStep, stillCount } from './options.js';

/** The longest spacing in seconds accepted (a day). */
export const kMaxSeconds = 24 * 3600;

/**
 * Reads a spacing in seconds typed by the user: {ok: true, value} or {ok: false, message}.
 * Accepts a comma as the decimal separator.
 */
export function parseSeconds(text) {
  const cleaned = String(text ?? '').trim().replace(',', '.');
  if (cleaned === '') return { ok: false, message: 'Enter a spacing in seconds.' };
  if (!/^[0-9]*\.?[0-9]+$|^[0-9]+\.$/.test(cleaned)) {
    return { ok: false, message: 'The spacing must be a number of seconds, for example 1.5.' };
  }
  const value = Number(cleaned);
  if (!(value > 0) || !(value <= kMaxSeconds)) {
    return { ok: false, message: `The spacing must be more than 0 and at most ${kMaxSeconds} seconds.` };
  }
  return { ok: true, value };
}

/**
 * The step in percent for a stills every `seconds` along a clip of `durationSec`:
 * {ok: true, value} or {ok: false, message}. A spacing as long as the clip or longer gives the
 * first and the last still (100 %); one so fine that the plan would pass the page's limit of
 * stills is refused rather than quietly coarsened.
 */
export function stepFromSeconds(seconds, durationSec) {
  if (!(typeof durationSec === 'number' && Number.isFinite(durationSec) && durationSec > 0)) {
    return { ok: false, message: 'The clip\'s length is unknown: choose a spacing in percent.' };
  }
  const percent = (seconds / durationSec) * 100;
  if (!Number.isFinite(percent) || percent <= 0) return { ok: false, message: 'Enter a spacing in seconds.' };
  if (percent < kMinStep) {
    return {
      ok: false,
      message: `Every ${formatDecimal(seconds, 3)} s would give more than ${stillCount(kMinStep).toLocaleString('en')} stills: choose a longer spacing.`,
    };
  }
  return { ok: true, value: Math.min(percent, kMaxStep) };
}

/**
 * Whether stills this far apart (in percent of the clip) come closer together than the clip's
 * frames, so that neighbouring stills show the same frame. Unknown duration or rate: false.
 */
export function stillsRepeat(stepPercent, durationSec, fps) {
  if (!(durationSec > 0) || !(fps > 0) || !(stepPercent > 0)) return false;
  if (!Number.isFinite(durationSec) || !Number.isFinite(fps)) return false;
  const stepSec = (stepPercent / 100) * durationSec;
  // A step equal to the frame interval up to rounding is a frame apart, not finer.
  return stepSec < (1 / fps) * (1 - 1e-9);
}

/**
 * The text beside the spacing: the number of stills, and the warning when they will repeat.
 * `source` is the open clip ({durationSec, fps}) or null. Answers {text, warn}.
 */
export function spacingHint(stepPercent, source) {
  const count = plural(stillCount(stepPercent), 'still');
  if (source && stillsRepeat(stepPercent, source.durationSec, source.fps)) {
    return {
      text: `${count}: finer than the clip's frames (${formatFps(source.fps)}), stills will repeat`,
      warn: true,
    };
  }
  return { text: count, warn: false };
}
