"""Finding, loading and declaring the MifareZUB shared library.

On Windows the library is ``MifareZUB.dll``, built for 32-bit (x86) and for
64-bit (x64) processes under the same name; the Windows package keeps them in
``x86/`` and ``x64/``. A Python loads the one of its own width (its pointer
size decides), with :class:`ctypes.WinDLL` (stdcall on x86; x64 has one
convention). The x86 DLL imports the reader's ``CH375DLL.DLL``, the x64 DLL
``CH375DLL64.dll``. Elsewhere the library is ``libMifareZUB.so`` with plain C
exports (loaded with :class:`ctypes.CDLL`).
"""

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from ctypes import POINTER, c_char_p, c_int32, c_void_p
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

#: A library location: a path (file or folder) as str or path object.
PathArg = Union[str, "os.PathLike[str]"]

__all__ = [
    "ENVIRONMENT_VARIABLE",
    "LIBRARY_NAME",
    "WIDTH",
    "Library",
    "LibraryLoadError",
    "find_library",
    "load_library",
    "SERIAL_BUFFER",
    "BLOCK_BUFFER",
    "MESSAGE_BUFFER",
]

#: Environment variable naming the library file (or the folder holding it).
ENVIRONMENT_VARIABLE = "MIFAREZUB_LIBRARY"

_WINDOWS = sys.platform == "win32"

#: The library's file name on this platform.
LIBRARY_NAME = "MifareZUB.dll" if _WINDOWS else "libMifareZUB.so"

#: This Python's width: "x64" for a 64-bit interpreter, "x86" for a 32-bit
#: one. On Windows it names the folder (x86/ or x64/) searched first and the
#: DLL that fits.
WIDTH = "x64" if ctypes.sizeof(c_void_p) == 8 else "x86"

# The PE machine of a DLL of each width, and the vendor library it imports.
_MACHINES = {0x14C: "x86", 0x8664: "x64"}
_VENDOR_LIBRARIES = {"x86": "CH375DLL.DLL", "x64": "CH375DLL64.dll"}

#: Buffer sizes of the text outputs, zero byte included.
SERIAL_BUFFER = 11  # mif_Anticollision: 10 hex digits
BLOCK_BUFFER = 33  # mif_Read: 32 hex digits
MESSAGE_BUFFER = 18  # ErrMsg: at most 17 bytes of GBK text

# A text output is the address of a variable holding the buffer's address.
_TEXT_OUT = POINTER(c_void_p)
_INT_OUT = POINTER(c_int32)

# The twenty exports: result type and argument types.
_PROTOTYPES = {
    "OpenComm": (c_int32, (c_int32, c_int32)),
    "CloseComm": (c_int32, ()),
    "mif_Request": (c_int32, (c_int32, _INT_OUT)),
    "mif_Anticollision": (c_int32, (_TEXT_OUT,)),
    "mif_Select": (c_int32, (c_char_p, _INT_OUT)),
    "mif_LoadKey": (c_int32, (c_int32, c_int32, c_char_p)),
    "mif_Authentication": (c_int32, (c_int32, c_int32, c_int32)),
    "mif_Read": (c_int32, (c_int32, _TEXT_OUT)),
    "mif_Write": (c_int32, (c_int32, c_char_p)),
    "mif_Increment": (c_int32, (c_int32, c_int32)),
    "mif_Decrement": (c_int32, (c_int32, c_int32)),
    "mif_Restore": (c_int32, (c_int32,)),
    "mif_Transfer": (c_int32, (c_int32,)),
    "mif_Halt": (c_int32, ()),
    "zub_beep": (c_int32, (c_int32,)),
    "zub_beepms": (c_int32, (c_int32,)),
    "zub_LED": (c_int32, (c_int32, c_int32)),
    "zub_LEDx": (c_int32, (c_int32,)),
    "mif_CtrlRelay": (c_int32, (c_int32, c_int32)),
    "ErrMsg": (None, (c_int32, _TEXT_OUT)),
}


class LibraryLoadError(OSError):
    """The MifareZUB library could not be found or loaded."""


LibraryLoadError.__module__ = "mifarezub"

# LoadLibraryExW flags: the system's safe search (the application's folder,
# System32, folders added with os.add_dll_directory) and, for a DLL given by
# its path, that DLL's own folder for the vendor library it imports. Never
# the working folder or PATH.
LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR = 0x00000100
LOAD_LIBRARY_SEARCH_DEFAULT_DIRS = 0x00001000

# Why the last open failed, as the libusb libCH375DLL.so keeps it
# (CH375GetLastOpenError); absent from other vendor libraries.
OPEN_ERROR_TEXTS = {
    2: "a reader is plugged in but this user may not open it: see docs/linux.md (udev rule)",
    3: ("a reader is plugged in but in use by another program (or a kernel driver): "
        "close that program and try again"),
    4: "no USB access: libusb cannot start (is /dev/bus/usb there?)",
    5: "a reader is plugged in but opening it failed (a USB error)",
}


def windows_load_mode(path: str) -> int:
    """The LoadLibraryExW flags a DLL is loaded with on Windows."""
    if os.path.dirname(path):
        return LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
    return LOAD_LIBRARY_SEARCH_DEFAULT_DIRS


def _package_dir() -> str:
    return os.path.dirname(os.path.abspath(__file__))


def _pe_width(path: str) -> Optional[str]:
    """The width ("x86", "x64") a Windows DLL was built for.

    None when the file cannot be read as a PE image, or is of another machine
    entirely; the system loader then has the last word.
    """
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        at: int = struct.unpack_from("<I", head, 0x3C)[0]
        if head[:2] != b"MZ" or head[at:at + 4] != b"PE\0\0":
            return None
        return _MACHINES.get(struct.unpack_from("<H", head, at + 4)[0])
    except (OSError, struct.error):
        return None


def _fits(path: str) -> bool:
    """Whether this Python can load the library file at `path`, by its width."""
    if not _WINDOWS:
        return True
    width = _pe_width(path)
    return width is None or width == WIDTH


def _wanted() -> str:
    """Which library this Python looks for, for messages."""
    if not _WINDOWS:
        return LIBRARY_NAME
    bits = 64 if WIDTH == "x64" else 32
    return f"the {WIDTH} (for {bits}-bit processes) {LIBRARY_NAME}"


def _candidates(folder: str) -> List[str]:
    """Where a folder may hold the library: on Windows in its width's
    subfolder (a package holding both widths) first, then in the folder."""
    names = [os.path.join(folder, LIBRARY_NAME)]
    if not _WINDOWS:
        # A runtime install has the soname without the development link.
        names.append(os.path.join(folder, LIBRARY_NAME + ".1"))
    if _WINDOWS:
        names.insert(0, os.path.join(folder, WIDTH, LIBRARY_NAME))
    return names


def _other_width(path: str) -> LibraryLoadError:
    return LibraryLoadError(
        f"{path!r} is a {_pe_width(path)} DLL; this Python needs {_wanted()}"
    )


def _expand(location: PathArg, origin: str) -> str:
    """An explicit library location: a file, or a folder holding LIBRARY_NAME
    (on Windows also in its x86/ or x64/ subfolder).

    A bare file name (no folder part) that does not exist here is left to the
    system loader's own search.
    """
    given = os.fspath(location)
    if os.path.isdir(given):
        found = [c for c in _candidates(given) if os.path.isfile(c)]
        fitting = [c for c in found if _fits(c)]
        if fitting:
            return os.path.abspath(fitting[0])
        if found:
            raise _other_width(found[0])
        given = os.path.join(given, LIBRARY_NAME)
    if os.path.isfile(given):
        if not _fits(given):
            raise _other_width(given)
        return os.path.abspath(given)
    if os.path.dirname(given):
        raise LibraryLoadError(f"{origin} names {given!r}, which does not exist")
    return given


def _search_dirs() -> List[str]:
    """Folders searched for the library when no location is given: the
    package's own only. The working folder and PATH are never searched (a
    DLL planted in a download folder would be loaded into the host); beyond
    the package the system's safe search order takes the bare name."""
    return [_package_dir()]


def _search() -> Tuple[Optional[str], List[str]]:
    """The library found in the search folders (None if none fits), and the
    files of the other width passed over on the way."""
    passed_over: List[str] = []
    for folder in _search_dirs():
        for candidate in _candidates(folder):
            if not os.path.isfile(candidate):
                continue
            if _fits(candidate):
                return os.path.abspath(candidate), passed_over
            passed_over.append(candidate)
    return None, passed_over


def find_library(path: Optional[PathArg] = None) -> str:
    """Returns where the library will be loaded from.

    In this order: `path` if given (a file, or a folder holding the library);
    the file or folder named by the ``MIFAREZUB_LIBRARY`` environment
    variable; natively, the library installed on the system's library path
    (:func:`ctypes.util.find_library`: ``ldconfig``'s cache, then
    ``LD_LIBRARY_PATH``); the library in this package's folder (a Windows
    wheel holds its DLL there); otherwise the bare file name, left to the
    system loader (on Windows its safe search order: the application's
    folder, System32 and folders added with :func:`os.add_dll_directory`,
    never the working folder or ``PATH``). On Windows a
    folder's ``x86/`` or ``x64/`` subfolder, the one of this Python's width,
    is looked at before the folder itself, and a DLL of the other width is
    passed over.

    Raises :class:`LibraryLoadError` when an explicit location does not exist
    or holds a DLL of the other width only.
    """
    if path is not None:
        return _expand(path, "the library path")
    env = os.environ.get(ENVIRONMENT_VARIABLE)
    if env:
        return _expand(env, ENVIRONMENT_VARIABLE)
    if not _WINDOWS:
        # Natively the system's own search, as for any installed library: it
        # gives the soname (libMifareZUB.so.1), which needs no development
        # link. On Windows the search below covers PATH and checks the width.
        system = ctypes.util.find_library("MifareZUB")
        if system:
            return system
    found, _ = _search()
    return found if found is not None else LIBRARY_NAME


def _load_hint(path: PathArg) -> str:
    """What this Python looked for, for a library that would not load."""
    hint = f"; looked for {_wanted()}"
    if _WINDOWS:
        hint += f", which needs {_VENDOR_LIBRARIES[WIDTH]} on the DLL search path"
    if not os.path.dirname(os.fspath(path)):
        # The bare name: nothing fitting was found in the search folders.
        _, passed_over = _search()
        if _WINDOWS:
            hint += (f" in {_package_dir()!r} (its {WIDTH} subfolder first) and the"
                     " system's safe search path (not the working folder or PATH)")
        else:
            hint += f" in {_package_dir()!r} and the system's search path"
        if passed_over:
            hint += f" (passed over {', '.join(repr(p) for p in passed_over)}: other width)"
    return hint + f"; give the library path or set {ENVIRONMENT_VARIABLE}"


class Library:
    """The loaded library: its twenty exports as ctypes functions.

    Obtain one with :func:`load_library`. Each export is an attribute under
    its own name (``lib.mif_Read``); :meth:`message` wraps ``ErrMsg``. The
    library keeps one reader link per process, shared by every
    :class:`~mifarezub.Reader` that uses this library.
    """

    # The exports, set from _PROTOTYPES when the library loads.
    OpenComm: Callable[..., int]
    CloseComm: Callable[..., int]
    mif_Request: Callable[..., int]
    mif_Anticollision: Callable[..., int]
    mif_Select: Callable[..., int]
    mif_LoadKey: Callable[..., int]
    mif_Authentication: Callable[..., int]
    mif_Read: Callable[..., int]
    mif_Write: Callable[..., int]
    mif_Increment: Callable[..., int]
    mif_Decrement: Callable[..., int]
    mif_Restore: Callable[..., int]
    mif_Transfer: Callable[..., int]
    mif_Halt: Callable[..., int]
    zub_beep: Callable[..., int]
    zub_beepms: Callable[..., int]
    zub_LED: Callable[..., int]
    zub_LEDx: Callable[..., int]
    mif_CtrlRelay: Callable[..., int]
    ErrMsg: Callable[..., None]

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            if _WINDOWS:
                self._dll = getattr(ctypes, "WinDLL")(path, winmode=windows_load_mode(path))
            else:
                self._dll = ctypes.CDLL(path)
        except OSError as error:
            raise LibraryLoadError(f"cannot load {path!r}: {error}{_load_hint(path)}") from error
        for name, (restype, argtypes) in _PROTOTYPES.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                raise LibraryLoadError(f"{path!r} does not export {name}") from None
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        # The Reader that opened the link last (None: no link of ours).
        self.owner: Optional[object] = None
        self.lock = threading.RLock()

    def open_error(self) -> Optional[str]:
        """Why the last ``OpenComm`` found no reader, where the vendor library
        can tell (the libusb ``libCH375DLL.so`` for real readers on Linux):
        a reader plugged in that this user may not open, or that another
        program holds. None when there is nothing to add to "no reader"."""
        try:
            get = getattr(self._dll, "CH375GetLastOpenError")
        except AttributeError:
            return None  # the vendor library has no such call
        get.restype = c_int32
        get.argtypes = ()
        code: int = get()
        return OPEN_ERROR_TEXTS.get(code)

    def message(self, code: int) -> str:
        """The library's text for a result code, decoded from GBK."""
        buffer = ctypes.create_string_buffer(MESSAGE_BUFFER)
        self.ErrMsg(code, ctypes.byref(c_void_p(ctypes.addressof(buffer))))
        return buffer.value.decode("gbk", errors="replace")

    def __repr__(self) -> str:
        return f"<mifarezub.Library {self.path!r}>"


_loaded: Dict[str, Library] = {}
_loaded_lock = threading.Lock()


def load_library(path: Optional[PathArg] = None) -> Library:
    """Loads the library (once per location) and returns its :class:`Library`.

    `path` and the search are those of :func:`find_library`. Raises
    :class:`LibraryLoadError` when the library cannot be loaded.
    """
    location = find_library(path)
    # One Library per file, however it is named (the soname, the development
    # link, the versioned file): the link's owner and lock are the file's.
    key = os.path.realpath(location) if os.path.dirname(location) else location
    with _loaded_lock:
        library = _loaded.get(key)
        if library is None:
            library = _loaded[key] = Library(location)
        return library
