"""Finding, loading and declaring the MifareZUB shared library.

On Windows the library is ``MifareZUB.dll``, a 32-bit DLL whose exports use
the stdcall convention (loaded with :class:`ctypes.WinDLL`, from a 32-bit
Python); elsewhere it is ``libMifareZUB.so`` with plain C exports (loaded with
:class:`ctypes.CDLL`).
"""

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_int32, c_void_p

__all__ = [
    "ENVIRONMENT_VARIABLE",
    "LIBRARY_NAME",
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


def _package_dir():
    return os.path.dirname(os.path.abspath(__file__))


def _expand(given, origin):
    """An explicit library location: a file, or a folder holding LIBRARY_NAME.

    A bare file name (no folder part) that does not exist here is left to the
    system loader's own search.
    """
    given = os.fspath(given)
    if os.path.isdir(given):
        given = os.path.join(given, LIBRARY_NAME)
    if os.path.isfile(given):
        return os.path.abspath(given)
    if os.path.dirname(given):
        raise LibraryLoadError(f"{origin} names {given!r}, which does not exist")
    return given


def _search_dirs():
    """Folders searched for the library when no location is given."""
    dirs = [_package_dir()]
    if _WINDOWS:
        # Since Python 3.8 ctypes no longer searches the working folder or
        # PATH for a bare DLL name; a host developer still expects both.
        dirs.append(os.getcwd())
        dirs.extend(d for d in os.environ.get("PATH", "").split(os.pathsep) if d)
    return dirs


def find_library(path=None):
    """Returns where the library will be loaded from.

    In this order: `path` if given (a file, or a folder holding the library);
    the file or folder named by the ``MIFAREZUB_LIBRARY`` environment
    variable; the library in this package's folder (and, on Windows, in the
    working folder or on ``PATH``); otherwise the bare file name, left to the
    system loader (``LD_LIBRARY_PATH`` and the like natively).

    Raises :class:`LibraryLoadError` when an explicit location does not exist.
    """
    if path is not None:
        return _expand(path, "the library path")
    env = os.environ.get(ENVIRONMENT_VARIABLE)
    if env:
        return _expand(env, ENVIRONMENT_VARIABLE)
    for folder in _search_dirs():
        candidate = os.path.join(folder, LIBRARY_NAME)
        if os.path.isfile(candidate):
            return os.path.abspath(candidate)
    return LIBRARY_NAME


class Library:
    """The loaded library: its twenty exports as ctypes functions.

    Obtain one with :func:`load_library`. Each export is an attribute under
    its own name (``lib.mif_Read``); :meth:`message` wraps ``ErrMsg``. The
    library keeps one reader link per process, shared by every
    :class:`~mifarezub.Reader` that uses this library.
    """

    def __init__(self, path):
        self.path = path
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL
        try:
            self._dll = loader(path)
        except OSError as error:
            hint = f"; give the library path or set {ENVIRONMENT_VARIABLE}"
            if _WINDOWS and ctypes.sizeof(c_void_p) != 4:
                hint += "; MifareZUB.dll is a 32-bit DLL and needs a 32-bit Python"
            raise LibraryLoadError(f"cannot load {path!r}: {error}{hint}") from error
        for name, (restype, argtypes) in _PROTOTYPES.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                raise LibraryLoadError(f"{path!r} does not export {name}") from None
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        # The Reader that opened the link last (None: no link of ours).
        self.owner = None
        self.lock = threading.RLock()

    def message(self, code):
        """The library's text for a result code, decoded from GBK."""
        buffer = ctypes.create_string_buffer(MESSAGE_BUFFER)
        self.ErrMsg(code, ctypes.byref(c_void_p(ctypes.addressof(buffer))))
        return buffer.value.decode("gbk", errors="replace")

    def __repr__(self):
        return f"<mifarezub.Library {self.path!r}>"


_loaded = {}
_loaded_lock = threading.Lock()


def load_library(path=None):
    """Loads the library (once per location) and returns its :class:`Library`.

    `path` and the search are those of :func:`find_library`. Raises
    :class:`LibraryLoadError` when the library cannot be loaded.
    """
    location = find_library(path)
    with _loaded_lock:
        library = _loaded.get(location)
        if library is None:
            library = _loaded[location] = Library(location)
        return library
