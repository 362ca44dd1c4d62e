// The npm packages the node tests and the load benchmark share (playwright-
// core, axe-core, ndef: pinned in package.json and package-lock.json beside
// this file), installed once with `npm ci` into a folder of the build tree,
// its npm cache there too.
//
//   node packages.mjs DIR      installs them into DIR (the tests' fixture)
//
// A folder whose installed lock file is this one's is left as it is.
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));

export function installPackages(dir) {
  fs.mkdirSync(dir, { recursive: true });
  const lock = fs.readFileSync(path.join(here, "package-lock.json"), "utf8");
  const stamp = path.join(dir, "node_modules", ".installed-lock.json");
  if (fs.existsSync(stamp) && fs.readFileSync(stamp, "utf8") === lock) return;
  for (const f of ["package.json", "package-lock.json"]) fs.copyFileSync(path.join(here, f), path.join(dir, f));
  const env = { ...process.env, npm_config_cache: path.join(dir, "npm-cache"), npm_config_update_notifier: "false",
    npm_config_fund: "false", npm_config_audit: "false" };
  const r = spawnSync("npm", ["ci", "--ignore-scripts", "--no-audit", "--no-fund"], { cwd: dir, env, stdio: "inherit" });
  if (r.status !== 0) throw new Error(`npm ci in ${dir} failed`);
  fs.writeFileSync(stamp, lock);
}

// The packages' folder a test was given (installed there if need be).
export function packagesDir(dir) {
  installPackages(dir);
  return path.join(dir, "node_modules");
}

export async function importPackage(dir, entry) {
  return import(pathToFileURL(path.join(packagesDir(dir), entry)).href);
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  if (!process.argv[2]) {
    console.error("usage: node packages.mjs DIR");
    process.exit(2);
  }
  try {
    installPackages(path.resolve(process.argv[2]));
  } catch (e) {
    console.log(`FAIL ${e.message}`);
    process.exit(1);
  }
}
