// Element building for the page's scripts. Text only ever goes in as text, never as markup.

/**
 * A new `tag` element with `props` set on it and `children` (nodes or strings) appended. Names
 * with a dash ("aria-label") and "role" are set as attributes, the others as properties
 * ("className", "textContent", "onclick" ...); undefined values are left out.
 */
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props)) {
    if (value === undefined) continue;
    if (name.includes('-') || name === 'role') node.setAttribute(name, value);
    else node[name] = value;
  }
  node.append(...children);
  return node;
}

/** A <button type="button"> with its label and click handler. */
export function button(label, onclick, props = {}) {
  return el('button', { type: 'button', textContent: label, onclick, ...props });
}
