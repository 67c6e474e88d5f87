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
import { describeImageFailure, summarizeExport } from './lib/summary.js';

const $ = (id) => document.getElementById(id);

const client = createBridgeClient({ target: window });

const state = {
  mode: 'video',
  source: null,
  dest: '',
  busy: '',
  // Progress of an image stream that no command of ours is waiting for (a drop).
  stream: null,
  // Set when an import command's stream began, to tell "nothing found" from a cancelled panel.
  importBegan: false,
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
 * returns the command's promise. Failures reach the user as `context: host's words`.
 */
async function runWork(label, context, task) {
  if (state.busy) return;
  state.busy = label;
  document.body.dataset.busy = 'true';
  hideMessage();
  showActivity(`${label}…`);
  refreshControls();
  try {
    await task();
  } catch (error) {
    reportFailure(context, error);
  } finally {
    state.busy = '';
    document.body.dataset.busy = 'false';
    hideActivity();
    refreshControls();
  }
}

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
  },
  onChange: () => refreshControls(),
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
  refreshControls();
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
  });
}

/** The spacing chosen by the presets or the custom field: {ok, value} or {ok: false, message}. */
function chosenStep() {
  const checked = document.querySelector('input[name="step"]:checked');
  if (!checked || checked.value !== 'custom') return { ok: true, value: Number(checked?.value ?? kDefaultStep) };
  return parseStep($('step-custom').value);
}

function refreshStepHint() {
  const step = chosenStep();
  const custom = document.querySelector('input[name="step"]:checked')?.value === 'custom';
  $('step-custom').setAttribute('aria-invalid', custom && !step.ok ? 'true' : 'false');
  $('step-hint').textContent = step.ok ? `${plural(stillCount(step.value), 'still')}` : step.message;
  refreshControls();
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
    if (shown < total) {
      showMessage(`${total - shown} of ${plural(total, 'still')} could not be read and ${total - shown === 1 ? 'is' : 'are'} left out.`, 'info');
    }
  });
}

client.on('extractProgress', (p) => {
  if (!p || !Number.isInteger(p.done) || !Number.isInteger(p.total)) return;
  showActivity(`Extracting stills… ${p.done} of ${p.total}`, p.done, p.total);
});

client.on('frameReady', (event) => {
  const frame = frameFromEvent(event);
  if (frame) videoGrid.append([frame]);
});

client.on('drop', (desc) => {
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
});

const imagePaths = new Set();

function addImages(folders) {
  const label = folders ? 'Adding folders' : 'Adding images';
  runWork(label, 'Could not add images', async () => {
    state.importBegan = false;
    const reply = await client.request('chooseImages', folders ? { folders: true } : {});
    const count = Number.isInteger(reply?.count) ? reply.count : 0;
    if (count === 0 && state.importBegan) {
      showMessage(folders ? 'No images were found in the chosen folders.' : 'None of the chosen files is an image.', 'info');
    }
  });
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
  if (fromDrop) state.stream = { received: 0, total };
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
  showActivity(`Adding images… ${Math.min(state.imagesReceived, total)} of ${total}`, state.imagesReceived, total);
  if (state.stream && state.imagesReceived >= total) {
    state.stream = null;
    hideActivity();
  }
});

// ---------------------------------------------------------------------------------------------
// Output: format, quality, destination, export

function refreshQuality() {
  $('quality-field').hidden = !usesQuality($('format').value);
  $('quality-value').textContent = $('quality').value;
}

function outputArgs() {
  const format = $('format').value;
  const args = { format, quality: usesQuality(format) ? qualityFromSlider($('quality').value) : 1 };
  if (state.dest) args.dest = state.dest;
  return args;
}

async function chooseDestination() {
  try {
    const reply = await client.request('chooseDest');
    if (reply && typeof reply.path === 'string' && reply.path !== '') setDestination(reply.path);
  } catch (error) {
    reportFailure('Could not choose a folder', error);
  }
}

function setDestination(path) {
  state.dest = path;
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
  runWork('Exporting stills', 'Could not export', async () => {
    $('video-summary').hidden = true;
    showActivity(`Exporting stills… 0 of ${frames.length}`, 0, frames.length);
    const reply = await client.request('export', { ids: frames.map((f) => f.id), ...outputArgs() });
    showSummary($('video-summary'), summarizeExport(reply, describeFrameFailure((id) => videoGrid.item(id))));
  });
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
  runWork('Converting images', 'Could not convert', async () => {
    $('images-summary').hidden = true;
    showActivity(`Converting images… 0 of ${chosen.length}`, 0, chosen.length);
    const reply = await client.request('exportImages', { paths: chosen.map((i) => i.path), ...outputArgs(), ...layout });
    showSummary($('images-summary'), summarizeExport(reply, describeImageFailure));
  });
}

client.on('exportProgress', (p) => {
  if (!p || !Number.isInteger(p.done) || !Number.isInteger(p.total)) return;
  const what = state.busy || 'Exporting';
  showActivity(`${what}… ${p.done} of ${p.total}`, p.done, p.total);
});

function showSummary(container, summary) {
  container.replaceChildren();
  const head = document.createElement('div');
  head.className = 'summary-head';
  head.append(textSpan('headline', summary.headline));
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
  if (summary.failures.length > 0) {
    const list = document.createElement('ul');
    list.setAttribute('aria-label', 'Failures');
    for (const failure of summary.failures) {
      const item = document.createElement('li');
      if (failure.detail) item.title = failure.detail;
      item.append(textSpan('label', `${failure.label}: `), textSpan('reason', failure.reason));
      list.append(item);
    }
    container.append(list);
  }
  container.hidden = false;
}

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
    button.title = waitNote;
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

  const exportButton = $('export');
  if (state.mode === 'video') {
    exportButton.textContent = pickedStills > 0 ? `Export ${plural(pickedStills, 'still')}` : 'Export stills';
    exportButton.disabled = busy || pickedStills === 0;
    exportButton.title = waitNote || (pickedStills === 0 ? 'Select the stills to export first.' : '');
  } else {
    exportButton.textContent = pickedImages > 0 ? `Convert ${plural(pickedImages, 'image')}` : `Convert all${images > 0 ? ` (${images})` : ''}`;
    exportButton.disabled = busy || images === 0;
    exportButton.title = waitNote || (images === 0 ? 'Add images first.' : '');
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
  $('step-custom').addEventListener('input', () => {
    $('step-custom-radio').checked = true;
    refreshStepHint();
  });
  $('step-custom').addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && !$('extract').disabled) extract();
  });
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

  applyMode('video');
  refreshQuality();
  refreshStepHint();
  document.body.dataset.busy = 'false';
  document.body.dataset.ready = 'true';
  // The host keeps the mode across a reload of the page; start both sides in video mode.
  client.request('setMode', { mode: 'video' }).catch((error) => reportFailure('Could not reach the host', error));
}

start();
