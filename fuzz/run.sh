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
[ ${#targets[@]} -gt 0 ] || targets=(replies requests reader apdu formats ndef)
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

# One process a core (MZ_FUZZ_JOBS, default the number of cores), each target
# given `seconds` of one core's time: the targets run a core each, and those
# of a last round with cores to spare (say 5 targets on 2 cores: the fifth) run
# as one process a core for a share of the time, on the same working corpus,
# as libFuzzer's -jobs does, so that no core idles while the last one ends.
fuzz_jobs=${MZ_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
[ "$fuzz_jobs" -ge 1 ] || fuzz_jobs=1
# fuzz_one TARGET PART COUNT: process PART of TARGET's COUNT, each given
# seconds/COUNT, its log its own.
fuzz_one() {
  local t=$1 part=$2 count=$3 secs work crashes log
  secs=$((seconds / count))
  work="$build/fuzz-work/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$work" "$crashes"
  log="$build/fuzz-work/$t.$part.log"
  if [ "$count" -gt 1 ]; then
    echo "== fuzz $t for ${secs}s (process $part of $count)"
  else
    echo "== fuzz $t for ${secs}s"
  fi
  # New inputs go to the working corpus (the first folder), never into the
  # committed seeds.
  if "$build/fuzz/fuzz_$t" "$work" "$root/fuzz/corpus/$t" "$root/fuzz/regressions/$t" \
      -max_total_time="$secs" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$crashes/" >"$log" 2>&1; then
    echo ok >"$log.result"
  else
    echo "FAILED (see $log; crasher in $crashes/)" >"$log.result"
  fi
}
# The processes: "TARGET COUNT" per target (COUNT processes of seconds/COUNT).
plan=()
n=${#targets[@]}
last_round=$((n % fuzz_jobs))
for i in "${!targets[@]}"; do
  count=1
  if [ "$last_round" -gt 0 ] && [ "$i" -ge $((n - last_round)) ]; then
    count=$((fuzz_jobs / last_round))
    [ "$seconds" -ge "$count" ] || count=1
  fi
  plan+=("${targets[$i]} $count")
done
rm -f "$build"/fuzz-work/*.log "$build"/fuzz-work/*.result 2>/dev/null || true
running=0
for entry in "${plan[@]}"; do
  read -r t count <<<"$entry"
  for part in $(seq 1 "$count"); do
    if [ "$running" -ge "$fuzz_jobs" ]; then
      wait -n || true
      running=$((running - 1))
    fi
    fuzz_one "$t" "$part" "$count" &
    running=$((running + 1))
  done
done
wait

status=0
summary=()
for t in "${targets[@]}"; do
  result=ok
  execs=0
  cov=
  best=-1
  for log in "$build/fuzz-work/$t".*.log; do
    [ -f "$log" ] || continue
    r=$(cat "$log.result" 2>/dev/null || echo "FAILED (no result; see $log)")
    if [ "$r" != ok ]; then
      result=$r
      grep -A3 -E '^==== invariant violated|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehavior)' \
        "$log" | head -20 || true
    fi
    rm -f "$log.result"
    e=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    execs=$((execs + ${e:-0}))
    # Coverage of the process that reached the most.
    c=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    covn=${c#cov: }
    covn=${covn%% *}
    if [ -n "$c" ] && [ "${covn:-0}" -gt "$best" ]; then
      cov=$c
      best=$covn
    fi
  done
  [ -n "$(ls "$build/fuzz-work/$t".*.log 2>/dev/null)" ] || result="FAILED (did not run)"
  [ "$result" = ok ] || status=1
  summary+=("$(printf '%-9s %12s executions  %-22s %s' "$t" "$execs" "${cov:-cov: ?}" "$result")")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
