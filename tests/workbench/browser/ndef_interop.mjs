// NDEF messages checked by a library we did not write: the npm registry's
// `ndef` package (pinned in package-lock.json beside this file). Against the
// virtual reader, both ways:
//   - what `zubtool ndef write` puts on the card (each record kind) (read from the card image,
//     TLV and all) decodes with `ndef` to the same type, TNF and meaning, and
//     is byte for byte what `ndef` builds for the same record;
//   - what `ndef` builds, written with `zubtool ndef write --message`, reads
//     back with `zubtool ndef read --json` as the same records.
//
//   node ndef_interop.mjs ZUBTOOL WORKDIR [PACKAGES]
//
// WORKDIR (in the build tree) gets the cases' card images; PACKAGES is the
// folder packages.mjs installed the npm packages into (WORKDIR if not
// given: they are installed there).
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";
import { packagesDir } from "./packages.mjs";

const [zubtool, workArg, packagesArg] = process.argv.slice(2);
if (!zubtool || !workArg) {
  console.error("usage: node ndef_interop.mjs ZUBTOOL WORKDIR [PACKAGES]");
  process.exit(2);
}
const work = path.resolve(workArg);
fs.mkdirSync(work, { recursive: true });
const packages = path.resolve(packagesArg || work);

packagesDir(packages);
const ndef = createRequire(path.join(packages, "package.json"))("ndef");

// The URI prefix codes, 0x00 to 0x23, as the NFC Forum's URI record lists them.
const PREFIXES = ["", "http://www.", "https://www.", "http://", "https://", "tel:", "mailto:",
  "ftp://anonymous:anonymous@", "ftp://ftp.", "ftps://", "sftp://", "smb://", "nfs://", "ftp://", "dav://", "news:",
  "telnet://", "imap:", "rtsp://", "urn:", "pop:", "sip:", "sips:", "tftp:", "btspp://", "btl2cap://", "btgoep://",
  "tcpobex://", "irdaobex://", "file://", "urn:epc:id:", "urn:epc:tag:", "urn:epc:pat:", "urn:epc:raw:", "urn:epc:",
  "urn:nfc:"];

const hex = (bytes) => Buffer.from(bytes).toString("hex").toUpperCase();
const env0 = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith("ZUBSIM_")));

function zub(args, card) {
  const r = spawnSync(zubtool, args, { env: { ...env0, ZUBSIM_IMAGE: card, ZUBSIM_SAVE_ON_CLOSE: "1" },
    encoding: "utf8", timeout: 30000 });
  if (r.status !== 0) throw new Error(`zubtool ${args.join(" ")}: ${r.status}\n${r.stdout}${r.stderr}`);
  return r.stdout;
}

// A new 1K (UID 1A7B8C54, transport keys, empty data) formatted for NDEF by
// zubtool itself; every case starts from a copy.
function formattedCard() {
  const img = Buffer.alloc(1024);
  Buffer.from("1A7B8C54B9080400", "hex").copy(img, 0);
  for (let s = 0; s < 16; s++) Buffer.from("FFFFFFFFFFFFFF078069FFFFFFFFFFFF", "hex").copy(img, s * 64 + 48);
  const card = path.join(work, "formatted.mfd");
  fs.writeFileSync(card, img);
  zub(["ndef", "format"], card);
  return fs.readFileSync(card);
}
const formatted = formattedCard();
let caseNo = 0;
function newCard() {
  const card = path.join(work, `case-${++caseNo}.mfd`);
  fs.writeFileSync(card, formatted);
  return card;
}

// The NDEF message TLV's value in a 1K image's NFC sectors (1 to 15, the
// trailers left out), read here rather than by zubtool.
function messageOnCard(card) {
  const img = fs.readFileSync(card);
  const area = [];
  for (let b = 4; b < 64; b++) if (b % 4 !== 3) area.push(...img.subarray(b * 16, b * 16 + 16));
  for (let i = 0; i < area.length;) {
    const tag = area[i++];
    if (tag === 0x00) continue;
    if (tag === 0xfe) break;
    let len = area[i++];
    if (len === 0xff) { len = area[i] << 8 | area[i + 1]; i += 2; }
    if (tag === 0x03) return area.slice(i, i + len);
    i += len;
  }
  throw new Error("no NDEF message TLV on the card");
}

let failures = 0;
function check(name, body) {
  try {
    body();
    console.log(`ok   ${name}`);
  } catch (e) {
    failures++;
    console.log(`FAIL ${name}: ${e.message}`);
  }
}
function equal(got, want, what) {
  const g = JSON.stringify(got), w = JSON.stringify(want);
  if (g !== w) throw new Error(`${what}: got ${g}, want ${w}`);
}

// One way: zubtool writes, `ndef` reads. Each case: the write options, the
// record `ndef` builds for the same content, and what `ndef` must decode.
const bytes = (n, f = (i) => i) => Array.from({ length: n }, (_, i) => f(i) & 0xff);
const ours = [];
PREFIXES.forEach((prefix, code) => {
  const uri = code === 0 ? "geo:52.52,13.40" : prefix + "x.example/p?q=1";
  ours.push({ name: `URI, prefix code ${code}: ${uri}`, args: ["--uri", uri], peer: ndef.uriRecord(uri),
    tnf: ndef.TNF_WELL_KNOWN, type: "U", value: uri, first: code });
});
for (const [text, lang] of [["Hello", "en"], ["Grüße aus Köln – 日本語 🎉", "de"], ["x", "en-US"],
  ["long language code", "zh-Hant-TW-x-private"]]) {
  ours.push({ name: `text, ${lang}: ${text}`, args: ["--text", text, "--lang", lang], peer: ndef.textRecord(text, lang),
    tnf: ndef.TNF_WELL_KNOWN, type: "T", value: text, lang });
}
ours.push({ name: "text, default language en", args: ["--text", "no --lang"], peer: ndef.textRecord("no --lang", "en"),
  tnf: ndef.TNF_WELL_KNOWN, type: "T", value: "no --lang", lang: "en" });
// `ndef` takes the long form from 255 bytes on, we from 256: both are valid,
// so the 255-byte payload is compared by meaning only.
for (const [type, data, sameBytes] of [["text/plain", Buffer.from("plain text\n"), true],
  ["application/octet-stream", Buffer.from(bytes(254)), true], ["application/octet-stream", Buffer.from(bytes(255)), false],
  ["image/x-test", Buffer.from(bytes(300, (i) => i * 7)), true], ["application/vnd.example+json", Buffer.alloc(0), true]]) {
  ours.push({ name: `MIME ${type}, ${data.length} bytes`, mime: [type, data], peer: ndef.mimeMediaRecord(type, Array.from(data)),
    tnf: ndef.TNF_MIME_MEDIA, type, payload: hex(data), sameBytes });
}

for (const [uri, data] of [["https://schemas.example/thing", Buffer.from("<thing/>")], ["urn:x-example:v1", Buffer.alloc(0)]]) {
  ours.push({ name: `absolute URI ${uri}, ${data.length} bytes`, file: ["--absolute-uri", uri, data],
    peer: ndef.absoluteUriRecord(uri, Array.from(data)), tnf: ndef.TNF_ABSOLUTE_URI, type: uri, payload: hex(data) });
}
for (const [type, data] of [["example.com:card", Buffer.from([1, 2, 3, 0xff])], ["android.com:pkg", Buffer.from("com.example.app")],
  ["example.com:big", Buffer.from(bytes(400, (i) => i * 3))]]) {
  ours.push({ name: `external type ${type}, ${data.length} bytes`, file: ["--external", type, data],
    peer: ndef.record(ndef.TNF_EXTERNAL_TYPE, type, [], Array.from(data)), tnf: ndef.TNF_EXTERNAL_TYPE, type,
    payload: hex(data) });
}

for (const c of ours) {
  check(`ours to ndef: ${c.name}`, () => {
    const card = newCard();
    let args = c.args;
    if (c.mime) c.file = ["--mime", ...c.mime];
    if (c.file) {
      const file = card + ".data";
      fs.writeFileSync(file, c.file[2]);
      args = [c.file[0], c.file[1], file];
    }
    zub(["ndef", "write", ...args], card);
    const message = messageOnCard(card);
    const records = ndef.decodeMessage(message);
    equal(records.length, 1, "records");
    const r = records[0];
    equal(r.tnf, c.tnf, "TNF");
    equal(r.type, c.type, "type");
    equal(r.id, [], "ID");
    if (c.value !== undefined) equal(r.value, c.value, "value");
    if (c.first !== undefined) equal(r.payload[0], c.first, "prefix code");
    if (c.lang !== undefined) {
      equal(r.payload[0] & 0x80, 0, "UTF-16 bit");
      equal(Buffer.from(r.payload.slice(1, 1 + (r.payload[0] & 0x3f))).toString(), c.lang, "language");
    }
    if (c.payload !== undefined) equal(hex(r.payload), c.payload, "payload");
    if (c.sameBytes !== false) equal(hex(message), hex(ndef.encodeMessage([c.peer])), "message bytes");
    const read = JSON.parse(zub(["ndef", "read", "--json"], card));
    equal(read.message, hex(message), "ndef read --json message");
  });
}

// The other way: `ndef` builds, zubtool writes and reads. `want` is what
// `ndef read --json` must say of each record.
const utf16 = (text, lang, little) => {
  const body = Buffer.from(text, "utf16le");
  if (!little) body.swap16();
  const bom = little ? [0xff, 0xfe] : [];
  return [0x80 | lang.length, ...Buffer.from(lang), ...bom, ...body];
};
const theirs = [
  { name: "URI https://example.com", records: [ndef.uriRecord("https://example.com")],
    want: [{ tnf: 1, kind: "URI", type: "U", uri: "https://example.com" }] },
  { name: "URI with no prefix code", records: [ndef.uriRecord("geo:0,0?q=Köln")],
    want: [{ tnf: 1, kind: "URI", type: "U", uri: "geo:0,0?q=Köln" }] },
  { name: "URI urn:nfc: (the longest prefix)", records: [ndef.uriRecord("urn:nfc:sn:handover")],
    want: [{ tnf: 1, kind: "URI", type: "U", uri: "urn:nfc:sn:handover" }] },
  { name: "URI mailto:", records: [ndef.uriRecord("mailto:tech@example.com?subject=Card")],
    want: [{ tnf: 1, kind: "URI", type: "U", uri: "mailto:tech@example.com?subject=Card" }] },
  { name: "text UTF-8", records: [ndef.textRecord("Grüße – 日本語 🎉", "de-CH")],
    want: [{ tnf: 1, kind: "text", type: "T", language: "de-CH", encoding: "UTF-8", text: "Grüße – 日本語 🎉" }] },
  { name: "text UTF-16 big-endian, no byte order mark",
    records: [ndef.record(ndef.TNF_WELL_KNOWN, "T", [], utf16("Grüße 🎉", "fr", false))],
    want: [{ tnf: 1, kind: "text", type: "T", language: "fr", encoding: "UTF-16", text: "Grüße 🎉" }] },
  { name: "text UTF-16 little-endian with its byte order mark",
    records: [ndef.record(ndef.TNF_WELL_KNOWN, "T", [], utf16("日本語", "ja", true))],
    want: [{ tnf: 1, kind: "text", type: "T", language: "ja", encoding: "UTF-16", text: "日本語" }] },
  { name: "MIME text/vcard", records: [ndef.mimeMediaRecord("text/vcard", Array.from(Buffer.from("BEGIN:VCARD\r\nEND:VCARD\r\n")))],
    want: [{ tnf: 2, kind: "MIME type", type: "text/vcard", payload: hex(Buffer.from("BEGIN:VCARD\r\nEND:VCARD\r\n")) }] },
  { name: "MIME, 255 bytes in the long form", records: [ndef.mimeMediaRecord("application/octet-stream", bytes(255))],
    want: [{ tnf: 2, kind: "MIME type", type: "application/octet-stream", payloadSize: 255, payload: hex(bytes(255)) }] },
  { name: "MIME, 600 bytes (three-byte TLV length)", records: [ndef.mimeMediaRecord("application/x-blob", bytes(600, (i) => i * 13))],
    want: [{ tnf: 2, kind: "MIME type", type: "application/x-blob", payloadSize: 600, payload: hex(bytes(600, (i) => i * 13)) }] },
  { name: "absolute URI", records: [ndef.absoluteUriRecord("https://schemas.example/thing", "<thing/>")],
    want: [{ tnf: 3, kind: "absolute URI", type: "https://schemas.example/thing", uri: "https://schemas.example/thing",
      payload: hex(Buffer.from("<thing/>")) }] },
  { name: "external type", records: [ndef.record(ndef.TNF_EXTERNAL_TYPE, "example.com:card", [], [1, 2, 3, 0xff])],
    want: [{ tnf: 4, kind: "external type", type: "example.com:card", payload: "010203FF" }] },
  { name: "external type, an application record", records: [ndef.androidApplicationRecord("com.example.reader")],
    want: [{ tnf: 4, kind: "external type", type: "android.com:pkg", payload: hex(Buffer.from("com.example.reader")) }] },
  { name: "two records: URI then text",
    records: [ndef.uriRecord("https://www.example.org/a"), ndef.textRecord("the second", "en")],
    want: [{ tnf: 1, kind: "URI", type: "U", uri: "https://www.example.org/a" },
      { tnf: 1, kind: "text", type: "T", language: "en", encoding: "UTF-8", text: "the second" }] },
  { name: "two records with IDs: MIME then external",
    records: [ndef.mimeMediaRecord("text/plain", Array.from(Buffer.from("a")), Array.from(Buffer.from("r1"))),
      ndef.record(ndef.TNF_EXTERNAL_TYPE, "example.com:x", Array.from(Buffer.from("r2")), [0])],
    want: [{ tnf: 2, kind: "MIME type", type: "text/plain", id: "r1", payload: "61" },
      { tnf: 4, kind: "external type", type: "example.com:x", id: "r2", payload: "00" }] },
];

for (const c of theirs) {
  check(`ndef to ours: ${c.name}`, () => {
    const card = newCard();
    const message = ndef.encodeMessage(c.records);
    const file = card + ".ndef";
    fs.writeFileSync(file, Buffer.from(message));
    zub(["ndef", "write", "--message", file], card);
    equal(hex(messageOnCard(card)), hex(message), "the message on the card");
    const read = JSON.parse(zub(["ndef", "read", "--json"], card));
    equal(read.message, hex(message), "message");
    equal(read.records.length, c.want.length, "records");
    c.want.forEach((want, i) => {
      for (const [k, v] of Object.entries({ id: "", ...want })) equal(read.records[i][k], v, `record ${i + 1} ${k}`);
    });
  });
}

console.log(failures ? `${failures} failed` : `all ${ours.length + theirs.length} cases passed`);
process.exit(failures ? 1 : 0);
