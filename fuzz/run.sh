#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes each one for a bounded time, one
# process on one core (as many targets at once as there are cores), starting
# from its seed corpus and saved regressions.
# Prints executions and coverage per target; exits 1 if any target found a
# crasher (saved under <build>/crashes/<target>/: give it a descriptive name
# and move it into fuzz/regressions/<target>/ so that ctest replays it).
#
#   fuzz/run.sh [seconds per target (default 60)] [target ...]
#   MZ_FUZZ_BUILD=<dir> picks the build folder (default build/fuzz).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(replies requests reader apdu formats)
build="${MZ_FUZZ_BUILD:-$root/build/fuzz}"

cd "$root"
# Configured every time: a build folder made before a target was added has no
# rule for it until it is configured again, and asking make for the target
# would fail before make could notice.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake "$build" >/dev/null
elif [ -z "${MZ_FUZZ_BUILD:-}" ] && grep -q '"name": "fuzz"' CMakePresets.json 2>/dev/null; then
  cmake --preset fuzz >/dev/null
else
  cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMZ_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" \
  $(printf -- '--target fuzz_%s ' "${targets[@]}")

# One target a core at a time (MZ_FUZZ_JOBS, default the number of cores):
# each runs for its own full time on a core of its own.
fuzz_jobs=${MZ_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
fuzz_one() {
  local t=$1 work crashes log
  work="$build/fuzz-work/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$work" "$crashes"
  log="$build/fuzz-work/$t.log"
  echo "== fuzz $t for ${seconds}s"
  # New inputs go to the working corpus (the first folder), never into the
  # committed seeds.
  if "$build/fuzz/fuzz_$t" "$work" "$root/fuzz/corpus/$t" "$root/fuzz/regressions/$t" \
      -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$crashes/" >"$log" 2>&1; then
    echo ok >"$log.result"
  else
    echo "FAILED (see $log; crasher in $crashes/)" >"$log.result"
  fi
}
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$fuzz_jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait

status=0
summary=()
for t in "${targets[@]}"; do
  log="$build/fuzz-work/$t.log"
  crashes="$build/crashes/$t"
  result=$(cat "$log.result" 2>/dev/null || echo "FAILED (no result; see $log)")
  if [ "$result" != ok ]; then
    status=1
    grep -A3 -E '^==== invariant violated|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehavior)' \
      "$log" | head -20 || true
  fi
  rm -f "$log.result"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  summary+=("$(printf '%-9s %12s executions  %-22s %s' "$t" "${execs:-?}" "${cov:-cov: ?}" "$result")")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
