#!/usr/bin/env python3
"""The licence is stated wherever a user meets the code: LICENSE at the root
(the MIT License, copyright The MifareZUB authors), the Debian copyright file
in the machine-readable format with the same text, the package metadata of the
Python package and the .NET project, and a one-line SPDX header on each public
file a user copies into a project (the C header, the Pascal unit, the VB
module and the generated single C# file).

Usage: check_licence.py SOURCE_DIR [--self-test]
With --self-test it also proves that a damaged licence text, a changed
copyright, a missing header line and a Debian file without the text are each
caught.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HOLDER = "The MifareZUB authors"
SPDX = f"SPDX-License-Identifier: MIT. Copyright (c) 2026 {HOLDER}."

# The MIT License's two paragraphs, as words (line breaks do not matter).
MIT_GRANT = (
    "Permission is hereby granted, free of charge, to any person obtaining a copy of this software "
    "and associated documentation files (the \"Software\"), to deal in the Software without "
    "restriction, including without limitation the rights to use, copy, modify, merge, publish, "
    "distribute, sublicense, and/or sell copies of the Software, and to permit persons to whom the "
    "Software is furnished to do so, subject to the following conditions:")
MIT_NOTICE = ("The above copyright notice and this permission notice shall be included in all copies "
              "or substantial portions of the Software.")
MIT_WARRANTY = (
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING "
    "BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND "
    "NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, "
    "DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, "
    "OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE.")


def words(text):
    return " ".join(text.split())


def licence_problems(text):
    problems = []
    paragraphs = [words(p) for p in re.split(r"\n\s*\n", text.strip())]
    if paragraphs[:2] != ["MIT License", f"Copyright (c) 2026 {HOLDER}"]:
        problems.append(f"LICENSE does not open with 'MIT License' and the copyright of {HOLDER}: "
                        f"{paragraphs[:2]}")
    if paragraphs[2:] != [MIT_GRANT, MIT_NOTICE, MIT_WARRANTY]:
        problems.append("LICENSE's terms are not the MIT License's, word for word")
    return problems


def dep5_paragraphs(text):
    """The paragraphs of a machine-readable copyright file, each {field: value},
    continuation lines joined with newlines ('.' lines as empty lines)."""
    paragraphs = []
    for block in re.split(r"\n\s*\n", text.strip()):
        fields, last = {}, None
        for line in block.split("\n"):
            if line[:1] in (" ", "\t") and last:
                fields[last] += "\n" + ("" if line.strip() == "." else line.strip())
            else:
                m = re.match(r"([A-Za-z-]+):\s*(.*)$", line)
                if not m:
                    return None
                last = m.group(1)
                fields[last] = m.group(2)
        paragraphs.append(fields)
    return paragraphs


def debian_problems(text, licence):
    paragraphs = dep5_paragraphs(text)
    if not paragraphs:
        return ["packaging/linux/copyright is not in the machine-readable format (Field: value paragraphs)"]
    problems = []
    if not paragraphs[0].get("Format", "").startswith(
            "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0"):
        problems.append("packaging/linux/copyright does not name the copyright format 1.0")
    files = [p for p in paragraphs if p.get("Files", "").split() == ["*"]]
    if not files or files[0].get("License") != "MIT" or HOLDER not in files[0].get("Copyright", ""):
        problems.append(f"packaging/linux/copyright has no 'Files: *' paragraph with License: MIT and {HOLDER}")
    texts = [p["License"] for p in paragraphs if p.get("License", "").startswith("MIT\n")]
    terms = licence.strip().split("\n\n", 2)[2] if licence.count("\n\n") >= 2 else ""
    if not texts or [words(p) for p in re.split(r"\n\s*\n", texts[0].split("\n", 1)[1])] != \
            [words(p) for p in re.split(r"\n\s*\n", terms)]:
        problems.append("packaging/linux/copyright does not hold LICENSE's terms under License: MIT")
    return problems


def header_problems(files):
    """files: [(name, text)]; each must carry the SPDX line among its first two lines
    (a VB module's first line is its Attribute VB_Name)."""
    problems = []
    for name, text in files:
        head = text.replace("\r\n", "\n").split("\n")[:2]
        if not any(SPDX in line for line in head):
            problems.append(f"{name} lacks the line '{SPDX}' at its top")
    return problems


def metadata_problems(pyproject, csproj):
    problems = []
    if not re.search(r'^license\s*=\s*(\{\s*text\s*=\s*"MIT"\s*\}|"MIT")\s*$', pyproject, re.M):
        problems.append("bindings/python/pyproject.toml does not declare license MIT")
    if not re.search(r"<PackageLicenseExpression>\s*MIT\s*</PackageLicenseExpression>", csproj):
        problems.append("bindings/dotnet/MifareZub.csproj has no PackageLicenseExpression MIT")
    return problems


def single_cs(root):
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "MifareZub.cs"
        subprocess.run([sys.executable, str(root / "bindings/dotnet/make-single-file.py"), str(out)],
                       check=True)
        return out.read_text(encoding="utf-8")


def all_problems(sources):
    return (licence_problems(sources["LICENSE"])
            + debian_problems(sources["copyright"], sources["LICENSE"])
            + header_problems([(n, sources[n]) for n in PUBLIC_FILES])
            + metadata_problems(sources["pyproject"], sources["csproj"]))


PUBLIC_FILES = ["include/MifareZUB.h", "bindings/pascal/MifareZUB.pas", "bindings/vb/MifareZUB.bas",
                "bindings/vb/sample.bas", "MifareZub.cs (made by make-single-file.py)"]


def self_test(sources):
    faults = [
        ("LICENSE", "FITNESS FOR A PARTICULAR PURPOSE", "FITNESS FOR PURPOSE", "a damaged warranty clause"),
        ("LICENSE", HOLDER, "Someone else", "another copyright holder"),
        ("copyright", "License: MIT\n Permission", "License: MIT\n Permission granted", "a damaged Debian text"),
        ("copyright", "Files: *", "Files: src/*", "no Files: * paragraph"),
        ("include/MifareZUB.h", "SPDX-License-Identifier: MIT.", "", "a header without its licence line"),
        ("bindings/vb/MifareZUB.bas", "Copyright (c) 2026", "Copyright 2026", "a changed licence line"),
        ("pyproject", 'license = {text = "MIT"}', 'license = {text = "GPL"}', "another Python licence"),
    ]
    problems = []
    for key, old, new, what in faults:
        if old not in sources[key]:
            problems.append(f"self-test: cannot plant {what}: {old!r} is not in {key}")
            continue
        changed = dict(sources, **{key: sources[key].replace(old, new, 1)})
        if not all_problems(changed):
            problems.append(f"self-test: {what} went unnoticed")
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = Path(sys.argv[1])
    read = lambda p: (root / p).read_text(encoding="utf-8")
    sources = {name: read(name) for name in PUBLIC_FILES[:-1]}
    sources[PUBLIC_FILES[-1]] = single_cs(root)
    sources.update(LICENSE=read("LICENSE"), copyright=read("packaging/linux/copyright"),
                   pyproject=read("bindings/python/pyproject.toml"),
                   csproj=read("bindings/dotnet/MifareZub.csproj"))
    problems = all_problems(sources)
    if "--self-test" in sys.argv[2:]:
        problems += self_test(sources)
    for p in problems:
        print(p)
    print(f"licence: {len(PUBLIC_FILES)} public files and 4 licence statements checked: "
          f"{'ok' if not problems else str(len(problems)) + ' problem(s)'}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
