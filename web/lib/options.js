// The user's choices for extraction and output: spacing of the stills, output format and
// quality. Pure functions: no DOM.

/** Spacing presets offered next to the custom value, in percent of the clip. */
export const kStepPresets = Object.freeze([1, 2, 5, 10, 20]);

/** The preset selected when the page opens. */
export const kDefaultStep = 5;

/**
 * Smallest custom spacing accepted. A step of 0.1 % already gives 1,001 stills; smaller ones
 * would ask the host for tens of thousands of decodes and previews in one run.
 */
export const kMinStep = 0.1;

/** Largest custom spacing accepted; 100 % gives the first and the last still only. */
export const kMaxStep = 100;

/**
 * Reads a custom spacing typed by the user. Answers {ok: true, value} or {ok: false, message}
 * with a message fit to show next to the field. Accepts a comma as the decimal separator.
 */
export function parseStep(text) {
  const cleaned = String(text ?? '').trim().replace(',', '.');
  if (cleaned === '') return { ok: false, message: 'Enter a spacing in percent.' };
  if (!/^[0-9]*\.?[0-9]+$|^[0-9]+\.$/.test(cleaned)) {
    return { ok: false, message: 'The spacing must be a number, for example 2.5.' };
  }
  const value = Number(cleaned);
  if (!(value >= kMinStep) || !(value <= kMaxStep)) {
    return { ok: false, message: `The spacing must be between ${kMinStep} and ${kMaxStep} %.` };
  }
  return { ok: true, value };
}

/**
 * Number of stills an extraction with this spacing yields. Mirrors the host's plan: positions
 * are accumulated by repeated addition while below 99.999999999, then 100 is appended, so the
 * count is exact (3 for 40 %, 11 for 10 %, 1,001 for 0.1 %).
 */
export function stillCount(stepPercent) {
  const step = typeof stepPercent === 'number' && Number.isFinite(stepPercent) && stepPercent > 0
    ? stepPercent : kDefaultStep;
  const nearEnd = 99.999999999;
  let count = 0;
  let p = 0;
  do {
    count += 1;
    p = step + p;
  } while (p < nearEnd);
  return count + 1;
}

/** Output formats in the order offered; `name` is what the host is sent. */
export const kOutputFormats = Object.freeze([
  Object.freeze({ name: 'jpeg', label: 'JPEG', usesQuality: true }),
  Object.freeze({ name: 'png', label: 'PNG', usesQuality: false }),
  Object.freeze({ name: 'tiff', label: 'TIFF', usesQuality: false }),
  Object.freeze({ name: 'heic', label: 'HEIC', usesQuality: true }),
  Object.freeze({ name: 'webp', label: 'WebP', usesQuality: true }),
  Object.freeze({ name: 'avif', label: 'AVIF', usesQuality: true }),
]);

/** Whether the quality setting changes the output of this format (the lossy ones). */
export function usesQuality(formatName) {
  const name = String(formatName ?? '').toLowerCase();
  return kOutputFormats.some((f) => f.usesQuality && (f.name === name || alias(f.name) === name));
}

/** Quality slider position (1 to 100) as the 0-to-1 value the host expects; clamped. */
export function qualityFromSlider(position) {
  const n = Number(position);
  if (!Number.isFinite(n)) return 0.9;
  return Math.min(100, Math.max(1, Math.round(n))) / 100;
}

function alias(name) {
  return name === 'jpeg' ? 'jpg' : name === 'tiff' ? 'tif' : name === 'heic' ? 'heif' : name;
}

/** Longest-side presets for converted images, in pixels, offered next to full size and a custom value. */
export const kMaxSidePresets = Object.freeze([1280, 1920, 2560, 3840]);

/** Smallest and largest custom longest side accepted, in pixels. */
export const kMinMaxSide = 16;
export const kMaxMaxSide = 65535;

/**
 * Reads a custom longest side typed by the user: a whole number of pixels. Answers
 * {ok: true, value} or {ok: false, message} with a message fit to show next to the field.
 */
export function parseMaxSide(text) {
  const cleaned = String(text ?? '').trim();
  if (cleaned === '') return { ok: false, message: 'Enter the longest side in pixels.' };
  if (!/^[0-9]+$/.test(cleaned)) return { ok: false, message: 'The longest side must be a whole number of pixels.' };
  const value = Number(cleaned);
  if (value < kMinMaxSide || value > kMaxMaxSide) {
    return { ok: false, message: `The longest side must be between ${kMinMaxSide} and ${kMaxMaxSide} pixels.` };
  }
  return { ok: true, value };
}

/**
 * The optional arguments of a conversion for the chosen images: "maxSide", the longest side
 * chosen or 0 for full size (always sent, so the host's reply counts the renamed files), and
 * "folders", each image's folder under the folder it was added with, when folders are kept.
 */
export function conversionArgs({ maxSide, keepFolders }, images) {
  const args = { maxSide: Number.isInteger(maxSide) && maxSide > 0 ? maxSide : 0 };
  if (keepFolders) args.folders = images.map((image) => (typeof image.folder === 'string' ? image.folder : ''));
  return args;
}
