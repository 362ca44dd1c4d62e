"""On Windows the package loads the MifareZUB.dll of the interpreter's width.

These run anywhere: they make the module believe it runs on Windows with a
Python of either width, and lay out folders of stand-in DLLs that carry only
the PE header's machine field, which is all the choice reads.
"""

import ctypes
import struct

import pytest

import mifarezub
from mifarezub import ENVIRONMENT_VARIABLE, LibraryLoadError, find_library, load_library

native = mifarezub._native
MACHINE = {"x86": 0x14C, "x64": 0x8664}
OTHER = {"x86": "x64", "x64": "x86"}


def fake_dll(path, width):
    """A file with a PE header for `width` and nothing else."""
    path.parent.mkdir(parents=True, exist_ok=True)
    head = bytearray(0x100)
    head[:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x80)
    head[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", head, 0x84, MACHINE[width])
    path.write_bytes(bytes(head))
    return str(path)


@pytest.fixture(params=["x86", "x64"])
def windows(request, monkeypatch, tmp_path):
    """Windows with a Python of one width; the package in an empty folder."""
    monkeypatch.setattr(native, "_WINDOWS", True)
    monkeypatch.setattr(native, "LIBRARY_NAME", "MifareZUB.dll")
    monkeypatch.setattr(native, "WIDTH", request.param)
    monkeypatch.delenv(ENVIRONMENT_VARIABLE, raising=False)
    monkeypatch.setenv("PATH", "")
    package = tmp_path / "site" / "mifarezub"
    package.mkdir(parents=True)
    monkeypatch.setattr(native, "__file__", str(package / "_native.py"))
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return request.param, tmp_path


def test_a_folder_with_both_widths_gives_this_pythons(windows):
    width, tmp = windows
    fake_dll(tmp / "pkg" / "x86" / "MifareZUB.dll", "x86")
    fake_dll(tmp / "pkg" / "x64" / "MifareZUB.dll", "x64")
    expected = str(tmp / "pkg" / width / "MifareZUB.dll")
    assert find_library(tmp / "pkg") == expected
    assert find_library(tmp / "pkg" / width) == expected


def test_a_folder_of_the_other_width_is_refused_with_the_width_needed(windows, monkeypatch):
    width, tmp = windows
    other = fake_dll(tmp / "old" / "MifareZUB.dll", OTHER[width])
    for given in (str(tmp / "old"), other):
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, given)
        with pytest.raises(LibraryLoadError) as raised:
            find_library()
        text = str(raised.value)
        assert f"is a {OTHER[width]} DLL" in text and f"needs the {width}" in text


def test_the_search_passes_over_a_dll_of_the_other_width(windows):
    width, tmp = windows
    # Beside the package: the wrong one; in its width subfolder: the right one.
    fake_dll(tmp / "site" / "mifarezub" / "MifareZUB.dll", OTHER[width])
    right = fake_dll(tmp / "site" / "mifarezub" / width / "MifareZUB.dll", width)
    assert find_library() == right


def test_a_wheels_dll_in_the_package_folder_is_found_with_no_setting(windows):
    width, tmp = windows
    inside = fake_dll(tmp / "site" / "mifarezub" / "MifareZUB.dll", width)
    assert find_library() == inside


def test_the_working_folder_and_path_are_never_searched(windows, monkeypatch):
    width, tmp = windows
    # A DLL planted in the working folder (a download folder, say) or on PATH.
    fake_dll(tmp / "work" / "MifareZUB.dll", width)
    fake_dll(tmp / "work" / width / "MifareZUB.dll", width)
    fake_dll(tmp / "onpath" / "MifareZUB.dll", width)
    monkeypatch.setenv("PATH", str(tmp / "onpath"))
    assert native._search_dirs() == [str(tmp / "site" / "mifarezub")]
    # Left to the system's safe search, which skips both as well.
    assert find_library() == "MifareZUB.dll"
    loads = []

    def win_dll(path, winmode=None):
        loads.append((path, winmode))
        raise OSError("not found")

    monkeypatch.setattr(ctypes, "WinDLL", win_dll, raising=False)
    with pytest.raises(LibraryLoadError) as raised:
        load_library()
    assert "not the working folder or PATH" in str(raised.value)
    given = fake_dll(tmp / "given" / "MifareZUB.dll", width)
    with pytest.raises(LibraryLoadError):
        load_library(given)
    # The bare name: only the system's default folders; a path: also its own
    # folder, for the vendor DLL beside it.
    assert loads == [("MifareZUB.dll", native.LOAD_LIBRARY_SEARCH_DEFAULT_DIRS),
                     (given, native.LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                      | native.LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR)]


def test_when_none_loads_the_error_says_what_was_looked_for(windows, monkeypatch):
    width, tmp = windows
    passed = fake_dll(tmp / "site" / "mifarezub" / "MifareZUB.dll", OTHER[width])
    assert find_library() == "MifareZUB.dll"  # left to the system loader
    # The system loader finds nothing either (CDLL stands in for WinDLL).
    monkeypatch.setattr(ctypes, "WinDLL", lambda path, winmode=None: ctypes.CDLL(path),
                        raising=False)
    with pytest.raises(LibraryLoadError) as raised:
        load_library()
    text = str(raised.value)
    bits = "64" if width == "x64" else "32"
    vendor = "CH375DLL64.dll" if width == "x64" else "CH375DLL.DLL"
    assert f"looked for the {width} (for {bits}-bit processes) MifareZUB.dll" in text
    assert f"needs {vendor}" in text
    assert repr(passed) in text and "other width" in text
