#!/usr/bin/env bash
# Builds everything, natively and for 64-bit and 32-bit Windows, and runs
# every test: the native suite directly, the Windows suite under Wine on each
# DLL, then the reliability runs (sanitizers, Valgrind, coverage, fuzzing).
#
# Each part installs its own packages first (scripts/deps.sh); a part whose
# packages cannot be had is not run, is named in the summary, and fails the
# run. The summary gives every suite's count and time. No process that the
# run started may outlive it (scripts/processes.sh): any that does is ended,
# named, and fails the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=scripts/processes.sh
. scripts/processes.sh
mz_mark_processes
# Wine's prefix in the build tree (as scripts/wine-run defaults it), so that
# the wineserver is this run's own. Each Windows suite starts one persistent
# wineserver (Wine.ServerUp) and stops it when its last test has ended
# (Wine.ServerDown).
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"

jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
log=$work/log
summary=$work/summary
deps_status=$work/deps
status=0
finish() {
  mz_end_leftovers test.sh || status=1
  rm -rf "$work"
}
trap 'finish; exit $status' EXIT
trap 'status=130; exit' INT TERM

# One line of the summary: the suite, its result, its time.
note() { printf '%-34s %s\n' "$1" "$2" >>"$summary"; }
# Runs "$@" as suite $1's step, timed; its ctest count goes into the summary.
timed() {
  local name=$1 start rc line
  shift
  start=$(date +%s)
  set +e
  "$@" 2>&1 | tee "$work/step" | tee -a "$log"
  rc=${PIPESTATUS[0]}
  set -e
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$work/step" | tail -n 1) || true
  local took=$(($(date +%s) - start))
  if [ "$rc" -eq 0 ]; then
    note "$name" "ok in ${took} s${line:+ ($line)}"
  else
    note "$name" "FAILED (exit $rc) in ${took} s${line:+ ($line)}"
    status=1
  fi
  return 0
}

echo "== packages"
rc=0
later_parts=(windows64 windows reliability)
later=
if [ "$(id -u)" -eq 0 ]; then
  # The native part first; the other parts' set-up (apt, a private Wine,
  # Wine's prefix: much of it waiting on the network) runs beside the native
  # build, which needs none of it, and has ended before the native tests, so
  # that it takes no processor from their timings.
  bash scripts/deps.sh --status "$deps_status" native || rc=$?
  bash scripts/deps.sh --status "$deps_status" "${later_parts[@]}" >"$work/deps-later" 2>&1 &
  later=$!
else
  bash scripts/deps.sh --status "$deps_status" native "${later_parts[@]}" || rc=$?
  # Not root and packages missing: deps.sh printed the command that installs them.
  [ "$rc" -eq 1 ] && exit 1
fi
later_done() {
  [ -n "$later" ] || return 0
  wait "$later" || true
  later=
  echo "== packages for ${later_parts[*]}"
  cat "$work/deps-later"
}
part_ok() { grep -qx "$1 ok" "$deps_status"; }
not_run() {
  note "$1" "NOT RUN: $(sed -n "s/^$1 failed: //p" "$deps_status")"
  status=1
}

build_and_test() {
  local preset=$1
  echo "== $preset build"
  # The tests on, also in a tree that scripts/demo.sh configured without them.
  cmake --preset "$preset" -DMZ_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
}
# windows64 before windows: the Windows package, which the 32-bit build makes
# and tests, holds the 64-bit build's DLL too.
for preset in native windows64 windows; do
  [ "$preset" = native ] || later_done
  if ! part_ok "$preset"; then
    not_run "$preset"
    continue
  fi
  timed "$preset build" build_and_test "$preset"
  later_done
  case "$(tail -n 1 "$summary")" in
    *FAILED*) note "$preset tests" "NOT RUN: the build failed"; continue ;;
  esac
  echo "== $preset tests"
  # Wine's suites wait on process starts more than on the processors.
  j=$jobs
  [ "$preset" = native ] || j=$((jobs + 1))
  timed "$preset tests" ctest --preset "$preset" -j"$j" --output-on-failure
  if [ "$preset" = windows ] && [ ! -e /usr/lib/wine/wine ] && [ -f build/third_party/wine/.version ]; then
    note "  on a private 32-bit Wine" "build/third_party/wine: wine32:i386 could not be installed"
  fi
done

if part_ok reliability; then
  echo "== reliability runs"
  MZ_TIMES=$work/reliability-times timed "reliability runs" bash scripts/reliability.sh
  if [ -f "$work/reliability-times" ]; then
    while read -r name took; do note "  $name" "${took} s"; done <"$work/reliability-times"
  fi
else
  not_run reliability
fi

# Every suite's line, then the count over all of them.
passed=0
failed=0
while read -r _ _ _ nfail _ _ _ _ total; do
  failed=$((failed + nfail))
  passed=$((passed + total - nfail))
done < <(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
echo
echo "== summary"
cat "$summary"
if mz_end_leftovers test.sh; then
  echo "processes left running by the tests: 0"
else
  echo "processes left running by the tests: $MZ_LEFTOVERS (ended; FAILED)"
  status=1
fi
if grep -q 'NOT RUN' "$summary"; then
  echo "not run: $(grep 'NOT RUN' "$summary" | awk '{print $1}' | paste -sd ' ')"
fi
echo
echo "all: $passed passed, $failed failed"
exit $status
