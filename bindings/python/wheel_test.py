"""The wheels in a fresh venv (no system packages, no package index):
pip install --no-index, then a card session against the virtual reader.

    python3 wheel_test.py LIBRARY_DIR SCRATCH
"""

import glob
import os
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> int:
    library_dir, scratch = sys.argv[1], sys.argv[2]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    out = os.path.join(scratch, "wheels")
    # A stand-in "DLL" is enough to check the layout of a Windows wheel.
    fake = os.path.join(scratch, "MifareZUB.dll")
    with open(fake, "wb") as f:
        f.write(b"MZ stand-in")
    subprocess.run([sys.executable, os.path.join(HERE, "make_wheels.py"), out,
                    "--dll", f"win_amd64={fake}"], check=True)
    (pure,) = glob.glob(os.path.join(out, "mifarezub-*-py3-none-any.whl"))
    (win,) = glob.glob(os.path.join(out, "mifarezub-*-py3-none-win_amd64.whl"))
    with zipfile.ZipFile(pure) as z:
        names = z.namelist()
        assert "mifarezub/py.typed" in names and not any(n.endswith((".dll", ".so")) for n in names), names
    with zipfile.ZipFile(win) as z:
        assert z.read("mifarezub/MifareZUB.dll") == b"MZ stand-in"
        wheel = next(n for n in z.namelist() if n.endswith(".dist-info/WHEEL"))
        assert "Tag: py3-none-win_amd64" in z.read(wheel).decode()

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
