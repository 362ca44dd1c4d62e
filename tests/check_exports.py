#!/usr/bin/env python3
"""Every list of the library's exports names exactly the exports of
api/MifareZUB.def: the public header, the Python package, the Pascal unit, the
C# binding (all its parts), the VB module, the test support calls and the fuzz
harness. A consumer that misses an export, or names one the library does not
have, fails the check.

The VB module is also held to the header's prototypes: both of its branches
(#If VBA7, with PtrSafe, and #Else, without) declare every export with the
prototype's number of arguments and the VB type that passes each C type
(int32_t ByVal Long, int32_t* ByRef Long, const char* ByVal String, char**
ByRef String; a void function a Sub). The numeric MZ_ constants of the header
have the same values in the Pascal unit and the VB module, and their English
descriptions (MZDescription) are the header's MZ_STATUS_TABLE.

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
    # The library's imports (DllImport(Library, ...)); imports of other
    # libraries (libc's dlopen, say) are not the library's exports.
    return re.findall(r'DllImport\(\s*Library\s*,\s*EntryPoint\s*=\s*"(\w+)"', text)


VB_DECLARE = re.compile(
    r"^[ \t]*(?:(?:Public|Private)[ \t]+)?Declare[ \t]+(?P<ptrsafe>PtrSafe[ \t]+)?"
    r"(?P<kind>Function|Sub)[ \t]+(?P<name>\w+)[ \t]+Lib[ \t]+\"(?P<lib>[^\"]+)\""
    r"(?:[ \t]+Alias[ \t]+\"(?P<alias>\w+)\")?[ \t]*\((?P<args>[^)]*)\)"
    r"(?:[ \t]+As[ \t]+(?P<ret>\w+))?", re.M | re.I)


def vb_branches(text):
    """The #If VBA7 branch and the #Else branch of the VB module, line
    continuations joined."""
    text = re.sub(r"[ \t]+_[ \t]*\r?\n[ \t]*", " ", text.replace("\r\n", "\n"))
    m = re.search(r"^[ \t]*#If[ \t]+VBA7[ \t]+Then[ \t]*\n(.*?)^[ \t]*#Else[ \t]*\n(.*?)^[ \t]*#End[ \t]+If",
                  text, re.M | re.S | re.I)
    return (m.group(1), m.group(2)) if m else ("", "")


def vb_declares(branch):
    """The MifareZUB.dll declarations of one branch: {export: match}, and the
    exports in order (a name declared twice appears twice)."""
    found = [m for m in VB_DECLARE.finditer(branch) if m.group("lib").lower() == "mifarezub.dll"]
    return [(m.group("alias") or m.group("name")) for m in found], found


def vb_names(text):
    return vb_declares(vb_branches(text)[0])[0]


def header_prototypes(text):
    """{export: (return type, [parameter types])} from the header."""
    protos = {}
    for ret, name, params in re.findall(r"\bMZ_API\s+(\w+)\s+MZ_CALL\s+(\w+)\s*\(([^)]*)\)", text):
        types = []
        for param in params.split(","):
            param = " ".join(param.replace("*", " * ").split())
            if param in ("void", ""):
                continue
            types.append(re.sub(r"\s*\w+$", "", param).replace(" *", "*"))
        protos[name] = (ret, types)
    return protos


VB_TYPES = {"int32_t": ("ByVal", "Long"), "int32_t*": ("ByRef", "Long"),
            "const char*": ("ByVal", "String"), "char**": ("ByRef", "String")}


def vb_problems(text, protos):
    problems = []
    branches = vb_branches(text)
    if not branches[0]:
        return ["the VB module has no #If VBA7 Then ... #Else ... #End If block"]
    for label, branch, ptrsafe in (("#If VBA7", branches[0], True), ("#Else", branches[1], False)):
        names, found = vb_declares(branch)
        problems += compare(f"the VB module's {label} branch", names, list(protos))
        for m in found:
            name = m.group("alias") or m.group("name")
            where = f"the VB module's {label} branch: {name}"
            if bool(m.group("ptrsafe")) != ptrsafe:
                problems.append(f"{where} {'lacks' if ptrsafe else 'has'} PtrSafe")
            if name not in protos:
                continue
            ret, types = protos[name]
            if (ret == "void") != (m.group("kind").lower() == "sub"):
                problems.append(f"{where} is a {m.group('kind')}, the header's returns {ret}")
            if ret != "void" and (m.group("ret") or "").lower() != "long":
                problems.append(f"{where} returns {m.group('ret')}, not Long")
            args = [a.strip() for a in m.group("args").split(",") if a.strip()]
            if len(args) != len(types):
                problems.append(f"{where} takes {len(args)} arguments, the header's {len(types)}")
                continue
            for n, (arg, ctype) in enumerate(zip(args, types), 1):
                words = arg.split()
                passing = words[0] if words[0].lower() in ("byval", "byref") else "ByRef"
                vbtype = words[-1] if len(words) >= 3 and words[-2].lower() == "as" else "Variant"
                want = VB_TYPES.get(ctype)
                if want is None:
                    problems.append(f"{where}: no VB type known for {ctype}")
                elif (passing.lower(), vbtype.lower()) != (want[0].lower(), want[1].lower()):
                    problems.append(f"{where}: argument {n} ({ctype}) is {passing} {vbtype}, "
                                    f"not {want[0]} {want[1]}")
    return problems


def header_constants(text):
    return {n: int(v) for n, v in re.findall(r"^#define (MZ_\w+) \(?(-?\d+)\)?(?:\s*/\*.*\*/)?\s*$",
                                             text, re.M)}


def constant_problems(what, found, constants):
    problems = []
    for name, value in constants.items():
        if name not in found:
            problems.append(f"{what} lacks {name}")
        elif found[name] != value:
            problems.append(f"{what} has {name} = {found[name]}, the header {value}")
    return problems


def description_problems(what, found, table):
    problems = []
    if found != table:
        for name in sorted(set(found) | set(table)):
            if found.get(name) != table.get(name):
                problems.append(f"{what}: {name} is described {found.get(name)!r}, "
                                f"the header {table.get(name)!r}")
    return problems


def binding_problems(header, pascal, vb):
    constants = header_constants(header)
    table = dict(re.findall(r'X\((MZ_STATUS_\w+), "([^"]*)"\)', header))
    if len(constants) < 30 or len(table) < 20:
        return [f"only {len(constants)} constants and {len(table)} descriptions found in the header"]
    problems = []
    interface = pascal.split("\nimplementation", 1)[0]
    problems += constant_problems(
        "the Pascal unit", {n: int(v) for n, v in re.findall(r"^\s*(MZ_\w+)\s*=\s*(-?\d+)\s*;", interface, re.M)},
        constants)
    problems += description_problems(
        "the Pascal unit's MZDescription",
        dict(re.findall(r"^\s*(MZ_STATUS_\w+)\s*:\s*Result\s*:=\s*'([^']*)'\s*;", pascal, re.M)), table)
    problems += constant_problems(
        "the VB module", {n: int(v) for n, v in
                          re.findall(r"^\s*Public\s+Const\s+(MZ_\w+)\s+As\s+Long\s*=\s*(-?\d+)", vb, re.M | re.I)},
        constants)
    problems += description_problems(
        "the VB module's MZDescription",
        dict(re.findall(r'^\s*Case\s+(MZ_STATUS_\w+)\s*:\s*MZDescription\s*=\s*"([^"]*)"', vb, re.M | re.I)),
        table)
    problems += vb_problems(vb, header_prototypes(header))
    return problems


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
    ("the VB module", "bindings/vb/MifareZUB.bas", vb_names),
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


def self_test_bindings(header, pascal, vb):
    """Faults the VB module and the Pascal unit could have, each of which the
    checks above must notice."""
    faults = [
        ("a text output passed ByVal", r"(mif_Read Lib \"MifareZUB.dll\" \(ByVal block As Long, )ByRef", r"\1ByVal"),
        ("an output number passed ByVal", r"(mif_Request Lib \"MifareZUB.dll\" \(ByVal mode As Long, )ByRef", r"\1ByVal"),
        ("a 16-bit Integer", r"(OpenComm Lib \"MifareZUB.dll\" \(ByVal deviceIndex As )Long", r"\1Integer"),
        ("an argument left out", r"(mif_Authentication Lib \"MifareZUB.dll\" \(ByVal keyType As Long, )ByVal keySlot As Long, ", r"\1"),
        ("PtrSafe in the VB6 branch", r"(#Else\s+Public Declare )(Function)", r"\1PtrSafe \2"),
        ("a wrong constant", r"(MZ_KEY_B As Long = )1", r"\g<1>0"),
        ("a wrong description", r'("wrong key")', r'"bad key"'),
    ]
    problems = []
    original = binding_problems(header, pascal, vb)
    for what, pattern, replacement in faults:
        faulty, count = re.subn(pattern, replacement, vb, count=1)
        if count == 0:
            problems.append(f"self-test: could not plant {what} in the VB module")
        elif binding_problems(header, pascal, faulty) == original:
            problems.append(f"self-test: {what} in the VB module went unnoticed")
    for what, pattern, replacement in [
            ("a wrong constant", r"(MZ_KEY_B = )1;", r"\g<1>2;"),
            ("a wrong description", r"(MZ_STATUS_WRONG_KEY: Result := )'wrong key'", r"\1'bad key'")]:
        faulty, count = re.subn(pattern, replacement, pascal, count=1)
        if count == 0:
            problems.append(f"self-test: could not plant {what} in the Pascal unit")
        elif binding_problems(header, faulty, vb) == original:
            problems.append(f"self-test: {what} in the Pascal unit went unnoticed")
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
    header = (root / "include/MifareZUB.h").read_text(encoding="utf-8")
    pascal = (root / "bindings/pascal/MifareZUB.pas").read_text(encoding="utf-8")
    vb = (root / "bindings/vb/MifareZUB.bas").read_text(encoding="ascii")
    problems += binding_problems(header, pascal, vb)
    if "--self-test" in sys.argv[2:]:
        problems += self_test_bindings(header, pascal, vb)
    for p in problems:
        print(p)
    print(f"{len(CONSUMERS)} export lists checked against {len(exports)} exports: "
          f"{'ok' if not problems else str(len(problems)) + ' problem(s)'}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
