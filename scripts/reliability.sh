#!/usr/bin/env bash
# The reliability runs, each a gate: the native suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded sessions under ThreadSanitizer,
# the virtual-reader sessions under Valgrind, branch coverage of link/ and api/
# (at least 95%), and a bounded run of every fuzz target.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
# 40 s of a core for each of the six fuzz targets: 240 s of processor time,
# 120 s on two cores (long runs: fuzz/README.md).
fuzz_seconds=${MZ_FUZZ_SECONDS:-40}
# The sanitizer, coverage and fuzz presets carry line tables only (-g1; none
# for coverage, which reads its own notes files): all that a report's stack
# needs, and a fifth less compile time than full debug information.
# Each gate's wall time, as "NAME SECONDS" lines in $MZ_TIMES (scripts/test.sh
# prints them in its summary). A gate that fails does not keep the others
# from running; the gates that failed are named at the end, and the exit
# status is 1.
failed_gates=()
gate() {
  local name=$1 start now rc
  shift
  start=$(date +%s)
  # (In a subshell that is not tested by an if, so that set -e holds in it.)
  set +e
  (
    set -e
    "$@"
  )
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    failed_gates+=("$name")
    echo "== gate $name FAILED (exit $rc)"
  fi
  now=$(date +%s)
  [ -z "${MZ_TIMES:-}" ] || echo "$name $((now - start))" >>"$MZ_TIMES"
}

asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every native test"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j"$jobs" >/dev/null
  # The USB tests run under umockdev's preload library, which the loader puts
  # ahead of the ASan runtime; that order is harmless here.
  ASAN_OPTIONS=verify_asan_link_order=0 ctest --preset asan -j"$jobs"
}

tsan() {
  echo "== ThreadSanitizer: sessions from several threads, the workbench's desk and its job"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j"$jobs" --target session_tests workbench_desk_tests >/dev/null
  TSAN_OPTIONS="halt_on_error=1" build/tsan/bin/session_tests --gtest_brief=1
  TSAN_OPTIONS="halt_on_error=1" build/tsan/bin/workbench_desk_tests --gtest_brief=1
}

memcheck() {
  echo "== Valgrind: whole sessions against the virtual reader"
  valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    build/native/bin/session_tests --gtest_brief=1 --gtest_filter=-*Threads*:*BeepForATime*
}

# The programs that test link/ and api/ themselves (label link-api) reach every
# branch there that the whole suite reaches; the rest of the suite runs under
# the sanitizers above and in the native build.
coverage() {
  echo "== Branch coverage of link/ and api/"
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage -j"$jobs" --target mz_link_api_tests >/dev/null
  find build/coverage -name '*.gcda' -delete
  ctest --preset coverage -j"$jobs" -L link-api >/dev/null
  gcovr -r "$root" --filter "$root/link/" --filter "$root/api/" --branches \
    --exclude-unreachable-branches --exclude-throw-branches --fail-under-branch 95 \
    build/coverage
}

gate asan+ubsan asan
gate tsan tsan
gate valgrind memcheck
gate coverage coverage
if [ -x fuzz/run.sh ]; then
  echo "== Fuzzing, ${fuzz_seconds} s per target"
  gate fuzzing bash fuzz/run.sh "$fuzz_seconds"
fi
if [ ${#failed_gates[@]} -gt 0 ]; then
  echo "== reliability gates that failed: ${failed_gates[*]}"
  exit 1
fi
