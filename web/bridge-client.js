// The page's side of the host protocol. Commands go out as {id, cmd, args} through the
// "bridge" script message handler; the host answers each with one call of
// window.__bridgeResolveRaw({id, ok, payload}) and pushes progress and notices through its event
// functions. This module numbers the requests, keeps one promise per request and routes the
// events to handlers. It touches nothing but the global object it is given.

/** The function the host calls with every reply. */
export const kReplyFunction = '__bridgeResolveRaw';

/** The host's event functions and the names the page's handlers use for them. */
export const kEventFunctions = Object.freeze({
  __onExtractProgress: 'extractProgress',
  __onFrameReady: 'frameReady',
  __onExportProgress: 'exportProgress',
  __onImagesBegin: 'imagesBegin',
  __onImagesChunk: 'imagesChunk',
  __onDrop: 'drop',
  __onMenuAction: 'menuAction',
  __onDropHover: 'dropHover',
});

/** A reply with "ok" false: the message is the host's words, `command` the command's name. */
export class BridgeError extends Error {
  constructor(message, command) {
    super(message);
    this.name = 'BridgeError';
    this.command = command;
  }
}

/**
 * Creates the client and installs the reply and event functions on `target` (the window).
 * `post` sends one message object to the host; by default it is the WebKit message handler
 * "bridge" of `target`, looked up at send time.
 */
export function createBridgeClient({ target = globalThis, post = null } = {}) {
  const pending = new Map();
  const handlers = new Map();
  let nextId = 1;

  const send = post ?? ((message) => {
    const handler = target.webkit?.messageHandlers?.bridge;
    if (!handler) throw new Error('The page is not running inside Quillon, so the host cannot be reached.');
    handler.postMessage(message);
  });

  function request(cmd, args = {}) {
    const id = nextId;
    nextId += 1;
    return new Promise((resolve, reject) => {
      pending.set(id, { cmd, resolve, reject });
      try {
        send({ id, cmd, args });
      } catch (error) {
        pending.delete(id);
        reject(new BridgeError(error instanceof Error ? error.message : String(error), cmd));
      }
    });
  }

  function resolveRaw(reply) {
    const envelope = typeof reply === 'string' ? parseJson(reply) : reply;
    if (!envelope || typeof envelope !== 'object') return;
    const entry = pending.get(envelope.id);
    if (!entry) return;
    pending.delete(envelope.id);
    if (envelope.ok === true) {
      entry.resolve(envelope.payload ?? null);
    } else {
      const message = typeof envelope.payload === 'string' && envelope.payload !== ''
        ? envelope.payload
        : `The host could not complete "${entry.cmd}".`;
      entry.reject(new BridgeError(message, entry.cmd));
    }
  }

  function on(eventName, handler) {
    if (!handlers.has(eventName)) handlers.set(eventName, []);
    handlers.get(eventName).push(handler);
  }

  function dispatch(eventName, payload) {
    for (const handler of handlers.get(eventName) ?? []) {
      try {
        handler(payload);
      } catch (error) {
        // One failing handler must not keep the others from seeing the event.
        console.error(error);
      }
    }
  }

  target[kReplyFunction] = resolveRaw;
  for (const [fn, eventName] of Object.entries(kEventFunctions)) {
    target[fn] = (payload) => dispatch(eventName, payload === undefined ? null : payload);
  }

  return {
    request,
    on,
    /** Number of requests still waiting for their reply. */
    get pendingCount() {
      return pending.size;
    },
    /** Names of the commands still waiting, oldest first. */
    pendingCommands() {
      return [...pending.values()].map((p) => p.cmd);
    },
  };
}

function parseJson(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}
