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

// What a tile says: a symbol and words, so colour is never alone.
export function tileState(sector, fromFile) {
  const r = sector.read;
  if (!r) {
    const keys = [sector.keyA && "A", sector.keyB && "B"].filter(Boolean);
    return { cls: "file", symbol: "◆", text: keys.length ? `key ${keys.join(", ")} in file` : "no keys in file" };
  }
  if (!r.opened) return { cls: "fail", symbol: "✗", text: r.refused || "no key opened it" };
  const key = r.keyA ? `key A ${r.keyA}` : `key B ${r.keyB}`;
  const hex = r.keyA || r.keyB;
  const short = r.keyA ? "key A" : "key B";
  if (r.unreadable && r.unreadable.length)
    return { cls: "partial", symbol: "◐", text: `${key}; ${r.unreadable.length} unreadable`, short: `${short}, ${r.unreadable.length} unreadable`, hex };
  return { cls: fromFile ? "file" : "ok", symbol: "✓", text: key, short, hex };
}

export function renderMap(container, sectors, selected, onSelect, mad) {
  container.replaceChildren();
  const apps = new Map(((mad && mad.sectors) || []).map((a) => [a.sector, a]));
  container.style.setProperty("--cols", sectors.length > 16 ? 8 : 8);
  sectors.forEach((s, i) => {
    const st = tileState(s);
    const tile = el("button", {
      type: "button", class: `tile ${st.cls}`, "data-sector": String(s.sector),
      "aria-pressed": String(i === selected), tabindex: i === selected ? "0" : "-1",
      "aria-label": `sector ${s.sector}: ${st.symbol === "✗" ? "not opened, " : ""}${st.text}`,
    }, el("span", { class: "num", text: `${s.sector}` }), el("span", { class: "sym", text: st.symbol }),
      el("span", { class: "what", text: st.short || st.text }),
      st.hex ? el("span", { class: "key", text: st.hex.match(/.{1,4}/g).join("\n") }) : null,
      // The application the directory gives the sector.
      apps.get(s.sector) && apps.get(s.sector).label
        ? el("span", { class: "app", title: apps.get(s.sector).meaning, text: apps.get(s.sector).label }) : null);
    tile.addEventListener("click", () => onSelect(i, true));
    tile.addEventListener("keydown", (e) => {
      const cols = 8;
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

function rightsTable(rights) {
  if (!rights) return el("span", { class: "muted", text: "access bits not known" });
  const t = el("table", { class: "rights" });
  const names = Object.keys(rights);
  const short = { read: "read", write: "write", increment: "incr", decrement: "decr", writeKeyA: "write key A",
    readAccessBits: "read bits", writeAccessBits: "write bits", readKeyB: "read key B", writeKeyB: "write key B" };
  t.append(el("tr", {}, ...names.map((n) => el("th", { scope: "col", text: short[n] || n }))));
  t.append(el("tr", {}, ...names.map((n) => el("td", { class: rights[n] === "never" ? "never" : "",
    text: rights[n] === "never" ? "⊘ never" : rights[n] }))));
  return t;
}

function kindCell(block) {
  const names = { manufacturer: "block 0", data: "data", value: "value", trailer: "trailer" };
  const cell = el("td", { class: `kind ${block.kind}` }, el("span", { class: "tag", text: names[block.kind] || block.kind }));
  if (block.kind === "value" && block.value)
    cell.append(el("div", { text: `value ${block.value.value}, address ${block.value.address}` }));
  if (block.kind === "manufacturer" && block.manufacturer) {
    const m = block.manufacturer;
    cell.append(el("div", { text: `UID ${m.uid} · BCC ${m.bcc} ${m.bccValid ? "✓" : "✗ wrong"} · SAK ${m.sak} · ATQA ${m.atqa}` }));
  }
  return cell;
}

export function renderSector(title, words, table, sector, onPick, marks) {
  const st = tileState(sector);
  title.textContent = `Sector ${sector.sector}: blocks ${sector.firstBlock}–${sector.firstBlock + sector.blockCount - 1} (${st.symbol} ${st.text})`;
  words.replaceChildren(...(sector.accessWords || []).map((w) => el("li", { text: w })));
  if (sector.accessConsistent === false) words.append(el("li", { class: "bad", text: "✗ the access bits are not consistent: the sector is locked" }));
  const t = el("table", { class: "blocks" });
  t.append(el("tr", {}, ...["Block", "Kind", "Bytes", "ASCII", "Conditions"].map((h) => el("th", { scope: "col", text: h }))));
  for (const b of sector.blocks) {
    const row = el("tr", { "data-block": String(b.block), tabindex: "0", title: "Enter: edit this block" });
    row.append(el("th", { scope: "row", text: String(b.block) }), kindCell(b), hexCell(b, marks && marks[b.block]),
      el("td", { class: "ascii", text: b.ascii || "" }),
      // The block's conditions in words are in the sector's list above (a
      // line per block); here they are the table, with the words as its title.
      el("td", { class: "cond", title: b.accessWords || "" }, rightsTable(b.rights),
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
