#!/usr/bin/env bash
# Builds everything and runs the main job: a whole card session against the
# virtual reader, natively and, with MifareZUB.dll and the virtual reader
# (CH375DLL.DLL for x86, CH375DLL64.dll for x64), under Wine at both widths.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
bash scripts/deps.sh
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native windows64 windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

if [ -x build/native/bin/demo ]; then
  echo "== native: build/native/bin/demo"
  build/native/bin/demo
  for preset in windows64 windows; do
    echo
    echo "== Windows: build/$preset/bin/demo.exe under Wine"
    (cd "build/$preset/bin" && "$root/scripts/wine-run" demo.exe)
  done
else
  echo "== MifareZUB.dll exports"
  i686-w64-mingw32-objdump -p build/windows/bin/MifareZUB.dll |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
fi
