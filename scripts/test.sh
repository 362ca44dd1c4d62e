#!/usr/bin/env bash
# Builds everything, natively and for 64-bit and 32-bit Windows, and runs
# every test: the native suite directly, the Windows suite under Wine on each
# DLL, then the reliability runs (sanitizers, Valgrind, coverage, fuzzing).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# Wine's prefix in the build tree (as scripts/wine-run defaults it), so that
# the wineserver stopped below is this run's own. Each Windows suite starts
# one persistent wineserver (Wine.ServerUp) and stops it when its last test
# has ended (Wine.ServerDown); the trap is the last resort for a run that was
# cut short.
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
bash scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
log=$(mktemp)
# No Wine process may outlive the run.
trap 'wineserver -k >/dev/null 2>&1 || true; rm -f "$log"' EXIT

status=0
# windows64 before windows: the Windows package, which the 32-bit build makes
# and tests, holds the 64-bit build's DLL too.
for preset in native windows64 windows; do
  echo "== $preset build"
  # The tests on, also in a tree that scripts/demo.sh configured without them.
  cmake --preset "$preset" -DMZ_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" -j"$jobs" 2>&1 | tee -a "$log" || status=1
done

echo "== reliability runs"
bash scripts/reliability.sh 2>&1 | tee -a "$log" || status=1

# One line for every suite.
passed=0
failed=0
while read -r _ _ _ nfail _ _ _ _ total; do
  failed=$((failed + nfail))
  passed=$((passed + total - nfail))
done < <(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
echo
echo "all: $passed passed, $failed failed"
exit $status
