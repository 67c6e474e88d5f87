// What the page says after an export or a conversion, built from the host's reply
// {written, failed, folder} (or null when the folder panel was cancelled). Pure: no DOM.
// Failures are grouped by reason: an unwritable folder fails every item the same way, and one line
// with a count says that better than a column of identical lines.

import { baseName, plural } from './format.js';

/**
 * Summarises an export reply. `describe(record)` names the item of a failure record (a frame
 * by its id, an image by its path) in the user's terms. Answers
 * {cancelled, headline, folder, written, failures: [{label, reason, detail}], groups, renamed},
 * where `groups` are the failures by reason in the order each reason first occurred:
 * [{reason, countText, items: [{label, detail}]}], `countText` naming the items with `noun`, and
 * `renamed` counts the files written under a suffixed name because theirs was taken.
 * A malformed reply is reported as such rather than as success.
 */
export function summarizeExport(reply, describe, noun = 'item') {
  if (reply === null || reply === undefined) {
    return {
      cancelled: true, headline: 'Cancelled: no folder was chosen, nothing was written.',
      folder: '', written: [], failures: [], groups: [], renamed: 0,
    };
  }
  const written = Array.isArray(reply.written) ? reply.written.filter((p) => typeof p === 'string') : [];
  const failedRecords = Array.isArray(reply.failed) ? reply.failed.filter((r) => r && typeof r === 'object') : [];
  const folder = typeof reply.folder === 'string' ? reply.folder : '';
  const renamed = Number.isInteger(reply.renamed) && reply.renamed > 0 ? reply.renamed : 0;
  const failures = failedRecords.map((record) => ({
    ...describe(record),
    reason: typeof record.reason === 'string' && record.reason !== '' ? record.reason : 'unknown failure',
  }));
  const where = folder ? ` to ${baseName(folder) || folder}` : '';
  let headline;
  if (failures.length === 0 && written.length === 0) {
    headline = 'Nothing was written.';
  } else if (failures.length === 0) {
    headline = `Wrote ${plural(written.length, 'file')}${where}.`;
  } else if (written.length === 0) {
    headline = `Nothing was written: ${plural(failures.length, noun)} failed.`;
  } else {
    headline = `Wrote ${plural(written.length, 'file')}${where}; ${failures.length} failed.`;
  }
  if (renamed > 0) {
    headline += ` ${plural(renamed, 'name')} ${renamed === 1 ? 'was' : 'were'} changed so as not to replace existing files.`;
  }
  return { cancelled: false, headline, folder, written, failures, groups: groupByReason(failures, noun), renamed };
}

function groupByReason(failures, noun) {
  const groups = new Map();
  for (const { label, detail, reason } of failures) {
    if (!groups.has(reason)) groups.set(reason, { reason, items: [] });
    groups.get(reason).items.push({ label, detail });
  }
  return [...groups.values()].map((g) => ({ ...g, countText: plural(g.items.length, noun) }));
}

/** Names a failed image by its file name, with the full path as detail. */
export function describeImageFailure(record) {
  const path = typeof record.path === 'string' ? record.path : '';
  return { label: baseName(path) || 'an image', detail: path };
}
