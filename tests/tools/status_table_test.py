#!/usr/bin/env python3
"""The named result codes agree wherever they are written: the MZ_STATUS_
constants and MZ_STATUS_TABLE of MifareZUB.h, the Python package's errors
module, and what zubtool shows ('zubtool help codes').

    status_table_test.py HEADER ERRORS_PY ZUBTOOL
"""
import importlib.util
import re
import subprocess
import sys


def header_table(path):
    text = open(path, encoding="utf-8").read()
    values = {name: int(value) for name, value in
              re.findall(r"^#define (MZ_STATUS_\w+) \(?(-?\d+)\)?\s*$", text, re.M)}
    table = re.search(r"#define MZ_STATUS_TABLE\(X\)(.*?)\n\n", text, re.S).group(1)
    entries = re.findall(r'X\((MZ_STATUS_\w+), "([^"]*)"\)', table)
    return values, entries


def main():
    header, errors_py, zubtool = sys.argv[1:4]
    failures = []
    values, entries = header_table(header)
    if [n for n, _ in entries] != list(values):
        failures.append(f"MZ_STATUS_TABLE lists {[n for n, _ in entries]}, the constants are {list(values)}")
    if len(set(values.values())) != len(values):
        failures.append("two MZ_STATUS_ constants share a code")
    expected = {values[n]: (n, d) for n, d in entries if n in values}

    found = importlib.util.spec_from_file_location("errors", errors_py)
    errors = importlib.util.module_from_spec(found)
    found.loader.exec_module(errors)
    python = {code: ("MZ_" + errors.STATUS_NAMES[code], errors.STATUS_DESCRIPTIONS.get(code))
              for code in errors.STATUS_NAMES}
    for code in sorted(set(expected) | set(python)):
        if python.get(code) != expected.get(code):
            failures.append(f"code {code}: header {expected.get(code)}, Python {python.get(code)}")
        elif getattr(errors, python[code][0][3:]) != code:
            failures.append(f"Python {python[code][0][3:]} is not {code}")

    out = subprocess.run([zubtool, "help", "codes"], capture_output=True, check=True).stdout.decode()
    shown = {int(c): (n, d) for c, n, d in
             re.findall(r"^ *(-?\d+)  (MZ_STATUS_\w+) +(.*) \([^()]*\)$", out, re.M)}
    for code in sorted(set(expected) | set(shown)):
        if shown.get(code) != expected.get(code):
            failures.append(f"code {code}: header {expected.get(code)}, zubtool {shown.get(code)}")

    if len(expected) < 20:
        failures.append(f"only {len(expected)} named codes found in the header")
    for f in failures:
        print("FAIL " + f)
    print(f"{len(expected)} named codes checked, {len(failures)} disagreements")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
