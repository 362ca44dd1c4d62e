#!/usr/bin/env bash
# Runs the main job: a whole card session against the virtual reader,
# natively first (with only the packages and targets that session needs, so
# that it is on screen soon on a fresh machine), then with MifareZUB.dll and
# the virtual reader (CH375DLL.DLL for x86, CH375DLL64.dll for x64) under Wine
# at both widths, then builds the rest of the three trees. The packages that
# only the tests need come with scripts/test.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
jobs=$(nproc 2>/dev/null || echo 2)

# A tree configured for the first time leaves the tests out: configuring them
# needs the test packages (scripts/test.sh configures with them).
configure() {
  if [ -f "build/$1/CMakeCache.txt" ]; then
    cmake --preset "$1" >/dev/null
  else
    cmake --preset "$1" -DMZ_BUILD_TESTS=OFF >/dev/null
  fi
}

bash scripts/deps.sh demo-native
configure native
cmake --build --preset native -j"$jobs" --target MifareZUB ch375_sim demo
echo "== native: build/native/bin/demo"
build/native/bin/demo

bash scripts/deps.sh windows
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
for preset in windows64 windows; do
  configure "$preset"
  cmake --build --preset "$preset" -j"$jobs" --target MifareZUB ch375_sim demo
  echo
  echo "== Windows: build/$preset/bin/demo.exe under Wine"
  (cd "build/$preset/bin" && "$root/scripts/wine-run" demo.exe)
done

# The rest (zubtool, the PC/SC driver, import libraries, ...), for the
# README's quick start.
echo
echo "== building the rest"
for preset in native windows64 windows; do
  cmake --build --preset "$preset" -j"$jobs" >/dev/null
done
echo "done: build/native/bin, build/windows64/bin, build/windows/bin"
