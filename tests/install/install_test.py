"""The native install and the Debian packages, tried as a host developer would.

  install_test.py install --build DIR --source DIR --cmake CMAKE --cc CC
  install_test.py deb     --build DIR --source DIR --cmake CMAKE --cpack CPACK --cc CC

`install` installs the build tree with DESTDIR into a temporary folder (prefix
/usr/local, whose udev rules once went to /etc), proves that every file lies
under DESTDIR/prefix, checks the layout (docs/linux.md's install table names
every installed file, Debian's copyright and changelog are left out, every
path a README of the tree names is in it), then builds tools/demo.c with the
prefix's pkg-config file and with its CMake package, and the installed
sample host.c with pkg-config, and runs them, and the installed zubtool,
against the installed virtual reader.

`deb` packs with `cpack -G DEB`, checks both packages' file lists and control
fields, unpacks them with `dpkg-deb -x` into a temporary root, builds and runs
the demo against that root, installs the pure Python wheel written beside the
packages with `pip install --no-index` into a fresh venv and runs a session
with it, and runs lintian (no errors allowed).

Everything is written inside one temporary folder, removed at the end.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

FAILURES = []


def check(condition, what):
    if condition:
        print(f"ok   {what}")
    else:
        print(f"FAIL {what}")
        FAILURES.append(what)
    return condition


def run(cmd, quiet=False, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.STDOUT)
    kw.setdefault("text", True)
    result = subprocess.run(cmd, **kw)
    if result.returncode != 0 and not quiet:
        print(f"$ {' '.join(cmd)}\n{result.stdout}")
    return result


def files_under(root):
    """Every file and symbolic link under root, relative to it."""
    found = set()
    for folder, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def dynamic(path, tag):
    """The values of one tag (SONAME, NEEDED, RUNPATH) of an ELF file."""
    out = run(["readelf", "-d", path]).stdout
    return re.findall(rf"\({tag}\)\s+.*?\[(.*)\]", out)


# Installed below the prefix (with the libdir of the layout in use).
def expected_files(libdir):
    return {
        f"{libdir}/libMifareZUB.so.1.0.0",
        f"{libdir}/libMifareZUB.so.1",
        f"{libdir}/libMifareZUB.so",
        f"{libdir}/libCH375DLL.so",
        f"{libdir}/pkgconfig/mifarezub.pc",
        f"{libdir}/cmake/MifareZUB/MifareZUBConfig.cmake",
        f"{libdir}/cmake/MifareZUB/MifareZUBConfigVersion.cmake",
        "lib/udev/rules.d/70-mifarezub.rules",
        "include/MifareZUB.h",
        "bin/zubtool",
        "share/doc/mifarezub/README.md",
        "share/doc/mifarezub/linux.md",
        "share/doc/mifarezub/LICENSE",
        "share/doc/mifarezub/pcsc.md",
        "share/mifarezub/python/mifarezub/__init__.py",
        "share/mifarezub/python/pyproject.toml",
        "share/mifarezub/pascal/MifareZUB.pas",
        "share/mifarezub/dotnet/MifareZub.cs",
        "share/mifarezub/samples/demo.c",
        "share/mifarezub/samples/host.c",
    }


# Debian's own files: in the packages, never in a plain install.
DEBIAN_DOCS = {"share/doc/mifarezub/copyright", "share/doc/mifarezub/changelog.Debian.gz"}
DEBIAN_VIRTUAL_READER_DOCS = {"share/doc/mifarezub-virtual-reader/copyright",
                              "share/doc/mifarezub-virtual-reader/changelog.Debian.gz"}


def install_table(linux_md):
    """The paths in the first column of docs/linux.md's install table: files,
    and folders (ending in /) that stand for everything below them."""
    with open(linux_md, encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = next(i for i, l in enumerate(lines) if l.startswith("| where, below the prefix |"))
    entries = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        first = line.split("|")[1]
        entries += re.findall(r"`([^`]+)`", first)
    return entries


def check_install_table(source, installed):
    """Every installed file is in the table, and the table names nothing else."""
    entries = install_table(os.path.join(source, "docs", "linux.md"))
    files = {e for e in entries if not e.endswith("/")}
    folders = [e for e in entries if e.endswith("/")]
    unlisted = sorted(p for p in installed if p not in files and not p.startswith(tuple(folders)))
    check(not unlisted, f"docs/linux.md's install table lists every installed file (unlisted: {unlisted})")
    absent = sorted(e for e in files if e not in installed) + sorted(
        e for e in folders if not any(p.startswith(e) for p in installed))
    check(not absent, f"and every file it lists is installed (not installed: {absent})")


def check_readmes(root, what):
    """Every path a README of the installed tree names is in that tree."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "package"))
    import readme_paths
    readmes = readme_paths.readmes_under(root)
    problems = readme_paths.check_tree(root)
    check(len(readmes) >= 4 and not problems,
          f"the {len(readmes)} READMEs of {what} name only what it holds ({problems})")


VIRTUAL_READER = "mifarezub/virtual-reader/libCH375DLL.so"


def check_libraries(prefix, libdir):
    """Soname and links of the library, and which vendor library is which."""
    lib = os.path.join(prefix, libdir)
    check(dynamic(os.path.join(lib, "libMifareZUB.so.1.0.0"), "SONAME") == ["libMifareZUB.so.1"],
          "the library's soname is libMifareZUB.so.1")
    check(os.readlink(os.path.join(lib, "libMifareZUB.so.1")) == "libMifareZUB.so.1.0.0"
          and os.readlink(os.path.join(lib, "libMifareZUB.so")) == "libMifareZUB.so.1",
          "libMifareZUB.so -> libMifareZUB.so.1 -> libMifareZUB.so.1.0.0")
    check("libCH375DLL.so" in dynamic(os.path.join(lib, "libMifareZUB.so.1.0.0"), "NEEDED"),
          "the library needs libCH375DLL.so by that name")
    check(any(n.startswith("libusb-1.0") for n in dynamic(os.path.join(lib, "libCH375DLL.so"), "NEEDED")),
          "the libCH375DLL.so in the libdir is the libusb one")
    check(not any(n.startswith("libusb") for n in
                  dynamic(os.path.join(lib, VIRTUAL_READER), "NEEDED")),
          "the virtual reader is apart from it")


def run_hosts(prefix, libdir, source, cmake, cc, work, with_cmake_package=True):
    """The demo built with pkg-config (and the CMake package) and zubtool, run
    against the virtual reader installed under the prefix."""
    lib = os.path.join(prefix, libdir)
    env = dict(os.environ, ZUBSIM_TRACE="off",
               LD_LIBRARY_PATH=os.path.join(lib, os.path.dirname(VIRTUAL_READER)) + ":" + lib)
    for name in ("ZUBSIM_IMAGE", "ZUBSIM_CARD", "ZUBSIM_UID", "ZUBSIM_DEVICE_INDEX",
                 "ZUBSIM_CARD_PRESENT", "MIFAREZUB_USB_IDS"):
        env.pop(name, None)
    demo = os.path.join(source, "tools", "demo.c")

    pc_env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(lib, "pkgconfig"), PKG_CONFIG_PATH="")
    pc = run(["pkg-config", "--cflags", "--libs", "mifarezub"], env=pc_env)
    version = run(["pkg-config", "--modversion", "mifarezub"], env=pc_env).stdout.strip()
    with open(os.path.join(source, "VERSION")) as f:
        wanted = f.read().strip()
    check(pc.returncode == 0 and version == wanted, f"pkg-config finds mifarezub {version} (want {wanted})")
    flags = pc.stdout.split()
    check(all(f.startswith(("-I" + prefix, "-L" + prefix)) or f == "-lMifareZUB" for f in flags)
          and os.path.isfile(os.path.join(flags[0][2:], "MifareZUB.h")),
          f"pkg-config's flags point into the prefix: {' '.join(flags)}")
    host = os.path.join(work, "host-pkgconfig")
    built = run([cc, demo, *flags, "-o", host])
    if check(built.returncode == 0, "the demo builds with pkg-config"):
        ldd = run(["ldd", host], env=env).stdout
        check(re.search(r"libCH375DLL\.so => \S*virtual-reader/libCH375DLL\.so", ldd) is not None,
              "with the virtual reader's folder first, the host takes the virtual reader")
        got = run([host], env=env, cwd=work)
        check(got.returncode == 0 and "session complete" in got.stdout,
              "the pkg-config host runs a whole session against the virtual reader")
        plain = dict(env, LD_LIBRARY_PATH=lib)
        ldd = run(["ldd", host], env=plain).stdout
        check(re.search(r"libCH375DLL\.so => " + re.escape(lib) + r"/libCH375DLL\.so", ldd) is not None,
              "without it, the host takes the libusb libCH375DLL.so beside the library")

    # The installed sample, as its own comment says to build and run it.
    sample = os.path.join(prefix, "share", "mifarezub", "samples", "host.c")
    host = os.path.join(work, "sample-host")
    built = run([cc, "-Wall", "-Wextra", "-Werror", sample, *flags, "-o", host])
    if check(built.returncode == 0, "the installed sample host.c builds with pkg-config"):
        got = run([host], env=env, cwd=work)
        if not check(got.returncode == 0 and re.search(r"^mif_Read +0  success \(OK\)$", got.stdout, re.M)
                     and got.stdout.rstrip().endswith("session complete"),
                     "and runs a session against the virtual reader"):
            print(got.stdout)
        got = run([host], env=dict(env, ZUBSIM_CARD_PRESENT="0"), cwd=work, quiet=True)
        if not check(got.returncode == 1 and "mif_Request             1  no card answers" in got.stdout
                     and "(没有卡或密码错)" in got.stdout,
                     "with no card it fails with the English meaning and the library's text"):
            print(got.stdout)

    if with_cmake_package:
        project = os.path.join(work, "cmake-host")
        os.makedirs(project)
        shutil.copy(demo, project)
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.21)\nproject(host C)\n"
                    "find_package(MifareZUB 1.0 REQUIRED)\n"
                    "add_executable(host demo.c)\n"
                    "target_link_libraries(host PRIVATE MifareZUB::MifareZUB)\n")
        binary = os.path.join(project, "build")
        configured = run([cmake, "-S", project, "-B", binary, f"-DCMAKE_PREFIX_PATH={prefix}",
                          f"-DCMAKE_C_COMPILER={cc}", "-DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF"])
        built = configured.returncode == 0 and run([cmake, "--build", binary]).returncode == 0
        if check(built, "the demo builds with find_package(MifareZUB)"):
            got = run([os.path.join(binary, "host")], env=env, cwd=work)
            check(got.returncode == 0 and "session complete" in got.stdout,
                  "the CMake-package host runs a whole session against the virtual reader")
        too_new = os.path.join(work, "cmake-too-new")
        os.makedirs(too_new)
        with open(os.path.join(too_new, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.21)\nproject(host NONE)\n"
                    "find_package(MifareZUB 2.0 REQUIRED)\n")
        refused = run(quiet=True, cmd=[cmake, "-S", too_new, "-B", os.path.join(too_new, "build"),
                       f"-DCMAKE_PREFIX_PATH={prefix}"])
        check(refused.returncode != 0, "find_package(MifareZUB 2.0) refuses the 1.x package")

    # The Python binding as installed under share/, finding the installed
    # library through the loader's path.
    script = ("import mifarezub\n"
              "with mifarezub.Reader(0) as reader:\n"
              "    print(reader.select_card().uid.hex(), mifarezub.find_library())\n")
    python = run([sys.executable, "-c", script], cwd=work,
                 env=dict(env, PYTHONPATH=os.path.join(prefix, "share", "mifarezub", "python"),
                          PYTHONDONTWRITEBYTECODE="1"))
    check(python.returncode == 0 and python.stdout.startswith("1a7b8c54 "),
          f"the installed Python binding runs a session: {python.stdout.strip()}")

    scan = run([os.path.join(prefix, "bin", "zubtool"), "scan"], env=env, cwd=work)
    check(scan.returncode == 0 and "1A7B8C54" in scan.stdout,
          "the installed zubtool finds the installed library and scans the virtual card")


def test_install(args, work):
    destdir = os.path.join(work, "destdir")
    prefix_in = "/usr/local"
    # cmake_install.cmake run directly, so that an absolute destination (one
    # that would ignore the prefix) is an error rather than a file under /etc.
    result = run([args.cmake, f"-DCMAKE_INSTALL_PREFIX={prefix_in}",
                  "-DCMAKE_ERROR_ON_ABSOLUTE_INSTALL_DESTINATION=ON",
                  "-P", os.path.join(args.build, "cmake_install.cmake")],
                 env=dict(os.environ, DESTDIR=destdir), cwd=work)
    if not check(result.returncode == 0, "cmake_install.cmake with DESTDIR and no absolute destination"):
        return
    prefix = destdir + prefix_in
    outside = sorted(f for f in files_under(destdir)
                     if not os.path.join(destdir, f).startswith(prefix + "/"))
    check(not outside, f"nothing installed outside the prefix {prefix_in} (found: {outside})")
    installed = files_under(prefix)
    libdir = "lib"
    wanted = expected_files(libdir) | {f"{libdir}/{VIRTUAL_READER}", "share/man/man1/zubtool.1"}
    missing = sorted(wanted - installed)
    check(not missing, f"the layout holds every expected file (missing: {missing})")
    top = {p.split("/")[0] for p in installed}
    check(top <= {"bin", "include", "lib", "share"}, f"only bin/ include/ lib/ share/ at the prefix root: {sorted(top)}")
    stray = sorted(p for p in installed if "__pycache__" in p or p.endswith((".pyc", ".egg-info"))
                   or "/tests/" in p)
    check(not stray, f"no build outputs or tests among the bindings (found: {stray})")
    debian = sorted(p for p in installed if os.path.basename(p) in ("copyright", "changelog.Debian.gz"))
    check(not debian, f"Debian's copyright and changelog are not in a plain install (found: {debian})")
    check_install_table(args.source, installed)
    check_readmes(prefix, "the installed tree")
    check_libraries(prefix, libdir)
    run_hosts(prefix, libdir, args.source, args.cmake, args.cc, work)


def deb_files(deb):
    out = run(["dpkg-deb", "-c", deb]).stdout
    names = set()
    for line in out.splitlines():
        path = line.split(None, 5)[5].split(" -> ")[0]
        if not path.endswith("/"):
            names.add(path[2:] if path.startswith("./") else path)
    return names


def check_wheel(out, root, libdir, source, work):
    """The pure wheel cpack writes beside the packages, installed offline into
    a fresh venv (no system packages) and run against the unpacked packages'
    library and virtual reader."""
    with open(os.path.join(source, "VERSION"), encoding="utf-8") as f:
        version = f.read().strip()
    wheels = sorted(f for f in os.listdir(out) if f.endswith(".whl"))
    name = f"mifarezub-{version}-py3-none-any.whl"
    if not check(wheels == [name], f"the pure wheel {name} lies beside the packages ({wheels})"):
        return
    venv = os.path.join(work, "venv")
    if not check(run([sys.executable, "-m", "venv", venv]).returncode == 0, "python3 -m venv"):
        return
    python = os.path.join(venv, "bin", "python")
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "MIFAREZUB_LIBRARY", "PIP_REQUIRE_VIRTUALENV", "LD_LIBRARY_PATH")
           and not k.startswith("ZUBSIM_")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1")
    installed = run([python, "-m", "pip", "install", "--no-index", os.path.join(out, name)],
                    env=env, cwd=work)
    if not check(installed.returncode == 0, "pip install --no-index installs the wheel in a fresh venv"):
        return
    usr = os.path.join(root, "usr")
    env["LD_LIBRARY_PATH"] = os.path.join(usr, libdir, "mifarezub", "virtual-reader") + ":" + \
        os.path.join(usr, libdir)
    script = ("import sys, mifarezub\n"
              "assert mifarezub.__file__.startswith(sys.prefix), mifarezub.__file__\n"
              "with mifarezub.Reader(0) as reader:\n"
              "    card = reader.wait_for_card(2)\n"
              "    reader.load_key(mifarezub.KEY_A, 0, bytes.fromhex('FFFFFFFFFFFF'))\n"
              "    reader.authenticate(mifarezub.KEY_A, 0, 4)\n"
              "    print(card.uid.hex(), reader.read(4).hex())\n")
    session = run([python, "-c", script], env=env, cwd=work)
    check(session.returncode == 0 and session.stdout.strip() == "1a7b8c54 " + "00" * 16,
          f"and the installed package runs a card session with the packages' library ({session.stdout.strip()})")


def test_deb(args, work):
    out = os.path.join(work, "packages")
    packed = run([args.cpack, "-G", "DEB", "--config", os.path.join(args.build, "CPackConfig.cmake"),
                  "-B", out])
    if not check(packed.returncode == 0, "cpack -G DEB"):
        return
    debs = {re.sub(r"_.*", "", d): os.path.join(out, d) for d in os.listdir(out) if d.endswith(".deb")}
    if not check(set(debs) == {"mifarezub", "mifarezub-virtual-reader"},
                 f"two packages, the library and the virtual reader: {sorted(debs)}"):
        return
    main, virtual = deb_files(debs["mifarezub"]), deb_files(debs["mifarezub-virtual-reader"])
    libdir = "lib"
    expected = {"usr/" + f for f in expected_files(libdir)} | {"usr/share/man/man1/zubtool.1.gz"}
    expected |= {"usr/" + f for f in DEBIAN_DOCS}
    check(not expected - main, f"mifarezub holds every expected file (missing: {sorted(expected - main)})")
    wanted = {"usr/" + f for f in DEBIAN_VIRTUAL_READER_DOCS}
    check(wanted <= virtual, f"mifarezub-virtual-reader holds its copyright and changelog ({sorted(virtual)})")
    check(all(p.startswith("usr/") for p in main | virtual), "both packages install below /usr only")
    check(not any("virtual-reader" in p and p.endswith(".so") for p in main),
          "the virtual reader is not in the mifarezub package")
    check(f"usr/{libdir}/{VIRTUAL_READER}" in virtual and not any(p.startswith("usr/bin") for p in virtual),
          "mifarezub-virtual-reader holds the virtual reader, apart from the library path")
    depends = run(["dpkg-deb", "-f", debs["mifarezub"], "Depends"]).stdout
    check(re.search(r"\blibusb-1\.0-0\b", depends) is not None, f"mifarezub depends on libusb-1.0-0: {depends.strip()}")
    depends = run(["dpkg-deb", "-f", debs["mifarezub-virtual-reader"], "Depends"]).stdout
    check("mifarezub (= " in depends, "the virtual reader depends on its own mifarezub version")

    root = os.path.join(work, "root")
    for deb in debs.values():
        check(run(["dpkg-deb", "-x", deb, root]).returncode == 0, f"dpkg-deb -x {os.path.basename(deb)}")
    check_libraries(os.path.join(root, "usr"), libdir)
    for package in debs:
        with open(os.path.join(root, "usr/share/doc", package, "copyright"), encoding="utf-8") as f:
            notice = f.read()
        check(notice.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
              and "\nLicense: MIT\n" in notice and "\nLicense: MIT\n Permission is hereby granted" in notice,
              f"{package}'s copyright file is machine-readable and holds the MIT License")
    check_readmes(os.path.join(root, "usr"), "the Debian packages")
    sections = run(["readelf", "-S", os.path.join(root, "usr", libdir, "libMifareZUB.so.1.0.0")]).stdout
    check(".symtab" not in sections and ".debug_info" not in sections, "the packaged library is stripped")
    run_hosts(os.path.join(root, "usr"), libdir, args.source, args.cmake, args.cc, work,
              with_cmake_package=False)

    check_wheel(out, root, libdir, args.source, work)

    lintian = shutil.which("lintian")
    if not check(lintian is not None, "lintian is installed (Debian package lintian, scripts/deps.sh)"):
        return
    # Only errors fail the test; the warnings that remain are known choices
    # (one package for library, tool and headers; the vendor library's
    # unversioned soname, which drop-in realisations share).
    linted = run([lintian, "--fail-on", "error", "--no-tag-display-limit", *debs.values()])
    print(linted.stdout)
    check(linted.returncode == 0 and not re.search(r"^E: ", linted.stdout, re.M),
          "lintian reports no errors")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["install", "deb"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--cpack")
    parser.add_argument("--cc", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix=f"mifarezub-{args.mode}-")
    try:
        (test_install if args.mode == "install" else test_deb)(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
