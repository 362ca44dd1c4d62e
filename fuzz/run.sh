#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes each one for a bounded time, one
# process on one core, starting from its seed corpus and saved regressions.
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

status=0
summary=()
for t in "${targets[@]}"; do
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
    result=ok
  else
    result="FAILED (see $log; crasher in $crashes/)"
    status=1
    grep -A3 -E '^==== invariant violated|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehavior)' \
      "$log" | head -20 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  summary+=("$(printf '%-9s %12s executions  %-22s %s' "$t" "${execs:-?}" "${cov:-cov: ?}" "$result")")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
