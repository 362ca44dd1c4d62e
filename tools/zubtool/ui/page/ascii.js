// A block's 16 bytes as ASCII text and back, for the block editors: printable
// ASCII (20 to 7E) fills the block from its first byte, the rest is padded
// with 00 or spaces (the editor shows which); longer text is refused.

const SIZE = 16;

// {hex} for the text, or {error}.
export function asciiToHex(text, pad) {
  const chars = [...text];
  const bad = chars.find((c) => c < " " || c > "~");
  if (bad !== undefined) return { error: `"${bad}" is not printable ASCII (only characters 20 to 7E fit a byte each)` };
  if (chars.length > SIZE) return { error: `${chars.length} characters: a block holds ${SIZE}` };
  let hex = "";
  for (const c of chars) hex += c.charCodeAt(0).toString(16).padStart(2, "0");
  return { hex: (hex + pad.repeat(SIZE - chars.length)).toUpperCase() };
}

// The text a block's hex shows, its padding at the end left out; `exact` is
// false where a byte is no printable ASCII (shown as "."), so that typing in
// the text replaces those bytes.
export function hexToAscii(hex, pad) {
  const clean = hex.replace(/[\s:]/g, "");
  if (!/^[0-9A-Fa-f]{32}$/.test(clean)) return null;
  const bytes = clean.match(/../g).map((b) => parseInt(b, 16));
  const padByte = parseInt(pad, 16);
  let end = SIZE;
  while (end > 0 && bytes[end - 1] === padByte) end--;
  const kept = bytes.slice(0, end);
  return { text: kept.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : ".")).join(""),
    exact: kept.every((b) => b >= 0x20 && b < 0x7f) };
}

// Links a hex field and a text field both ways: typing text sets the hex
// (then `changed()`), typing hex (or sync() after the hex was set) shows its
// text; changing the padding pads the text again. `note` says what the text does not hold, or why it was refused.
export function linkAscii(hexInput, textInput, padSelect, note, changed) {
  const say = (text, bad) => { note.textContent = text; note.className = bad ? "bad" : ""; };
  const fromText = () => {
    const r = asciiToHex(textInput.value, padSelect.value);
    if (r.error) { say(`✗ ${r.error}; the hex is as it was`, true); return; }
    hexInput.value = r.hex;
    say(`${[...textInput.value].length} characters, ${SIZE - [...textInput.value].length} bytes of padding (${padSelect.value === "20" ? "spaces" : "00"})`);
    changed();
  };
  // The padding the block ends with becomes the choice, so that the text
  // typed over it keeps the block's own.
  const sync = () => {
    if (document.activeElement === textInput) return;
    const last = hexInput.value.replace(/[\s:]/g, "").slice(30, 32);
    if (last === "00" || last === "20") padSelect.value = last;
    const r = hexToAscii(hexInput.value, padSelect.value);
    textInput.value = r ? r.text : "";
    say(!r ? (hexInput.value ? "no text: the hex is not 32 hex digits (?? is a byte not known)" : "")
      : r.exact ? "" : "bytes that are not printable show as \".\": typing here replaces them");
  };
  textInput.addEventListener("input", fromText);
  padSelect.addEventListener("change", () => { if (textInput.value) fromText(); });
  hexInput.addEventListener("input", sync);
  return { sync };
}
