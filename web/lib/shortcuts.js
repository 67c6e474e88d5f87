// The page's keyboard shortcuts. Ctrl+O, Shift+Ctrl+O and Ctrl+E are the application's: the host
// binds them to its menu items and tells the page through the "menuAction" event. Delete and
// Escape stay with the page (a text field needs them), and the menu only shows them. `keys` are
// written as the menu shows them; `accel` is the key as the host's menu writes it, and a host test
// checks that the menu binds exactly these. Pure: no DOM.

export const kShortcuts = Object.freeze([
  Object.freeze({ action: 'open', keys: 'Ctrl+O', accel: '<Primary>o' }),
  Object.freeze({ action: 'openFolder', keys: 'Shift+Ctrl+O', accel: '<Primary><Shift>o' }),
  Object.freeze({ action: 'export', keys: 'Ctrl+E', accel: '<Primary>e' }),
  Object.freeze({ action: 'removeSelected', keys: 'Delete', accel: 'Delete' }),
  Object.freeze({ action: 'dismiss', keys: 'Esc', accel: 'Escape' }),
]);

/** The keys of an action as the user reads them ("Ctrl+O"), or '' when it has none. */
export function keysOf(action) {
  return kShortcuts.find((s) => s.action === action)?.keys ?? '';
}

/** A tooltip that ends with the action's keys: "Add folders (Ctrl+Shift+O)". */
export function tipWithKeys(text, action) {
  const keys = keysOf(action);
  return keys ? `${text} (${keys})` : text;
}

/**
 * The action of a key the page handles itself, or null. `editing` is true when the key goes to a
 * text field or a list box the user is typing into: Delete then deletes text, not images.
 */
export function pageKeyAction(event, { editing = false } = {}) {
  if (event.ctrlKey || event.metaKey || event.altKey) return null;
  if (event.key === 'Escape') return 'dismiss';
  if (event.key === 'Delete' && !editing && !event.shiftKey) return 'removeSelected';
  return null;
}
