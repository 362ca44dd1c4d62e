#!/usr/bin/env bash
# Builds everything and runs the main job: a whole card session against the
# virtual reader, natively and, with MifareZUB.dll and the virtual
# CH375DLL.DLL, under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/deps.sh
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

if [ -x build/native/bin/demo ]; then
  echo "== native: build/native/bin/demo"
  build/native/bin/demo
  echo
  echo "== Windows: build/windows/bin/demo.exe under Wine"
  (cd build/windows/bin && "$root/scripts/wine-run" demo.exe)
else
  echo "== MifareZUB.dll exports"
  i686-w64-mingw32-objdump -p build/windows/bin/MifareZUB.dll |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
fi
