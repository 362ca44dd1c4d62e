// The workbench page: the reader and card bar, the card or a file shown as a
// sector map and blocks, keys, editing and files. Every check is the server's.
import { takeToken, onForbidden, get, post, download, ApiError } from "./api.js";
import { el, plural, readNumber, FieldError, renderMap, renderNdef, renderSector } from "./view.js";
import { linkAscii } from "./ascii.js";

const $ = (id) => document.getElementById(id);
const state = {
  view: null,        // {source: "card" | file name, card, image, sectors}
  cardRead: null,    // the last read of the card
  files: [],         // opened images: {name, format, image, sectors, warnings}
  selected: 0,
  fieldUid: null,
  job: null,
  reading: false,    // a read of the card is on its way
  keysFile: null,    // the keys file whose keys are in the box, until they are used
};

// The message box: what it is about ("image", "token") is kept, so that the
// next success of the same kind clears it; Dismiss clears it at once.
function show(message, about = "image") {
  const box = $("message");
  $("message-text").textContent = message;
  box.dataset.about = about;
  box.hidden = !message;
}

function clearShown(about) {
  if ($("message").dataset.about === about) show("", about);
}


// A message in a node: a result code the server gives as "(code 4)" stays
// beside the words, small.
function say(target, text, ok) {
  const node = typeof target === "string" ? $(target) : target;
  node.replaceChildren(...String(text).split(/(\(code -?\d+\))/).map((part, i) =>
    i % 2 ? el("small", { class: "code", text: part }) : part));
  node.className = ok === undefined ? "" : ok ? "good" : "bad";
}

function failure(e) {
  if (!(e instanceof ApiError)) return String(e);
  if (e.status === 409 && e.body.busy) return `busy: ${e.body.busy}`;
  // Another card on the reader than the one shown: the banner says which.
  if (e.status === 409 && e.body.cardUid) {
    state.fieldUid = e.body.cardUid;
    markStale();
  }
  return e.message;
}

// The card the page shows, which every write names; null (and the reason
// said in `target`) when none was read.
function cardShown(target) {
  const uid = state.cardRead && state.cardRead.card && state.cardRead.card.uid;
  if (!uid) say(target, "✗ read the card first: a write names the card it is for", false);
  return uid || null;
}

// What the trailer `block` of the card shown holds, as far as it is known,
// for the server to say what a new trailer changes.
function trailerNow(block) {
  const shown = state.cardRead;
  const s = shown && shown.sectors.find((x) => x.trailerBlock === block);
  if (!s || !s.read || !s.read.opened) return null;
  return { keyA: s.read.keyA || s.keyA || null, keyB: s.read.keyB || s.keyB || null, accessBits: s.accessBits || null };
}

onForbidden(() => show("This page has no valid token: open the address zubtool ui printed (with its #token=...).", "token"));

// ---- the reader and the card in the field
function cardText(card) {
  if (!card || !card.present) return (card && card.error) || "no card in the field";
  return `${card.type} · UID ${card.uid} · ATQA ${card.atqa} · SAK ${card.sak}`;
}

// The card in the field as the card bar shows it; null when none is known
// (no card, no reader, the server not answering).
function showCard(card) {
  const present = !!(card && card.present);
  say("card", present ? `✓ ${cardText(card)}` : `○ ${cardText(card)}`, present);
  state.fieldUid = present ? card.uid : null;
  document.body.dataset.cardPresent = String(present);
  $("read-card").disabled = !present || state.reading;
  markStale();
}

// The card bar is filled (by the first status or the first read): the page
// is usable from here.
function ready() {
  if (performance.getEntriesByName("zub-ready").length) return;
  performance.mark("zub-ready");
  document.body.dataset.ready = "1";
}

async function poll() {
  try {
    const s = await get("/api/status");
    const r = s.reader || {};
    say("reader", r.open ? `✓ reader ${r.virtual ? "(virtual) " : ""}at device ${r.device}` : `✗ no reader: ${r.error || "not open"}`, !!r.open);
    // The page's own read says what the card is when it ends; a reader that
    // is not open sees no card, whatever was seen last.
    if (!r.open) showCard({ present: false, error: "no reader" });
    else if (!state.reading) showCard(s.card);
    if (s.busy) $("read-card").disabled = true;
    if (s.job) showJob(s.job);
    ready();
    // A card put on the reader is read at once (not while another card
    // operation runs).
    if (state.fieldUid && !state.cardRead && !state.reading && !s.busy) readCard();
  } catch (e) {
    say("reader", `✗ ${failure(e)}`, false);
    showCard({ present: false, error: "not known: the server did not answer" });
  }
}

function markStale() {
  const stale = $("stale");
  const shown = state.cardRead && state.cardRead.card && state.cardRead.card.uid;
  if (!shown) { stale.hidden = true; return; }
  let text = "";
  if (!state.fieldUid) text = `⚠ The card shown (UID ${shown}) has left the field.`;
  else if (state.fieldUid !== shown) text = `⚠ Another card is in the field (UID ${state.fieldUid}): the card shown (UID ${shown}) is stale. Read the card again.`;
  stale.textContent = text;
  stale.hidden = !text;
  document.body.dataset.stale = String(!!text);
}

async function readCard() {
  state.reading = true;
  $("read-card").disabled = true;
  say("view-note", "reading the card…");
  try {
    const r = await post("/api/card/read");
    state.cardRead = r;
    state.reading = false;
    showCard(r.card);
    ready();
    showView({ source: "card", ...r, warnings: r.lost ? [r.lost] : [] });
    performance.mark("zub-card-shown");
    document.body.dataset.cardShown = r.card.uid || "";
    refreshSources();
  } catch (e) {
    state.reading = false;
    say("view-note", failure(e), false);
    // No card, no reader: the status says which.
    if (e.status === 503 || e.status === 0) showCard({ present: false, error: failure(e) });
  }
  $("read-card").disabled = !state.fieldUid;
  markStale();
}

// The card shown takes the block a write or a value operation left, from its
// reply: the server describes the image again (no card command), and each
// sector keeps how it was read. Without the block's bytes, or when the card
// written is not the card shown, the card is read again.
async function showWritten(cardUid, block, data) {
  const shown = state.cardRead;
  if (!shown || !data || !shown.card || shown.card.uid !== cardUid || !shown.image.blocks[block]) {
    readCard();
    return;
  }
  const blocks = shown.image.blocks.slice();
  blocks[block] = data;
  const image = { ...shown.image, blocks };
  try {
    const d = await post("/api/image/describe", { image });
    // Another write or read came first: the card as it is now is read.
    if (state.cardRead !== shown) { readCard(); return; }
    const sectors = d.sectors.map((s, i) => ({ ...s, read: shown.sectors[i].read }));
    state.cardRead = { ...shown, image, sectors, mad: d.mad, ndef: d.ndef };
    showView({ source: "card", ...state.cardRead, warnings: state.cardRead.lost ? [state.cardRead.lost] : [] });
    document.body.dataset.cardShown = state.cardRead.card.uid || "";
    refreshSources();
  } catch (e) {
    readCard();
    return;
  }
  markStale();
}

// ---- the view: sector map and blocks
function showView(view, marks) {
  state.view = view;
  state.marks = marks || null;
  if (state.selected >= view.sectors.length) state.selected = 0;
  const img = view.image;
  $("view-title").textContent = view.source === "card" ? `Card ${img.uid || ""}` : `File ${view.source}`;
  const opened = view.sectors.filter((s) => s.read && s.read.opened).length;
  say("view-note", view.source === "card"
    ? `${img.card} card, ${opened} of ${plural(view.sectors.length, "sector")} opened${view.complete ? "" : " (not all of it was read)"}`
    : `${img.card} image (${view.format || "?"}), UID ${img.uid || "not known"}`);
  const warnings = [...(view.warnings || [])];
  const mad = view.mad;
  if (mad && mad.error) warnings.push(`the application directory cannot be read: ${mad.error}`);
  else if (mad && !mad.crcOk) warnings.push(`the application directory's CRC is ${mad.crc}, not ${mad.expectedCrc}: it is not trusted, and no sector is labelled from it`);
  $("view-warnings").replaceChildren(...warnings.map((w) => el("li", { text: `⚠ ${w}` })));
  if (view.source !== "card") clearShown("image");
  showRanges(view);
  renderNdef($("ndef-view"), view.ndef);
  select(state.selected, false);
}

// The number fields' ranges, as the card (or file) shown has them.
function lastBlock() {
  const sectors = state.view ? state.view.sectors : null;
  if (!sectors || !sectors.length) return 63;
  const last = sectors[sectors.length - 1];
  return last.firstBlock + last.blockCount - 1;
}

function lastSector() {
  return state.view && state.view.sectors.length ? state.view.sectors.length - 1 : 15;
}

function showRanges() {
  for (const id of ["edit-block", "value-block"]) {
    $(id).max = String(lastBlock());
    $(`${id}-range`).textContent = `0 to ${lastBlock()}`;
  }
  $("trailer-sector").max = String(lastSector());
  $("trailer-sector-range").textContent = `0 to ${lastSector()}`;
}

// A number field read, or its fault said at `where` (null then).
function numberOr(where, id, name, min, max) {
  try {
    return readNumber($(id), name, min, max);
  } catch (e) {
    if (!(e instanceof FieldError)) throw e;
    say(where, `✗ ${e.message}`, false);
    $(id).focus();
    return null;
  }
}

function select(i, focus) {
  state.selected = i;
  // A directory whose check byte is wrong labels nothing (the view says so).
  const mad = state.view.mad && state.view.mad.crcOk ? state.view.mad : null;
  renderMap($("sector-map"), state.view.sectors, i, select, mad);
  renderSector($("blocks-title"), $("sector-state"), $("sector-words"), $("block-table"), state.view.sectors[i], pickBlock, state.marks);
  if (focus) $("sector-map").children[i].focus();
}

function pickBlock(b) {
  $("edit-block").value = b.block;
  $("edit-data").value = b.data;
  $("edit-force").checked = b.kind === "trailer";
  $("edit-block0").checked = b.kind === "manufacturer";
  if (b.kind === "value" && b.value) {
    $("value-block").value = b.block;
    $("value-value").value = b.value.value;
    $("value-address").value = b.value.address;
  }
  $("edit-data").focus();
  checkSoon();
  imageEditFollow(b.block);
}

// ---- keys
// The keys to try as the note says them: how many, whether zubtool's list is
// among them, and the file they came from.
function keysNote(count, builtIn, skipped = []) {
  const from = state.keysFile ? ` (with ${state.keysFile})` : "";
  const list = builtIn ? ", the built-in list included" : ", without the built-in list";
  const lost = skipped.map((s) => `line ${s.line} (${s.text}): ${s.reason}`);
  say("keys-note", `${plural(count, "key")} to try${list}${from}.${lost.length ? " Skipped: " + lost.join("; ") : ""}`, lost.length ? false : undefined);
}

async function setKeys() {
  try {
    const builtIn = $("keys-builtin").checked;
    const r = await post("/api/keys", { text: $("keys-text").value, builtIn });
    keysNote(r.count, builtIn, r.skipped);
  } catch (e) {
    say("keys-note", failure(e), false);
  }
  state.keysFile = null;
}

// The keys the server holds, at load: the box gets those that are not the
// built-in list's (if few enough to edit), the tick whether it is in use.
async function loadKeys() {
  try {
    const r = await get("/api/keys");
    $("keys-builtin").checked = !!r.builtIn;
    const typed = r.builtIn ? r.own : r.keys;
    if (!$("keys-text").value && typed && typed.length <= 1000) $("keys-text").value = typed.join("\n");
    keysNote(r.keys.length, !!r.builtIn);
  } catch (e) {
    say("keys-note", failure(e), false);
  }
}

let jobTimer = null;
function showJob(job) {
  state.job = job;
  const p = $("search-progress");
  const part = job.keys ? job.tried / job.keys : 0;
  p.value = job.total ? Math.min(1, (job.done + (job.running ? part : 0)) / job.total) : 0;
  p.dataset.done = String(job.done);
  const where = job.running ? `sector ${job.sector}, key ${job.keyType}, ${job.tried} of ${plural(job.keys, "key")}` : job.cancelled ? "cancelled" : job.error ? `stopped: ${job.error}` : "finished";
  say("search-note", `${job.done} of ${plural(job.total, "key type")} settled; ${where} (${(job.elapsedMs / 1000).toFixed(1)} s)`, job.error ? false : undefined);
  $("search-note").dataset.state = job.running ? "running" : job.cancelled ? "cancelled" : "finished";
  $("search-start").disabled = job.running;
  $("search-cancel").disabled = !job.running;
  $("keys-save").disabled = job.running || !job.found.length;
  const rows = job.found.map((f) => el("tr", {}, el("td", { text: String(f.sector) }),
    el("td", { text: f.keyA || (f.notFound && f.notFound.A ? "✗ not found" : "–") }),
    el("td", { text: f.keyB || (f.notFound && f.notFound.B ? "✗ not found" : "–") })));
  const t = el("table", { class: "found" }, el("tr", {}, el("th", { text: "Sector" }), el("th", { text: "Key A" }), el("th", { text: "Key B" })), ...rows);
  $("search-found").replaceChildren(t);
  if (job.running && !jobTimer) jobTimer = setInterval(pollJob, 150);
  if (!job.running && jobTimer) { clearInterval(jobTimer); jobTimer = null; }
}

async function pollJob() {
  try {
    const r = await get("/api/job");
    if (r.job) showJob(r.job);
  } catch (e) {
    say("search-note", failure(e), false);
  }
}

async function startSearch() {
  try {
    const type = $("search-type").value || null;
    const r = await post("/api/keys/search", { keyType: type });
    showJob(r.job);
  } catch (e) {
    say("search-note", failure(e), false);
  }
}

async function cancelSearch() {
  $("search-cancel").disabled = true;
  try {
    const r = await post("/api/job/cancel");
    showJob(r.job);
  } catch (e) {
    say("search-note", failure(e), false);
  }
}

// ---- editing
let checkTimer = null;
let checkSerial = 0;
let editAscii = null;  // the block editor's ASCII field, kept to its hex
function checkSoon() {
  if (editAscii) editAscii.sync();
  clearTimeout(checkTimer);
  checkTimer = setTimeout(checkBlock, 200);
}

// The block editor's request; null (and the fault said) for a bad number.
function editRequest(where = "edit-check") {
  const block = numberOr(where, "edit-block", "Block", 0, lastBlock());
  if (block === null) return null;
  return {
    block, data: $("edit-data").value.replace(/[\s:]/g, ""),
    card: (state.view && state.view.image.card) || "1K",
    force: $("edit-force").checked, block0: $("edit-block0").checked,
    current: trailerNow(block),
  };
}

async function checkBlock() {
  const serial = ++checkSerial;
  const req = editRequest();
  if (!req) return;
  if (!req.data) { say("edit-check", ""); return; }
  try {
    const r = await post("/api/check/block", req);
    if (serial !== checkSerial) return;
    if (!r.ok) say("edit-check", `✗ ${r.error}`, false);
    else if (r.confirm.length) say("edit-check", `⚠ can be written, but never undone: ${r.confirm.join("; ")}`, false);
    else if (r.changes.length) say("edit-check", `⚠ this trailer changes the sector (you confirm each change before it is written): ${r.changes.join("; ")}`, false);
    else say("edit-check", `✓ ${r.block && r.block.accessWords ? r.block.accessWords : "can be written"}`, true);
  } catch (e) {
    if (serial === checkSerial) say("edit-check", `✗ ${failure(e)}`, false);
  }
}

async function writeBlock(confirm) {
  const req = editRequest("edit-result");
  if (!req) return;
  req.cardUid = cardShown("edit-result");
  if (!req.cardUid) return;
  if (confirm) req.confirm = confirm;
  $("confirm-box").hidden = true;
  say("edit-result", "writing…");
  try {
    const r = await post("/api/card/write", req);
    const ok = r.verified;
    const keys = r.keysAdded.length ? ` New keys to try: ${r.keysAdded.join(", ")}.` : "";
    say("edit-result", `${ok ? "✓" : "✗"} block ${r.block} of card ${r.cardUid}: ${r.verification} (key ${r.keyType} ${r.key}); the card holds ${r.held}${r.notes.length ? ". " + r.notes.join(" ") : ""}.${keys}`, ok);
    if (r.keysAdded.length) loadKeys();
    $("edit-result").dataset.held = r.held;
    showWritten(r.cardUid, r.block, r.written);
  } catch (e) {
    if (e.status === 428) {
      $("confirm-title").textContent = e.body.irreversible ? "This write can never be undone:" : "This write changes the sector:";
      $("confirm-list").replaceChildren(...e.body.confirm.map((c) => el("li", { text: c })));
      $("confirm-box").hidden = false;
      $("confirm-tick").checked = false;
      $("confirm-write").disabled = true;
      $("confirm-box").dataset.confirm = JSON.stringify(e.body.confirm);
      say("edit-result", "nothing written yet: confirm below, or cancel");
      $("confirm-tick").focus();
    } else {
      say("edit-result", `✗ ${e.status === 422 ? "refused, nothing written: " : ""}${failure(e)}`, false);
    }
  }
}

async function applyValue() {
  const block = numberOr("value-result", "value-block", "Block", 0, lastBlock());
  const value = block === null ? null : numberOr("value-result", "value-value", "Value", -2147483648, 2147483647);
  const address = value === null ? null : numberOr("value-result", "value-address", "Address", 0, 255);
  if (address === null) return;
  const req = { block, op: $("value-op").value, value, address };
  req.cardUid = cardShown("value-result");
  if (!req.cardUid) return;
  try {
    const r = await post("/api/card/value", req);
    say("value-result", `${r.verified ? "✓" : "✗"} block ${r.block} of card ${r.cardUid}: value ${r.value}, address ${r.address}; ${r.verification}`, r.verified);
    showWritten(r.cardUid, r.block, r.held);
  } catch (e) {
    say("value-result", `✗ ${failure(e)}`, false);
  }
}

// A URL or a text as the card's NDEF message (as zubtool ndef write); the
// card is read again to show it.
async function writeNdef() {
  const kind = $("ndef-kind").value;
  const req = kind === "uri" ? { uri: $("ndef-content").value } : { text: $("ndef-content").value, lang: $("ndef-lang").value };
  req.cardUid = cardShown("ndef-result");
  if (!req.cardUid) return;
  try {
    const r = await post("/api/card/ndef", req);
    say("ndef-result", `✓ ${r.messageSize} bytes of message written to blocks ${r.blocks.join(", ")} of card ${r.cardUid} (read back the same; room for ${r.capacity})`, true);
    readCard();
  } catch (e) {
    say("ndef-result", `✗ ${failure(e)}`, false);
  }
}

// The card back to its factory state: what would happen first (nothing
// written), then the format itself once ticked.
async function formatPlan() {
  const out = $("format-result");
  const uid = cardShown(out);
  if (!uid) return;
  try {
    const plan = await post("/api/card/format", { dryRun: true, cardUid: uid });
    const rows = plan.sectors.map((s) => el("li", { class: s.result === "left" ? "bad" : "", text: `sector ${s.sector}: ${s.outcome}` }));
    const tick = el("input", { type: "checkbox", id: "format-tick" });
    const go = el("button", { type: "button", id: "format-go", text: `Format ${plural(plan.done, "sector")} of card ${plan.cardUid}`, disabled: "" });
    tick.addEventListener("change", () => { go.disabled = !tick.checked; });
    go.addEventListener("click", async () => {
      go.disabled = true;
      try {
        const r = await post("/api/card/format", { cardUid: uid });
        say(out, `${r.left ? "✗" : "✓"} card ${r.cardUid}: ${plural(r.done, "sector")} formatted and verified, ${r.left} left as they were${r.lost ? "; " + r.lost : ""}`, !r.left);
        loadKeys();
        readCard();
      } catch (e) {
        say(out, `✗ ${failure(e)}`, false);
      }
    });
    out.replaceChildren(el("p", { text: `Card ${plan.cardUid} (${plan.card}): ${plan.done} of ${plan.sectors.length} sectors can be formatted: every data block but block 0 zeroed, every key FFFFFFFFFFFF, transport access conditions.` }),
      el("ul", {}, ...rows),
      plan.done ? el("div", { class: "danger" }, el("label", {}, tick, " Erase what these sectors hold: it cannot be undone"), " ", go) : el("p", { text: "nothing can be formatted with the keys to try" }));
  } catch (e) {
    say(out, `✗ ${failure(e)}`, false);
  }
}

// A condition in a few words, for its dropdown (who may read, write and so
// on); its whole wording goes under the dropdown.
function conditionShort(o) {
  const r = o.rights || {};
  const who = (x) => (x === "never" ? "never" : x);
  if ("read" in r) return `${o.bits}: read ${who(r.read)}, write ${who(r.write)}, incr. ${who(r.increment)}, decr. ${who(r.decrement)}`;
  return `${o.bits}: key A write ${who(r.writeKeyA)}; bits read ${who(r.readAccessBits)}, write ${who(r.writeAccessBits)}; key B read ${who(r.readKeyB)}, write ${who(r.writeKeyB)}`;
}

async function loadConditions() {
  try {
    const c = await get("/api/conditions");
    const box = $("trailer-conditions");
    const labels = ["block group 0", "block group 1", "block group 2", "the trailer"];
    box.replaceChildren(...labels.map((label, i) => {
      const list = i === 3 ? c.trailer : c.data;
      const words = el("span", { class: "choice", id: `trailer-c${i}-words` });
      const sel = el("select", { id: `trailer-c${i}`, "aria-describedby": words.id },
        ...list.map((o) => el("option", { value: o.bits, text: o.rights ? conditionShort(o) : `${o.bits}: ${o.words}` })));
      const says = () => { words.textContent = (list.find((o) => o.bits === sel.value) || {}).words || ""; };
      sel.addEventListener("change", says);
      sel.value = i === 3 ? "001" : "000";
      says();
      return el("label", { class: "stack" }, label, sel, words);
    }));
  } catch (e) {
    say("trailer-result", failure(e), false);
  }
}

async function buildTrailer() {
  const sector = numberOr("trailer-result", "trailer-sector", "Sector", 0, lastSector());
  if (sector === null) return;
  const req = { sector, keyA: $("trailer-keya").value, keyB: $("trailer-keyb").value,
    byte9: $("trailer-byte9").value, conditions: [0, 1, 2, 3].map((i) => $(`trailer-c${i}`).value) };
  const out = $("trailer-result");
  try {
    const r = await post("/api/trailer/build", req);
    const use = el("button", { type: "button", text: "Put into the block editor" });
    use.addEventListener("click", () => {
      const s = state.view && state.view.sectors.find((x) => x.sector === req.sector);
      $("edit-block").value = s ? s.trailerBlock : req.sector < 32 ? req.sector * 4 + 3 : 128 + (req.sector - 32) * 16 + 15;
      $("edit-data").value = r.trailer;
      $("edit-force").checked = true;
      $("edit-block0").checked = false;
      checkSoon();
    });
    out.replaceChildren(el("p", { class: "hex", text: `trailer ${r.trailer} (access bits ${r.accessBits})` }),
      el("ul", {}, ...r.accessWords.map((w) => el("li", { text: w }))),
      r.confirm.length ? el("div", { class: "danger" }, el("strong", { text: "Would become impossible:" }), el("ul", {}, ...r.confirm.map((w) => el("li", { text: w })))) : el("p", { class: "good", text: "✓ nothing becomes impossible" }),
      use);
  } catch (e) {
    out.replaceChildren(el("p", { class: "bad", text: `✗ ${failure(e)}` }));
  }
}

// ---- files
// A source of the files' selects: "card" (the card; for an image, its last
// read) or the index of an opened or edited image.
function sourceImage(key) {
  if (key === "card") return "card";
  return state.files[Number(key)].image;
}

function imageOf(key) {
  if (key === "card") return state.cardRead ? state.cardRead.image : null;
  return state.files[Number(key)] ? state.files[Number(key)].image : null;
}

function refreshSources() {
  for (const sel of document.querySelectorAll("select.source")) {
    const keep = sel.value;
    const opts = [];
    if (!sel.classList.contains("files-only")) opts.push(el("option", { value: "card", text: "the card" }));
    state.files.forEach((f, i) => opts.push(el("option", { value: String(i), text: f.name })));
    sel.replaceChildren(...opts);
    if ([...sel.options].some((o) => o.value === keep)) sel.value = keep;
  }
  if (state.files.length && $("diff-b").value === $("diff-a").value && $("diff-b").options.length > 1)
    $("diff-b").value = $("diff-b").options[$("diff-b").options.length - 1].value;
}

function base64(buffer) {
  const bytes = new Uint8Array(buffer);
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

async function openImage(file) {
  try {
    const r = await post("/api/image/open", { name: file.name, data: base64(await file.arrayBuffer()) });
    state.files.push({ name: file.name, ...r });
    refreshSources();
    showView({ source: file.name, ...r, warnings: [...r.warnings, ...(r.notes || [])] });
  } catch (e) {
    show(`${file.name}: ${failure(e)}`);
  }
}

// One side of a diffed block: its 16 bytes in hex, then in ASCII, the bytes
// that differ marked (highlighted, bold and underlined) in both.
function diffSide(hex, ascii, marks) {
  const hexCell = el("td", { class: "hex" });
  const asciiCell = el("td", { class: "ascii" });
  for (let i = 0; i < 16; i++) {
    const changed = marks.has(i);
    hexCell.append(el(changed ? "mark" : "span", { class: changed ? "byte changed" : "byte", text: hex.slice(2 * i, 2 * i + 2) }));
    asciiCell.append(changed ? el("mark", { class: "changed", text: ascii[i] }) : ascii[i]);
  }
  return [hexCell, asciiCell];
}

async function diff() {
  const out = $("diff-result");
  try {
    const r = await post("/api/diff", { a: sourceImage($("diff-a").value), b: sourceImage($("diff-b").value) });
    const names = [$("diff-a").selectedOptions[0].text, $("diff-b").selectedOptions[0].text];
    if (r.same) { out.replaceChildren(el("p", { class: "good", text: "✓ the two are the same" })); return; }
    const t = el("table", { class: "diff" }, el("tr", {}, el("th", { text: "Block" }),
      el("th", { text: names[0] }), el("th", { text: "ASCII" }), el("th", { text: names[1] }), el("th", { text: "ASCII" }),
      el("th", { text: "What changed" })));
    for (const b of r.blocks) {
      const marks = new Set(b.bytes);
      t.append(el("tr", { "data-block": String(b.block) },
        el("th", { text: `${b.block} (${b.trailer ? "trailer of " : ""}sector ${b.sector})` }),
        ...diffSide(b.a, b.aAscii, marks), ...diffSide(b.b, b.bAscii, marks),
        el("td", { class: "changes" }, el("ul", {}, ...[b.differing, ...b.changes].map((c) => el("li", { text: c }))))));
    }
    const ignored = r.ignored ? `; ${r.ignored} bytes unknown on one side or both, not compared` : "";
    out.replaceChildren(el("p", { text: `${r.blocks.length} ${r.blocks.length === 1 ? "block differs" : "blocks differ"}${ignored}. The bytes that differ are highlighted, bold and underlined.` }), t);
  } catch (e) {
    out.replaceChildren(el("p", { class: "bad", text: `✗ ${failure(e)}` }));
  }
}

// The restore's plan with the image's checks, then the write of exactly that
// plan (the server decides both alike). Where the image cannot be written as
// it stands, the safe part is offered: the blocks the checks accept.
async function restorePlan(safePart = false) {
  const out = $("restore-result");
  const key = $("restore-image").value;
  if (key === "") { out.replaceChildren(el("p", { class: "bad", text: "open an image first" })); return; }
  const shown = state.cardRead && state.cardRead.card && state.cardRead.card.uid;
  const req = { image: sourceImage(key), trailers: $("restore-trailers").checked, block0: $("restore-block0").checked, safePart };
  if (shown || state.fieldUid) req.cardUid = shown || state.fieldUid;
  try {
    const plan = await post("/api/restore/plan", req);
    const checks = [...plan.warnings.map((w) => `⚠ ${w}`), ...plan.refused.map((w) => `✗ ${w}`)];
    if (plan.unknownBytes) checks.push(`⚠ ${plan.unknownBytes} bytes are unknown in the image: the blocks that hold them are not written`);
    if (plan.otherCard) checks.push(`⚠ ${plan.otherCard}`);
    const parts = [];
    if (checks.length) parts.push(el("ul", { class: "warnings", id: "restore-checks" }, ...checks.map((w) => el("li", { text: w }))));
    parts.push(el("p", { text: `${safePart ? "The safe part: " : ""}would write ${plural(plan.writes.length, "block")}, skip ${plan.skipped.length}:` }),
      el("ul", {}, ...plan.writes.map((w) => el("li", { text: `block ${w.block}: ${w.data} (${w.what})` }))),
      el("ul", { class: "muted", id: "restore-skipped" }, ...plan.skipped.map((s) => el("li", { class: s.refused ? "bad" : "", text: `block ${s.block} ${s.refused ? "never written" : "skipped"}: ${s.reason}` }))));
    if (!plan.writable) {
      parts.push(el("p", { class: "bad", id: "restore-refusal", text: `✗ Nothing can be written as it stands: ${plan.refusal || "no block to write"}` }));
      if (!safePart && (plan.warnings.length || plan.refused.length)) {
        const safe = el("button", { type: "button", id: "restore-safe", text: "Plan only the safe part" });
        safe.addEventListener("click", () => restorePlan(true));
        parts.push(el("p", { text: "The safe part writes only the blocks whose bytes are known and that the checks accept: a trailer whose access bits do not decode or whose keys are unknown, and a block 0 with a wrong check byte, are never written." }), safe);
      }
      out.replaceChildren(...parts);
      return;
    }
    const go = el("button", { type: "button", id: "restore-go", text: plan.writes.length === 1 ? "Write this block" : `Write these ${plan.writes.length} blocks` });
    const tick = el("input", { type: "checkbox", id: "restore-tick" });
    if (plan.confirm.length) {
      parts.push(el("div", { class: "danger" }, el("strong", { text: "This can never be undone:" }), el("ul", {}, ...plan.confirm.map((c) => el("li", { text: c }))),
        el("label", {}, tick, " I understand and want this")));
      go.disabled = true;
      tick.addEventListener("change", () => { go.disabled = !tick.checked; });
    }
    go.addEventListener("click", async () => {
      go.disabled = true;
      try {
        const r = await post("/api/restore", { ...req, confirm: plan.confirm });
        out.append(el("p", { id: "restore-done", class: r.failed ? "bad" : "good", text: `${r.failed ? "✗" : "✓"} card ${r.cardUid}: ${r.written} written and verified, ${r.failed} failed${r.keysAdded.length ? `; new keys to try: ${r.keysAdded.join(", ")}` : ""}` }),
          el("ul", {}, ...r.results.filter((x) => !x.ok || !x.verified).map((x) => el("li", { text: `block ${x.block}: ${x.error || "not verified"}` }))),
          el("ul", {}, ...r.warnings.map((w) => el("li", { text: `⚠ ${w}` }))));
        if (r.keysAdded.length) loadKeys();
        readCard();
      } catch (e) {
        out.append(el("p", { class: "bad", text: `✗ ${failure(e)}` }));
      }
    });
    parts.push(go);
    out.replaceChildren(...parts);
  } catch (e) {
    out.replaceChildren(el("p", { class: "bad", text: `✗ ${failure(e)}` }));
  }
}

// The formats, each saying whether it keeps unknown bytes and what it writes
// in their place; the default one keeps them.
async function loadFormats() {
  try {
    const r = await get("/api/formats");
    state.formats = r.formats;
    $("export-format").replaceChildren(...r.formats.map((f) => el("option", { value: f.name,
      text: `${f.name} (${f.extensions.join(", ")}): ${f.carriesUnknown ? "keeps unknown bytes" : `loses unknown bytes, written as ${f.unknownAs}`}` })));
    $("export-format").value = r.default;
  } catch (e) {
    say("export-result", failure(e), false);
  }
}

async function exportImage() {
  const key = $("export-source").value;
  const image = imageOf(key);
  if (!image) { say("export-result", "read the card first", false); return; }
  const format = (state.formats || []).find((f) => f.name === $("export-format").value);
  const unknown = image.blocks.join("").split("??").length - 1;
  try {
    const r = await download("/api/image/export", { image, format: $("export-format").value });
    if (format && !format.carriesUnknown && unknown)
      say("export-result", `⚠ saved ${r.name} (${r.size} bytes), but its ${unknown} unknown bytes are written as ${format.unknownAs}: restored, it would write them. A format that keeps unknown bytes (json) does not.`, false);
    else say("export-result", `✓ saved ${r.name} (${r.size} bytes)`, true);
  } catch (e) {
    say("export-result", `✗ ${failure(e)}`, false);
  }
}

// ---- an image edited block by block, kept as "<name> (edited)"
const imageEdit = { serial: 0, timer: null };

function editSource() {
  const key = $("image-edit-source").value;
  const image = imageOf(key);
  return { key, image, name: key === "card" ? `card ${(image && image.uid) || ""}`.trim() : state.files[Number(key)] && state.files[Number(key)].name };
}

// A block picked in the view of an image goes to the image editor too.
function imageEditFollow(block) {
  const at = state.view.source === "card" ? "card"
    : String(state.files.map((f) => f.name).lastIndexOf(state.view.source));
  if (at === "-1") return;
  $("image-edit-source").value = at;
  $("image-edit-block").value = block;
  imageEditLoad(false);
}

function imageEditLoad(focus = true) {
  const { image } = editSource();
  if (!image) { say("image-edit-result", "read the card or open an image first", false); return; }
  const block = Number($("image-edit-block").value);
  if (!Number.isInteger(block) || block < 0 || block >= image.blocks.length) {
    say("image-edit-result", `the image has blocks 0 to ${image.blocks.length - 1}`, false);
    return;
  }
  $("image-edit-data").value = image.blocks[block];
  imageEdit.ascii.sync();
  say("image-edit-result", "");
  imageEditCheckSoon();
  if (focus) $("image-edit-data").focus();
}

function imageEditCheckSoon() {
  clearTimeout(imageEdit.timer);
  imageEdit.timer = setTimeout(imageEditCheck, 200);
}

// The block's checks as the server makes them for a write (a trailer's and
// block 0's too: the image may go to a card with them).
async function imageEditCheck() {
  const serial = ++imageEdit.serial;
  const { image } = editSource();
  const data = $("image-edit-data").value.replace(/[\s:]/g, "");
  if (!image || !data) { say("image-edit-check", ""); return; }
  try {
    const r = await post("/api/check/block", { block: Number($("image-edit-block").value), data, card: image.card, force: true, block0: true });
    if (serial !== imageEdit.serial) return;
    if (!r.ok) say("image-edit-check", `✗ ${r.error}`, false);
    else if (r.confirm.length) say("image-edit-check", `⚠ written to a card, it could never be undone: ${r.confirm.join("; ")}`, false);
    else say("image-edit-check", `✓ ${r.block && r.block.kind === "value" && r.block.value ? `value block: value ${r.block.value.value}, address ${r.block.value.address}; ` : ""}${r.block && r.block.accessWords ? r.block.accessWords : "can be written"}`, true);
  } catch (e) {
    if (serial === imageEdit.serial) say("image-edit-check", `✗ ${failure(e)}`, false);
  }
}

async function imageEditApply() {
  const src = editSource();
  if (!src.image) { say("image-edit-result", "read the card or open an image first", false); return; }
  const block = Number($("image-edit-block").value);
  const data = $("image-edit-data").value.replace(/[\s:]/g, "").toUpperCase();
  if (!/^[0-9A-F]{32}$/.test(data) || !(block >= 0 && block < src.image.blocks.length)) {
    say("image-edit-result", "✗ a block of the image and 32 hex digits, please", false);
    return;
  }
  // An edited image is edited further in place; any other gets an edited copy.
  let index = src.key === "card" ? -1 : Number(src.key);
  const entry = index >= 0 && state.files[index].edited ? state.files[index] : null;
  const blocks = src.image.blocks.slice();
  const was = blocks[block];
  blocks[block] = data;
  const image = { ...src.image, blocks };
  try {
    const d = await post("/api/image/describe", { image });
    const edited = { ...(entry || {}), name: entry ? entry.name : `${src.name} (edited)`, format: "edited", edited: true,
      image, sectors: d.sectors, mad: d.mad, ndef: d.ndef, warnings: d.warnings };
    if (entry) state.files[index] = edited;
    else { state.files.push(edited); index = state.files.length - 1; }
    refreshSources();
    $("image-edit-source").value = String(index);
    const changed = new Set([...Array(16).keys()].filter((i) => was.slice(2 * i, 2 * i + 2) !== data.slice(2 * i, 2 * i + 2)));
    const sector = d.sectors.findIndex((s) => block >= s.firstBlock && block < s.firstBlock + s.blockCount);
    state.selected = sector;
    showView({ source: edited.name, ...edited }, { [block]: changed });
    say("image-edit-result", `✓ block ${block} put into "${edited.name}" (${changed.size} bytes changed)`, true);
  } catch (e) {
    say("image-edit-result", `✗ ${failure(e)}`, false);
  }
}

// ---- the key file: the keys to try as an editable list
const keyfile = { timer: null, serial: 0, check: null, inUse: null };

function keyfileCheckSoon() {
  clearTimeout(keyfile.timer);
  keyfile.timer = setTimeout(keyfileCheck, 250);
}

async function keyfileCheck() {
  const serial = ++keyfile.serial;
  const text = $("keyfile-text").value;
  try {
    const r = await post("/api/keys/check", { text });
    if (serial !== keyfile.serial) return;
    keyfile.check = { text, ...r };
    $("keyfile-lines").replaceChildren(...r.skipped.map((s) => el("li", { class: "bad", text: `✗ line ${s.line} (${s.text}): ${s.reason}` })),
      ...r.duplicates.map((n) => el("li", { text: `⚠ line ${n} repeats a key of an earlier line` })));
    const dirty = keyfile.inUse !== null && text !== keyfile.inUse ? " Not in use yet: press Use these keys." : "";
    say("keyfile-note", `${r.count} keys; ${r.skipped.length} lines are not keys, ${r.duplicates.length} repeat a key.${dirty}`, !r.skipped.length);
  } catch (e) {
    if (serial === keyfile.serial) say("keyfile-note", `✗ ${failure(e)}`, false);
  }
}

async function keyfileLoad() {
  const text = $("keyfile-text");
  text.readOnly = true;  // what is typed meanwhile would be lost
  try {
    const r = await get("/api/keys");
    text.value = r.keys.join("\n") + "\n";
    keyfile.inUse = text.value;
    keyfileCheck();
  } catch (e) {
    say("keyfile-note", `✗ ${failure(e)}`, false);
  }
  text.readOnly = false;
}

async function keyfileTidy() {
  await keyfileCheck();
  if (!keyfile.check) return;
  const removed = keyfile.check.duplicates.length;
  $("keyfile-text").value = keyfile.check.tidy;
  await keyfileCheck();
  say("keyfile-note", `${removed} repeated ${removed === 1 ? "line" : "lines"} removed; ${$("keyfile-note").textContent}`, true);
}

async function keyfileUse() {
  try {
    const text = $("keyfile-text").value;
    const r = await post("/api/keys", { text, builtIn: false });
    keyfile.inUse = text;
    await keyfileCheck();
    say("keyfile-note", `✓ the server tries ${r.count === 1 ? "this key" : `these ${r.count} keys`} now${r.skipped.length ? `; ${plural(r.skipped.length, "line")} skipped` : ""}.`, !r.skipped.length);
    say("keys-note", `${r.count} keys to try.`);
  } catch (e) {
    say("keyfile-note", `✗ ${failure(e)}`, false);
  }
}

async function keyfileSave() {
  try {
    const r = await download("/api/keys/download");
    const dirty = keyfile.inUse !== null && $("keyfile-text").value !== keyfile.inUse;
    say("keyfile-note", `✓ saved ${r.name}: the keys in use${dirty ? " (not the editor's changes: use them first)" : ""}`, !dirty);
  } catch (e) {
    say("keyfile-note", `✗ ${failure(e)}`, false);
  }
}

// ---- wiring
function wire() {
  $("read-card").addEventListener("click", readCard);
  $("keys-set").addEventListener("click", setKeys);
  // The file's text goes into the box and the input is emptied (it would
  // name the file after its keys were replaced); the note names it.
  $("keys-file").addEventListener("change", async (e) => {
    const f = e.target.files[0];
    if (!f) return;
    const text = await f.text();
    e.target.value = "";
    $("keys-text").value = ($("keys-text").value ? $("keys-text").value + "\n" : "") + text;
    state.keysFile = f.name;
    setKeys();
  });
  $("message-dismiss").addEventListener("click", () => show("", $("message").dataset.about));
  $("search-start").addEventListener("click", startSearch);
  $("search-cancel").addEventListener("click", cancelSearch);
  $("keys-save").addEventListener("click", async () => {
    try {
      const r = await download("/api/keys/file");
      say("search-note", `✓ saved ${r.name}`, true);
    } catch (e) {
      say("search-note", failure(e), false);
    }
  });
  for (const id of ["edit-data", "edit-block", "edit-force", "edit-block0"]) $(id).addEventListener("input", checkSoon);
  $("edit-write").addEventListener("click", () => writeBlock(null));
  $("confirm-tick").addEventListener("change", () => { $("confirm-write").disabled = !$("confirm-tick").checked; });
  $("confirm-write").addEventListener("click", () => writeBlock(JSON.parse($("confirm-box").dataset.confirm)));
  $("confirm-cancel").addEventListener("click", () => { $("confirm-box").hidden = true; say("edit-result", "nothing written"); });
  $("value-go").addEventListener("click", applyValue);
  $("ndef-go").addEventListener("click", writeNdef);
  $("format-plan").addEventListener("click", formatPlan);
  $("ndef-kind").addEventListener("change", () => { $("ndef-lang").disabled = $("ndef-kind").value !== "text"; });
  $("ndef-lang").disabled = true;
  $("trailer-build").addEventListener("click", buildTrailer);
  $("image-file").addEventListener("change", (e) => { if (e.target.files[0]) openImage(e.target.files[0]); e.target.value = ""; });
  $("show-card").addEventListener("click", () => { if (state.cardRead) showView({ source: "card", ...state.cardRead }); });
  $("diff-go").addEventListener("click", diff);
  $("restore-plan").addEventListener("click", () => restorePlan(false));
  $("export-go").addEventListener("click", exportImage);
  imageEdit.ascii = linkAscii($("image-edit-data"), $("image-edit-ascii"), $("image-edit-pad"), $("image-edit-ascii-note"), imageEditCheckSoon);
  $("image-edit-data").addEventListener("input", imageEditCheckSoon);
  $("image-edit-load").addEventListener("click", () => imageEditLoad());
  $("image-edit-apply").addEventListener("click", imageEditApply);
  editAscii = linkAscii($("edit-data"), $("edit-ascii"), $("edit-pad"), $("edit-ascii-note"), checkSoon);
  $("keyfile-text").addEventListener("input", keyfileCheckSoon);
  $("keyfile-load").addEventListener("click", keyfileLoad);
  $("keyfile-tidy").addEventListener("click", keyfileTidy);
  $("keyfile-use").addEventListener("click", keyfileUse);
  $("keyfile-save").addEventListener("click", keyfileSave);
}

if (!takeToken()) show("This page has no token: open the address zubtool ui printed (with its #token=...).", "token");
wire();
performance.mark("zub-wired");
refreshSources();
// The card is read at once (its reply fills the card bar), not after a first
// status: the map is the page's first use. The status follows it, then
// comes every second; what the panels need loads beside the read.
const first = readCard();
loadKeys();
loadConditions();
loadFormats();
first.then(() => {
  poll();
  setInterval(poll, 1000);
});
