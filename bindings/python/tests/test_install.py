"""The package as pip installs it: from a copy of this folder (pip's build
writes build/ and *.egg-info beside the sources), offline, into a temporary
target, then imported from there with the library on the loader's path."""

import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _pip_available():
    # Looked up, not imported: importing pip here would set up distutils
    # for this process.
    return all(importlib.util.find_spec(name) for name in ("pip", "setuptools", "wheel"))


@pytest.mark.skipif(sys.platform == "win32", reason="run natively")
def test_pip_installs_the_typed_package_offline(tmp_path, library):
    assert _pip_available(), "pip, setuptools and wheel are needed (python3-pip, python3-setuptools, python3-wheel)"
    source = tmp_path / "src"
    shutil.copytree(HERE, source, ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__", ".mypy_cache"))
    target = tmp_path / "site"
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "MIFAREZUB_LIBRARY", "PIP_REQUIRE_VIRTUALENV")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1", PYTHONDONTWRITEBYTECODE="1")
    result = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
         "--target", str(target), str(source)],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr

    installed = target / "mifarezub"
    assert (installed / "py.typed").is_file(), "the type information ships"
    assert sorted(p.name for p in installed.glob("*.py")) == sorted(
        p.name for p in (source / "mifarezub").glob("*.py"))
    dist = [p.name for p in target.glob("mifarezub-*.dist-info")]
    with open(os.path.join(HERE, "pyproject.toml")) as f:
        version = next(line.split('"')[1] for line in f if line.startswith("version"))
    assert dist == [f"mifarezub-{version}.dist-info"]

    # Imported from the target, the package finds the library on the loader's
    # path with no variable set.
    env.update(PYTHONPATH=str(target), LD_LIBRARY_PATH=os.path.dirname(library.path))
    script = ("import mifarezub\n"
              "assert mifarezub.__file__.startswith(%r), mifarezub.__file__\n"
              "assert mifarezub.__version__ == %r\n"
              "with mifarezub.Reader(0) as reader:\n"
              "    print(reader.select_card().uid.hex())\n") % (str(target), version)
    result = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "1a7b8c54"
