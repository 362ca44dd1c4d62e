#!/usr/bin/env python3
"""End-to-end tests of key lists against the virtual reader: a list of
millions of keys is taken in little memory and time when the card's key
comes first, lines that are not keys are named up to ten and the rest
counted, and the search's progress, at a real reader's pace
(ZUBSIM_EXCHANGE_DELAY), numbers the sectors as the table does.

    zubtool_keys_test.py PATH/TO/zubtool
"""
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

# At most 16 bytes a key held: 2,000,000 keys under 40 MB at the peak.
BIG, BIG_RSS_KB, BIG_SECONDS = 2000000, 40 * 1024, 5.0
MEDIUM, MEDIUM_SECONDS = 300000, 1.0


class Suite:
    def __init__(self, tool):
        self.tool = tool
        self.passed = self.failed = 0

    def run(self, args, **env_set):
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZUBSIM_")}
        env.update(env_set)
        return subprocess.run([self.tool] + args, capture_output=True, text=True, env=env)

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL %s %s" % (name, str(detail)[:2000]))


def write_keys(path, count, first="FFFFFFFFFFFF"):
    """`first`, then count-1 other keys, written in pieces so that this
    process stays small (its own peak would count as the child's)."""
    with open(path, "w") as f:
        f.write(first + "\n")
        step = 100000
        for start in range(1, count, step):
            f.write("".join("%012X\n" % (0x100000000000 + i * 7919)
                            for i in range(start, min(count, start + step))))


def instrumented(tool):
    """A sanitizer or coverage build takes far more memory and time: its bounds
    are not ours."""
    with open(tool, "rb") as f:
        binary = f.read()
    return any(mark in binary for mark in (b"__asan_init", b"__tsan_init", b"__gcov_"))


def main():
    s = Suite(os.path.abspath(sys.argv[1]))
    with tempfile.TemporaryDirectory() as folder:
        big = os.path.join(folder, "big.keys")
        write_keys(big, BIG)
        start = time.monotonic()
        r = s.run(["--keys-file", big, "keys"])
        took = time.monotonic() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        s.check("2,000,000 keys: the search ends", r.returncode == 0 and
                "(2000034 keys to try)" in r.stdout and
                re.search(r"^    15  FFFFFFFFFFFF  readable with key A", r.stdout, re.M),
                r.stdout + r.stderr)
        print("2,000,000 keys: %.2f s, peak %d kB" % (took, peak))
        if not instrumented(s.tool):
            s.check("2,000,000 keys in under 40 MB", peak < BIG_RSS_KB, "%d kB" % peak)
            s.check("2,000,000 keys in under 5 s", took < BIG_SECONDS, "%.2f s" % took)
        os.remove(big)

        medium = os.path.join(folder, "medium.keys")
        write_keys(medium, MEDIUM)
        start = time.monotonic()
        r = s.run(["--keys-file", medium, "keys"])
        took = time.monotonic() - start
        print("300,000 keys: %.2f s" % took)
        s.check("300,000 keys: the search ends", r.returncode == 0, r.stdout + r.stderr)
        if not instrumented(s.tool):
            s.check("300,000 keys in under 1 s", took < MEDIUM_SECONDS, "%.2f s" % took)

        # Lines that are not keys: ten named with their line numbers, the
        # rest counted; the keys around them are still taken, each once.
        mixed = os.path.join(folder, "mixed.keys")
        with open(mixed, "w") as f:
            f.write("# site keys\n")
            for i in range(12):
                f.write("A0A1A2A3A4A5\nnot a key %d\n" % i)
            f.write("ffffffffffff")  # no newline at the end
        r = s.run(["--no-default-key", "--keys-file", mixed, "keys"])
        named = re.findall(r"mixed\.keys: line (\d+): not a key of 12 hex digits: 'not a key \d+' "
                           r"\(skipped\)", r.stderr)
        s.check("ten skipped lines named, in order", named == [str(3 + 2 * i) for i in range(10)],
                r.stderr)
        s.check("the others counted", "mixed.keys: 2 more lines that are not keys skipped"
                in r.stderr, r.stderr)
        s.check("the keys around them taken, each once, the last without its newline",
                "(2 keys to try)" in r.stdout and
                re.search(r"^     0  FFFFFFFFFFFF", r.stdout, re.M), r.stdout + r.stderr)

        # Progress at a real reader's pace: 60 keys in vain on sector 0, four
        # exchanges of 5 ms each, keep the search there past the second after
        # which progress shows. Its sector is numbered as in the table.
        slow = os.path.join(folder, "slow.keys")
        with open(slow, "w") as f:
            f.write("".join("%012X\n" % (0x200000000000 + i) for i in range(60)))
            f.write("FFFFFFFFFFFF\n")
        start = time.monotonic()
        r = s.run(["--no-default-key", "--key-type", "A", "--keys-file", slow, "keys"],
                  ZUBSIM_EXCHANGE_DELAY="5")
        took = time.monotonic() - start
        s.check("the delay slows the search down", took >= 60 * 4 * 0.005, "%.2f s" % took)
        shown = re.findall(r"sector (\d+) \(sectors 0 to 15\), key A: (\d+) of 61 keys tried",
                           r.stderr)
        # Only sector 0 takes more than one try: the others open with the key
        # that opened it. A line shown while it runs names it "sector 0".
        many = [sector for sector, tried in shown if int(tried) > 1]
        s.check("progress names the sector as the table does",
                many and all(sector == "0" for sector in many) and
                re.search(r"^     0  FFFFFFFFFFFF", r.stdout, re.M) and r.returncode == 0,
                "exit %d, %.2f s\n%s%s" % (r.returncode, took, r.stderr, r.stdout))

    print("%d passed, %d failed" % (s.passed, s.failed))
    return 1 if s.failed else 0


if __name__ == "__main__":
    sys.exit(main())
