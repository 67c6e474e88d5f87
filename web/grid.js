// A grid of preview tiles with file-manager selection: click, Shift-click, Ctrl/Cmd-click,
// arrow keys (Shift extends, Ctrl moves the focus only), Space, Ctrl+A, Escape. The list keeps
// the keyboard focus itself and points at the focused tile through aria-activedescendant, so a
// thousand tiles need no roving tabindex. Tiles arrive in batches and are inserted once per
// animation frame through a DocumentFragment, so a stream of previews never forces a layout per
// preview.

import { el } from './dom.js';
import { Selection, changedKeys } from './lib/selection.js';

export class GridView {
  /**
   * `list` is the <ul role="listbox"> to fill. `idPrefix` makes tile element ids unique in
   * the page. `buildTile(item, li)` fills a fresh <li> for an item (text only through
   * textContent). `onChange()` runs after the items or the selection changed. `onDelete()` runs
   * on Delete or Backspace when given. `onOpen(key)`, when given, runs on a double click, Return
   * or Space on a tile (Ctrl/Cmd+Space then toggles the focused tile's selection).
   */
  constructor(list, { idPrefix, buildTile, onChange = () => {}, onDelete = null, onOpen = null }) {
    this.list = list;
    this.idPrefix = idPrefix;
    this.buildTile = buildTile;
    this.onChange = onChange;
    this.onDelete = onDelete;
    this.onOpen = onOpen;
    this.selection = new Selection();
    this.tiles = new Map();
    this.items = new Map();
    this.queue = [];
    this.flushScheduled = false;

    list.addEventListener('click', (event) => this.handleClick(event));
    list.addEventListener('keydown', (event) => this.handleKey(event));
    list.addEventListener('focus', () => this.ensureFocus());
    list.addEventListener('dblclick', (event) => {
      const li = event.target.closest('li.tile');
      if (li && this.list.contains(li) && this.onOpen) this.onOpen(this.keyOf(li));
    });
  }

  /** Puts a changed item (same key) in place of the one shown and rebuilds its tile. */
  replace(item) {
    if (!this.items.has(item.key)) return;
    this.items.set(item.key, item);
    const li = this.tiles.get(item.key);
    if (!li) return;
    li.replaceChildren();
    this.buildTile(item, li);
  }

  /** Moves the focus to a tile without changing the selection (the viewer went there). */
  focusKey(key) {
    if (!this.items.has(key)) return;
    this.selection.focus = key;
    this.paintFocus();
  }

  /** Number of items shown or waiting to be shown. */
  get count() {
    return this.selection.keys.length;
  }

  get selectedCount() {
    return this.selection.size;
  }

  /** Selected items in display order. */
  selectedItems() {
    return this.selection.selectedKeys().map((k) => this.items.get(k));
  }

  /** All items in display order. */
  allItems() {
    return this.selection.keys.map((k) => this.items.get(k));
  }

  item(key) {
    return this.items.get(key);
  }

  has(key) {
    return this.items.has(key);
  }

  /**
   * Adds items (each with a `key`) at the end. They appear, and `onChange` runs, at the next
   * animation frame: a stream of single previews costs one DOM insertion per frame.
   */
  append(items) {
    const fresh = items.filter((item) => !this.items.has(item.key));
    if (fresh.length === 0) return;
    for (const item of fresh) this.items.set(item.key, item);
    this.selection.append(fresh.map((item) => item.key));
    this.queue.push(...fresh);
    this.scheduleFlush();
  }

  /** Inserts every queued tile now; used before reading the DOM (tests, keyboard). */
  flush() {
    this.flushScheduled = false;
    if (this.queue.length === 0) return;
    const fragment = this.list.ownerDocument.createDocumentFragment();
    for (const item of this.queue) {
      if (!this.items.has(item.key)) continue;
      const selected = this.selection.has(item.key);
      const li = el('li', {
        className: selected ? 'tile selected' : 'tile', id: `${this.idPrefix}-${item.key}`, role: 'option',
        'data-key': String(item.key), 'aria-selected': String(selected),
      });
      this.buildTile(item, li);
      this.tiles.set(item.key, li);
      fragment.append(li);
    }
    this.queue = [];
    this.list.append(fragment);
    this.paintFocus();
    this.onChange();
  }

  /** Removes the items with these keys. */
  remove(keys) {
    const before = this.list.ownerDocument.activeElement === this.list;
    this.selection.remove(keys);
    for (const key of keys) {
      this.items.delete(key);
      this.tiles.get(key)?.remove();
      this.tiles.delete(key);
    }
    this.paintFocus();
    if (before) this.list.focus({ preventScroll: true });
    this.onChange();
  }

  /** Removes every item. */
  clear() {
    this.selection.reset();
    this.items.clear();
    this.tiles.clear();
    this.queue = [];
    this.list.replaceChildren();
    this.list.removeAttribute('aria-activedescendant');
    this.onChange();
  }

  selectAll() {
    this.applySelection(() => this.selection.selectAll());
  }

  selectNone() {
    this.applySelection(() => this.selection.selectNone());
  }

  handleClick(event) {
    const li = event.target.closest('li.tile');
    if (!li || !this.list.contains(li)) return;
    const key = this.keyOf(li);
    this.applySelection(() => this.selection.click(key, {
      range: event.shiftKey,
      toggle: event.ctrlKey || event.metaKey,
    }));
    this.list.focus({ preventScroll: true });
  }

  handleKey(event) {
    const mods = { range: event.shiftKey, toggle: event.ctrlKey || event.metaKey };
    let handled = true;
    this.flush();
    switch (event.key) {
      case 'ArrowRight': this.applySelection(() => this.selection.move(1, mods)); break;
      case 'ArrowLeft': this.applySelection(() => this.selection.move(-1, mods)); break;
      case 'ArrowDown': this.applySelection(() => this.selection.move(this.columns(), mods)); break;
      case 'ArrowUp': this.applySelection(() => this.selection.move(-this.columns(), mods)); break;
      case 'PageDown': this.applySelection(() => this.selection.move(this.columns() * this.rowsVisible(), mods)); break;
      case 'PageUp': this.applySelection(() => this.selection.move(-this.columns() * this.rowsVisible(), mods)); break;
      case 'Home': this.applySelection(() => this.selection.jump(false, mods)); break;
      case 'End': this.applySelection(() => this.selection.jump(true, mods)); break;
      case 'Enter':
        if (this.onOpen && this.selection.focus !== null) this.onOpen(this.selection.focus);
        else handled = false;
        break;
      case ' ':
        if (this.onOpen && !mods.toggle && this.selection.focus !== null) this.onOpen(this.selection.focus);
        else if (this.selection.focus === null) this.applySelection(() => this.selection.move(0, {}));
        else this.applySelection(() => this.selection.toggleFocus());
        break;
      case 'Escape':
        // With nothing selected, Escape is left to the page (it closes what is open).
        if (this.selectedCount > 0) this.selectNone();
        else handled = false;
        break;
      case 'a':
      case 'A':
        if (mods.toggle) this.selectAll();
        else handled = false;
        break;
      case 'Delete':
      case 'Backspace':
        if (this.onDelete) this.onDelete();
        else handled = false;
        break;
      default: handled = false;
    }
    if (handled) event.preventDefault();
  }

  applySelection(change) {
    const before = new Set(this.selection.selected);
    change();
    for (const key of changedKeys(before, this.selection.selected)) {
      const li = this.tiles.get(key);
      if (!li) continue;
      const on = this.selection.has(key);
      li.classList.toggle('selected', on);
      li.setAttribute('aria-selected', on ? 'true' : 'false');
    }
    this.paintFocus();
    this.onChange();
  }

  /**
   * The list got the keyboard focus without a focused tile (a fresh grid): the first tile takes
   * it, without scrolling. Focus also arrives on the press of a click on a tile further down, and
   * scrolling to the first tile then would move the grid away under the pointer before the click
   * lands.
   */
  ensureFocus() {
    if (this.selection.focus === null && this.count > 0) {
      this.selection.focus = this.selection.keys[0];
      this.paintFocus({ scroll: false });
    }
  }

  paintFocus({ scroll = true } = {}) {
    const previous = this.list.querySelector('li.tile.focused');
    const key = this.selection.focus;
    const li = key === null ? null : this.tiles.get(key);
    if (previous && previous !== li) previous.classList.remove('focused');
    if (!li) {
      this.list.removeAttribute('aria-activedescendant');
      return;
    }
    li.classList.add('focused');
    this.list.setAttribute('aria-activedescendant', li.id);
    if (scroll && this.list.ownerDocument.activeElement === this.list) li.scrollIntoView({ block: 'nearest' });
  }

  columns() {
    const template = getComputedStyle(this.list).gridTemplateColumns;
    const n = template ? template.split(' ').filter((part) => part !== '').length : 1;
    return Math.max(1, n);
  }

  rowsVisible() {
    const first = this.list.querySelector('li.tile');
    if (!first) return 1;
    const rowHeight = first.getBoundingClientRect().height || 1;
    return Math.max(1, Math.floor(this.list.clientHeight / rowHeight));
  }

  keyOf(li) {
    const raw = li.dataset.key;
    const n = Number(raw);
    return Number.isNaN(n) ? raw : n;
  }

  scheduleFlush() {
    if (this.flushScheduled) return;
    this.flushScheduled = true;
    const view = this.list.ownerDocument.defaultView;
    // A hidden or throttled view may not run animation frames; the timer makes sure the
    // tiles still appear.
    const timer = setTimeout(() => this.flush(), 100);
    view.requestAnimationFrame(() => {
      clearTimeout(timer);
      this.flush();
    });
  }
}
