#!/usr/bin/env bash
# Builds the Windows package: build/windows/package/MifareZUB-<version>-win32.zip
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc 2>/dev/null || echo 2)" --target package
ls -l build/windows/package/*.zip

# ---- The C# binding's NuGet package (x86, and x64 once build/windows64 exists)
bash scripts/package-dotnet.sh
