#!/usr/bin/env bash
# Builds the Windows package: build/windows/package/MifareZUB-<version>-windows-x86-x64.zip,
# with the x86 and the x64 DLL and, in python/, the three Python wheels made
# from them. The 32-bit build makes it and takes the x64 folder from the
# 64-bit build, which is built first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/deps.sh package
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset windows64 >/dev/null
cmake --build --preset windows64 -j"$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target package
ls -l build/windows/package/*.zip

# ---- The C# binding's NuGet package (x86, and x64 once build/windows64 exists)
bash scripts/package-dotnet.sh
