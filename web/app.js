// Wiring of the page: the controls of both modes, the two grids and the host protocol.
// Long work runs one task at a time in the host, so while a command that queues work is out,
// the buttons that would queue more are disabled and the activity bar says what is running.

import { createBridgeClient } from './bridge-client.js';
import { GridView } from './grid.js';
import { baseName, formatDecimal, plural } from './lib/format.js';
import {
  conversionArgs, kDefaultStep, kMaxSidePresets, kOutputFormats, kStepPresets, parseMaxSide, parseStep,
  qualityFromSlider, stillCount, usesQuality,
} from './lib/options.js';
import {
  describeFrameFailure, frameFromEvent, newImages, sourceFromDescription,
} from './lib/records.js';
import {
  defaultOutput, settingsFromHost, sliderFromQuality, spacingControls,
} from './lib/settings.js';
import { pageKeyAction, tipWithKeys } from './lib/shortcuts.js';
import { parseSeconds, spacingHint, stepFromSeconds } from './lib/spacing.js';
import { describeImageFailure, summarizeExport } from './lib/summary.js';
import { stillAfterReply } from './lib/viewer.js';
import { Viewer } from './viewer.js';

const $ = (id) => document.getElementById(id);

const client = createBridgeClient({ target: window });

const state = {
  mode: 'video',
  source: null,
  // Format, quality and destination of each mode; each mode remembers its own.
  outputs: { video: defaultOutput(), images: defaultOutput() },
  busy: '',
  // Progress of an image stream that no command of ours is waiting for (a drop).
  stream: null,
  // Set when an import command's stream began, to tell "nothing found" from a cancelled panel.
  importBegan: false,
  // True from a click on Cancel (or Esc) until the work it stopped has answered.
  cancelling: false,
};

// ---------------------------------------------------------------------------------------------
// Messages and activity

function showMessage(text, kind = 'error') {
  $('message-text').textContent = text;
  $('message').classList.toggle('info', kind === 'info');
  $('message').setAttribute('role', kind === 'info' ? 'status' : 'alert');
  $('message').hidden = false;
}

function hideMessage() {
  $('message').hidden = true;
  $('message-text').textContent = '';
}

function reportFailure(context, error) {
  const words = error instanceof Error ? error.message : String(error);
  showMessage(`${context}: ${words}`);
}

function showActivity(text, done = null, total = null) {
  $('activity').hidden = false;
  $('activity-text').textContent = text;
  const bar = $('activity-progress');
  if (Number.isInteger(total) && total > 0 && Number.isInteger(done)) {
    bar.max = total;
    bar.value = Math.min(done, total);
  } else {
    bar.removeAttribute('value');
  }
}

function hideActivity() {
  if (state.busy || state.stream) return;
  $('activity').hidden = true;
  $('activity-text').textContent = '';
}

/**
 * Runs one command that queues work in the host. `label` is shown while it runs; `task`
 * returns the command's promise. Failures reach the user as `context: host's words`. With
 * `announce` false nothing is shown until the task's own progress arrives: a command that opens
 * a panel first must not show work going on while the user is still choosing.
 */
async function runWork(label, context, task, { announce = true } = {}) {
  if (state.busy) return;
  state.busy = label;
  document.body.dataset.busy = 'true';
  hideMessage();
  if (announce) showActivity(`${label}…`);
  refreshControls();
  try {
    await task();
  } catch (error) {
    // A command that a cancel stopped before it started has nothing to report.
    if (!isCancelled(error)) reportFailure(context, error);
  } finally {
    state.busy = '';
    state.cancelling = false;
    document.body.dataset.busy = 'false';
    hideActivity();
    refreshControls();
  }
}

// ---------------------------------------------------------------------------------------------
// Cancel: the host stops the running command after the still or file in hand; it answers with
// what it finished and "cancelled": true, and commands queued behind it fail with "Cancelled".

function isCancelled(error) {
  return error instanceof Error && error.name === 'BridgeError' && error.message === 'Cancelled';
}

/** True while work runs that Cancel can stop: a command of ours, or images streaming from a drop. */
function cancellable() {
  return Boolean(state.busy || state.stream) && !state.cancelling;
}

async function cancelWork() {
  if (!cancellable()) return;
  state.cancelling = true;
  $('activity-text').textContent = 'Cancelling…';
  refreshControls();
  // A drop's stream has no reply to wait for: it stops at its next image and sends nothing more.
  const dropStream = !state.busy;
  try {
    await client.request('cancel');
  } catch (error) {
    reportFailure('Could not cancel', error);
  }
  if (dropStream) {
    state.stream = null;
    state.cancelling = false;
    hideActivity();
    refreshControls();
  }
}

/** "Cancelled. " in front of a reply's words when the work was stopped before its end. */
function cancelledNote(reply) {
  return reply && reply.cancelled === true ? 'Cancelled. ' : '';
}

// Esc stops the running work. Captured on the window, so it is handled before the grids' own
// Escape (which clears the selection) and does nothing else while work runs.
window.addEventListener('keydown', (event) => {
  if (event.key !== 'Escape' || !cancellable()) return;
  event.preventDefault();
  event.stopPropagation();
  cancelWork();
}, true);

// ---------------------------------------------------------------------------------------------
// Modes

function applyMode(mode) {
  state.mode = mode;
  for (const [tab, panel, name] of [['tab-video', 'panel-video', 'video'], ['tab-images', 'panel-images', 'images']]) {
    const on = name === mode;
    $(tab).setAttribute('aria-selected', on ? 'true' : 'false');
    $(tab).tabIndex = on ? 0 : -1;
    $(panel).hidden = !on;
  }
  document.body.dataset.mode = mode;
  showOutput();
  refreshControls();
}

/** Switches the page's mode and tells the host, which routes drops by it. */
async function switchMode(mode) {
  if (mode === state.mode) return;
  applyMode(mode);
  try {
    await client.request('setMode', { mode });
  } catch (error) {
    reportFailure('Could not switch modes', error);
  }
}

// ---------------------------------------------------------------------------------------------
// Video mode

const videoGrid = new GridView($('video-grid'), {
  idPrefix: 'still',
  buildTile: (frame, li) => {
    li.setAttribute('aria-label', `Still at ${frame.percentText}, ${frame.timeText}`);
    li.append(thumbElement(frame.thumb));
    const caption = document.createElement('div');
    caption.className = 'caption';
    caption.append(textSpan('primary-text', frame.timeText), textSpan('secondary-text', frame.percentText));
    li.append(caption);
    li.classList.toggle('moved', frame.moved === true);
    if (frame.moved) li.append(movedMark(frame));
  },
  onChange: () => refreshControls(),
  onOpen: (key) => openViewer('still', videoGrid, key),
});

function setSource(source) {
  state.source = source;
  videoGrid.clear();
  $('video-summary').hidden = true;
  if (source) {
    $('source-name').textContent = source.name;
    $('source-name').title = source.path;
    $('source-details').textContent = source.details;
  } else {
    $('source-name').textContent = 'No clip open';
    $('source-name').title = '';
    $('source-details').textContent = 'Open a video or an animated GIF, or drop one on the window.';
  }
  // A spacing in seconds, and the warning about repeated stills, depend on the clip.
  refreshStepHint();
}

function acceptDescription(desc) {
  const source = sourceFromDescription(desc);
  if (!source) {
    showMessage('The host described the clip in a way this page does not understand.');
    return;
  }
  setSource(source);
}

function openVideo() {
  runWork('Opening', 'Could not open the clip', async () => {
    const desc = await client.request('chooseVideo');
    if (desc !== null) acceptDescription(desc);
  }, { announce: false });
}

/** Which spacing control is on: a preset's value, 'custom' (percent) or 'seconds'. */
function stepKind() {
  return document.querySelector('input[name="step"]:checked')?.value ?? String(kDefaultStep);
}

/**
 * The spacing as the user chose it, {unit, value}, or {error} when the field in use does not
 * hold a usable value.
 */
function chosenSpacing() {
  const kind = stepKind();
  if (kind === 'seconds') {
    const seconds = parseSeconds($('step-seconds').value);
    return seconds.ok ? { unit: 'seconds', value: seconds.value } : { error: seconds.message };
  }
  if (kind === 'custom') {
    const percent = parseStep($('step-custom').value);
    return percent.ok ? { unit: 'percent', value: percent.value } : { error: percent.message };
  }
  return { unit: 'percent', value: Number(kind) };
}

/**
 * The step in percent for the host: {ok, value} or {ok: false, message}. Seconds are turned into
 * percent of the open clip's length.
 */
function chosenStep() {
  const spacing = chosenSpacing();
  if (spacing.error) return { ok: false, message: spacing.error };
  if (spacing.unit === 'percent') return { ok: true, value: spacing.value };
  if (!state.source) return { ok: false, message: `Every ${formatDecimal(spacing.value, 3)} s along the clip.`, waiting: true };
  return stepFromSeconds(spacing.value, state.source.durationSec);
}

function refreshStepHint() {
  const step = chosenStep();
  const kind = stepKind();
  const invalid = !step.ok && !step.waiting;
  $('step-custom').setAttribute('aria-invalid', kind === 'custom' && invalid ? 'true' : 'false');
  $('step-seconds').setAttribute('aria-invalid', kind === 'seconds' && invalid ? 'true' : 'false');
  const hint = step.ok ? spacingHint(step.value, state.source) : { text: step.message, warn: false };
  $('step-hint').textContent = hint.text;
  $('step-hint').classList.toggle('warn', hint.warn);
  refreshControls();
}

function rememberSpacing() {
  const spacing = chosenSpacing();
  if (!spacing.error) remember({ spacing });
}

function extract() {
  const step = chosenStep();
  if (!step.ok) {
    showMessage(step.message);
    return;
  }
  runWork('Extracting stills', 'Could not extract stills', async () => {
    videoGrid.clear();
    $('video-summary').hidden = true;
    const expected = stillCount(step.value);
    showActivity(`Extracting stills… 0 of ${expected}`, 0, expected);
    const reply = await client.request('extract', { stepPercent: step.value });
    videoGrid.flush();
    const total = Number.isInteger(reply?.count) ? reply.count : expected;
    const shown = videoGrid.count;
    if (reply?.cancelled === true) {
      showMessage(`Cancelled. ${plural(shown, 'still')} of ${expected} extracted.`, 'info');
    } else if (shown < total) {
      showMessage(`${total - shown} of ${plural(total, 'still')} could not be read and ${total - shown === 1 ? 'is' : 'are'} left out.`, 'info');
    }
  });
}

client.on('extractProgress', (p) => {
  if (!p || !Number.isInteger(p.done) || !Number.isInteger(p.total) || state.cancelling) return;
  showActivity(`Extracting stills… ${p.done} of ${p.total}`, p.done, p.total);
});

client.on('frameReady', (event) => {
  const frame = frameFromEvent(event);
  if (frame) videoGrid.append([frame]);
});

client.on('drop', (desc) => {
  showDropTarget(false);
  if (desc === null) {
    showMessage('The dropped file could not be opened as a video or GIF.');
    return;
  }
  switchMode('video');
  hideMessage();
  acceptDescription(desc);
});

// ---------------------------------------------------------------------------------------------
// Images mode

const imageGrid = new GridView($('images-grid'), {
  idPrefix: 'image',
  buildTile: (image, li) => {
    li.setAttribute('aria-label', `${image.name}, ${image.sizeText}`);
    li.title = image.path;
    li.append(thumbElement(image.thumb));
    const caption = document.createElement('div');
    caption.className = 'caption';
    caption.append(textSpan('primary-text', image.name), textSpan('secondary-text', image.sizeText));
    li.append(caption);
  },
  onChange: () => refreshControls(),
  onDelete: () => removeSelectedImages(),
  onOpen: (key) => openViewer('image', imageGrid, key),
});

// ---------------------------------------------------------------------------------------------
// The viewer (see viewer.js)

const viewer = new Viewer(document, {
  request: client.request,
  onStill: (frame, reply) => updateStill(frame, reply),
  onClose: (key) => {
    const grid = state.mode === 'video' ? videoGrid : imageGrid;
    if (key !== undefined) grid.focusKey(key);
    grid.list.focus({ preventScroll: true });
  },
  onError: (error) => reportFailure('Could not show the picture', error),
});

function openViewer(kind, grid, key) {
  const items = grid.allItems();
  viewer.open(kind, items, items.findIndex((item) => item.key === key));
}

/** Takes the host's answer about a still into its tile; returns the still's new record. */
function updateStill(frame, reply) {
  const updated = stillAfterReply(videoGrid.item(frame.key) ?? frame, reply);
  if (updated && videoGrid.has(updated.key)) videoGrid.replace(updated);
  return updated;
}

/** The mark of a still moved from its planned time; clicking it takes the still back. */
function movedMark(frame) {
  const mark = document.createElement('button');
  mark.type = 'button';
  mark.className = 'moved-mark';
  mark.textContent = '↺';
  mark.title = 'Moved from its planned time: click to go back';
  mark.setAttribute('aria-label', 'Back to the planned time');
  mark.addEventListener('click', (event) => {
    event.stopPropagation();
    client.request('restoreStill', { id: frame.id, maxSide: 16 })
      .then((reply) => updateStill(frame, reply))
      .catch((error) => reportFailure('Could not move the still back', error));
  });
  return mark;
}

// A new clip or a new run replaces the stills the viewer shows.
client.on('drop', () => viewer.close());
client.on('extractProgress', (p) => {
  if (p?.done === 0) viewer.close();
});

const imagePaths = new Set();

function addImages(folders) {
  const label = folders ? 'Adding folders' : 'Adding images';
  runWork(label, 'Could not add images', async () => {
    state.importBegan = false;
    const reply = await client.request('chooseImages', folders ? { folders: true } : {});
    const count = Number.isInteger(reply?.count) ? reply.count : 0;
    if (reply?.cancelled === true) {
      showMessage(`Cancelled. ${plural(count, 'image')} added.`, 'info');
    } else if (count === 0 && state.importBegan) {
      showMessage(folders ? 'No images were found in the chosen folders.' : 'None of the chosen files is an image.', 'info');
    }
  }, { announce: false });
}

function removeSelectedImages() {
  const gone = imageGrid.selectedItems();
  if (gone.length === 0) return;
  for (const image of gone) imagePaths.delete(image.path);
  imageGrid.remove(gone.map((image) => image.key));
}

function clearImages() {
  imagePaths.clear();
  imageGrid.clear();
  $('images-summary').hidden = true;
}

client.on('imagesBegin', (p) => {
  const total = Number.isInteger(p?.total) ? p.total : 0;
  state.importBegan = true;
  showDropTarget(false);
  const fromDrop = !state.busy;
  if (total > 0 && state.mode !== 'images') switchMode('images');
  if (total === 0) {
    if (fromDrop) {
      showMessage(state.mode === 'images'
        ? 'Nothing was added: none of the dropped items is an image. To open a clip, switch to Video first.'
        : 'Nothing was added: none of the dropped files is an image or a clip.', 'info');
    }
    return;
  }
  if (fromDrop) {
    state.stream = { received: 0, total };
    refreshControls();
  }
  showActivity(`Adding images… 0 of ${total}`, 0, total);
  state.imagesTotal = total;
  state.imagesReceived = 0;
});

client.on('imagesChunk', (p) => {
  const records = Array.isArray(p?.items) ? p.items : [];
  const fresh = newImages(records, (path) => imagePaths.has(path));
  for (const image of fresh) imagePaths.add(image.path);
  imageGrid.append(fresh);
  state.imagesReceived = (state.imagesReceived ?? 0) + records.length;
  const total = state.imagesTotal ?? 0;
  // The last records of a cancelled drop arrive after the activity bar has gone.
  if ((!state.busy && !state.stream) || state.cancelling) return;
  showActivity(`Adding images… ${Math.min(state.imagesReceived, total)} of ${total}`, state.imagesReceived, total);
  if (state.stream && state.imagesReceived >= total) {
    state.stream = null;
    hideActivity();
    refreshControls();
  }
});

// ---------------------------------------------------------------------------------------------
// Output: format, quality, destination, export

function refreshQuality() {
  // Hidden but still taking its room, so the footer does not move when the format changes.
  const unused = !usesQuality($('format').value);
  $('quality-field').classList.toggle('unused', unused);
  $('quality-field').inert = unused;
  $('quality-value').textContent = $('quality').value;
}

function outputArgs() {
  const format = $('format').value;
  const args = { format, quality: usesQuality(format) ? qualityFromSlider($('quality').value) : 1 };
  const { dest } = state.outputs[state.mode];
  if (dest) args.dest = dest;
  return args;
}

/** Asks the host to remember part of the settings ({video}, {images} or {spacing}). */
function remember(partial) {
  client.request('saveSettings', partial).catch((error) => reportFailure('Could not remember the settings', error));
}

/** Shows the output choices of the current mode in the footer. */
function showOutput() {
  const output = state.outputs[state.mode];
  $('format').value = output.format;
  $('quality').value = String(sliderFromQuality(output.quality));
  refreshQuality();
  showDestination(output.dest);
}

function outputChanged() {
  const output = state.outputs[state.mode];
  output.format = $('format').value;
  output.quality = qualityFromSlider($('quality').value);
  remember({ [state.mode]: { format: output.format, quality: output.quality } });
}

async function chooseDestination() {
  // The folder belongs to the mode it was chosen in, even if the mode changes meanwhile.
  const { mode } = state;
  try {
    const reply = await client.request('chooseDest');
    if (reply && typeof reply.path === 'string' && reply.path !== '') setDestination(reply.path, mode);
  } catch (error) {
    reportFailure('Could not choose a folder', error);
  }
}

function setDestination(path, mode = state.mode) {
  state.outputs[mode].dest = path;
  remember({ [mode]: { dest: path } });
  if (mode === state.mode) showDestination(path);
}

function showDestination(path) {
  // The folder's own name fits the bar; the full path is in the tooltip and the summary.
  $('dest-text').textContent = path ? (baseName(path) || path) : 'Ask each time';
  $('dest-text').title = path;
  $('dest-ask').hidden = !path;
  $('dest-choose').textContent = path ? 'Change…' : 'Choose folder…';
}

function exportSelection() {
  if (state.mode === 'video') exportStills();
  else convertImages();
}

function exportStills() {
  const frames = videoGrid.selectedItems();
  if (frames.length === 0) return;
  const args = outputArgs();
  runWork('Exporting stills', 'Could not export', async () => {
    $('video-summary').hidden = true;
    // Without a destination the host asks for a folder first; progress starts once it is chosen.
    if (args.dest) showActivity(`Exporting stills… 0 of ${frames.length}`, 0, frames.length);
    const reply = await client.request('export', { ids: frames.map((f) => f.id), ...args });
    const summary = summarizeExport(reply, describeFrameFailure((id) => videoGrid.item(id)), 'still');
    summary.headline = cancelledNote(reply) + summary.headline;
    showSummary($('video-summary'), summary);
  }, { announce: Boolean(args.dest) });
}

/** What a conversion keeps of each photo: its details without the location, its own colours. */
function detailArgs() {
  return { keepDetails: $('keep-details').checked, toSrgb: $('to-srgb').checked };
}

/** The longest side chosen for converted images: {ok, value} (0 for full size) or {ok: false, message}. */
function chosenMaxSide() {
  const choice = $('max-side').value;
  if (choice === 'custom') return parseMaxSide($('max-side-custom').value);
  return { ok: true, value: choice === 'full' ? 0 : Number(choice) };
}

function refreshMaxSide() {
  const custom = $('max-side').value === 'custom';
  const side = chosenMaxSide();
  $('max-side-custom').hidden = !custom;
  $('max-side-custom').setAttribute('aria-invalid', custom && !side.ok ? 'true' : 'false');
  $('max-side-hint').textContent = side.ok ? (side.value > 0 ? 'never enlarged' : '') : side.message;
}

function convertImages() {
  const chosen = imageGrid.selectedCount > 0 ? imageGrid.selectedItems() : imageGrid.allItems();
  if (chosen.length === 0) return;
  const side = chosenMaxSide();
  if (!side.ok) {
    showMessage(side.message);
    return;
  }
  const layout = conversionArgs({ maxSide: side.value, keepFolders: $('keep-folders').checked }, chosen);
  const args = outputArgs();
  runWork('Converting images', 'Could not convert', async () => {
    $('images-summary').hidden = true;
    if (args.dest) showActivity(`Converting images… 0 of ${chosen.length}`, 0, chosen.length);
    const reply = await client.request('exportImages',
      { paths: chosen.map((i) => i.path), ...args, ...layout, ...detailArgs() });
    const summary = summarizeExport(reply, describeImageFailure, 'image');
    summary.headline = cancelledNote(reply) + summary.headline;
    showSummary($('images-summary'), summary);
  }, { announce: Boolean(args.dest) });
}

client.on('exportProgress', (p) => {
  if (!p || !Number.isInteger(p.done) || !Number.isInteger(p.total) || state.cancelling) return;
  const what = state.busy || 'Exporting';
  showActivity(`${what}… ${p.done} of ${p.total}`, p.done, p.total);
});

function showSummary(container, summary) {
  container.replaceChildren();
  const head = document.createElement('div');
  head.className = 'summary-head';
  const headline = textSpan('headline', summary.headline);
  headline.title = summary.folder;
  head.append(headline);
  if (summary.written.length > 0) {
    const reveal = document.createElement('button');
    reveal.type = 'button';
    reveal.textContent = 'Show in folder';
    reveal.addEventListener('click', () => {
      client.request('reveal', { paths: summary.written }).catch((error) => reportFailure('Could not show the files', error));
    });
    head.append(reveal);
  }
  const close = document.createElement('button');
  close.type = 'button';
  close.className = 'ghost';
  close.textContent = 'Close';
  close.addEventListener('click', () => {
    container.hidden = true;
  });
  head.append(close);
  container.append(head);
  if (summary.folder) {
    const folder = document.createElement('p');
    folder.className = 'summary-folder';
    folder.textContent = summary.folder;
    container.append(folder);
  }
  if (summary.groups.length > 0) {
    // One line per reason; the items of a reason that failed more than once fold under it.
    const list = document.createElement('ul');
    list.setAttribute('aria-label', 'Failures');
    for (const group of summary.groups) {
      const item = document.createElement('li');
      if (group.items.length === 1) {
        const [only] = group.items;
        if (only.detail) item.title = only.detail;
        item.append(textSpan('label', `${only.label}: `), textSpan('reason', group.reason));
      } else {
        item.className = 'group';
        const fold = document.createElement('details');
        const head = document.createElement('summary');
        head.append(textSpan('reason', group.reason), textSpan('count', ` · ${group.countText}`));
        const names = document.createElement('ul');
        for (const failed of group.items) {
          const name = document.createElement('li');
          name.textContent = failed.label;
          if (failed.detail) name.title = failed.detail;
          names.append(name);
        }
        fold.append(head, names);
        item.append(fold);
      }
      list.append(item);
    }
    container.append(list);
  }
  container.hidden = false;
}

// ---------------------------------------------------------------------------------------------
// Shortcuts, menu items and drops

/** Tooltips of the buttons that have keys. */
const kTips = {
  'open-video': tipWithKeys('Open a video or an animated GIF', 'open'),
  'add-images': tipWithKeys('Add image files', 'open'),
  'add-folders': tipWithKeys('Add folders of images', 'openFolder'),
  export: tipWithKeys('Write the selection', 'export'),
  'images-remove': tipWithKeys('Remove the selected images from the list', 'removeSelected'),
  'message-close': tipWithKeys('Dismiss', 'dismiss'),
};

/** Closes what was shown last: the message, else the summary of the current mode. */
function dismiss() {
  if (!$('message').hidden) {
    hideMessage();
    return;
  }
  $(state.mode === 'video' ? 'video-summary' : 'images-summary').hidden = true;
}

/**
 * Runs a menu item or shortcut. The page's own buttons do the work, so a key does exactly what
 * the button does and nothing while the button is disabled.
 */
function runAction(action) {
  switch (action) {
    case 'open':
      $(state.mode === 'video' ? 'open-video' : 'add-images').click();
      break;
    case 'openFolder':
      if ($('add-folders').disabled) break;
      switchMode('images');
      $('add-folders').click();
      break;
    case 'export':
      $('export').click();
      break;
    case 'removeSelected':
      if (state.mode === 'images') removeSelectedImages();
      break;
    case 'dismiss':
      // Esc and the menu's Dismiss stop the running work first.
      if (cancellable()) cancelWork();
      else dismiss();
      break;
    default:
      break;
  }
}

client.on('menuAction', (p) => {
  if (p && typeof p.action === 'string') runAction(p.action);
});

function isEditing(element) {
  return element instanceof HTMLInputElement || element instanceof HTMLTextAreaElement ||
    element instanceof HTMLSelectElement || Boolean(element?.isContentEditable);
}

function onPageKey(event) {
  // The grid handles its own keys first (Escape clears its selection, Delete removes images).
  if (event.defaultPrevented) return;
  const action = pageKeyAction(event, { editing: isEditing(event.target) });
  if (!action) return;
  event.preventDefault();
  runAction(action);
}

function showDropTarget(active) {
  document.body.classList.toggle('drop-over', active);
  $('drop-text').textContent = state.mode === 'video'
    ? 'Drop a video or GIF to open it, or images to add them'
    : 'Drop images or folders to add them';
}

client.on('dropHover', (p) => showDropTarget(p?.active === true));

// ---------------------------------------------------------------------------------------------
// Shared pieces

function thumbElement(url) {
  if (!url) return placeholder();
  const img = document.createElement('img');
  img.className = 'thumb';
  img.alt = '';
  img.decoding = 'async';
  img.loading = 'lazy';
  img.draggable = false;
  img.addEventListener('error', () => img.replaceWith(placeholder()), { once: true });
  img.src = url;
  return img;
}

function placeholder() {
  const div = document.createElement('div');
  div.className = 'thumb placeholder';
  div.textContent = 'No preview';
  return div;
}

function textSpan(className, text) {
  const span = document.createElement('span');
  span.className = className;
  span.textContent = text;
  return span;
}

/** Enables, disables and relabels the controls from the current state. */
function refreshControls() {
  const busy = Boolean(state.busy);
  const waitNote = busy ? `Wait: ${state.busy.toLowerCase()} is still running.` : '';
  for (const button of document.querySelectorAll('button.work')) {
    button.title = waitNote || kTips[button.id] || '';
  }
  $('open-video').disabled = busy;
  $('add-images').disabled = busy;
  $('add-folders').disabled = busy;
  $('extract').disabled = busy || !state.source || !chosenStep().ok;
  if (!busy) $('extract').title = state.source ? '' : 'Open a clip first.';

  const stills = videoGrid.count;
  const pickedStills = videoGrid.selectedCount;
  $('video-count').textContent = stills === 0 ? 'No stills' : `${plural(stills, 'still')} · ${pickedStills} selected`;
  $('video-empty').hidden = stills > 0;
  $('video-select-all').disabled = stills === 0;
  $('video-select-none').disabled = pickedStills === 0;

  const images = imageGrid.count;
  const pickedImages = imageGrid.selectedCount;
  $('images-count').textContent = images === 0 ? 'No images' : `${plural(images, 'image')} · ${pickedImages} selected`;
  $('images-empty').hidden = images > 0;
  $('images-select-all').disabled = images === 0;
  $('images-select-none').disabled = pickedImages === 0;
  $('images-remove').disabled = pickedImages === 0;
  $('images-clear').disabled = images === 0 || busy;

  $('activity-cancel').disabled = !cancellable();
  reportPageState();

  const exportButton = $('export');
  if (state.mode === 'video') {
    exportButton.textContent = pickedStills > 0 ? `Export ${plural(pickedStills, 'still')}` : 'Export stills';
    exportButton.disabled = busy || pickedStills === 0;
    exportButton.title = waitNote || (pickedStills === 0 ? 'Select the stills to export first.' : kTips.export);
  } else {
    exportButton.textContent = pickedImages > 0 ? `Convert ${plural(pickedImages, 'image')}` : `Convert all${images > 0 ? ` (${images})` : ''}`;
    exportButton.disabled = busy || images === 0;
    exportButton.title = waitNote || (images === 0 ? 'Add images first.' : kTips.export);
  }
}

// The host asks before quitting while work runs or stills or images would be lost, so the page
// tells it what it holds whenever that changes.
const kWorkNames = {
  'Opening': 'opening',
  'Extracting stills': 'extraction',
  'Exporting stills': 'export',
  'Adding images': 'import',
  'Adding folders': 'import',
  'Converting images': 'conversion',
};
// null until start-up has sent its first command, so that the mode is always set first.
let reportedState = null;
let reportedWork = '';
let reportTimer = 0;

/**
 * Tells the host what the page holds. A change of work goes out at once; counts that change while
 * tiles stream in go out at most every quarter second, not once per batch.
 */
function reportPageState() {
  if (reportedState === null) return;
  const work = kWorkNames[state.busy] ?? (state.busy ? 'work' : (state.stream ? 'import' : ''));
  const send = () => {
    reportTimer = 0;
    const pageState = { work: reportedWork, stills: videoGrid.count, images: imageGrid.count };
    const text = JSON.stringify(pageState);
    if (text === reportedState) return;
    reportedState = text;
    client.request('setPageState', pageState).catch(() => {
      reportedState = '';
    });
  };
  if (work !== reportedWork) {
    reportedWork = work;
    clearTimeout(reportTimer);
    send();
  } else if (!reportTimer) {
    reportTimer = setTimeout(send, 250);
  }
}

// ---------------------------------------------------------------------------------------------
// Start-up

function buildStepPresets() {
  const holder = $('step-presets');
  for (const preset of kStepPresets) {
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'radio';
    input.name = 'step';
    input.value = String(preset);
    input.checked = preset === kDefaultStep;
    label.append(input, `${formatDecimal(preset)} %`);
    holder.append(label);
  }
  $('steps').addEventListener('change', refreshStepHint);
  $('steps').addEventListener('change', rememberSpacing);
  for (const [field, radio] of [['step-custom', 'step-custom-radio'], ['step-seconds', 'step-seconds-radio']]) {
    $(field).addEventListener('input', () => {
      $(radio).checked = true;
      refreshStepHint();
    });
    $(field).addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && !$('extract').disabled) extract();
    });
  }
}

/** Puts remembered settings into the controls. */
function applySettings(settings) {
  state.outputs.video = settings.video;
  state.outputs.images = settings.images;
  const controls = spacingControls(settings.spacing);
  const radio = document.querySelector(`input[name="step"][value="${controls.radio}"]`);
  if (radio) radio.checked = true;
  $('step-custom').value = controls.percentText;
  $('step-seconds').value = controls.secondsText;
  showOutput();
  refreshStepHint();
}

function buildFormats() {
  for (const format of kOutputFormats) {
    const option = document.createElement('option');
    option.value = format.name;
    option.textContent = format.label;
    $('format').append(option);
  }
  $('format').value = 'jpeg';
  $('format').addEventListener('change', refreshQuality);
  $('quality').addEventListener('input', refreshQuality);
  // The slider's "change" comes once, when it is let go.
  $('format').addEventListener('change', outputChanged);
  $('quality').addEventListener('change', outputChanged);
}

function buildMaxSides() {
  const choices = [['full', 'Full size'], ...kMaxSidePresets.map((px) => [String(px), `Longest side ${px} px`]),
    ['custom', 'Custom…']];
  for (const [value, label] of choices) {
    const option = document.createElement('option');
    option.value = value;
    option.textContent = label;
    $('max-side').append(option);
  }
  $('max-side').value = 'full';
  $('max-side').addEventListener('change', refreshMaxSide);
  $('max-side-custom').addEventListener('input', refreshMaxSide);
}

function wireTabs() {
  const tabs = [$('tab-video'), $('tab-images')];
  $('tab-video').addEventListener('click', () => switchMode('video'));
  $('tab-images').addEventListener('click', () => switchMode('images'));
  for (const tab of tabs) {
    tab.addEventListener('keydown', (event) => {
      if (event.key !== 'ArrowLeft' && event.key !== 'ArrowRight') return;
      event.preventDefault();
      const other = tabs.find((t) => t !== tab);
      other.focus();
      other.click();
    });
  }
}

function start() {
  buildStepPresets();
  buildFormats();
  buildMaxSides();
  wireTabs();
  $('message-close').addEventListener('click', hideMessage);
  $('open-video').addEventListener('click', openVideo);
  $('extract').addEventListener('click', extract);
  $('video-select-all').addEventListener('click', () => videoGrid.selectAll());
  $('video-select-none').addEventListener('click', () => videoGrid.selectNone());
  $('add-images').addEventListener('click', () => addImages(false));
  $('add-folders').addEventListener('click', () => addImages(true));
  $('images-select-all').addEventListener('click', () => imageGrid.selectAll());
  $('images-select-none').addEventListener('click', () => imageGrid.selectNone());
  $('images-remove').addEventListener('click', removeSelectedImages);
  $('images-clear').addEventListener('click', clearImages);
  $('dest-choose').addEventListener('click', chooseDestination);
  $('dest-ask').addEventListener('click', () => setDestination(''));
  $('export').addEventListener('click', exportSelection);
  document.addEventListener('keydown', onPageKey);
  $('images-remove').title = kTips['images-remove'];
  $('message-close').title = kTips['message-close'];
  $('activity-cancel').addEventListener('click', cancelWork);

  applyMode('video');
  refreshQuality();
  refreshStepHint();
  document.body.dataset.busy = 'false';
  document.body.dataset.ready = 'true';
  // The host keeps the mode across a reload of the page; start both sides in video mode.
  client.request('setMode', { mode: 'video' }).catch((error) => reportFailure('Could not reach the host', error));
  client.request('getSettings')
    .then((reply) => applySettings(settingsFromHost(reply, kOutputFormats.map((f) => f.name))))
    .catch((error) => reportFailure('Could not read the remembered settings', error));
  reportedState = '';
  reportPageState();
}

start();
