#!/usr/bin/env python3
"""Checks what the built library shows the outside world.

  check_binary.py pe   OBJDUMP MifareZUB.dll MifareZUB.def CH375DLL.def x86|x64 [XP-LISTS-DIR]
  check_binary.py sim  OBJDUMP CH375DLL.dll CH375DLL_sim.def x86|x64 XP-LISTS-DIR
  check_binary.py tool OBJDUMP zubtool.exe MifareZUB.def x86|x64 XP-LISTS-DIR
  check_binary.py elf  NM READELF libMifareZUB.so MifareZUB.def CH375DLL.def

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
sim: the virtual reader DLL (CH375DLL.dll, CH375DLL64.dll) is of the given
     width, exports exactly the names of its .def (the seven vendor calls and
     the zubsim_ control calls), imports exactly EXPECTED_SIM_IMPORTS from
     KERNEL32.dll and msvcrt.dll, is at most MAX_SIM_BYTES, and loads on the
     oldest Windows of its width, as MifareZUB.dll does.
tool: zubtool.exe is of the given width, imports only from MifareZUB.dll
     (names of MifareZUB.def), KERNEL32.dll and msvcrt.dll (and, for the
     workbench, TOOL_WORKBENCH_IMPORTS from WS2_32.dll and SHELL32.dll), and needs no newer
     Windows than TOOL_OLDEST_WINDOWS: each system import is exported by the
     oldest Windows of its width or is one of TOOL_NEEDS_NEWER_WINDOWS, the
     functions listed as coming with Vista or 7 (so that a new one fails), and
     the header asks for no newer version.
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


# The virtual reader is a C++ program with its C++ runtime (built for the
# win32 thread model, whose locks are Win32's own) linked in: at most this
# size, well under the 2.6 to 2.9 MB it had with std::filesystem, string
# streams and winpthreads.
MAX_SIM_BYTES = 384 * 1024
# What it takes from Windows: its lock, the reply delays' sleep, the
# ZUBSIM_ variables, the image files (stat, stdio, the replacing rename), the
# trace (stdio); the rest is the C++ runtime (allocation, the thread layer's
# locks and TLS, number and character conversions, the unwinder's look-ups)
# and the MinGW start-up code.
_SIM_COMMON_KERNEL32 = {
    "CloseHandle", "CreateSemaphoreW", "DeleteCriticalSection", "EnterCriticalSection",
    "GetCurrentThreadId", "GetEnvironmentVariableA", "GetLastError", "GetModuleHandleW",
    "GetProcAddress", "InitializeCriticalSection", "IsDBCSLeadByteEx", "LeaveCriticalSection",
    "LoadLibraryW", "MoveFileExA", "MultiByteToWideChar", "ReleaseSemaphore", "SetLastError",
    "Sleep", "TlsAlloc", "TlsFree", "TlsGetValue", "TlsSetValue", "VirtualProtect",
    "VirtualQuery", "WaitForSingleObject", "WideCharToMultiByte",
}
_SIM_COMMON_MSVCRT = {
    "_amsg_exit", "_close", "_commit", "_errno", "_fileno", "_initterm", "_lock", "_read",
    "_unlock", "abort", "calloc", "fclose", "fflush", "fopen", "fputc", "fputs", "fread", "free",
    "fseek", "fwrite", "isspace", "isxdigit", "localeconv", "malloc", "memchr", "memcmp",
    "memcpy", "memmove", "memset", "realloc", "remove", "strcmp", "strerror", "strlen",
    "strncmp", "strtol", "strtoul", "tolower", "vfprintf", "wcslen",
}
EXPECTED_SIM_IMPORTS = {
    "x86": {
        "kernel32.dll": _SIM_COMMON_KERNEL32 | {"FreeLibrary", "GetModuleHandleA",
                                                "LoadLibraryA"},
        "msvcrt.dll": _SIM_COMMON_MSVCRT | {"__mb_cur_max", "_iob", "_stat", "_stati64", "atoi", "strchr",
                                            "setlocale"},
    },
    "x64": {
        # The table-based unwinder of x64.
        "kernel32.dll": _SIM_COMMON_KERNEL32 | {"RaiseException", "RtlCaptureContext",
                                                "RtlLookupFunctionEntry", "RtlUnwindEx",
                                                "RtlVirtualUnwind"},
        "msvcrt.dll": _SIM_COMMON_MSVCRT | {"___lc_codepage_func", "___mb_cur_max_func",
                                            "__iob_func", "_stat64"},
    },
}

# zubtool.exe keeps the posix-thread C++ runtime (it is to serve HTTP with
# threads), so it is made for Windows Vista and later, not for XP as the DLLs
# are: the header asks for at most Windows 7 (NT 6.1), and beyond what XP
# SP3 / Server 2003 export it may import only these:
TOOL_OLDEST_WINDOWS = (6, 1)
TOOL_NEEDS_NEWER_WINDOWS = {
    # Vista (NT 6.0): winpthreads' clock, under the C++ runtime's locks.
    "kernel32.dll": {"GetTickCount64"},
    "msvcrt.dll": set(),
}


# The workbench (`zubtool ui`) serves HTTP through Winsock and opens the
# browser through the shell: zubtool.exe may import these functions, all of
# them in Windows since XP, from these DLLs and no others (so that a new one
# is looked at before it ships).
TOOL_WORKBENCH_IMPORTS = {
    "ws2_32.dll": {"WSACleanup", "WSAGetLastError", "WSASocketW", "WSAStartup", "__WSAFDIsSet",
                   "accept", "bind", "closesocket", "connect", "freeaddrinfo", "getaddrinfo",
                   "getnameinfo", "getpeername", "getsockname", "getsockopt", "ioctlsocket",
                   "listen", "ntohs", "htons", "recv", "select", "send", "setsockopt", "shutdown",
                   "socket", "inet_ntop"},
    "shell32.dll": {"ShellExecuteA"},
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


def check_oldest_windows(text, imports, width, lists_dir, header=True):
    """Failures that would keep the binary from loading on the oldest Windows
    (without `header`, only the imports count)."""
    failures = []
    oldest, suffix = OLDEST_WINDOWS[width]
    for dll in ("kernel32", "msvcrt"):
        have = read_list(os.path.join(lists_dir, f"{dll}-{suffix}.txt"))
        missing = sorted(set(imports.get(dll + ".dll", [])) - have)
        if missing:
            failures.append(f"{dll}.dll on NT {oldest[0]}.{oldest[1]} exports none of {missing}")
    if not header:
        return failures
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


def pe_tables(objdump, path):
    """objdump's text, the export table (name -> ordinal), the imports (DLL -> names)."""
    text = run(objdump, "-p", "-f", path)
    exports = {}
    if "[Ordinal/Name Pointer] Table" in text:
        base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
        table = text.split("[Ordinal/Name Pointer] Table", 1)[1]
        for line in table.splitlines()[1:]:
            m = re.match(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
            if not m:
                break
            exports[m.group(2)] = int(m.group(1)) + base
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
    return text, exports, imports


def check_width(text, width):
    file_format, architecture, _ = WIDTHS[width]
    if not re.search(r"file format %s\n" % re.escape(file_format), text) or not re.search(
            r"^architecture: %s," % re.escape(architecture), text, re.M):
        return [f"not a {width} PE file ({file_format}, {architecture})"]
    return []


def check_size(path, limit):
    size = os.path.getsize(path)
    return [f"{size} bytes, more than {limit}"] if size > limit else []


def check_system_imports(imports, expected_by_dll, allowed_others=frozenset()):
    """Only Windows' own DLLs (and `allowed_others`), exactly the expected functions."""
    failures = []
    others = {k for k in imports if k.lower() not in allowed_others | SYSTEM_DLLS}
    if others:
        failures.append(f"imports from {sorted(others)}; only {sorted(SYSTEM_DLLS)} are allowed")
    system = {k.lower(): set(v) for k, v in imports.items() if k.lower() in SYSTEM_DLLS}
    for name, expected in expected_by_dll.items():
        got = system.get(name, set())
        if got != expected:
            failures.append(f"{name}: unexpected imports {sorted(got - expected)}, "
                            f"missing {sorted(expected - got)}")
    return failures, system


def check_pe(objdump, dll, api_def, vendor_def, width, lists_dir=None):
    failures = check_size(dll, MAX_DLL_BYTES)
    vendor_dll = WIDTHS[width][2]
    text, exports, imports = pe_tables(objdump, dll)
    expected = def_exports(api_def)
    if exports != expected:
        failures.append(f"exports {sorted(exports.items())} != {sorted(expected.items())}")
    count = int(re.search(r"Export Address Table\s+([0-9a-fA-F]+)\n", text).group(1), 16)
    if count != len(expected):
        failures.append(f"{count} entries in the export address table, {len(expected)} expected")
    failures += check_width(text, width)

    vendor = {k.lower(): v for k, v in imports.items()}.get(vendor_dll)
    if vendor is None or sorted(vendor) != sorted(def_exports(vendor_def)):
        failures.append(f"{vendor_dll} imports {vendor}, expected the seven vendor calls")
    more, system = check_system_imports(imports, EXPECTED_SYSTEM_IMPORTS[width], {vendor_dll})
    failures += more
    if lists_dir:
        failures += check_oldest_windows(text, system, width, lists_dir)
    return failures


def check_sim(objdump, dll, sim_def, width, lists_dir):
    failures = check_size(dll, MAX_SIM_BYTES)
    text, exports, imports = pe_tables(objdump, dll)
    failures += check_width(text, width)
    expected = set(def_exports(sim_def))
    if set(exports) != expected:
        failures.append(f"exports {sorted(set(exports) ^ expected)} unlike its .def")
    more, system = check_system_imports(imports, EXPECTED_SIM_IMPORTS[width])
    failures += more
    failures += check_oldest_windows(text, system, width, lists_dir)
    return failures


def check_tool(objdump, exe, api_def, width, lists_dir):
    text, _, imports = pe_tables(objdump, exe)
    failures = check_width(text, width)
    by_name = {k.lower(): set(v) for k, v in imports.items()}
    others = set(by_name) - SYSTEM_DLLS - {"mifarezub.dll"} - set(TOOL_WORKBENCH_IMPORTS)
    if others:
        failures.append(f"imports from {sorted(others)}; only MifareZUB.dll, "
                        f"{sorted(SYSTEM_DLLS | set(TOOL_WORKBENCH_IMPORTS))} are allowed")
    for dll, allowed in TOOL_WORKBENCH_IMPORTS.items():
        unexpected = by_name.get(dll, set()) - allowed
        if unexpected:
            failures.append(f"{dll}: the workbench is not known to need {sorted(unexpected)}")
    unknown = by_name.get("mifarezub.dll", set()) - set(def_exports(api_def))
    if unknown:
        failures.append(f"MifareZUB.dll exports none of {sorted(unknown)}")
    # Beyond the XP lists, only the functions named as coming later.
    beyond_xp = {dll: by_name.get(dll, set()) - TOOL_NEEDS_NEWER_WINDOWS[dll]
                 for dll in SYSTEM_DLLS}
    failures += check_oldest_windows(text, beyond_xp, width, lists_dir, header=False)
    os_version, subsystem = header_versions(text)
    if os_version > TOOL_OLDEST_WINDOWS or subsystem > TOOL_OLDEST_WINDOWS:
        failures.append(f"the header asks for OS {os_version}, subsystem {subsystem}; "
                        f"more than {TOOL_OLDEST_WINDOWS}")
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
    checks = {"pe": check_pe, "sim": check_sim, "tool": check_tool, "elf": check_elf}
    failures = checks[argv[1]](*argv[2:])
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"{os.path.basename(argv[3 if argv[1] != 'elf' else 4])}: "
              "the binary interface is as listed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
