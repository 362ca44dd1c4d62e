"""Where the library is loaded from."""

import ctypes.util
import os
import subprocess
import sys

import pytest

import mifarezub
from mifarezub import ENVIRONMENT_VARIABLE, LIBRARY_NAME, LibraryLoadError, find_library, load_library


@pytest.fixture
def built(library):
    """The built library's absolute path and folder."""
    return library.path, os.path.dirname(library.path)


def test_an_explicit_path_wins_over_the_environment(monkeypatch, built, tmp_path):
    path, folder = built
    monkeypatch.setenv(ENVIRONMENT_VARIABLE, str(tmp_path / "elsewhere.so"))
    assert find_library(path) == path
    # A folder holding the library: its development link, whose file is the
    # versioned one the build names.
    assert os.path.realpath(find_library(folder)) == os.path.realpath(path)
    assert load_library(folder) is load_library(path)


def test_the_environment_variable(monkeypatch, built):
    path, folder = built
    for value in (path, folder):
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, value)
        assert os.path.realpath(find_library()) == os.path.realpath(path)
    assert load_library(path).path == path


@pytest.fixture
def no_system_library(monkeypatch):
    """A system whose library path holds no MifareZUB."""
    monkeypatch.setattr(ctypes.util, "find_library", lambda name: None)


def test_the_system_loader_searches_a_bare_name(monkeypatch, no_system_library):
    monkeypatch.delenv(ENVIRONMENT_VARIABLE)
    assert find_library() == LIBRARY_NAME
    # An empty variable counts as unset.
    monkeypatch.setenv(ENVIRONMENT_VARIABLE, "")
    assert find_library() == LIBRARY_NAME


def test_a_library_beside_the_package_is_found(monkeypatch, tmp_path, no_system_library):
    monkeypatch.delenv(ENVIRONMENT_VARIABLE)
    package = tmp_path / "mifarezub"
    package.mkdir()
    (package / LIBRARY_NAME).write_bytes(b"")
    monkeypatch.setattr(mifarezub._native, "__file__", str(package / "_native.py"))
    assert find_library() == str(package / LIBRARY_NAME)


@pytest.mark.parametrize("source", ["argument", "environment"])
def test_a_missing_file_is_named(monkeypatch, tmp_path, source):
    missing = str(tmp_path / "no" / LIBRARY_NAME)
    if source == "environment":
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, missing)
        call = load_library
    else:
        def call():
            return load_library(missing)
    with pytest.raises(LibraryLoadError, match="does not exist") as raised:
        call()
    assert missing in str(raised.value)
    assert isinstance(raised.value, OSError)


def test_a_file_that_is_not_the_library(tmp_path):
    bogus = tmp_path / LIBRARY_NAME
    bogus.write_bytes(b"not a shared library")
    with pytest.raises(LibraryLoadError, match=ENVIRONMENT_VARIABLE):
        load_library(bogus)


def test_a_library_without_the_exports(library):
    # The virtual reader is a shared library, but not this one.
    other = os.path.join(os.path.dirname(library.path), "libCH375DLL.so")
    with pytest.raises(LibraryLoadError, match="does not export OpenComm"):
        load_library(other)



@pytest.mark.skipif(sys.platform == "win32", reason="the native library path")
def test_found_on_the_library_path_without_the_variable(built, tmp_path):
    """A host with the library on the loader's path needs no MIFAREZUB_LIBRARY."""
    path, folder = built
    env = {k: v for k, v in os.environ.items() if k != ENVIRONMENT_VARIABLE}
    env["LD_LIBRARY_PATH"] = folder
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(mifarezub.__file__))
    script = (
        "import os, mifarezub\n"
        "found = mifarezub.find_library()\n"
        "print(os.path.realpath(found) if os.path.isabs(found) else found)\n"
        "with mifarezub.Reader(0) as reader:\n"
        "    print(reader.select_card().uid.hex())\n"
    )
    result = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    found, uid = result.stdout.split()
    assert os.path.basename(found).startswith("libMifareZUB.so")
    if os.path.isabs(found):
        assert os.path.realpath(found) == os.path.realpath(path)
    assert uid == "1a7b8c54"


def test_the_system_library_comes_before_the_package_folder(monkeypatch, tmp_path):
    monkeypatch.delenv(ENVIRONMENT_VARIABLE)
    package = tmp_path / "mifarezub"
    package.mkdir()
    (package / LIBRARY_NAME).write_bytes(b"")
    monkeypatch.setattr(mifarezub._native, "__file__", str(package / "_native.py"))
    monkeypatch.setattr(ctypes.util, "find_library",
                        lambda name: "libMifareZUB.so.1" if name == "MifareZUB" else None)
    expected = str(package / LIBRARY_NAME) if sys.platform == "win32" else "libMifareZUB.so.1"
    assert find_library() == expected
