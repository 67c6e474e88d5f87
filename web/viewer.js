// The full-size viewer: one still or photo large over the page, fit to the window or at 1:1,
// with its time, position and frame number (stills) or name and pixel size (photos). Stills step
// a frame or a second back and forward and go back to their planned time. The pictures are made
// by the host at the size asked for; this module only shows them.

import { button, el } from './dom.js';
import { formatSize } from './lib/format.js';
import { safeThumb } from './lib/records.js';
import { neighbourIndex, pictureSide, viewerAction } from './lib/viewer.js';

export class Viewer {
  /**
   * `request(cmd, args)` sends a command to the host. `onStill(record, reply)` runs when the
   * host answered about a still (its new time, preview and mark), `onClose(key)` when the viewer
   * closes, with the key of the item last shown. `onError(error)` reports a failed command.
   */
  constructor(doc, { request, onStill = () => {}, onClose = () => {}, onError = () => {} }) {
    this.doc = doc;
    this.request = request;
    this.onStill = onStill;
    this.onClose = onClose;
    this.onError = onError;
    this.items = [];
    this.index = -1;
    this.kind = 'still';
    this.actualSize = false;
    this.ticket = 0;
    this.build();
  }

  build() {
    const control = (label, title, action) => button(label, () => this.perform(action),
      { className: 'ghost', title, 'aria-label': title });
    this.root = el('div', {
      className: 'viewer', id: 'viewer', hidden: true, tabIndex: -1, role: 'dialog', 'aria-modal': 'true',
      'aria-label': 'Viewer',
    });
    this.picture = el('img', {
      className: 'viewer-picture', alt: '', draggable: false, onclick: () => this.perform({ kind: 'zoom' }),
    });
    this.picture.addEventListener('load', () => this.sizePicture());
    this.area = el('div', { className: 'viewer-area' }, this.picture);
    this.primary = el('span', { className: 'primary-text' });
    this.secondary = el('span', { className: 'secondary-text' });
    this.stepButtons = [
      control('−1 s', 'One second back (Shift+,)', { kind: 'step', seconds: -1 }),
      control('‹ Frame', 'One frame back (,)', { kind: 'step', frames: -1 }),
      control('Frame ›', 'One frame forward (.)', { kind: 'step', frames: 1 }),
      control('+1 s', 'One second forward (Shift+.)', { kind: 'step', seconds: 1 }),
    ];
    this.restoreButton = control('Planned time', 'Back to the planned time (Backspace)', { kind: 'restore' });
    this.zoomButton = control('1:1', 'Actual size (1)', { kind: 'zoom' });
    this.root.append(
      this.area,
      el('div', { className: 'viewer-caption' }, this.primary, this.secondary),
      el('div', { className: 'viewer-bar' },
        control('◀', 'Previous (Left)', { kind: 'tile', offset: -1 }),
        ...this.stepButtons,
        control('▶', 'Next (Right)', { kind: 'tile', offset: 1 }),
        this.restoreButton,
        this.zoomButton,
        control('Close', 'Close (Esc)', { kind: 'close' })),
    );
    this.root.addEventListener('keydown', (event) => {
      const action = viewerAction(event);
      if (!action) return;
      event.preventDefault();
      event.stopPropagation();
      this.perform(action);
    });
    this.doc.body.append(this.root);
  }

  get isOpen() {
    return !this.root.hidden;
  }

  /** Opens the viewer on `items[index]`; `kind` is 'still' (records of frames) or 'image'. */
  open(kind, items, index) {
    if (index < 0 || index >= items.length) return;
    this.kind = kind;
    this.items = items;
    this.index = index;
    this.actualSize = false;
    this.root.hidden = false;
    this.root.dataset.kind = kind;
    for (const b of [...this.stepButtons, this.restoreButton]) b.hidden = kind !== 'still';
    this.root.focus({ preventScroll: true });
    this.showPicture();
  }

  close() {
    if (!this.isOpen) return;
    this.root.hidden = true;
    this.ticket += 1;
    this.picture.removeAttribute('src');
    this.onClose(this.current()?.key);
  }

  current() {
    return this.items[this.index];
  }

  perform(action) {
    if (!this.isOpen) return;
    switch (action.kind) {
      case 'close': this.close(); break;
      case 'tile': {
        const next = neighbourIndex(this.index, action.offset, this.items.length);
        if (next === this.index) return;
        this.index = next;
        this.showPicture();
        break;
      }
      case 'zoom':
        this.actualSize = !this.actualSize;
        this.root.classList.toggle('actual-size', this.actualSize);
        this.zoomButton.textContent = this.actualSize ? 'Fit' : '1:1';
        this.sizePicture();
        this.showPicture();
        break;
      case 'step':
        if (this.kind === 'still') this.show('stepStill', action.frames !== undefined ? { frames: action.frames } : { seconds: action.seconds });
        break;
      case 'restore':
        if (this.kind === 'still' && this.current()?.moved) this.show('restoreStill');
        break;
      default: break;
    }
  }

  /** At 1:1 one pixel of the still is one pixel of the screen, also where a CSS pixel is more. */
  sizePicture() {
    const { naturalWidth } = this.picture;
    this.picture.style.width = this.actualSize && naturalWidth > 0
      ? `${naturalWidth / (this.doc.defaultView.devicePixelRatio || 1)}px` : '';
  }

  showPicture() {
    this.show(this.kind === 'still' ? 'stillPicture' : 'imagePicture');
  }

  /** Asks the host for the current item's picture through `cmd`; later answers win over earlier ones. */
  async show(cmd, extra = {}) {
    const item = this.current();
    if (!item) return;
    this.ticket += 1;
    const ticket = this.ticket;
    this.describe(item);
    const maxSide = pictureSide({
      areaWidth: this.area.clientWidth || this.doc.defaultView.innerWidth,
      areaHeight: this.area.clientHeight || this.doc.defaultView.innerHeight,
      devicePixelRatio: this.doc.defaultView.devicePixelRatio,
      actualSize: this.actualSize,
      width: item.width,
      height: item.height,
    });
    const args = this.kind === 'still' ? { id: item.id, maxSide, ...extra } : { path: item.path, maxSide };
    this.root.dataset.loading = 'true';
    try {
      const reply = await this.request(cmd, args);
      // Every answer about a still carries its whole state, so the grid follows each one, also
      // when the viewer has moved on since; the picture is only shown when it is still wanted.
      let shown = item;
      if (this.kind === 'still') {
        const updated = this.onStill(item, reply);
        const at = this.items.findIndex((other) => other.key === item.key);
        if (updated && at >= 0) this.items[at] = updated;
        if (updated) shown = updated;
      }
      if (ticket !== this.ticket || !this.isOpen) return;
      const url = safeThumb(reply?.dataUrl);
      if (url) this.picture.src = url;
      this.describe(shown);
    } catch (error) {
      if (ticket === this.ticket) this.onError(error);
    } finally {
      if (ticket === this.ticket) this.root.dataset.loading = 'false';
    }
  }

  describe(item) {
    if (this.kind === 'still') {
      const frame = Number.isInteger(item.frameNumber) ? ` · frame ${item.frameNumber}` : '';
      this.primary.textContent = `${item.timeText} · ${item.percentText}${frame}`;
      this.secondary.textContent = item.moved ? 'moved from its planned time' : '';
      this.restoreButton.disabled = !item.moved;
    } else {
      this.primary.textContent = item.name;
      this.secondary.textContent = formatSize(item.width, item.height);
    }
  }
}
