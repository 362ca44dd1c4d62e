#!/usr/bin/env python3
"""Summarises the benchmark and the instruction counts that scripts/perf.sh
collects.

  perf_report.py BENCHMARK_JSON CALLS LIBRARY VENDOR CALLGRIND_OUT...

BENCHMARK_JSON: Google Benchmark's --benchmark_out (with repetitions, the
fastest of each benchmark's is used). CALLS: how many times each callgrind run called its export.
LIBRARY and VENDOR: the file names of libMifareZUB.so and of the vendor's
libCH375DLL.so. Each CALLGRIND_OUT was recorded with --toggle-collect=<export>,
so it holds the export's instructions and nothing of the harness's; its name
ends in .<export>. The library's own share is all of them but those of the
calls it makes into the vendor library (which include the vendor's own calls
into the C library).
"""
import json
import re
import sys
from collections import defaultdict

USB_ROUND_TRIP_NS = 1_000_000
TARGET_NS = 100
TARGET_INSTRUCTIONS = 1000


def is_object(path, name):
    """Whether callgrind's object `path` is the library `name`: the file
    itself or a versioned one (libMifareZUB.so.1.0.0, which the soname
    link libMifareZUB.so.1 resolves to)."""
    base = path.rsplit("/", 1)[-1]
    return base == name or base.startswith(name + ".")


def parse_callgrind(path, library, vendor):
    """Returns (total, vendor, lock, self cost per library function)."""
    names = {"ob": {}, "fn": {}}
    total = 0
    to_vendor = 0
    to_lock = 0
    per_function = defaultdict(int)
    ob = fn = None
    cob = cfn = None
    call_pending = False

    def name(kind, value):
        m = re.match(r"\((\d+)\)(?: (.*))?$", value)
        if not m:
            return value
        if m.group(2) is not None:
            names[kind][m.group(1)] = m.group(2)
        return names[kind].get(m.group(1), value)

    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            key, eq, value = line.partition("=")
            if eq and key in ("ob", "cob"):
                v = name("ob", value)
                if key == "ob":
                    ob = v
                else:
                    cob = v
                continue
            if eq and key in ("fn", "cfn"):
                v = name("fn", value)
                if key == "fn":
                    fn = v
                else:
                    cfn = v
                continue
            if eq and key == "calls":
                call_pending = True
                continue
            if eq or ":" in line.split(" ")[0]:
                continue  # fl=, fi=, fe=, cfi=, headers, summary/totals
            fields = line.split()
            if len(fields) < 2 or not re.match(r"^[+\-*]?\d*$", fields[0]):
                continue
            cost = int(fields[1])
            if call_pending:
                callee_ob = cob if cob is not None else ob
                if ob and is_object(ob, library):
                    if callee_ob and is_object(callee_ob, vendor):
                        to_vendor += cost
                    elif cfn and cfn.startswith("pthread_mutex_"):
                        to_lock += cost
                call_pending = False
                cob = cfn = None
                continue
            total += cost
            if ob and is_object(ob, library):
                per_function[fn] += cost
    return total, to_vendor, to_lock, per_function


def short(function):
    """mzub::TQVcomm::Transact(int, int, int) -> Transact"""
    name = (function or "?").replace("(anonymous namespace)::", "")
    return re.sub(r"\(.*", "", name).split("::")[-1]


def fastest(path):
    """Per benchmark, the repetition with the least CPU time: on a shared
    machine the least disturbed one."""
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        if name not in rows or b["cpu_time"] < rows[name]["cpu_time"]:
            rows[name] = b
    return rows


def main(argv):
    if len(argv) < 6:
        sys.exit(__doc__)
    bench_json, calls, library, vendor = argv[1], int(argv[2]), argv[3], argv[4]
    rows = fastest(bench_json)

    def ns_of(b):
        return b["cpu_time"] if b["time_unit"] == "ns" else b["cpu_time"] * 1000

    vendor_ns = ns_of(rows["BM_VendorExchange"]) if "BM_VendorExchange" in rows else 0.0
    print("CPU time per call against the instant reader (fastest repetition); the library's")
    print(f"own time leaves out the vendor's {vendor_ns:.1f} ns per exchange (BM_VendorExchange)")
    print()
    print("| benchmark | ns per call | library's own ns | heap allocations per call | vendor writes / reads per call |")
    print("|---|---:|---:|---:|---:|")
    for name, b in rows.items():
        ns = ns_of(b)
        writes = b.get("writes", 0)
        own = "" if name == "BM_VendorExchange" else f"{ns - writes * vendor_ns:.1f}"
        print(f"| {name.removeprefix('BM_')} | {ns:.1f} | {own} | {b.get('allocs', 0):g} | "
              f"{writes:g} / {b.get('reads', 0):g} |")

    verdicts = []
    if "BM_mif_Read" in rows:
        own = ns_of(rows["BM_mif_Read"]) - vendor_ns
        print()
        print(f"mif_Read: {own:.1f} ns of the library's own per exchange = "
              f"{own / USB_ROUND_TRIP_NS:.1e} of a 1 ms USB round trip (1 : {USB_ROUND_TRIP_NS / own:,.0f})")
        verdicts.append((f"mif_Read library time {own:.1f} ns <= {TARGET_NS} ns", own <= TARGET_NS))
    allocating = [n for n, b in rows.items()
                  if b.get("allocs", 0) != 0 and n not in ("BM_OpenComm", "BM_OpenCommCloseComm")]
    verdicts.append(("no heap allocation per command" + (f" (allocating: {allocating})" if allocating else ""),
                     not allocating))

    print()
    print(f"Instructions per call (callgrind, {calls} calls each, vendor calls excluded)")
    print()
    print("| export | library's own | of which the lock | vendor's | top functions of the library (self) |")
    print("|---|---:|---:|---:|---|")
    for path in argv[5:]:
        export = path.rsplit(".", 1)[-1]
        total, to_vendor, to_lock, per_function = parse_callgrind(path, library, vendor)
        own = (total - to_vendor) / calls
        top = sorted(per_function.items(), key=lambda kv: -kv[1])[:4]
        tops = ", ".join(f"{short(f)} {c / calls:.0f}" for f, c in top)
        print(f"| {export} | {own:.0f} | {to_lock / calls:.0f} | {to_vendor / calls:.0f} | {tops} |")
        if export == "mif_Read":
            verdicts.append((f"mif_Read library instructions {own:.0f} <= {TARGET_INSTRUCTIONS}",
                             own <= TARGET_INSTRUCTIONS))

    print()
    for text, ok in verdicts:
        print(f"{'PASS' if ok else 'FAIL'}  {text}")
    return 0 if all(ok for _, ok in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
