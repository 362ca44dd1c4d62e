#!/usr/bin/env bash
# Measures what a command costs besides its USB round trip, natively:
#   1. the budget tests (no heap allocation per command, one vendor write and
#      one read per exchange, no sleep but zub_beepms), asserted;
#   2. every export timed with Google Benchmark against an instant reader,
#      with heap allocations and vendor writes and reads per call;
#   3. reading keys files of 3,000 to 300,000 keys, timed the same way;
#   4. instructions per call of mif_Halt, mif_Read and mif_Write counted by
#      callgrind, the library's own separated from the vendor's.
# Then prints a summary and the verdict on the targets (exit 1 when one
# fails). Results land in build/perf/results/.
#
# The Windows DLL is not measured: this machine runs Wine's 32-bit loader
# under qemu-i386, whose times are the emulator's, and valgrind cannot look
# inside an emulated process.
#
# Environment: PERF_BUILD (build folder, default build/perf), PERF_CALLS
# (calls per callgrind run, default 1000), PERF_REPETITIONS (benchmark
# repetitions, default 5).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PERF_BUILD:-$root/build/perf}"
calls="${PERF_CALLS:-1000}"
repetitions="${PERF_REPETITIONS:-5}"
results="$build/results"

bash "$root/scripts/deps.sh" perf

echo "== build ($build)"
# The native preset's optimisation (RelWithDebInfo: -O2 -g), against the
# test double only: the virtual reader is not needed.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMZ_BUILD_SIM=OFF >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target mz_budget_tests mz_bench mz_count mz_keys_bench
bin="$build/bench/bin"
mkdir -p "$results"
rm -f "$results"/callgrind.out.*

echo "== machine"
{
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) online"
  echo "kernel: $(uname -sr), compiler: $(c++ --version | head -1)"
  echo "commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo none)$(
    git -C "$root" diff --quiet HEAD -- link api include 2>/dev/null || echo ' + local changes in link/ api/ include/')"
} | tee "$results/machine.txt"

echo "== budget tests"
"$bin/mz_budget_tests" --gtest_brief=1

echo "== benchmark"
"$bin/mz_bench" --benchmark_repetitions="$repetitions" --benchmark_display_aggregates_only=true \
  --benchmark_out="$results/bench.json" --benchmark_out_format=json

echo "== instruction counts (callgrind, $calls calls each)"
outs=()
for export in mif_Halt mif_Read mif_Write; do
  out="$results/callgrind.out.$export"
  # Bind every symbol at load, so that no call pays for lazy binding; count
  # only what runs inside the export.
  LD_BIND_NOW=1 valgrind --tool=callgrind --toggle-collect="$export" \
    --callgrind-out-file="$out" "$bin/mz_count" "$export" "$calls" 2>"$out.log"
  grep -h 'Collected' "$out.log" | sed "s/^==[0-9]*== /$export: /"
  outs+=("$out")
done

echo "== keys files"
"$bin/mz_keys_bench" --benchmark_repetitions="$repetitions" --benchmark_display_aggregates_only=true \
  --benchmark_out="$results/keys_bench.json" --benchmark_out_format=json >/dev/null
# The fastest CPU time of each size, as for the exports.
python3 - "$results/keys_bench.json" <<'PY' | tee "$results/keys.md"
import json, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type") == "iteration"]
best = {}
for b in runs:
    keys = int(b["name"].split("/")[1])
    best[keys] = min(best.get(keys, float("inf")), b["cpu_time"])
print("| keys in the file | ms to read (CPU) |")
print("|---:|---:|")
for keys in sorted(best):
    print(f"| {keys:,} | {best[keys]:.1f} |")
PY

echo "== summary"
status=0
python3 "$root/bench/perf_report.py" "$results/bench.json" "$calls" libMifareZUB.so libCH375DLL.so \
  "${outs[@]}" | tee "$results/summary.md" || status=1
echo
echo "Results in $results"
exit $status
