// Wiring of the page: the controls of both modes, the two grids and the host protocol.
// Long work runs one task at a time in the host, so while a command that queues work is out,
// the buttons that would queue more are disabled and the activity bar says what is running.

import { createBridgeClient } from './bridge-client.js';
import { button, el } from './dom.js';
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

/** Sends a command whose failure is shown as `context: host's words`; its reply, or undefined. */
function request(cmd, args, context) {
  return client.request(cmd, args).catch((error) => reportFailure(context, error));
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

/** Shows a progress event of the host's, unless Cancel was clicked. */
function showProgress(p, what) {
  if (!p || !Number.isInteger(p.done) || !Number.isInteger(p.total) || state.cancelling) return;
  showActivity(`${what}… ${p.done} of ${p.total}`, p.done, p.total);
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
  await request('cancel', {}, 'Could not cancel');
  if (dropStream) {
    state.stream = null;
    state.cancelling = false;
    hideActivity();
    refreshControls();
  }
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
  await request('setMode', { mode }, 'Could not switch modes');
}

// ---------------------------------------------------------------------------------------------
// Video mode

const videoGrid = new GridView($('video-grid'), {
  idPrefix: 'still',
  buildTile: (frame, li) => {
    fillTile(li, `Still at ${frame.percentText}, ${frame.timeText}`, frame.thumb, frame.timeText, frame.percentText);
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
  const { name, path, details } = source
    ?? { name: 'No clip open', path: '', details: 'Open a video or an animated GIF, or drop one on the window.' };
  $('source-name').textContent = name;
  $('source-name').title = path;
  $('source-details').textContent = details;
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

client.on('extractProgress', (p) => showProgress(p, 'Extracting stills'));

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
    li.title = image.path;
    fillTile(li, `${image.name}, ${image.sizeText}`, image.thumb, image.name, image.sizeText);
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
  return button('↺', (event) => {
    event.stopPropagation();
    client.request('restoreStill', { id: frame.id, maxSide: 16 })
      .then((reply) => updateStill(frame, reply))
      .catch((error) => reportFailure('Could not move the still back', error));
  }, {
    className: 'moved-mark',
    title: 'Moved from its planned time: click to go back',
    'aria-label': 'Back to the planned time',
  });
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
  request('saveSettings', partial, 'Could not remember the settings');
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
  const reply = await request('chooseDest', {}, 'Could not choose a folder');
  if (reply && typeof reply.path === 'string' && reply.path !== '') setDestination(reply.path, mode);
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
  runExport({
    label: 'Exporting stills', context: 'Could not export', summaryId: 'video-summary', count: frames.length, args,
    noun: 'still', describe: describeFrameFailure((id) => videoGrid.item(id)),
  }, () => client.request('export', { ids: frames.map((f) => f.id), ...args }));
}

/**
 * Runs an export or a conversion (`send` sends its command) and shows its summary. Without a
 * destination the host asks for a folder first, so progress is shown once it has been chosen.
 */
function runExport({ label, context, summaryId, count, args, noun, describe }, send) {
  runWork(label, context, async () => {
    $(summaryId).hidden = true;
    if (args.dest) showActivity(`${label}… 0 of ${count}`, 0, count);
    const reply = await send();
    const result = summarizeExport(reply, describe, noun);
    // "Cancelled. " in front when the work was stopped before its end.
    if (reply?.cancelled === true) result.headline = `Cancelled. ${result.headline}`;
    showSummary($(summaryId), result);
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
  runExport({
    label: 'Converting images', context: 'Could not convert', summaryId: 'images-summary', count: chosen.length, args,
    noun: 'image', describe: describeImageFailure,
  }, () => client.request('exportImages',
    { paths: chosen.map((i) => i.path), ...args, ...layout, ...detailArgs() }));
}

client.on('exportProgress', (p) => showProgress(p, state.busy || 'Exporting'));

function showSummary(container, summary) {
  const head = el('div', { className: 'summary-head' }, el('span', {
    className: 'headline', textContent: summary.headline, title: summary.folder,
  }));
  if (summary.written.length > 0) {
    head.append(button('Show in folder', () => request('reveal', { paths: summary.written }, 'Could not show the files')));
  }
  head.append(button('Close', () => {
    container.hidden = true;
  }, { className: 'ghost' }));
  container.replaceChildren(head);
  if (summary.folder) container.append(el('p', { className: 'summary-folder', textContent: summary.folder }));
  if (summary.groups.length > 0) {
    // One line per reason; the items of a reason that failed more than once fold under it.
    const list = el('ul', { 'aria-label': 'Failures' });
    for (const group of summary.groups) {
      const reason = textSpan('reason', group.reason);
      if (group.items.length === 1) {
        const [only] = group.items;
        list.append(el('li', { title: only.detail || undefined }, textSpan('label', `${only.label}: `), reason));
        continue;
      }
      const names = group.items.map((failed) =>
        el('li', { textContent: failed.label, title: failed.detail || undefined }));
      list.append(el('li', { className: 'group' }, el('details', {},
        el('summary', {}, reason, textSpan('count', ` · ${group.countText}`)), el('ul', {}, ...names))));
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

/** Fills a grid tile: its label, its preview and a caption of two texts. */
function fillTile(li, label, thumb, primary, secondary) {
  li.setAttribute('aria-label', label);
  li.append(thumbElement(thumb),
    el('div', { className: 'caption' }, textSpan('primary-text', primary), textSpan('secondary-text', secondary)));
}

function thumbElement(url) {
  const placeholder = () => el('div', { className: 'thumb placeholder', textContent: 'No preview' });
  if (!url) return placeholder();
  const img = el('img', { className: 'thumb', alt: '', decoding: 'async', loading: 'lazy', draggable: false });
  img.addEventListener('error', () => img.replaceWith(placeholder()), { once: true });
  img.src = url;
  return img;
}

function textSpan(className, text) {
  return el('span', { className, textContent: text });
}

/** Enables, disables and relabels the controls from the current state. */
function refreshControls() {
  const busy = Boolean(state.busy);
  const waitNote = busy ? `Wait: ${state.busy.toLowerCase()} is still running.` : '';
  for (const button of document.querySelectorAll('button.work')) {
    button.title = waitNote || kTips[button.id] || '';
  }
  for (const id of ['open-video', 'add-images', 'add-folders']) $(id).disabled = busy;
  $('extract').disabled = busy || !state.source || !chosenStep().ok;
  if (!busy) $('extract').title = state.source ? '' : 'Open a clip first.';

  const pickedStills = refreshListBar('video', videoGrid, 'still');
  const pickedImages = refreshListBar('images', imageGrid, 'image');
  const images = imageGrid.count;
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

/** The count and selection buttons above a grid; returns how many of its items are selected. */
function refreshListBar(prefix, grid, noun) {
  const { count, selectedCount } = grid;
  $(`${prefix}-count`).textContent = count === 0 ? `No ${noun}s` : `${plural(count, noun)} · ${selectedCount} selected`;
  $(`${prefix}-empty`).hidden = count > 0;
  $(`${prefix}-select-all`).disabled = count === 0;
  $(`${prefix}-select-none`).disabled = selectedCount === 0;
  return selectedCount;
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
  $('step-presets').append(...kStepPresets.map((preset) => el('label', {},
    el('input', { type: 'radio', name: 'step', value: String(preset), checked: preset === kDefaultStep }),
    `${formatDecimal(preset)} %`)));
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

/** Fills a <select> with [value, label] choices and selects `value`. */
function fillSelect(select, choices, value) {
  select.append(...choices.map(([choice, label]) => el('option', { value: choice, textContent: label })));
  select.value = value;
}

function buildFormats() {
  fillSelect($('format'), kOutputFormats.map((format) => [format.name, format.label]), 'jpeg');
  $('format').addEventListener('change', refreshQuality);
  $('quality').addEventListener('input', refreshQuality);
  // The slider's "change" comes once, when it is let go.
  $('format').addEventListener('change', outputChanged);
  $('quality').addEventListener('change', outputChanged);
}

function buildMaxSides() {
  const presets = kMaxSidePresets.map((px) => [String(px), `Longest side ${px} px`]);
  fillSelect($('max-side'), [['full', 'Full size'], ...presets, ['custom', 'Custom…']], 'full');
  $('max-side').addEventListener('change', refreshMaxSide);
  $('max-side-custom').addEventListener('input', refreshMaxSide);
}

function wireTabs() {
  const tabs = [$('tab-video'), $('tab-images')];
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
  const clicks = {
    'tab-video': () => switchMode('video'),
    'tab-images': () => switchMode('images'),
    'message-close': hideMessage,
    'open-video': openVideo,
    extract,
    'video-select-all': () => videoGrid.selectAll(),
    'video-select-none': () => videoGrid.selectNone(),
    'add-images': () => addImages(false),
    'add-folders': () => addImages(true),
    'images-select-all': () => imageGrid.selectAll(),
    'images-select-none': () => imageGrid.selectNone(),
    'images-remove': removeSelectedImages,
    'images-clear': clearImages,
    'dest-choose': chooseDestination,
    'dest-ask': () => setDestination(''),
    export: exportSelection,
    'activity-cancel': cancelWork,
  };
  for (const [id, onClick] of Object.entries(clicks)) $(id).addEventListener('click', onClick);
  document.addEventListener('keydown', onPageKey);
  $('images-remove').title = kTips['images-remove'];
  $('message-close').title = kTips['message-close'];

  applyMode('video');
  refreshQuality();
  refreshStepHint();
  document.body.dataset.busy = 'false';
  document.body.dataset.ready = 'true';
  // The host keeps the mode across a reload of the page; start both sides in video mode.
  request('setMode', { mode: 'video' }, 'Could not reach the host');
  client.request('getSettings')
    .then((reply) => applySettings(settingsFromHost(reply, kOutputFormats.map((f) => f.name))))
    .catch((error) => reportFailure('Could not read the remembered settings', error));
  reportedState = '';
  reportPageState();
}

start();
