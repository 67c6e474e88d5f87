// Selection over an ordered list of keys (frame ids or image ids), with the gestures of a
// file manager: click, Shift-click ranges from an anchor, Ctrl/Cmd-click toggles, and the
// keyboard moves a focus that plain moves select and Shift moves extend. Pure: no DOM.

export class Selection {
  constructor() {
    this.keys = [];
    this.index = new Map();
    this.selected = new Set();
    this.anchor = null;
    this.focus = null;
  }

  /** Number of selected keys. */
  get size() {
    return this.selected.size;
  }

  has(key) {
    return this.selected.has(key);
  }

  /** Selected keys in display order. */
  selectedKeys() {
    return this.keys.filter((k) => this.selected.has(k));
  }

  /** Appends keys in display order (a batch of arriving previews). Repeats are ignored. */
  append(keys) {
    for (const key of keys) {
      if (this.index.has(key)) continue;
      this.index.set(key, this.keys.length);
      this.keys.push(key);
    }
  }

  /**
   * Removes keys from the list. Their selection goes with them; a removed focus moves to the
   * next surviving item (or the previous one at the end), a removed anchor follows the focus.
   */
  remove(keys) {
    const gone = new Set(keys);
    if (gone.size === 0) return;
    if (this.focus !== null && gone.has(this.focus)) {
      const at = this.index.get(this.focus);
      let next = null;
      for (let i = at + 1; i < this.keys.length && next === null; i += 1) {
        if (!gone.has(this.keys[i])) next = this.keys[i];
      }
      for (let i = at - 1; i >= 0 && next === null; i -= 1) {
        if (!gone.has(this.keys[i])) next = this.keys[i];
      }
      this.focus = next;
    }
    this.keys = this.keys.filter((k) => !gone.has(k));
    this.index = new Map();
    this.keys.forEach((k, i) => this.index.set(k, i));
    for (const k of gone) this.selected.delete(k);
    if (this.anchor !== null && gone.has(this.anchor)) this.anchor = this.focus;
  }

  /** Empties the list and the selection. */
  reset() {
    this.keys = [];
    this.index = new Map();
    this.selected.clear();
    this.anchor = null;
    this.focus = null;
  }

  /**
   * A pointer click on `key`. `range` (Shift) selects from the anchor to the key, replacing the
   * selection unless `toggle` (Ctrl/Cmd) is held too, which adds the range. `toggle` alone flips
   * the key. A plain click selects only the key. Unknown keys are ignored.
   */
  click(key, { range = false, toggle = false } = {}) {
    if (!this.index.has(key)) return;
    if (range && this.anchor !== null && this.index.has(this.anchor)) {
      const span = this.between(this.anchor, key);
      if (!toggle) this.selected.clear();
      for (const k of span) this.selected.add(k);
      this.focus = key;
      return;
    }
    if (toggle) {
      if (this.selected.has(key)) this.selected.delete(key);
      else this.selected.add(key);
    } else {
      this.selected.clear();
      this.selected.add(key);
    }
    this.anchor = key;
    this.focus = key;
  }

  /**
   * Keyboard move of the focus by `delta` positions (clamped to the list). With `range` the
   * selection becomes anchor..focus; with `toggle` only the focus moves (Space then flips it);
   * otherwise the new focus alone is selected. Moving with an empty focus starts at the first
   * item. Answers the new focus key, or null for an empty list.
   */
  move(delta, { range = false, toggle = false } = {}) {
    if (this.keys.length === 0) return null;
    const from = this.focus === null ? -1 : this.index.get(this.focus);
    const to = from < 0 ? 0 : clamp(from + delta, 0, this.keys.length - 1);
    return this.moveTo(this.keys[to], { range, toggle });
  }

  /** Keyboard jump to the first (`end` false) or last item, with the modifiers of `move`. */
  jump(end, { range = false, toggle = false } = {}) {
    if (this.keys.length === 0) return null;
    return this.moveTo(this.keys[end ? this.keys.length - 1 : 0], { range, toggle });
  }

  /** Space on the focused item: flips its selection and makes it the anchor. */
  toggleFocus() {
    if (this.focus === null) return;
    this.click(this.focus, { toggle: true });
  }

  selectAll() {
    for (const k of this.keys) this.selected.add(k);
  }

  selectNone() {
    this.selected.clear();
  }

  /** Position of the key in the list, or -1 when it is not there. */
  position(key) {
    return this.index.has(key) ? this.index.get(key) : -1;
  }

  moveTo(key, { range, toggle }) {
    if (range) {
      if (this.anchor === null || !this.index.has(this.anchor)) this.anchor = this.focus ?? key;
      const span = this.between(this.anchor, key);
      if (!toggle) this.selected.clear();
      for (const k of span) this.selected.add(k);
    } else if (!toggle) {
      this.selected.clear();
      this.selected.add(key);
      this.anchor = key;
    }
    this.focus = key;
    return key;
  }

  between(a, b) {
    const i = this.index.get(a);
    const j = this.index.get(b);
    return this.keys.slice(Math.min(i, j), Math.max(i, j) + 1);
  }
}

/**
 * The keys whose selected state differs between two sets: what a view has to repaint after a
 * gesture, without touching the items that did not change.
 */
export function changedKeys(before, after) {
  const changed = [];
  for (const k of before) if (!after.has(k)) changed.push(k);
  for (const k of after) if (!before.has(k)) changed.push(k);
  return changed;
}

function clamp(n, lo, hi) {
  return Math.min(hi, Math.max(lo, n));
}
