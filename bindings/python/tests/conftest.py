"""Runs the binding against the virtual reader.

MIFAREZUB_LIBRARY names the built libMifareZUB.so; the virtual reader,
libCH375DLL.so, sits beside it and is loaded by it. The tests reach the same
virtual reader through its control API to set up cards and faults and to see
what the reader did.
"""

import ctypes
import os

import pytest

import mifarezub

LIBRARY = os.environ.get(mifarezub.ENVIRONMENT_VARIABLE)
if not LIBRARY:
    raise pytest.UsageError(
        f"set {mifarezub.ENVIRONMENT_VARIABLE} to the built libMifareZUB.so "
        "(with the virtual reader's libCH375DLL.so beside it)"
    )

# The virtual reader reads its configuration from ZUBSIM_ variables; the
# tests expect its defaults (1K card, UID 1A7B8C54, device index 0).
for _name in [n for n in os.environ if n.startswith("ZUBSIM_")]:
    del os.environ[_name]

# Exchange faults of the virtual reader.
FAULT_NO_REPLY = 1
FAULT_LOST_REQUEST = 2
FAULT_BAD_CHECK = 3
FAULT_OTHER_COMMAND = 4
FAULT_TRUNCATED = 5
FAULT_STATUS = 9  # the reply carries status `arg` and no fields

CARD_1K = 1
CARD_4K = 4


class VirtualReader:
    """The virtual reader's control API (zubsim_*)."""

    def __init__(self, path):
        dll = ctypes.CDLL(path)
        self._dll = dll
        dll.zubsim_stored_key.argtypes = (ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
        dll.zubsim_new_card.argtypes = (ctypes.c_int, ctypes.c_char_p)
        dll.zubsim_card_image.argtypes = (ctypes.c_char_p, ctypes.c_size_t)
        dll.zubsim_card_image.restype = ctypes.c_size_t
        dll.zubsim_beep_count.restype = ctypes.c_uint
        dll.zubsim_fault_exchange.argtypes = (ctypes.c_int, ctypes.c_int, ctypes.c_uint)

    def reset(self):
        self._dll.zubsim_reset()

    def set_device_index(self, index):
        self._dll.zubsim_set_device_index(index)

    def device_open(self):
        return bool(self._dll.zubsim_device_open())

    def beeper_on(self):
        return bool(self._dll.zubsim_beeper_on())

    def beep_count(self):
        return self._dll.zubsim_beep_count()

    def led_on(self, led):
        return bool(self._dll.zubsim_led_on(led))

    def led_level(self):
        return self._dll.zubsim_led_level()

    def stored_key(self, key_type, slot):
        key = ctypes.create_string_buffer(6)
        if self._dll.zubsim_stored_key(key_type, slot, key) != 0:
            return None
        return key.raw

    def new_card(self, card_type=CARD_1K, uid=None):
        assert self._dll.zubsim_new_card(card_type, uid) == 0

    def image(self):
        size = self._dll.zubsim_card_image(None, 0)
        buffer = ctypes.create_string_buffer(size)
        self._dll.zubsim_card_image(buffer, size)
        return buffer.raw

    def block(self, number):
        return self.image()[16 * number : 16 * number + 16]

    def take_out_card(self):
        self._dll.zubsim_take_out_card()

    def put_back_card(self):
        assert self._dll.zubsim_put_back_card() == 0

    def fault_exchange(self, kind, arg=0, count=1):
        self._dll.zubsim_fault_exchange(kind, arg, count)


@pytest.fixture(scope="session")
def library():
    return mifarezub.load_library(LIBRARY)


@pytest.fixture(scope="session")
def _virtual_reader(library):
    return VirtualReader(os.path.join(os.path.dirname(library.path), "libCH375DLL.so"))


@pytest.fixture
def sim(library, _virtual_reader):
    """A fresh virtual reader for each test, with no link left open."""
    library.CloseComm()
    library.owner = None
    _virtual_reader.reset()
    yield _virtual_reader
    library.CloseComm()
    library.owner = None


@pytest.fixture
def reader(library, sim):
    with mifarezub.Reader(0, library) as r:
        yield r


TRANSPORT_KEY = bytes.fromhex("FFFFFFFFFFFF")


@pytest.fixture
def authenticated(reader):
    """A reader with the card selected and sector 1 (blocks 4 to 7) open."""
    reader.select_card()
    reader.load_key(mifarezub.KEY_A, 0, TRANSPORT_KEY)
    reader.authenticate(mifarezub.KEY_A, 0, 4)
    return reader
