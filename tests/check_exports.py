#!/usr/bin/env python3
"""Every list of the library's exports names exactly the exports of
api/MifareZUB.def: the public header, the Python package, the Pascal unit, the
C# binding (all its parts), the test support calls and the fuzz harness. A
consumer that misses an export, or names one the library does not have, fails
the check.

Usage: check_exports.py SOURCE_DIR [--self-test]
With --self-test it also proves, for every consumer, that renaming one export
in that consumer's text is caught.
"""
import re
import sys
from pathlib import Path


def def_names(text):
    names = re.findall(r"^\s*(\w+)\s+@\d+\s*$", text, re.M)
    return names


def header_names(text):
    return re.findall(r"\bMZ_API\s+\w+\s+MZ_CALL\s+(\w+)\s*\(", text)


def python_names(text):
    block = re.search(r"_PROTOTYPES\s*=\s*\{(.*?)\n\}", text, re.S)
    return re.findall(r'^\s*"(\w+)"\s*:', block.group(1), re.M) if block else []


def pascal_names(text):
    interface = text.split("\nimplementation", 1)[0]
    pattern = r"\b(?:function|procedure)\s+(\w+)((?:(?!\bfunction\b|\bprocedure\b).)*?)\bexternal\b"
    return [m.group(1) for m in re.finditer(pattern, interface, re.S | re.I)]


def csharp_names(text):
    return re.findall(r'EntryPoint\s*=\s*"(\w+)"', text)


def support_names(text):
    return re.findall(r'\bCall(?:<\w+>)?\(\s*"(\w+)"', text)


def fuzz_names(text):
    block = re.search(r"kNames\[kExportCount\]\s*=\s*\{(.*?)\};", text, re.S)
    return re.findall(r'"(\w+)"', block.group(1)) if block else []


CONSUMERS = [
    ("the public header", "include/MifareZUB.h", header_names),
    ("the Python package", "bindings/python/mifarezub/_native.py", python_names),
    ("the Pascal unit", "bindings/pascal/MifareZUB.pas", pascal_names),
    # The binding's parts together: a declaration may move between them.
    ("the C# binding", "bindings/dotnet/*.cs", csharp_names),
    ("the test support calls", "tests/support/exports.cpp", support_names),
    ("the fuzz harness", "fuzz/harness/host.cpp", fuzz_names),
]


def read(root, path):
    """The text of a consumer; a pattern names several files, read as one."""
    if "*" not in path:
        return (root / path).read_text(encoding="utf-8")
    files = sorted(root.glob(path))
    if not files:
        sys.exit(f"no file matches {path}")
    return "\n".join(f.read_text(encoding="utf-8") for f in files)


def compare(what, names, exports):
    problems = []
    missing = [n for n in exports if n not in names]
    extra = sorted(set(names) - set(exports))
    doubled = sorted({n for n in names if names.count(n) > 1})
    if missing:
        problems.append(f"{what} misses {', '.join(missing)}")
    if extra:
        problems.append(f"{what} names {', '.join(extra)}, which the library does not export")
    if doubled:
        problems.append(f"{what} names {', '.join(doubled)} more than once")
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = Path(sys.argv[1])
    exports = def_names((root / "api/MifareZUB.def").read_text())
    if len(exports) != 20:
        sys.exit(f"api/MifareZUB.def lists {len(exports)} exports, not 20")
    problems = []
    for what, path, extract in CONSUMERS:
        text = read(root, path)
        problems += compare(f"{what} ({path})", extract(text), exports)
        if "--self-test" in sys.argv[2:]:
            for victim in (exports[0], exports[-1], "mif_Read"):
                renamed = re.sub(rf"\b{victim}\b", victim + "Old", text)
                if not compare(what, extract(renamed), exports):
                    problems.append(f"self-test: renaming {victim} in {path} went unnoticed")
    for p in problems:
        print(p)
    print(f"{len(CONSUMERS)} export lists checked against {len(exports)} exports: "
          f"{'ok' if not problems else str(len(problems)) + ' problem(s)'}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
