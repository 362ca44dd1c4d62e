// The server's JSON API as the page uses it: the run's token on every
// request, failures turned into ApiError with the server's own message.

const TOKEN_KEY = "zubtool-token";
let token = null;
let forbiddenHandler = () => {};

// The token comes in the address's fragment (which the browser never sends).
// It is kept for this tab, so a reload works, and taken out of the address
// bar so it does not stay on screen or in the history.
export function takeToken() {
  const match = /(?:^#|&)token=([0-9A-Fa-f]+)/.exec(location.hash);
  if (match) {
    sessionStorage.setItem(TOKEN_KEY, match[1]);
    history.replaceState(null, "", location.pathname + location.search);
  }
  token = sessionStorage.getItem(TOKEN_KEY);
  return token;
}

export function onForbidden(handler) {
  forbiddenHandler = handler;
}

export class ApiError extends Error {
  constructor(status, body) {
    super((body && body.error) || `the server answered ${status}`);
    this.status = status;
    this.body = body || {};
  }
}

async function send(method, path, body) {
  const headers = { "X-Zubtool-Token": token || "" };
  const init = { method, headers, cache: "no-store" };
  if (body !== undefined) {
    headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  let reply;
  try {
    reply = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, { error: "zubtool ui is not answering: is it still running?" });
  }
  if (reply.status === 403) {
    let data = {};
    try {
      data = await reply.json();
    } catch (e) {
      /* the message below says it */
    }
    forbiddenHandler(data.error);
    throw new ApiError(403, { error: data.error || "refused: this page has no valid token" });
  }
  return reply;
}

async function json(reply) {
  let data;
  try {
    data = await reply.json();
  } catch (e) {
    data = { error: `the server answered ${reply.status} without a readable reply` };
  }
  if (!reply.ok) throw new ApiError(reply.status, data);
  return data;
}

export async function get(path) {
  return json(await send("GET", path));
}

export async function post(path, body = {}) {
  return json(await send("POST", path, body));
}

// A POST whose reply is a file: saved by the browser under the server's name.
export async function download(path, body = {}) {
  const reply = await send("POST", path, body);
  if (!reply.ok) return json(reply);
  const blob = await reply.blob();
  const disposition = reply.headers.get("Content-Disposition") || "";
  const match = /filename="?([^";]+)"?/.exec(disposition);
  const name = match ? match[1] : "download";
  const url = URL.createObjectURL(blob);
  const link = document.createElement("a");
  link.href = url;
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
  return { name, size: blob.size };
}
