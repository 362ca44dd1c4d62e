"""Builds the mifarezub wheels offline, with Debian's python3-build and
python3-wheel (no package index):

    python3 make_wheels.py OUT [--dll win32=x86/MifareZUB.dll] [--dll win_amd64=x64/MifareZUB.dll]

OUT gets the pure wheel (py3-none-any, Linux and macOS: the library comes
from the system) and, for each --dll, a Windows wheel of that platform tag
holding the DLL inside the package folder, where mifarezub finds it with no
setting. Each DLL must be a PE file of its tag's width (win32: x86,
win_amd64: x64).
"""

import argparse
import glob
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# The PE machine field of the DLL each Windows wheel holds: a wheel tagged
# for one width with the other width's DLL would install and then fail to load.
MACHINES = {"win32": 0x14C, "win_amd64": 0x8664}


def pe_machine(path: str):
    """The machine field of a PE file's header, or None for a file that is not one."""
    with open(path, "rb") as f:
        data = f.read(4096)
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if at + 6 > len(data) or data[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, at + 4)[0]


def build_pure(out: str, scratch: str) -> str:
    source = os.path.join(scratch, "src")
    shutil.copytree(HERE, source, ignore=shutil.ignore_patterns(
        "tests", "build", "dist", "*.egg-info", "__pycache__", ".mypy_cache", "*.dll", "*.so",
        "make_wheels.py", "wheel_test.py"))
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation",
                    "--outdir", out, source], check=True, stdout=subprocess.DEVNULL)
    (wheel,) = glob.glob(os.path.join(out, "mifarezub-*-py3-none-any.whl"))
    return wheel


def build_windows(pure: str, tag: str, dll: str, out: str, scratch: str) -> str:
    """The pure wheel with the DLL in the package folder, tagged for `tag`."""
    unpacked = os.path.join(scratch, tag)
    subprocess.run([sys.executable, "-m", "wheel", "unpack", "--dest", unpacked, pure],
                   check=True, stdout=subprocess.DEVNULL)
    (root,) = glob.glob(os.path.join(unpacked, "mifarezub-*"))
    shutil.copyfile(dll, os.path.join(root, "mifarezub", "MifareZUB.dll"))
    (info,) = glob.glob(os.path.join(root, "*.dist-info", "WHEEL"))
    with open(info) as f:
        lines = [line for line in f.read().splitlines() if not line.startswith("Tag:")]
    lines = [("Root-Is-Purelib: false" if line.startswith("Root-Is-Purelib:") else line)
             for line in lines]
    lines.append(f"Tag: py3-none-{tag}")
    with open(info, "w") as f:
        f.write("\n".join(lines) + "\n")
    subprocess.run([sys.executable, "-m", "wheel", "pack", "--dest-dir", out, root],
                   check=True, stdout=subprocess.DEVNULL)
    (wheel,) = glob.glob(os.path.join(out, f"mifarezub-*-py3-none-{tag}.whl"))
    return wheel


# What the offline build needs in this interpreter, and where it comes from.
NEEDED = {"build": "python3-build", "wheel": "python3-wheel", "setuptools": "python3-setuptools"}


def missing_modules() -> list:
    return [name for name in NEEDED if importlib.util.find_spec(name) is None]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--dll", action="append", default=[], metavar="TAG=PATH")
    args = parser.parse_args()
    missing = missing_modules()
    if missing:
        print(f"make_wheels.py: {sys.executable} has no {', '.join(missing)} module: install Debian's "
              f"{' '.join(NEEDED[m] for m in missing)}"
              + ("" if sys.executable == "/usr/bin/python3" else " and run it with /usr/bin/python3")
              + f" (or: {sys.executable} -m pip install {' '.join(missing)})", file=sys.stderr)
        return 2
    # Every DLL is checked before anything is written.
    dlls = []
    for entry in args.dll:
        tag, _, dll = entry.partition("=")
        if tag not in MACHINES or not os.path.isfile(dll):
            parser.error(f"--dll {entry}: win32=PATH or win_amd64=PATH of an existing DLL")
        machine = pe_machine(dll)
        if machine != MACHINES[tag]:
            found = "not a PE file" if machine is None else f"PE machine 0x{machine:04X}"
            parser.error(f"--dll {entry}: a {tag} wheel needs a DLL of machine "
                         f"0x{MACHINES[tag]:04X}, this one is {found}")
        dlls.append((tag, dll))
    os.makedirs(args.out, exist_ok=True)
    for old in glob.glob(os.path.join(args.out, "mifarezub-*.whl")):
        os.remove(old)
    with tempfile.TemporaryDirectory() as scratch:
        pure = build_pure(args.out, scratch)
        print(pure)
        for tag, dll in dlls:
            print(build_windows(pure, tag, dll, args.out, scratch))
    return 0


if __name__ == "__main__":
    sys.exit(main())
