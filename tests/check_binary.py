#!/usr/bin/env python3
"""Checks what the built library shows the outside world.

  check_binary.py pe  OBJDUMP MifareZUB.dll MifareZUB.def CH375DLL.def x86|x64 [XP-LISTS-DIR]
  check_binary.py elf NM READELF libMifareZUB.so MifareZUB.def CH375DLL.def

pe:  the DLL is of the given width (machine i386 or AMD64); the export table
     holds exactly the names and ordinals of MifareZUB.def, undecorated; the
     DLL imports the seven vendor calls by name from the vendor library of its
     width (CH375DLL.DLL, CH375DLL64.dll) and otherwise only Windows' own
     KERNEL32.dll and msvcrt.dll, exactly the functions listed in
     EXPECTED_SYSTEM_IMPORTS (so that a dependency creeping back in fails);
     it is at most MAX_DLL_BYTES; with XP-LISTS-DIR (tests/windows-xp), every
     system import is exported by the oldest Windows of the width (XP SP3 for
     x86, XP x64 / Server 2003 for x64) and the header asks for no newer OS
     or subsystem version than that Windows.
elf: the shared library defines exactly the twenty names as functions, takes
     the seven vendor calls from outside, and needs libCH375DLL.so.
"""
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
# Per width: objdump's file format, its architecture, the vendor library.
WIDTHS = {
    "x86": ("pei-i386", "i386", "ch375dll.dll"),
    "x64": ("pei-x86-64", "i386:x86-64", "ch375dll64.dll"),
}


# At most this size: the library carries only what its own work needs.
MAX_DLL_BYTES = 128 * 1024
# Per width: the oldest Windows (major, minor) and its export lists' suffix.
OLDEST_WINDOWS = {"x86": ((5, 1), "nt51-x86"), "x64": ((5, 2), "nt52-x64")}
# What the library takes from Windows, per width: the export lock and the
# reader signals' sleep; the rest is the MinGW start-up code (TLS callbacks,
# pseudo-relocations and their error report, the atexit table, and on x86 the
# look-up of a shared unwinder and the fault guard's setjmp/longjmp).
_COMMON_KERNEL32 = {
    "DeleteCriticalSection", "EnterCriticalSection", "GetLastError",
    "InitializeCriticalSection", "LeaveCriticalSection", "Sleep", "TlsGetValue",
    "VirtualProtect", "VirtualQuery",
}
_COMMON_MSVCRT = {
    "_amsg_exit", "_initterm", "_lock", "_unlock", "abort", "calloc", "free", "fwrite",
    "realloc", "strlen", "strncmp", "vfprintf",
}
EXPECTED_SYSTEM_IMPORTS = {
    "x86": {
        "kernel32.dll": _COMMON_KERNEL32 | {"FreeLibrary", "GetModuleHandleA", "GetProcAddress",
                                            "LoadLibraryA"},
        "msvcrt.dll": _COMMON_MSVCRT | {"_iob", "_setjmp3", "longjmp"},
    },
    "x64": {
        "kernel32.dll": _COMMON_KERNEL32 | {"RtlUnwindEx"},
        "msvcrt.dll": _COMMON_MSVCRT | {"__iob_func"},
    },
}


def read_list(path):
    with open(path, encoding="ascii") as f:
        return {line.strip() for line in f if line.strip()}


def header_versions(text):
    """(OS version, subsystem version) from objdump -p."""
    def field(name):
        return int(re.search(r"^%s\s+(\d+)$" % name, text, re.M).group(1))
    return ((field("MajorOSystemVersion"), field("MinorOSystemVersion")),
            (field("MajorSubsystemVersion"), field("MinorSubsystemVersion")))


def check_oldest_windows(text, imports, width, lists_dir):
    """Failures that would keep the binary from loading on the oldest Windows."""
    failures = []
    oldest, suffix = OLDEST_WINDOWS[width]
    for dll in ("kernel32", "msvcrt"):
        have = read_list(os.path.join(lists_dir, f"{dll}-{suffix}.txt"))
        missing = sorted(set(imports.get(dll + ".dll", [])) - have)
        if missing:
            failures.append(f"{dll}.dll on NT {oldest[0]}.{oldest[1]} exports none of {missing}")
    os_version, subsystem = header_versions(text)
    if os_version > oldest or subsystem > oldest:
        failures.append(f"the header asks for OS {os_version}, subsystem {subsystem}; "
                        f"NT {oldest[0]}.{oldest[1]} loads at most {oldest}")
    return failures


def def_exports(path):
    """Name -> ordinal (None when the .def gives none) from a .def file."""
    names = {}
    in_exports = False
    for raw in open(path, encoding="ascii"):
        line = raw.split(";")[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
            continue
        if not in_exports:
            continue
        m = re.match(r"^([A-Za-z_][A-Za-z0-9_]*)(?:@\d+)?(?:\s+@(\d+))?", line)
        names[m.group(1)] = int(m.group(2)) if m.group(2) else None
    return names


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def check_pe(objdump, dll, api_def, vendor_def, width, lists_dir=None):
    failures = []
    size = os.path.getsize(dll)
    if size > MAX_DLL_BYTES:
        failures.append(f"{size} bytes, more than {MAX_DLL_BYTES}")
    file_format, architecture, vendor_dll = WIDTHS[width]
    text = run(objdump, "-p", "-f", dll)
    base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
    table = text.split("[Ordinal/Name Pointer] Table", 1)[1]
    exports = {}
    for line in table.splitlines()[1:]:
        m = re.match(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
        if not m:
            break
        exports[m.group(2)] = int(m.group(1)) + base
    expected = def_exports(api_def)
    if exports != expected:
        failures.append(f"exports {sorted(exports.items())} != {sorted(expected.items())}")
    count = int(re.search(r"Export Address Table\s+([0-9a-fA-F]+)\n", text).group(1), 16)
    if count != len(expected):
        failures.append(f"{count} entries in the export address table, {len(expected)} expected")
    if not re.search(r"file format %s\n" % re.escape(file_format), text) or not re.search(
            r"^architecture: %s," % re.escape(architecture), text, re.M):
        failures.append(f"not a {width} PE file ({file_format}, {architecture})")

    imports = {}
    for block in re.split(r"\n\s*DLL Name: ", text)[1:]:
        name, rest = block.split("\n", 1)
        members = []
        for line in rest.splitlines()[1:]:
            m = re.match(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
            if not m:
                break
            members.append(m.group(1))
        imports[name.strip()] = members
    vendor = {k.lower(): v for k, v in imports.items()}.get(vendor_dll)
    if vendor is None or sorted(vendor) != sorted(def_exports(vendor_def)):
        failures.append(f"{vendor_dll} imports {vendor}, expected the seven vendor calls")
    others = {k for k in imports if k.lower() != vendor_dll}
    if not {k.lower() for k in others} <= SYSTEM_DLLS:
        failures.append(f"imports from {sorted(others)}; only {sorted(SYSTEM_DLLS)} are allowed")
    system = {k.lower(): set(v) for k, v in imports.items() if k.lower() in SYSTEM_DLLS}
    for name, expected in EXPECTED_SYSTEM_IMPORTS[width].items():
        got = system.get(name, set())
        if got != expected:
            failures.append(f"{name}: unexpected imports {sorted(got - expected)}, "
                            f"missing {sorted(expected - got)}")
    if lists_dir:
        failures += check_oldest_windows(text, system, width, lists_dir)
    return failures


def check_elf(nm, readelf, lib, api_def, vendor_def):
    failures = []
    defined = set()
    undefined = set()
    for line in run(nm, "-D", lib).splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TtWiV":
            defined.add(parts[2].split("@")[0])
        elif len(parts) == 2 and parts[0] in "Uw":
            undefined.add(parts[1].split("@")[0])
    expected = set(def_exports(api_def))
    if defined != expected:
        failures.append(f"defines {sorted(defined ^ expected)} unlike the export list")
    vendor = set(def_exports(vendor_def))
    if not vendor <= undefined:
        failures.append(f"does not take {sorted(vendor - undefined)} from the vendor library")
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(readelf, "-d", lib))
    if "libCH375DLL.so" not in needed:
        failures.append(f"needs {needed}, not libCH375DLL.so")
    return failures


def main(argv):
    mode = argv[1]
    failures = check_pe(*argv[2:8]) if mode == "pe" else check_elf(*argv[2:7])
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("the library's binary interface is as listed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
