// The sector map and the block view of an image (the card or a file).

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") node.className = v;
    else if (k === "text") node.textContent = v;
    else node.setAttribute(k, v);
  }
  for (const c of children) if (c !== null && c !== undefined) node.append(c);
  return node;
}

// "1 key", "2 keys": a count and its noun.
export function plural(n, one, many = `${one}s`) {
  return `${n} ${n === 1 ? one : many}`;
}

// A whole number from a number field, or a FieldError that names the field
// and says in plain words what it must hold: an empty field, a partial
// number ("-", "1e") or one off its range is never sent as 0 or NaN.
export class FieldError extends Error {}
export function readNumber(input, name, min, max) {
  const range = `a whole number from ${min} to ${max}`;
  const text = input.value.trim();
  if (input.validity && input.validity.badInput) throw new FieldError(`${name} is not a number: give ${range}`);
  if (text === "") throw new FieldError(`${name} is empty: give ${range}`);
  const n = Number(text);
  if (!Number.isInteger(n)) throw new FieldError(`${name} must be ${range}, not ${text}`);
  if (n < min || n > max) throw new FieldError(`${name} ${text} is off its range: give ${range}`);
  return n;
}

// What a tile says: a symbol and words, so colour is never alone. `text` is
// the whole of it (the sector's heading and the tile's name), `short` what
// fits in the tile.
export function tileState(sector, fromFile) {
  const r = sector.read;
  if (!r) {
    const keys = [sector.keyA && "A", sector.keyB && "B"].filter(Boolean);
    const text = keys.length ? `key ${keys.join(", ")} in file` : "no keys in file";
    return { cls: "file", symbol: "◆", text, short: text };
  }
  if (!r.opened) return { cls: "fail", symbol: "✗", text: `not opened: ${r.refused || "no key to try opened it"}`, short: "not opened" };
  const key = r.keyA ? `key A ${r.keyA}` : `key B ${r.keyB}`;
  const hex = r.keyA || r.keyB;
  const short = r.keyA ? "key A" : "key B";
  if (r.unreadable && r.unreadable.length)
    return { cls: "partial", symbol: "◐", text: `${key}; ${r.unreadable.length} unreadable`, short: `${short}, ${r.unreadable.length} unreadable`, hex };
  return { cls: fromFile ? "file" : "ok", symbol: "✓", text: key, short, hex };
}

// The number of columns the map lays its tiles out in (the arrow keys move
// by rows of it).
function mapColumns(container) {
  const cols = getComputedStyle(container).gridTemplateColumns.split(" ").filter(Boolean).length;
  return Math.max(1, cols);
}

export function renderMap(container, sectors, selected, onSelect, mad) {
  container.replaceChildren();
  const apps = new Map(((mad && mad.sectors) || []).map((a) => [a.sector, a]));
  sectors.forEach((s, i) => {
    const st = tileState(s);
    const app = apps.get(s.sector) && apps.get(s.sector).label ? apps.get(s.sector) : null;
    // The tile's name is its visible text, then what does not fit in it.
    const tile = el("button", {
      type: "button", class: `tile ${st.cls}`, "data-sector": String(s.sector),
      "aria-pressed": String(i === selected), tabindex: i === selected ? "0" : "-1",
    }, el("span", { class: "head" }, el("span", { class: "sr-only", text: "sector " }), el("span", { class: "num", text: `${s.sector}` }),
      el("span", { class: "sym", text: st.symbol })),
    el("span", { class: "what", text: st.short }),
    st.hex ? el("span", { class: "key", text: st.hex }) : null,
    // The application the directory gives the sector.
    app ? el("span", { class: "app", title: app.meaning, text: app.label }) : null,
    st.text !== st.short && !st.hex ? el("span", { class: "sr-only", text: `: ${st.text}` }) : null);
    if (st.text !== st.short && !st.hex) tile.title = st.text;
    tile.addEventListener("click", () => onSelect(i, true));
    tile.addEventListener("keydown", (e) => {
      const cols = mapColumns(container);
      const moves = { ArrowRight: 1, ArrowLeft: -1, ArrowDown: cols, ArrowUp: -cols };
      let next = null;
      if (e.key in moves) next = i + moves[e.key];
      else if (e.key === "Home") next = 0;
      else if (e.key === "End") next = sectors.length - 1;
      if (next === null) return;
      e.preventDefault();
      next = Math.max(0, Math.min(sectors.length - 1, next));
      onSelect(next, true);
    });
    container.append(tile);
  });
}

function hexBytes(data) {
  const out = [];
  for (let i = 0; i < 32; i += 2) out.push(data.slice(i, i + 2));
  return out;
}

// The block's bytes, the trailer's fields marked and labelled.
function hexCell(block, marks) {
  const bytes = hexBytes(block.data || "".padEnd(32, "?"));
  const cell = el("td", { class: "hex" });
  const parts = block.kind === "trailer"
    ? [["key-a", "key A", 0, 6], ["access", "access", 6, 9], ["byte9", "b9", 9, 10], ["key-b", "key B", 10, 16]]
    : [[block.kind === "manufacturer" ? "uid" : "", "", 0, 16]];
  for (const [cls, label, from, to] of parts) {
    const group = el("span", { class: `field ${cls}`, title: label === "b9" ? "byte 9" : label === "access" ? "access bits" : label });
    for (let i = from; i < to; i++) {
      const b = el("span", { class: "byte", text: bytes[i] });
      if (marks && marks.has(i)) b.classList.add("diff");
      if (bytes[i] === "??") b.classList.add("unknown");
      group.append(b);
    }
    if (label) group.append(el("span", { class: "label", text: label }));
    cell.append(group);
  }
  return cell;
}

// Who may do what to the block, as a list that wraps between its entries.
function rightsList(rights) {
  if (!rights) return el("span", { class: "muted", text: "access bits not known" });
  const names = { read: "read", write: "write", increment: "increment", decrement: "decrement", writeKeyA: "write key A",
    readAccessBits: "read access bits", writeAccessBits: "write access bits", readKeyB: "read key B", writeKeyB: "write key B" };
  return el("ul", { class: "rights" }, ...Object.keys(rights).map((n) => el("li", {},
    el("span", { class: "right", text: `${names[n] || n}: ` }),
    el("span", { class: rights[n] === "never" ? "never" : "", text: rights[n] === "never" ? "⊘ never" : rights[n] }))));
}

// The block's number, its kind and what that kind holds.
function blockCell(block) {
  const names = { manufacturer: "block 0", data: "data", value: "value", trailer: "trailer" };
  const kind = el("span", { class: `kind ${block.kind}` }, el("span", { class: "tag", text: names[block.kind] || block.kind }));
  if (block.kind === "value" && block.value)
    kind.append(el("div", { text: `value ${block.value.value}, address ${block.value.address}` }));
  if (block.kind === "manufacturer" && block.manufacturer) {
    const m = block.manufacturer;
    kind.append(el("div", { text: `UID ${m.uid} · BCC ${m.bcc} ${m.bccValid ? "✓" : "✗ wrong"} · SAK ${m.sak} · ATQA ${m.atqa}` }));
  }
  return el("th", { scope: "row", class: "block" }, String(block.block), kind);
}

export function renderSector(title, state, words, table, sector, onPick, marks) {
  const st = tileState(sector);
  title.textContent = `Sector ${sector.sector}: blocks ${sector.firstBlock}–${sector.firstBlock + sector.blockCount - 1} (${st.symbol} ${st.short})`;
  // The whole of the sector's state where the tile has room for a word.
  state.textContent = st.text !== st.short ? `${st.symbol} ${st.text}` : "";
  state.className = st.cls === "fail" ? "bad" : "";
  state.hidden = !state.textContent;
  words.replaceChildren(...(sector.accessWords || []).map((w) => el("li", { text: w })));
  if (sector.accessConsistent === false) words.append(el("li", { class: "bad", text: "✗ the access bits are not consistent: the sector is locked" }));
  const t = el("table", { class: "blocks" });
  t.append(el("tr", {}, ...["Block", "Bytes", "ASCII", "Who may"].map((h) => el("th", { scope: "col", text: h }))));
  for (const b of sector.blocks) {
    const row = el("tr", { "data-block": String(b.block), tabindex: "0", title: "Enter: edit this block" });
    row.append(blockCell(b), hexCell(b, marks && marks[b.block]),
      el("td", { class: "ascii", text: b.ascii || "" }),
      // The block's conditions in words are in the sector's list above (a
      // line per block); here they are who may do what, with the words as
      // its title.
      el("td", { class: "cond", title: b.accessWords || "" }, rightsList(b.rights),
        (sector.accessWords || []).length ? null : el("div", { text: b.accessWords || "" })));
    const pick = () => onPick(b);
    row.addEventListener("dblclick", pick);
    row.addEventListener("keydown", (e) => { if (e.key === "Enter") { e.preventDefault(); pick(); } });
    t.append(row);
  }
  table.replaceChildren(t);
}

// The NDEF message the NFC sectors hold: each record decoded.
export function renderNdef(container, ndef) {
  container.replaceChildren();
  container.hidden = !ndef;
  if (!ndef) return;
  container.append(el("h3", { text: `NDEF message (sectors ${ndef.nfcSectors.join(", ")})` }));
  if (ndef.error) container.append(el("p", { class: "bad", text: `✗ ${ndef.error}` }));
  else if (!ndef.records.length) container.append(el("p", { text: "the message is empty" }));
  const list = el("ol", { class: "records" });
  for (const r of ndef.records) {
    const what = r.kind === "URI" || r.kind === "absolute URI" ? (r.uri === null ? `reserved prefix: ${r.payload}` : r.uri)
      : r.kind === "text" ? (r.error ? `✗ ${r.error}` : `${r.text} (${r.language}, ${r.encoding})`)
        : `${r.payloadSize} bytes: ${r.payload.slice(0, 64)}${r.payload.length > 64 ? "…" : ""}`;
    list.append(el("li", { "data-kind": r.kind }, el("span", { class: "tag", text: r.kind === "MIME type" || r.kind === "external type" ? r.type : r.kind }),
      " ", el("span", { class: "value", text: what })));
  }
  container.append(list);
}
