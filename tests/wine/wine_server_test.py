#!/usr/bin/env python3
"""Windows programs run through wine-run on the one persistent wineserver of
the prefix: back to back and side by side, each gets its own exit status, none
meets a server on its way out, and every program lets go of the server once it
has ended.

usage: wine_server_test.py WINE_RUN
"""
import os
import subprocess
import sys
import time

WINE_RUN = sys.argv[1]
PREFIX = os.environ.get("WINEPREFIX") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(WINE_RUN))), "build", "wineprefix")
USERS = os.path.join(PREFIX, ".server", "users")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def start(status):
    return subprocess.Popen(["sh", WINE_RUN, "cmd", "/c", "exit", str(status)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, status, what):
    out, err = proc.communicate(timeout=120)
    check(proc.returncode == status, f"{what}: exit status {proc.returncode}, expected {status}")
    check("recvmsg" not in err and "wine client error" not in err,
          f"{what}: no wineserver connection error ({err.strip()[:200]!r})")


def run_users():
    return sorted(u for u in os.listdir(USERS) if u.startswith("run-")) if os.path.isdir(USERS) else []


# Back to back: each program starts the moment the one before has ended.
for i, status in enumerate([0, 3, 0, 7, 1, 0, 42, 0]):
    finish(start(status), status, f"program {i + 1} in a row")

# Side by side.
procs = [(start(s), s) for s in (5, 6, 0, 9)]
for i, (proc, status) in enumerate(procs):
    finish(proc, status, f"program {i + 1} of four at once")

# Every program's watcher lets go of the server within a few seconds.
deadline = time.monotonic() + 15
while run_users() and time.monotonic() < deadline:
    time.sleep(0.2)
check(run_users() == [], f"no program is a user after its end ({run_users()})")

sys.exit(1 if failures else 0)
