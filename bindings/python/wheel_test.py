"""The wheels in a fresh venv (no system packages, no package index):
pip install --no-index, then a card session against the virtual reader.

    python3 wheel_test.py LIBRARY_DIR SCRATCH
"""

import glob
import os
import shutil
import struct
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def stand_in_dll(machine, name):
    """A file with a PE header of that machine, and a name to tell it apart."""
    header = bytearray(0x40)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    return bytes(header) + b"PE\0\0" + struct.pack("<H", machine) + name.encode()


def main() -> int:
    library_dir, scratch = sys.argv[1], sys.argv[2]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    out = os.path.join(scratch, "wheels")
    # Stand-in DLLs (a PE header of each width) are enough to check the layout
    # of the Windows wheels, and that a DLL of the wrong width is refused.
    fakes = {}
    for tag, machine in (("win32", 0x14C), ("win_amd64", 0x8664)):
        fakes[tag] = os.path.join(scratch, f"{tag}.dll")
        with open(fakes[tag], "wb") as f:
            f.write(stand_in_dll(machine, tag))
    make = [sys.executable, os.path.join(HERE, "make_wheels.py"), out]
    # An interpreter without the build module (here: without its site
    # packages) is told in one line what to install, with no traceback.
    bare = subprocess.run([sys.executable, "-S", *make[1:]], capture_output=True, text=True)
    assert bare.returncode == 2 and "python3-build" in bare.stderr, bare
    assert "Traceback" not in bare.stderr and len(bare.stderr.strip().splitlines()) == 1, bare.stderr
    for args, why in (([f"--dll=win32={fakes['win_amd64']}"], "an x64 DLL for win32"),
                      ([f"--dll=win_amd64={fakes['win32']}"], "an x86 DLL for win_amd64"),
                      ([f"--dll=win32={os.path.join(HERE, 'pyproject.toml')}"], "not a PE file")):
        refused = subprocess.run(make + args, capture_output=True, text=True)
        assert refused.returncode != 0 and "needs a DLL of machine" in refused.stderr, (why, refused)
        assert not glob.glob(os.path.join(out, "*.whl")), f"{why}: wheels written before the refusal"
    subprocess.run(make + ["--dll", f"win32={fakes['win32']}", "--dll", f"win_amd64={fakes['win_amd64']}"],
                   check=True)
    (pure,) = glob.glob(os.path.join(out, "mifarezub-*-py3-none-any.whl"))
    with zipfile.ZipFile(pure) as z:
        names = z.namelist()
        assert "mifarezub/py.typed" in names and not any(n.endswith((".dll", ".so")) for n in names), names
    for tag in fakes:
        (win,) = glob.glob(os.path.join(out, f"mifarezub-*-py3-none-{tag}.whl"))
        with zipfile.ZipFile(win) as z:
            assert z.read("mifarezub/MifareZUB.dll") == stand_in_dll(dict(win32=0x14C, win_amd64=0x8664)[tag], tag)
            wheel = next(n for n in z.namelist() if n.endswith(".dist-info/WHEEL"))
            assert f"Tag: py3-none-{tag}" in z.read(wheel).decode().splitlines(), tag

    venv = os.path.join(scratch, "venv")
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    python = os.path.join(venv, "bin", "python")
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "MIFAREZUB_LIBRARY", "PIP_REQUIRE_VIRTUALENV")
           and not k.startswith("ZUBSIM_")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1")
    subprocess.run([python, "-m", "pip", "install", "--no-index", pure], check=True, env=env, cwd=scratch)
    env["LD_LIBRARY_PATH"] = library_dir
    script = ("import mifarezub\n"
              "assert mifarezub.__file__.startswith(%r), mifarezub.__file__\n"
              "with mifarezub.Reader(0) as reader:\n"
              "    card = reader.wait_for_card(2)\n"
              "    reader.load_key(mifarezub.KEY_A, 0, bytes.fromhex('FFFFFFFFFFFF'))\n"
              "    reader.authenticate(mifarezub.KEY_A, 0, 4)\n"
              "    print(card.uid.hex(), reader.read(4).hex())\n") % venv
    result = subprocess.run([python, "-c", script], env=env, cwd=scratch,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "1a7b8c54 " + "00" * 16, result.stdout
    print("wheel installed offline in a fresh venv and ran a session:", result.stdout.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
