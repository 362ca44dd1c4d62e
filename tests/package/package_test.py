#!/usr/bin/env python3
"""The Windows package as a host developer gets it.

Builds the ZIP with CPack, unpacks it, and for each width (x86/ and x64/)
checks what it holds (the DLL's machine and version resource, both import
libraries), builds the sample C host against the packaged header and each
import library with that width's MinGW, and runs the host and zubtool under
Wine with the packaged virtual reader of that width beside them. The python/
folder holds the three wheels, each Windows one with the ZIP's own DLL of
its width. Every path a README in the ZIP names must be in the ZIP
(readme_paths.py).
"""
import argparse
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import readme_paths  # noqa: E402

failures = []


def expect(name, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + name + ("" if ok else ": " + detail))
    if not ok:
        failures.append(name)


def run(command, **kw):
    p = subprocess.run(command, capture_output=True, timeout=600, **kw)
    text = p.stdout.decode("utf-8", "replace") + p.stderr.decode("utf-8", "replace")
    return p.returncode, text.replace("\r\n", "\n")


def file_version(dll):
    """The file version in the DLL's VS_FIXEDFILEINFO, as "a.b.c.d"."""
    data = open(dll, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def def_names(path):
    names = []
    exports = False
    for line in open(path):
        line = line.split(";")[0].strip()
        if line == "EXPORTS":
            exports = True
        elif exports and line:
            names.append(line.split()[0])
    return names


def pe_machine(path):
    """The machine field of a PE file's header."""
    with open(path, "rb") as f:
        return pe_machine_of(f.read(4096))


def pe_machine_of(data):
    """The machine field of the PE header at the start of data."""
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, at + 4)[0]


def check_width(a, root, work, w, cc, nm, machine, vendor, symbols):
    """One width's folder: its binaries, import libraries, sample and zubtool."""
    folder = os.path.join(root, w)
    for exe in ("MifareZUB.dll", "zubtool.exe", "virtual-reader/" + vendor):
        found = pe_machine(os.path.join(folder, exe))
        expect(f"{w}/{exe} is built for {w}", found == machine, f"machine {found}")
    expect(f"{w}: the DLL's version resource carries the VERSION",
           file_version(os.path.join(folder, "MifareZUB.dll")) == a.version + ".0",
           str(file_version(os.path.join(folder, "MifareZUB.dll"))))

    # Both import libraries bind each symbol of the header to its export.
    names = def_names(os.path.join(folder, "MifareZUB.def"))
    expect(f"{w}: the packaged export list has the twenty names", len(names) == 20, str(names))
    for lib in ("libMifareZUB.dll.a", "MifareZUB.lib"):
        rc, out = run([nm, os.path.join(folder, lib)])
        lacking = [n for n in names
                   if not all(re.search(p, out, re.M) for p in symbols(n))]
        expect(f"{w}/{lib} imports every export by the header's symbol",
               rc == 0 and not lacking, "lacks " + ", ".join(lacking) + out[:2000])

    # A host developer's build and run: the DLL and the virtual reader beside the host.
    host_dir = os.path.join(work, "host-" + w)
    os.makedirs(host_dir)
    for f in ("MifareZUB.dll", "virtual-reader/" + vendor):
        shutil.copy(os.path.join(folder, f), host_dir)
    builds = {
        "host.exe": ["-L" + folder, "-lMifareZUB"],
        "host_msvc_lib.exe": [os.path.join(folder, "MifareZUB.lib")],
    }
    for exe, link in builds.items():
        rc, out = run([cc, "-Wall", "-Wextra", "-Werror", os.path.join(root, "sample/host.c"),
                       "-I" + os.path.join(root, "include")] + link +
                      ["-o", os.path.join(host_dir, exe)])
        expect(f"{w}: the sample host builds against the package ({exe})", rc == 0, out)
        if rc != 0:
            continue
        rc, out = run([a.wine, exe], cwd=host_dir)
        expect(f"{w}: and runs a card session under Wine ({exe})",
               rc == 0 and re.search(r"^mif_Read +0  OK\n(.*\n)*session complete$", out, re.M)
               is not None, out)

    # zubtool from the package, with the virtual reader put beside it.
    shutil.copy(os.path.join(folder, "virtual-reader", vendor), folder)
    rc, out = run([a.wine, "zubtool.exe", "scan"], cwd=folder)
    expect(f"{w}: the packaged zubtool scans the virtual card",
           rc == 0 and "UID   1A7B8C54" in out, out)
    env = dict(os.environ, ZUBSIM_CARD_PRESENT="0")
    rc, out = run([a.wine, "zubtool.exe", "scan"], cwd=folder, env=env)
    expect(f"{w}: and shows the library's message in UTF-8",
           rc == 1 and "(没有卡或密码错, 1)" in out, out)


def check_wheels(root, version):
    """python/ holds the pure wheel and one per width, each Windows wheel with
    the very DLL of its width that the ZIP ships."""
    folder = os.path.join(root, "python")
    found = sorted(os.path.basename(w) for w in glob.glob(os.path.join(folder, "*.whl")))
    wheels = {tag: f"mifarezub-{version}-py3-none-{tag}.whl" for tag in ("any", "win32", "win_amd64")}
    expect("python/ holds the three wheels", found == sorted(wheels.values()), str(found))
    for tag, width, machine in (("any", None, None), ("win32", "x86", 0x14C), ("win_amd64", "x64", 0x8664)):
        path = os.path.join(folder, wheels[tag])
        if not os.path.isfile(path):
            continue
        with zipfile.ZipFile(path) as z:
            names = z.namelist()
            info = next((n for n in names if n.endswith(".dist-info/WHEEL")), None)
            tags = z.read(info).decode().splitlines() if info else []
            expect(f"{wheels[tag]} is tagged py3-none-{tag}", f"Tag: py3-none-{tag}" in tags, str(tags))
            libraries = [n for n in names if n.lower().endswith((".dll", ".so"))]
            if width is None:
                expect("the pure wheel holds no library", not libraries, str(libraries))
                continue
            expect(f"{wheels[tag]} holds mifarezub/MifareZUB.dll and no other library",
                   libraries == ["mifarezub/MifareZUB.dll"], str(libraries))
            if libraries != ["mifarezub/MifareZUB.dll"]:
                continue
            dll = z.read("mifarezub/MifareZUB.dll")
        found_machine = pe_machine_of(dll)
        expect(f"{wheels[tag]}'s DLL is built for {width}", found_machine == machine,
               f"machine {found_machine}")
        with open(os.path.join(root, width, "MifareZUB.dll"), "rb") as f:
            expect(f"{wheels[tag]}'s DLL is the ZIP's {width}/MifareZUB.dll", f.read() == dll)


def main():
    ap = argparse.ArgumentParser()
    for option in ("cpack", "config", "cc", "nm", "cc64", "nm64", "wine", "version", "source"):
        ap.add_argument("--" + option, required=True)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="mz-package-")
    try:
        # The one command's second half: CPack packs what the build made.
        rc, out = run([a.cpack, "-G", "ZIP", "--config", a.config, "-B", work])
        zips = glob.glob(os.path.join(work, "*.zip"))
        expect("cpack makes one ZIP", rc == 0 and len(zips) == 1, out)
        if not zips:
            return 1
        name = f"MifareZUB-{a.version}-windows-x86-x64"
        expect("the ZIP is named after the version and both widths",
               os.path.basename(zips[0]) == name + ".zip", zips[0])
        with zipfile.ZipFile(zips[0]) as z:
            z.extractall(work)
        root = os.path.join(work, name)

        # Per width: the folder, its compiler and nm, the PE machine, the
        # vendor library's name, and how the import libraries name an export.
        widths = {
            "x86": (a.cc, a.nm, 0x14C, "CH375DLL.dll",
                    lambda n: (r" I __imp__%s@\d+$" % n, r" T _%s@\d+$" % n)),
            "x64": (a.cc64, a.nm64, 0x8664, "CH375DLL64.dll",
                    lambda n: (r" I __imp_%s$" % n, r" T %s$" % n)),
        }
        required = ["README.md", "LICENSE", "include/MifareZUB.h", "sample/host.c",
                    "vb/MifareZUB.bas", "vb/sample.bas", "vb/README.md"]
        for w, (_, _, _, vendor, _) in widths.items():
            required += [f"{w}/MifareZUB.dll", f"{w}/zubtool.exe", f"{w}/MifareZUB.def",
                         f"{w}/libMifareZUB.dll.a", f"{w}/MifareZUB.lib",
                         f"{w}/virtual-reader/{vendor}", f"{w}/virtual-reader/README.md"]
        # The bindings go in as their sources stand.
        if os.path.exists(os.path.join(a.source, "bindings/pascal/MifareZUB.pas")):
            required.append("pascal/MifareZUB.pas")
        else:
            print("note  bindings/pascal/MifareZUB.pas is not in the source tree yet")
        if os.path.isdir(os.path.join(a.source, "bindings/python/mifarezub")):
            required += ["python/mifarezub/__init__.py"]
            if os.path.exists(os.path.join(a.source, "bindings/python/pyproject.toml")):
                required.append("python/pyproject.toml")
        else:
            print("note  bindings/python/mifarezub is not in the source tree yet")
        if os.path.exists(os.path.join(a.source, "bindings/dotnet/make-single-file.py")):
            required += ["dotnet/MifareZub.cs", "dotnet/README.md", "dotnet/sample/Sample.cs"]
        missing = [f for f in required if not os.path.isfile(os.path.join(root, f))]
        expect("the package holds every piece of both widths", not missing,
               "missing " + ", ".join(missing))
        stray = [f for f in glob.glob(os.path.join(root, "**/*"), recursive=True)
                 if re.search(r"(__pycache__|\.pyc$|/tests?/|gtest|_test)", f)]
        expect("and no tests or build leftovers", not stray, ", ".join(stray))
        if missing:
            return 1
        check_wheels(root, a.version)
        # Every README in the ZIP describes the ZIP: what it names is there.
        problems = readme_paths.check_tree(root)
        expect("every path a README in the ZIP names is in the ZIP", not problems, str(problems))

        for w, (cc, nm, machine, vendor, symbols) in widths.items():
            check_width(a, root, work, w, cc, nm, machine, vendor, symbols)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"package: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
