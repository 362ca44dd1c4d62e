// The workbench page's load time: cold loads (a fresh browser context each,
// its cache empty) of `zubtool ui` against the virtual reader with a 1K card,
// measured to the page usable (the `zub-ready` mark and the sector map shown
// from the card's read); beside them, the same page files from a plain
// static file server (node's http module, a temporary folder) to all files
// loaded. Prints both medians and their ratio. Run by hand (docs/performance.md):
//
//   node bench/workbench_load.mjs ZUBTOOL PACKAGES [LOADS]
//
// PACKAGES: the folder the browser tests' npm packages are installed in
// (build/tests/workbench/node-packages, by tests/workbench/browser/packages.mjs).
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { importPackage } from "../tests/workbench/browser/packages.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const [zubtool, packagesArg, loadsArg] = process.argv.slice(2);
if (!zubtool || !packagesArg) {
  console.error("usage: node bench/workbench_load.mjs ZUBTOOL PACKAGES [LOADS]");
  process.exit(2);
}
const loads = Number(loadsArg || 10);
const { chromium } = await importPackage(path.resolve(packagesArg), "playwright-core/index.mjs");
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); const m = s.length >> 1; return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2; };

const dir = fs.mkdtempSync(path.join(os.tmpdir(), "zub-load-"));
const img = Buffer.alloc(1024);
Buffer.from("1A7B8C54B9080400", "hex").copy(img, 0);
for (let s = 0; s < 16; s++) Buffer.from("FFFFFFFFFFFFFF078069FFFFFFFFFFFF", "hex").copy(img, s * 64 + 48);
fs.writeFileSync(path.join(dir, "card.mfd"), img);

// The page's files, as the server embeds them, served plainly.
const pageDir = path.join(dir, "page");
fs.cpSync(path.join(here, "../tools/zubtool/ui/page"), pageDir, { recursive: true });
const types = { ".html": "text/html; charset=utf-8", ".css": "text/css; charset=utf-8", ".js": "text/javascript; charset=utf-8" };
const files = fs.readdirSync(pageDir);
const plain = http.createServer((req, res) => {
  const name = req.url === "/" ? "index.html" : req.url.slice(1).split("?")[0];
  if (!files.includes(name)) { res.writeHead(404, { "Content-Type": "application/json" }); res.end("{}"); return; }
  res.writeHead(200, { "Content-Type": types[path.extname(name)] || "application/octet-stream", "Cache-Control": "no-store" });
  res.end(fs.readFileSync(path.join(pageDir, name)));
});
await new Promise((r) => plain.listen(0, "127.0.0.1", r));

const env = { ...Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith("ZUBSIM_"))), ZUBSIM_IMAGE: path.join(dir, "card.mfd") };
const child = spawn(zubtool, ["ui", "--port", "0", "--no-browser"], { env, stdio: ["ignore", "pipe", "pipe"] });
const url = await new Promise((resolve, reject) => {
  let out = "";
  const look = (c) => { out += c; const m = /(http:\/\/127\.0\.0\.1:\d+\/#token=[0-9a-f]+)/.exec(out); if (m) resolve(m[1]); };
  child.stdout.on("data", look);
  child.stderr.on("data", look);
  child.on("exit", () => reject(new Error(`zubtool ui ended:\n${out}`)));
});

const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || "/usr/bin/chromium", headless: true,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"] });
const pageFiles = (p) => p.evaluate((names) => Math.round(Math.max(...performance.getEntriesByType("resource")
  .filter((e) => names.includes(new URL(e.name).pathname.slice(1))).map((e) => e.responseEnd),
performance.getEntriesByType("navigation")[0].responseEnd)), files);
const usable = [], zubFiles = [], plainFiles = [];
try {
  for (let i = 0; i < loads; i++) {
    for (const which of ["zubtool", "plain"]) {
      const context = await browser.newContext();
      const page = await context.newPage();
      if (which === "zubtool") {
        await page.goto(url);
        await page.waitForFunction(() => document.body.dataset.cardShown && document.body.dataset.ready, null, { timeout: 10000 });
        usable.push(await page.evaluate(() => Math.round(Math.max(...["zub-ready", "zub-card-shown"]
          .map((n) => performance.getEntriesByName(n)[0].startTime)))));
        zubFiles.push(await pageFiles(page));
      } else {
        await page.goto(`http://127.0.0.1:${plain.address().port}/`, { waitUntil: "load" });
        plainFiles.push(await pageFiles(page));
      }
      await context.close();
    }
  }
} finally {
  await browser.close();
  child.kill("SIGINT");
  plain.close();
  fs.rmSync(dir, { recursive: true, force: true });
}
console.log(`zubtool ui, page usable (map shown): ${usable.join(" ")} ms`);
console.log(`zubtool ui, page files loaded:       ${zubFiles.join(" ")} ms`);
console.log(`static server, page files loaded:    ${plainFiles.join(" ")} ms`);
const [u, z, p] = [median(usable), median(zubFiles), median(plainFiles)];
console.log(`median of ${loads}: usable ${u} ms; page files ${z} ms from zubtool ui, ${p} ms from a static server (ratio ${(z / p).toFixed(2)}); usable / static files ${(u / p).toFixed(2)}`);
