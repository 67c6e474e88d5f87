// The settings the host remembers between runs (the output of each mode and the spacing), read
// from its "getSettings" reply with every field checked: anything unusable gives the default, so a
// damaged or older settings file never breaks the page. Pure: no DOM.

import { kDefaultStep, kMaxStep, kMinStep, kStepPresets } from './options.js';
import { kMaxSeconds } from './spacing.js';

export const kModes = Object.freeze(['video', 'images']);

/** Output choices of a mode when nothing is remembered. */
export function defaultOutput() {
  return { format: 'jpeg', quality: 0.9, dest: '' };
}

/** The spacing when nothing is remembered. */
export function defaultSpacing() {
  return { unit: 'percent', value: kDefaultStep };
}

/**
 * The settings from the host's reply: {video, images, spacing}. `formatNames` are the formats the
 * page offers; a remembered format it does not offer falls back to the default.
 */
export function settingsFromHost(payload, formatNames) {
  const reply = payload && typeof payload === 'object' ? payload : {};
  const result = { spacing: spacingFrom(reply.spacing) };
  for (const mode of kModes) result[mode] = outputFrom(reply[mode], formatNames);
  return result;
}

function outputFrom(value, formatNames) {
  const output = defaultOutput();
  if (!value || typeof value !== 'object') return output;
  if (typeof value.format === 'string' && formatNames.includes(value.format)) output.format = value.format;
  if (typeof value.quality === 'number' && value.quality > 0 && value.quality <= 1) output.quality = value.quality;
  if (typeof value.dest === 'string') output.dest = value.dest;
  return output;
}

function spacingFrom(value) {
  if (!value || typeof value !== 'object' || typeof value.value !== 'number') return defaultSpacing();
  const n = value.value;
  if (value.unit === 'percent' && n >= kMinStep && n <= kMaxStep) return { unit: 'percent', value: n };
  if (value.unit === 'seconds' && n > 0 && n <= kMaxSeconds) return { unit: 'seconds', value: n };
  return defaultSpacing();
}

/** The quality slider's position (1 to 100) for a host quality (0 to 1). */
export function sliderFromQuality(quality) {
  const n = Number(quality);
  if (!Number.isFinite(n)) return 90;
  return Math.min(100, Math.max(1, Math.round(n * 100)));
}

/**
 * How the spacing controls show a spacing: which radio is on ('1', '5', ... for a preset,
 * 'custom' for another percent, 'seconds') and the text of the two fields.
 */
export function spacingControls(spacing) {
  if (spacing.unit === 'seconds') return { radio: 'seconds', percentText: '', secondsText: String(spacing.value) };
  if (kStepPresets.includes(spacing.value)) return { radio: String(spacing.value), percentText: '', secondsText: '' };
  return { radio: 'custom', percentText: String(spacing.value), secondsText: '' };
}
