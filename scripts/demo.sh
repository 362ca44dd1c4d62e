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
# shellcheck source=scripts/processes.sh
. scripts/processes.sh
mz_mark_processes
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
jobs=$(nproc 2>/dev/null || echo 2)
status=0
# No process that the demo started outlives it (Wine's server and services).
trap 'mz_end_leftovers demo.sh || status=1; exit $status' EXIT

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

# Each width installs its own packages (the 32-bit one adds the i386
# architecture); a width that cannot be had is named and skipped.
built=(native)
for preset in windows64 windows; do
  rc=0
  bash scripts/deps.sh "$preset" || rc=$?
  [ "$rc" -eq 1 ] && exit 1
  if [ "$rc" -ne 0 ]; then
    echo "demo.sh: the $preset session is left out: its packages could not be installed (above)" >&2
    status=1
    continue
  fi
  configure "$preset"
  cmake --build --preset "$preset" -j"$jobs" --target MifareZUB ch375_sim demo
  echo
  echo "== Windows: build/$preset/bin/demo.exe under Wine"
  (cd "build/$preset/bin" && "$root/scripts/wine-run" demo.exe)
  built+=("$preset")
done

# The rest (zubtool, the PC/SC driver, import libraries, ...), for the
# README's quick start.
echo
echo "== building the rest"
for preset in "${built[@]}"; do
  cmake --build --preset "$preset" -j"$jobs" >/dev/null
done
echo "done: $(printf 'build/%s/bin ' "${built[@]}")"
