// The workbench page in headless chromium against `zubtool ui --no-browser`
// and the virtual reader. Each case starts its own server (and browser page)
// on its own card image and stops both, also when it fails.
//
//   node workbench_test.mjs ZUBTOOL WORKDIR [PACKAGES]
//
// WORKDIR (in the build tree) gets the cases' images and the screenshots
// (sector-map.png, block-view.png, diff.png, workbench-800.png,
// workbench-1366.png, workbench-1920.png; the guide's docs/images/ holds
// copies of them). PACKAGES is the folder packages.mjs installed the npm
// packages into (WORKDIR if not given: they are installed there).
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { importPackage, packagesDir } from "./packages.mjs";

const [zubtool, workArg, packagesArg] = process.argv.slice(2);
if (!zubtool || !workArg) {
  console.error("usage: node workbench_test.mjs ZUBTOOL WORKDIR [PACKAGES]");
  process.exit(2);
}
const work = path.resolve(workArg);
const packages = path.resolve(packagesArg || work);
const shots = path.join(work, "screenshots");
fs.mkdirSync(shots, { recursive: true });

const { chromium } = await importPackage(packages, "playwright-core/index.mjs");
const axeSource = fs.readFileSync(path.join(packagesDir(packages), "axe-core/axe.min.js"), "utf8");

const UID = "1A7B8C54";
const KEY = "A1B2C3D4E5F6";

// A 1K (or 4K) image: block 0 with the UID and its BCC, data blocks with a
// pattern, trailers of `key` with the transport access bits.
function image(key = "FFFFFFFFFFFF", fill = (b) => b, size = 1024) {
  const img = Buffer.alloc(size);
  const uid = Buffer.from(UID, "hex");
  uid.copy(img, 0);
  img[4] = uid[0] ^ uid[1] ^ uid[2] ^ uid[3];
  img[5] = size === 1024 ? 0x08 : 0x18; img[6] = size === 1024 ? 0x04 : 0x02; img[7] = 0x00;
  for (let b = 1; b < size / 16; b++) {
    const trailer = b < 128 ? b % 4 === 3 : (b - 128) % 16 === 15;
    if (trailer) {
      Buffer.from(key + "FF078069" + key, "hex").copy(img, b * 16);
    } else {
      for (let i = 0; i < 16; i++) img[b * 16 + i] = fill(b * 16 + i) & 0xff;
    }
  }
  return img;
}

let caseNo = 0;
function scene(bytes) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "zub-wb-"));
  const card = path.join(dir, "card.mfd");
  fs.writeFileSync(card, bytes);
  const control = path.join(dir, "control");
  fs.writeFileSync(control, "");
  const env = { ...Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith("ZUBSIM_"))),
    ZUBSIM_IMAGE: card, ZUBSIM_SAVE_ON_CLOSE: "1", ZUBSIM_CONTROL: control, ZUBSIM_TRACE: path.join(dir, "trace") };
  return { dir, card, control, env, opened: path.join(dir, "opened") };
}

// `opens`: zubtool starts "the browser", a stand-in xdg-open that writes
// the path it was given to sc.opened.
function startServer(sc, opens = false) {
  return new Promise((resolve, reject) => {
    let env = sc.env;
    const args = ["ui", "--port", "0"];
    if (opens) {
      const bin = path.join(sc.dir, "bin");
      fs.mkdirSync(bin);
      fs.writeFileSync(path.join(bin, "xdg-open"), `#!/bin/sh\nprintf '%s' "$1" > '${sc.opened}.part' && mv '${sc.opened}.part' '${sc.opened}'\n`, { mode: 0o755 });
      env = { ...env, PATH: bin + path.delimiter + process.env.PATH, TMPDIR: sc.dir };
    } else {
      args.push("--no-browser");
    }
    const child = spawn(zubtool, args, { env, stdio: ["ignore", "pipe", "pipe"] });
    let out = "";
    const timer = setTimeout(() => { child.kill("SIGINT"); reject(new Error(`no address printed:\n${out}`)); }, 10000);
    const look = (chunk) => {
      out += chunk;
      const m = /workbench at (http:\/\/127\.0\.0\.1:\d+\/)#token=([0-9a-f]+)/.exec(out);
      if (m) { clearTimeout(timer); resolve({ child, url: m[1] + "#token=" + m[2], base: m[1], token: m[2], output: () => out }); }
    };
    child.stdout.on("data", look);
    child.stderr.on("data", look);
    child.on("exit", (code) => { clearTimeout(timer); reject(new Error(`zubtool ui ended (${code}) before printing its address:\n${out}`)); });
  });
}

// Ctrl-C, as a technician stops it; the virtual reader saves its image then.
function stopServer(server) {
  return new Promise((resolve) => {
    if (server.child.exitCode !== null) { resolve(server.child.exitCode); return; }
    const kill = setTimeout(() => server.child.kill("SIGKILL"), 5000);
    server.child.on("exit", (code) => { clearTimeout(kill); resolve(code); });
    server.child.kill("SIGINT");
  });
}

function zub(args, env) {
  const r = spawnSync(zubtool, args, { env, encoding: "utf8" });
  if (r.status !== 0) throw new Error(`zubtool ${args.join(" ")}: ${r.status}\n${r.stdout}${r.stderr}`);
  return r.stdout;
}

let browser;
let profile;
let failures = 0;
const figures = {};

function assert(cond, message) {
  if (!cond) throw new Error(message);
}

// One case: its own image, server and page; all stopped whatever happens.
// WORKBENCH_CASE=<words> runs only the cases whose names hold them.
async function test(name, body, { bytes = image(), keep, opens = false } = {}) {
  if (process.env.WORKBENCH_CASE && !name.includes(process.env.WORKBENCH_CASE)) return;
  caseNo++;
  const sc = scene(bytes);
  let server = null;
  let page = null;
  const t0 = Date.now();
  try {
    server = await startServer(sc, opens);
    page = await browser.newPage();
    const errors = [];
    page.on("pageerror", (e) => errors.push(String(e)));
    await body({ page, server, sc, stop: async () => { await stopServer(server); } });
    assert(!errors.length, `script errors on the page: ${errors.join("; ")}`);
    console.log(`PASS ${name} (${Date.now() - t0} ms)`);
  } catch (e) {
    failures++;
    console.log(`FAIL ${name}: ${e.stack || e}`);
    if (server) console.log(`--- zubtool ui said:\n${server.output()}`);
  } finally {
    if (page) await page.close().catch(() => {});
    if (server) await stopServer(server);
    if (!keep) fs.rmSync(sc.dir, { recursive: true, force: true });
  }
}

async function openPage(page, server) {
  await page.goto(server.url);
  await page.waitForFunction(() => document.body.dataset.cardShown, null, { timeout: 10000 });
}

const sectorHex = (page) => page.$$eval("#block-table tr[data-block]", (rows) =>
  rows.map((r) => [...r.querySelectorAll("td.hex .byte")].map((b) => b.textContent).join("")));

try {
  // A fresh profile in a temporary folder (playwright passes it as
  // --user-data-dir); each case gets a tab of its own, so its own session
  // storage and token.
  profile = fs.mkdtempSync(path.join(os.tmpdir(), "zub-wb-chromium-"));
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true, acceptDownloads: true, viewport: { width: 1280, height: 800 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });

  await test("the page shows the card's UID, usable at once and the card fully shown within a second", async ({ page, server }) => {
    await page.goto(server.url);
    assert(!page.url().includes("token="), `the token stays in the address bar: ${page.url()}`);
    await page.waitForFunction(() => document.body.dataset.ready === "1", null, { timeout: 5000 });
    await page.waitForFunction(() => document.body.dataset.cardShown, null, { timeout: 10000 });
    const text = await page.textContent("#card");
    assert(text.includes(UID), `the card bar shows "${text}", not the UID ${UID}`);
    // First paint, the controls live, the card bar filled from the first
    // status, the whole card shown: milliseconds after navigation.
    const timing = () => page.evaluate(() => {
      const at = (name) => Math.round(performance.getEntriesByName(name)[0].startTime);
      return { paint: at("first-contentful-paint"), wired: at("zub-wired"), cardBar: at("zub-ready"),
        shown: at("zub-card-shown"), tiles: document.querySelectorAll("#sector-map .tile").length };
    });
    const cold = await timing();
    assert(cold.tiles === 16, `${cold.tiles} tiles for a 1K card`);
    // A reload keeps working (the token is in the tab's session storage), and
    // is the page as a technician opens it again, the browser warmed up.
    await page.reload();
    await page.waitForFunction(() => document.body.dataset.cardShown, null, { timeout: 10000 });
    const warm = await timing();
    figures.firstOpen = cold;
    figures.reload = warm;
    for (const [what, t] of [["first open", cold], ["reload", warm]])
      console.log(`figure: ${what}: first paint ${t.paint} ms, controls live ${t.wired} ms, card bar filled ${t.cardBar} ms, 1K card fully shown ${t.shown} ms`);
    // A loaded 2-core machine: three times the figures (300 ms usable, 1 s
    // shown), and the browser's own start on the first open.
    assert(warm.cardBar < 900 && cold.cardBar < 1500, `the card bar was ready only after ${cold.cardBar} / ${warm.cardBar} ms`);
    assert(warm.shown < 3000 && cold.shown < 3000, `the card was fully shown only after ${cold.shown} / ${warm.shown} ms`);
    await page.locator("#view").screenshot({ path: path.join(shots, "sector-map.png") });
  });

  await test("a sector's blocks equal what zubtool read gives", async ({ page, server, sc, stop }) => {
    await openPage(page, server);
    await page.click('#sector-map .tile[data-sector="1"]');
    // The keyboard moves the selection too: right to sector 2 and back.
    await page.keyboard.press("ArrowRight");
    await page.keyboard.press("ArrowLeft");
    const shown = await sectorHex(page);
    await page.locator("#blocks").screenshot({ path: path.join(shots, "block-view.png") });
    await stop();
    const env = { ...sc.env, ZUBSIM_SAVE_ON_CLOSE: "0" };
    const read = [4, 5, 6, 7].map((b) => {
      const line = zub(["read", String(b)], env).split("\n").find((l) => l.trim().startsWith(String(b)));
      return line.trim().split(/\s+/).slice(1, 17).join("").toUpperCase();
    });
    // The data blocks byte for byte; of the trailer, the access bits and byte
    // 9 (the card never reads key A out, and the page fills in the key that
    // opened the sector where the reader answers zeros).
    const same = (rows) => rows.map((h, i) => (i === 3 ? h.slice(12, 20) : h));
    assert(JSON.stringify(same(shown)) === JSON.stringify(same(read)),
      `page ${JSON.stringify(shown)} != zubtool read ${JSON.stringify(read)}`);
    assert(shown[0] === image().subarray(64, 80).toString("hex").toUpperCase(), `block 4 shown as ${shown[0]}`);
  });

  await test("a write made on the page lands in the virtual reader's image", async ({ page, server, sc, stop }) => {
    await openPage(page, server);
    const data = "00112233445566778899AABBCCDDEEFF";
    await page.click('#sector-map .tile[data-sector="1"]');
    const before = await sectorHex(page);
    let reads = 0;
    page.on("request", (r) => { if (r.url().endsWith("/api/card/read")) reads++; });
    await page.fill("#edit-block", "5");
    await page.fill("#edit-data", data);
    await page.waitForFunction(() => document.getElementById("edit-check").textContent.startsWith("✓"), null, { timeout: 5000 });
    await page.click("#edit-write");
    await page.waitForFunction(() => document.getElementById("edit-result").className === "good", null, { timeout: 10000 });
    const held = await page.getAttribute("#edit-result", "data-held");
    assert(held.toUpperCase() === data, `the page shows ${held} verified, not ${data}`);
    // The sector shown takes the block written from the write's reply: the
    // other blocks as they were, and the card not read again.
    await page.waitForFunction((d) => [...document.querySelectorAll('#block-table tr[data-block="5"] td.hex .byte')]
      .map((b) => b.textContent).join("") === d, data, { timeout: 5000 });
    const after = await sectorHex(page);
    assert(JSON.stringify(after) === JSON.stringify([before[0], data, before[2], before[3]]),
      `sector 1 shown as ${JSON.stringify(after)} after the write, before ${JSON.stringify(before)}`);
    assert(reads === 0, `the card was read ${reads} times after the write`);
    await stop();
    const saved = fs.readFileSync(sc.card).subarray(5 * 16, 6 * 16).toString("hex").toUpperCase();
    assert(saved === data, `the image holds ${saved} in block 5`);
  });

  await test("a refused trailer shows its reason and leaves the image unchanged", async ({ page, server, sc, stop }) => {
    const before = fs.readFileSync(sc.card);
    await openPage(page, server);
    await page.fill("#edit-block", "7");
    await page.check("#edit-force");
    // Access bytes whose plain and inverted copies disagree: a locked sector.
    await page.fill("#edit-data", "FFFFFFFFFFFF000000" + "69" + "FFFFFFFFFFFF");
    const reply = page.waitForResponse((r) => r.url().endsWith("/api/card/write"));
    await page.click("#edit-write");
    const r = await reply;
    assert(r.status() === 422, `the write was answered ${r.status()}`);
    const reason = (await r.json()).error;
    await page.waitForFunction(() => document.getElementById("edit-result").className === "bad");
    const shown = await page.textContent("#edit-result");
    assert(reason && shown.includes(reason), `the page says "${shown}", not the reason "${reason}"`);
    await stop();
    assert(fs.readFileSync(sc.card).equals(before), "the image changed after a refused write");
  });

  await test("the key search's progress bar moves at least twice a second and Cancel stops it", async ({ page, server }) => {
    await openPage(page, server);
    // The virtual reader tries keys fast: a 4K card (80 key types) and as
    // as many keys as the body limit takes (a JSON string of 14 bytes a key
    // under 256 KiB) keep the search going for seconds.
    const keys = [];
    for (let i = 0; i < 17000; i++) keys.push((0x100000000000 + i * 7919).toString(16).toUpperCase().padStart(12, "0"));
    await page.$eval("#keys-text", (t, text) => { t.value = text; }, keys.join("\n"));
    await page.uncheck("#keys-builtin");
    await page.click("#keys-set");
    await page.waitForFunction(() => /^17000 keys/.test(document.getElementById("keys-note").textContent));
    await page.click("#search-start");
    await page.waitForFunction(() => document.getElementById("search-note").dataset.state === "running");
    const samples = [];
    const t0 = Date.now();
    while (Date.now() - t0 < 2000) {
      samples.push([Date.now() - t0, await page.$eval("#search-progress", (p) => p.value)]);
      await page.waitForTimeout(40);
    }
    const perSecond = [0, 1].map((s) => new Set(samples.filter(([t]) => t >= s * 1000 && t < (s + 1) * 1000).map(([, v]) => v)).size);
    figures.progressPerSecond = perSecond;
    console.log(`figure: distinct progress values per second ${perSecond.join(", ")}`);
    assert(samples[samples.length - 1][1] > samples[0][1], "the progress bar did not move");
    assert(Math.min(...perSecond) >= 2, `progress updated fewer than twice in a second: ${perSecond}`);
    const c0 = Date.now();
    await page.click("#search-cancel");
    await page.waitForFunction(() => document.getElementById("search-note").dataset.state === "cancelled", null, { timeout: 5000 });
    figures.cancelMs = Date.now() - c0;
    console.log(`figure: the search stopped ${figures.cancelMs} ms after Cancel`);
    const after = await page.$eval("#search-progress", (p) => p.value);
    await page.waitForTimeout(600);
    assert(await page.$eval("#search-progress", (p) => p.value) === after, "the progress moved after Cancel");
    const job = await page.evaluate(async (token) => (await (await fetch("/api/job", { headers: { "X-Zubtool-Token": token } })).json()).job, server.token);
    assert(job && !job.running && job.cancelled, `the server's job after Cancel: ${JSON.stringify(job)}`);
    assert(figures.cancelMs < 2000, `Cancel took ${figures.cancelMs} ms`);
  }, { bytes: image(KEY, (b) => b, 4096) });

  await test("a diff marks exactly the bytes that differ", async ({ page, server, sc }) => {
    await openPage(page, server);
    const a = image();
    const b = Buffer.from(a);
    const changed = { 4: [0, 15], 9: [3], 13: [7, 8, 9] };
    for (const [blk, idx] of Object.entries(changed)) for (const i of idx) b[Number(blk) * 16 + i] ^= 0x5a;
    const fa = path.join(sc.dir, "yesterday.mfd");
    const fb = path.join(sc.dir, "today.mfd");
    fs.writeFileSync(fa, a);
    fs.writeFileSync(fb, b);
    for (const f of [fa, fb]) {
      const opened = page.waitForResponse((r) => r.url().endsWith("/api/image/open"));
      await page.setInputFiles("#image-file", f);
      assert((await opened).ok(), `${f} was not opened`);
    }
    await page.selectOption("#diff-a", "0");
    await page.selectOption("#diff-b", "1");
    await page.click("#diff-go");
    await page.waitForSelector("#diff-result table");
    const marked = await page.$$eval("#diff-result tr[data-block]", (rows) => Object.fromEntries(rows.map((r) => {
      const sides = [...r.querySelectorAll("td.hex")].map((td) => [...td.children].flatMap((c, i) => (c.tagName === "MARK" ? [i] : [])));
      return [r.dataset.block, sides];
    })));
    const expected = Object.fromEntries(Object.entries(changed).map(([k, v]) => [k, [v, v]]));
    assert(JSON.stringify(marked) === JSON.stringify(expected), `marked ${JSON.stringify(marked)}, expected ${JSON.stringify(expected)}`);
    // Every block says what changed in words, ASCII beside each side, no stray glyph.
    const words = await page.$$eval("#diff-result tr[data-block]", (rows) => rows.map((r) => [r.querySelector("td.changes").textContent, r.querySelectorAll("td.ascii mark").length]));
    assert(JSON.stringify(words) === JSON.stringify([["2 bytes differ: 0, 15", 4], ["1 byte differs: 3", 2], ["3 bytes differ: 7 to 9", 6]]), `what changed: ${JSON.stringify(words)}`);
    assert(await page.$eval("#diff-result mark", (m) => getComputedStyle(m, "::before").content) === "none", "a mark has a glyph before it");
    await page.locator("#diff-result").screenshot({ path: path.join(shots, "diff.png") });
  });

  // Sector 2's key B is in no list (the read leaves it unknown), sector 3 opens with no key.
  const partlyKnown = () => {
    const img = image();
    Buffer.from("FFFFFFFFFFFF7F078869B0B1B2B3B4B5", "hex").copy(img, 11 * 16);
    Buffer.from("A1B2C3D4E5F6FF078069A1B2C3D4E5F6", "hex").copy(img, 15 * 16);
    return img;
  };
  await test("the default download opens again as read, and its restore writes only the safe part", async ({ page, server, sc, stop }) => {
    const before = fs.readFileSync(sc.card);
    await openPage(page, server);
    assert(await page.$eval("#export-format", (s) => s.value) === "json", "the default format is not json");
    const lossy = await page.$eval('#export-format option[value="raw"]', (o) => o.textContent);
    assert(lossy.includes("loses unknown bytes, written as zeros"), `raw is offered as "${lossy}"`);
    const dl = page.waitForEvent("download");
    await page.click("#export-go");
    const file = path.join(sc.dir, (await dl).suggestedFilename());
    await (await dl).saveAs(file);
    const opened = page.waitForResponse((r) => r.url().endsWith("/api/image/open"));
    await page.setInputFiles("#image-file", file);
    const o = await (await opened).json();
    assert(o.unknownBytes === 4 * 16 + 6 && !o.warnings.length, `opened again: ${o.unknownBytes} unknown bytes, warnings ${o.warnings}`);
    await page.selectOption("#restore-image", "0");
    await page.check("#restore-trailers");
    await page.click("#restore-plan");
    await page.waitForSelector("#restore-refusal");
    const checks = await page.textContent("#restore-checks");
    assert(checks.includes("key B is 000000000000") && checks.includes("70 bytes are unknown"), `the plan's checks: ${checks}`);
    assert(!(await page.$("#restore-go")), "a write is offered for a refused plan");
    await page.click("#restore-safe");
    await page.waitForSelector("#restore-go");
    assert((await page.textContent("#restore-skipped")).includes("block 11 never written"), "block 11 is not named as never written");
    await page.click("#restore-go");
    await page.waitForSelector("#restore-done");
    const done = await page.textContent("#restore-done");
    assert(/^✓ card 1A7B8C54: 58 written and verified, 0 failed/.test(done), `the restore: ${done}`);
    await stop();
    assert(fs.readFileSync(sc.card).equals(before), "the card changed in its own round trip");
  }, { bytes: partlyKnown() });

  await test("ASCII entry fills a block, and an edited image is diffed and restored", async ({ page, server, sc, stop }) => {
    await openPage(page, server);
    await page.fill("#edit-ascii", "Hello");
    assert(await page.inputValue("#edit-data") === "48656C6C6F" + "00".repeat(11), "ASCII padded with 00");
    await page.selectOption("#edit-pad", "20");
    assert(await page.inputValue("#edit-data") === "48656C6C6F" + "20".repeat(11), "ASCII padded with spaces");
    await page.fill("#edit-ascii", "seventeen letters");
    assert((await page.textContent("#edit-ascii-note")).includes("17 characters"), "17 characters not refused");
    assert(await page.inputValue("#edit-data") === "48656C6C6F" + "20".repeat(11), "a refused text changed the hex");
    await page.fill("#edit-data", "41424344000000000000000000000000");
    assert(await page.inputValue("#edit-ascii") === "ABCD", "the hex is not shown as ASCII");
    // The card's last read, block 4 (picked in the view) edited as text, kept as a new entry.
    await page.click('#sector-map .tile[data-sector="1"]');
    await page.dblclick('#block-table tr[data-block="4"]');
    await page.fill("#image-edit-ascii", "edited on a page");
    await page.waitForFunction(() => document.getElementById("image-edit-check").textContent.startsWith("✓"));
    await page.click("#image-edit-apply");
    await page.waitForFunction(() => document.getElementById("image-edit-result").className === "good");
    const name = await page.$eval("#restore-image", (s) => s.selectedOptions[0].text);
    assert(name === `card ${UID} (edited)`, `the edited image is called "${name}"`);
    await page.selectOption("#diff-a", "card");
    await page.selectOption("#diff-b", "0");
    await page.click("#diff-go");
    await page.waitForSelector("#diff-result table");
    const rows = await page.$$eval("#diff-result tr[data-block]", (r) => r.map((x) => x.dataset.block));
    assert(JSON.stringify(rows) === JSON.stringify(["4"]), `the diff lists blocks ${rows}`);
    await page.click("#restore-plan");
    await page.click("#restore-go");
    await page.waitForSelector("#restore-done");
    await stop();
    const held = fs.readFileSync(sc.card).subarray(64, 80).toString();
    assert(held === "edited on a page", `block 4 holds "${held}"`);
  });

  await test("the key file lists the keys in use, tidies them and downloads what the server holds", async ({ page, server, sc }) => {
    await openPage(page, server);
    await page.click("#keyfile-load");
    await page.waitForFunction(() => document.getElementById("keyfile-text").value.includes("FFFFFFFFFFFF"));
    await page.fill("#keyfile-text", "A0A1A2A3A4A5\nnot a key\na0a1a2a3a4a5\nFFFFFFFFFFFF\n");
    await page.waitForFunction(() => document.getElementById("keyfile-lines").children.length === 2);
    const lines = await page.textContent("#keyfile-lines");
    assert(lines.includes("line 2 (not a key)") && lines.includes("line 3 repeats"), `the lines: ${lines}`);
    await page.click("#keyfile-tidy");
    await page.waitForFunction(() => !document.getElementById("keyfile-text").value.includes("a0a1"));
    await page.fill("#keyfile-text", (await page.inputValue("#keyfile-text")).replace("not a key\n", ""));
    await page.click("#keyfile-use");
    await page.waitForFunction(() => document.getElementById("keyfile-note").textContent.includes("tries these 2 keys"));
    const dl = page.waitForEvent("download");
    await page.click("#keyfile-save");
    const file = path.join(sc.dir, "saved.keys");
    await (await dl).saveAs(file);
    const keys = fs.readFileSync(file, "utf8").split("\n").filter((l) => l && !l.startsWith("#"));
    assert(JSON.stringify(keys) === JSON.stringify(["A0A1A2A3A4A5", "FFFFFFFFFFFF"]), `downloaded ${keys}`);
  });

  await test("a downloaded file equals what zubtool convert writes", async ({ page, server, sc }) => {
    await openPage(page, server);
    const src = path.join(sc.dir, "card-copy.mfd");
    fs.writeFileSync(src, image(KEY, (i) => i * 3));
    await page.setInputFiles("#image-file", src);
    await page.waitForFunction(() => document.querySelectorAll("#export-source option").length > 1);
    const formats = await page.$$eval("#export-format option", (o) => o.map((x) => x.value));
    assert(formats.length > 1, `formats offered: ${formats}`);
    for (const format of formats) {
      await page.selectOption("#export-source", "0");
      await page.selectOption("#export-format", format);
      const dl = page.waitForEvent("download");
      await page.click("#export-go");
      const download = await dl;
      const got = path.join(sc.dir, "page-" + download.suggestedFilename());
      await download.saveAs(got);
      const want = path.join(sc.dir, "convert-" + download.suggestedFilename());
      zub(["convert", "--to", format, src, want], { ...sc.env, ZUBSIM_DEVICE_INDEX: "none" });
      assert(fs.readFileSync(got).equals(fs.readFileSync(want)), `${format}: the download differs from zubtool convert's file`);
      assert(download.suggestedFilename().startsWith(UID), `${format}: saved as ${download.suggestedFilename()}`);
    }
  });

  // A card formatted for NDEF by zubtool, a URL and a text on it; one sector
  // (7) given to another application in the directory.
  const ndefCard = () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), "zub-wb-ndef-"));
    const card = path.join(dir, "card.mfd");
    fs.writeFileSync(card, image());
    const env = { ...Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith("ZUBSIM_"))),
      ZUBSIM_IMAGE: card, ZUBSIM_SAVE_ON_CLOSE: "1" };
    zub(["ndef", "format", "--force"], env);
    const msg = path.join(dir, "message.ndef");
    // U "https://example.com/wb" then T "en" "Grüße"
    fs.writeFileSync(msg, Buffer.concat([Buffer.from("91010F55046578616D706C652E636F6D2F7762", "hex"),
      Buffer.from("51010A5402656E", "hex"), Buffer.from("Grüße")]));
    zub(["ndef", "write", "--message", msg], env);
    const bytes = fs.readFileSync(card);
    fs.rmSync(dir, { recursive: true, force: true });
    return bytes;
  };
  await test("the sector map labels the directory's sectors and the NDEF records are shown decoded", async ({ page, server }) => {
    await openPage(page, server);
    const labels = await page.$$eval("#sector-map .tile", (tiles) =>
      tiles.map((t) => (t.querySelector(".app") || { textContent: "" }).textContent));
    assert(JSON.stringify(labels) === JSON.stringify(["MAD", ...Array(15).fill("NFC")]), `tile labels: ${labels}`);
    const title = await page.getAttribute('#sector-map .tile[data-sector="1"] .app', "title");
    assert(title === "NFC Forum (NDEF)", `the NFC label's title: ${title}`);
    await page.waitForSelector("#ndef-view:not([hidden])");
    const records = await page.$$eval("#ndef-view li", (li) => li.map((r) => [r.dataset.kind, r.querySelector(".value").textContent]));
    assert(JSON.stringify(records) === JSON.stringify([["URI", "https://example.com/wb"], ["text", "Grüße (en, UTF-8)"]]),
      `the records shown: ${JSON.stringify(records)}`);
  }, { bytes: ndefCard() });

  await test("a text written from the page reads back, from the page and from zubtool ndef read", async ({ page, server, sc, stop }) => {
    await openPage(page, server);
    // Refused before the card is touched: an empty language code.
    await page.selectOption("#ndef-kind", "text");
    await page.fill("#ndef-content", "Grüß Gott – written from the page");
    await page.fill("#ndef-lang", "");
    await page.click("#ndef-go");
    await page.waitForFunction(() => document.getElementById("ndef-result").textContent.includes("✗"));
    const refused = await page.textContent("#ndef-result");
    assert(refused.includes("the language code must be 1 to 63 characters"), `the refusal: ${refused}`);
    await page.fill("#ndef-lang", "de-AT");
    await page.click("#ndef-go");
    await page.waitForFunction(() => document.getElementById("ndef-result").textContent.includes("✓"), null, { timeout: 10000 });
    await page.waitForFunction(() => [...document.querySelectorAll("#ndef-view li .value")].some((v) => v.textContent.includes("written from the page")), null, { timeout: 10000 });
    const records = await page.$$eval("#ndef-view li", (li) => li.map((r) => [r.dataset.kind, r.querySelector(".value").textContent]));
    assert(JSON.stringify(records) === JSON.stringify([["text", "Grüß Gott – written from the page (de-AT, UTF-8)"]]),
      `the records shown after the write: ${JSON.stringify(records)}`);
    await stop();
    const read = JSON.parse(zub(["ndef", "read", "--json"], sc.env));
    assert(read.records.length === 1 && read.records[0].text === "Grüß Gott – written from the page" && read.records[0].language === "de-AT",
      `zubtool ndef read: ${JSON.stringify(read.records)}`);
    // The old, longer message is cleared behind the terminator, as ndef write does.
    const img = fs.readFileSync(sc.card);
    const area = Buffer.concat([4, 5, 6, 8, 9, 10].map((b) => img.subarray(b * 16, b * 16 + 16)));
    const end = 2 + read.messageSize;
    assert(area[end] === 0xfe && area.subarray(end + 1).every((x) => x === 0), `after the terminator: ${area.subarray(end).toString("hex")}`);
  }, { bytes: ndefCard() });

  await test("a card without a directory shows no labels and no NDEF", async ({ page, server }) => {
    await openPage(page, server);
    assert(!(await page.$$("#sector-map .tile .app")).length, "labels on a card without a directory");
    assert(await page.isHidden("#ndef-view"), "an NDEF view for a card without a directory");
  }, { bytes: image("FFFFFFFFFFFF", () => 0) });

  await test("format: what it would do first, then the card erased once ticked", async ({ page, server, sc, stop }) => {
    await openPage(page, server);
    await page.click("#format-plan");
    await page.waitForSelector("#format-go");
    assert(await page.isDisabled("#format-go"), "format offered before the tick");
    await page.check("#format-tick");
    await page.click("#format-go");
    await page.waitForFunction(() => /✓ card .*16 sectors formatted/.test(document.getElementById("format-result").textContent), null, { timeout: 10000 });
    await stop();
    const img = fs.readFileSync(sc.card);
    assert(img.subarray(16, 48).every((b) => b === 0), "data blocks not zeroed");
  });

  await test("taking the card out shows on the page", async ({ page, server, sc, stop }) => {
    await openPage(page, server);
    fs.appendFileSync(sc.control, "0 out\n");
    await page.waitForFunction(() => document.body.dataset.cardPresent === "false", null, { timeout: 5000 });
    const text = await page.textContent("#card");
    assert(!text.includes(UID), `the card bar still shows the card: ${text}`);
    assert(!(await page.isHidden("#stale")), "the card shown is not marked as gone");
    fs.appendFileSync(sc.control, "0 card 1K 01020304\n");
    await page.waitForFunction(() => document.body.dataset.stale === "true" && document.body.dataset.cardPresent === "true", null, { timeout: 5000 });
    assert((await page.textContent("#stale")).includes("01020304"), "another card's UID not named");
    // A write meant for the card shown does not go to the other card.
    await page.fill("#edit-block", "4");
    await page.fill("#edit-data", "00112233445566778899AABBCCDDEEFF");
    await page.click("#edit-write");
    await page.waitForFunction(() => /UID 01020304, not UID/.test(document.getElementById("edit-result").textContent), null, { timeout: 5000 });
    // The server gone: the card bar keeps no tick.
    await stop();
    await page.waitForFunction(() => document.body.dataset.cardPresent === "false", null, { timeout: 5000 });
    assert(!(await page.textContent("#card")).includes("✓"), `the card pill after the server stopped: ${await page.textContent("#card")}`);
  });

  await test("the page opened by localhost and by [::1] works as by 127.0.0.1", async ({ page, server }) => {
    for (const name of ["localhost", "[::1]"]) {
      await page.goto(server.url.replace("127.0.0.1", name));
      await page.waitForFunction(() => document.body.dataset.cardShown, null, { timeout: 10000 });
      const text = await page.textContent("#card");
      assert(text.includes(UID), `${name}: the card bar shows "${text}", not the UID ${UID}`);
      assert(new URL(page.url()).hostname === name, `${name}: the page went to ${page.url()}`);
    }
  });

  await test("the file the browser is started on opens the workbench, and goes when it stops", async ({ page, server, sc, stop }) => {
    const until = Date.now() + 5000;
    while (!fs.existsSync(sc.opened) && Date.now() < until) await new Promise((r) => setTimeout(r, 50));
    assert(fs.existsSync(sc.opened), "the browser was not started");
    const file = fs.readFileSync(sc.opened, "utf8");
    assert(!file.includes(server.token), `the browser was given the token: ${file}`);
    await page.goto(pathToFileURL(file).href);
    await page.waitForURL(server.base + "**", { timeout: 5000 });
    await page.waitForFunction(() => document.body.dataset.cardShown, null, { timeout: 10000 });
    assert((await page.textContent("#card")).includes(UID), "the card is not shown");
    await stop();
    assert(!fs.existsSync(file) && !fs.existsSync(path.dirname(file)), `${file} is still there`);
  }, { opens: true });

  // The page at each width: nothing wider than its box, no text under 12 px,
  // keys on one line, no word broken in a tile; axe finds nothing serious.
  const layoutCheck = () => {
    const faults = [];
    const name = (e) => `${e.tagName.toLowerCase()}${e.id ? "#" + e.id : ""}${e.className ? "." + String(e.className).split(" ")[0] : ""}`;
    if (document.documentElement.scrollWidth > innerWidth) faults.push(`page ${document.documentElement.scrollWidth} px wide`);
    const ctx = document.createElement("canvas").getContext("2d");
    for (const e of document.querySelectorAll("table, select, input, button, textarea")) {
      const box = e.closest("section, header");
      const a = e.getBoundingClientRect();
      if (!box || !a.width) continue;
      const b = box.getBoundingClientRect();
      if (a.left < b.left - 0.5 || a.right > b.right + 0.5) faults.push(`${name(e)} ${Math.round(a.left)}..${Math.round(a.right)} outside ${name(box)} ${Math.round(b.left)}..${Math.round(b.right)}`);
      if (e.tagName === "SELECT" && e.selectedOptions[0]) {
        ctx.font = getComputedStyle(e).font;
        const need = ctx.measureText(e.selectedOptions[0].text).width + 20;
        if (need > e.clientWidth) faults.push(`${name(e)} cuts "${e.selectedOptions[0].text}" (${Math.round(need)} > ${e.clientWidth})`);
      }
    }
    for (const t of document.querySelectorAll("#sector-map .tile")) {
      if (t.scrollWidth > t.clientWidth || t.scrollHeight > t.clientHeight) faults.push(`tile ${t.dataset.sector} clips its text`);
      for (const k of t.querySelectorAll(".key")) if (k.getClientRects().length !== 1 || k.getBoundingClientRect().height > 20) faults.push(`tile ${t.dataset.sector}: key on more than one line`);
      const walk = document.createTreeWalker(t, NodeFilter.SHOW_TEXT);
      for (let n = walk.nextNode(); n; n = walk.nextNode()) {
        if (n.parentElement.closest(".sr-only")) continue;
        for (const m of n.textContent.matchAll(/\S+/g)) {
          const r = document.createRange();
          r.setStart(n, m.index); r.setEnd(n, m.index + m[0].length);
          if (r.getClientRects().length > 1) faults.push(`tile ${t.dataset.sector}: "${m[0]}" broken`);
        }
      }
    }
    const small = new Set();
    for (const e of document.querySelectorAll("body *")) {
      if (!e.getClientRects().length || e.closest(".sr-only") || ![...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim())) continue;
      if (parseFloat(getComputedStyle(e).fontSize) < 12) small.add(`${name(e)} ${getComputedStyle(e).fontSize}`);
    }
    return [...faults, ...[...small].map((x) => `text under 12 px: ${x}`)];
  };
  const axeFaults = async (page) => {
    if (!(await page.evaluate(() => !!window.axe))) await page.evaluate(axeSource);
    return page.evaluate(async () => (await window.axe.run(document, { resultTypes: ["violations"] })).violations
      .filter((v) => v.impact === "serious" || v.impact === "critical")
      .map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 3).map((n) => n.target.join(" ")).join(", ")}`));
  };
  const lockedSector3 = (size = 1024) => {
    const img = image("FFFFFFFFFFFF", (b) => b, size);
    Buffer.from(KEY + "FF078069" + KEY, "hex").copy(img, 15 * 16);
    return img;
  };
  for (const [size, widths] of [[1024, [800, 1366, 1920]], [4096, [800, 1920]]]) {
    await test(`a ${size / 1024}K card at ${widths.join(", ")} px: everything in its box, 12 px and up, axe finds nothing serious, nothing fails to load`, async ({ page, server }) => {
      const failed = [];
      page.on("response", (r) => { if (r.status() >= 400) failed.push(`${r.status()} ${r.url()}`); });
      page.on("requestfailed", (r) => failed.push(`failed ${r.url()}`));
      for (const width of widths) {
        await page.setViewportSize({ width, height: 900 });
        await openPage(page, server);
        await page.click('#sector-map .tile[data-sector="3"]');
        const faults = [...await page.evaluate(layoutCheck), ...await axeFaults(page)];
        assert(!faults.length, `at ${width} px:\n  ${faults.join("\n  ")}`);
        if (size === 1024) await page.screenshot({ path: path.join(shots, `workbench-${width}.png`), fullPage: true });
      }
      assert(!failed.length, `requests that failed: ${failed.join(", ")}`);
      // The tile says "not opened"; its name and the sector's heading the reason.
      const tile = page.locator('#sector-map .tile[data-sector="3"]');
      assert((await tile.locator(".what").textContent()) === "not opened", "the tile's state");
      const reason = await page.textContent("#sector-state");
      assert(reason.includes("not opened: ") && reason.length > 20, `the sector's state: ${reason}`);
      const named = await tile.evaluate((t) => t.textContent);
      assert(named.startsWith("sector 3") && named.includes(reason.slice(2)), `the tile's name: ${named}`);
    }, { bytes: lockedSector3(size) });
  }

  await test("the keys shown are the server's, counted in words, the file named until its keys are used", async ({ page, server, sc }) => {
    await openPage(page, server);
    const note = () => page.textContent("#keys-note");
    // A fresh start tries FFFFFFFFFFFF alone: sector 3's key is not among them.
    assert(!(await page.isChecked("#keys-builtin")), "the built-in list is ticked, though not in use");
    assert((await note()) === "1 key to try, without the built-in list.", `the note: ${await note()}`);
    assert((await page.inputValue("#keys-text")) === "FFFFFFFFFFFF", "the box holds other keys than the server's");
    const file = path.join(sc.dir, "k15.keys");
    fs.writeFileSync(file, `${KEY}\n`);
    await page.check("#keys-builtin");
    await page.setInputFiles("#keys-file", file);
    await page.waitForFunction(() => /with k15\.keys/.test(document.getElementById("keys-note").textContent));
    assert(await page.$eval("#keys-file", (f) => f.files.length === 0), "the file input still names the file");
    await page.click("#keys-set");
    await page.waitForFunction(() => !/k15/.test(document.getElementById("keys-note").textContent));
    const count = Number(/^(\d+) keys to try, the built-in list included\.$/.exec(await note())[1]);
    await page.reload();
    await openPage(page, server);
    assert(await page.isChecked("#keys-builtin"), "after a reload the built-in list in use is not ticked");
    assert((await note()).startsWith(`${count} keys to try, the built-in list included`), `after a reload: ${await note()}`);
    assert((await page.textContent('#sector-map .tile[data-sector="3"] .what')) === "key A", "sector 3 did not open with the keys set");
  }, { bytes: lockedSector3() });

  await test("a number field empty or off its range is refused on the page, naming the field", async ({ page, server }) => {
    await openPage(page, server);
    let sent = 0;
    page.on("request", (r) => { if (/card\/(value|write)|trailer\/build/.test(r.url())) sent++; });
    for (const [field, text, button, out, says] of [
      ["#value-value", "", "#value-go", "#value-result", "Value is empty: give a whole number from -2147483648 to 2147483647"],
      ["#value-value", "2147483648", "#value-go", "#value-result", "Value 2147483648 is off its range"],
      ["#value-block", "64", "#value-go", "#value-result", "Block 64 is off its range: give a whole number from 0 to 63"],
      ["#edit-block", "", "#edit-write", "#edit-result", "Block is empty"],
      ["#trailer-sector", "1.5", "#trailer-build", "#trailer-result", "Sector must be a whole number from 0 to 15"]]) {
      await page.fill(field, text);
      await page.click(button);
      await page.waitForFunction(([o, w]) => document.querySelector(o).textContent.includes(w), [out, says], { timeout: 3000 });
      await page.fill(field, "1");
    }
    assert(sent === 0, `${sent} requests sent for refused fields`);
    assert((await page.textContent("#value-block-range")) === "0 to 63", "the block's range is not the card's");
  });

  await test("a file that cannot be read shows a message that Dismiss and the next file opened clear", async ({ page, server, sc }) => {
    await openPage(page, server);
    const bad = path.join(sc.dir, "bad.mct");
    fs.writeFileSync(bad, "not a dump\n");
    const good = path.join(sc.dir, "good.mfd");
    fs.writeFileSync(good, image());
    for (const clear of ["#message-dismiss", good]) {
      await page.setInputFiles("#image-file", bad);
      await page.waitForSelector("#message:not([hidden])");
      assert((await page.textContent("#message-text")).startsWith("bad.mct"), "the message does not name the file");
      if (clear.startsWith("#")) await page.click(clear);
      else await page.setInputFiles("#image-file", clear);
      await page.waitForSelector("#message", { state: "hidden", timeout: 5000 });
    }
  });

  await test("a page without the token says how to get in and reads nothing", async ({ page, server }) => {
    await page.goto(server.base);
    await page.waitForFunction(() => !document.getElementById("message").hidden);
    const text = await page.textContent("#message");
    assert(text.includes("open the address zubtool ui printed"), `the message is "${text}"`);
    assert(!(await page.textContent("#card")).includes(UID), "the card was shown without the token");
  });
} finally {
  if (browser) await browser.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
}

console.log(`figures: ${JSON.stringify(figures)}`);
console.log(failures ? `FAIL ${failures} of ${caseNo} cases` : `all ${caseNo} cases passed`);
process.exit(failures ? 1 : 0);
