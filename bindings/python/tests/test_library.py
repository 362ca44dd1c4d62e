"""Where the library is loaded from."""

import os

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
    assert find_library(folder) == path  # a folder holding the library
    assert load_library(folder) is load_library(path)


def test_the_environment_variable(monkeypatch, built):
    path, folder = built
    for value in (path, folder):
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, value)
        assert find_library() == path
    assert load_library() is load_library(path)


def test_the_system_loader_searches_a_bare_name(monkeypatch):
    monkeypatch.delenv(ENVIRONMENT_VARIABLE)
    assert find_library() == LIBRARY_NAME
    # An empty variable counts as unset.
    monkeypatch.setenv(ENVIRONMENT_VARIABLE, "")
    assert find_library() == LIBRARY_NAME


def test_a_library_beside_the_package_is_found(monkeypatch, tmp_path):
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

