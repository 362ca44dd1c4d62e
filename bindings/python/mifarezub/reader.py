"""The card reader: one method per library function."""

import ctypes
import os
import time
from ctypes import c_int32, c_void_p
from typing import Any, NamedTuple, Optional, Tuple, Type, Union
from types import TracebackType

from . import _args
from ._native import BLOCK_BUFFER, SERIAL_BUFFER, Library, load_library
from .errors import EXCHANGE_FAILED, NO_LINK, CardError, error_for
from .values import decode_value_block, encode_value_block

__all__ = ["Reader", "Card", "KEY_A", "KEY_B", "serial_of"]

#: Key types for :meth:`Reader.load_key` and :meth:`Reader.authenticate`.
KEY_A = 0
KEY_B = 1


def serial_of(uid: _args.BytesLike) -> bytes:
    """The 5-byte serial of a 4-byte UID: the UID and its check byte (XOR)."""
    data = _args.data("uid", uid, 4)
    return data + bytes([data[0] ^ data[1] ^ data[2] ^ data[3]])


class Card(NamedTuple):
    """A card found and selected by :meth:`Reader.select_card`."""

    #: Answer to request, first byte most significant (0x0400 for a 1K card).
    atqa: int
    #: The serial as anticollision gave it: 4 UID bytes and their check byte.
    serial: bytes
    #: Select answer (0x08 for a 1K card, 0x18 for a 4K card).
    sak: int

    @property
    def uid(self) -> bytes:
        """The card's 4-byte UID."""
        return self.serial[:4]


def _text_out(size: int) -> Tuple["ctypes.Array[ctypes.c_char]", Any]:
    """A buffer for a text output and the argument that points at it."""
    buffer = ctypes.create_string_buffer(size)
    return buffer, ctypes.byref(c_void_p(ctypes.addressof(buffer)))


def _hex(data: bytes) -> bytes:
    return data.hex().upper().encode("ascii")


class Reader:
    """A USB MIFARE Classic card reader, opened at a USB device index.

    The reader is opened on construction and closed by :meth:`close` or at
    the end of a ``with`` block::

        with Reader(0) as reader:
            card = reader.select_card()
            reader.load_key(KEY_A, 0, bytes.fromhex("FFFFFFFFFFFF"))
            reader.authenticate(KEY_A, 0, 4)
            data = reader.read(4)

    Every method raises a :class:`~mifarezub.MifareZUBError` subclass for a
    nonzero result: :class:`~mifarezub.NoLinkError` (-1),
    :class:`~mifarezub.ExchangeError` (-2) or :class:`~mifarezub.CardError`
    (the reader's status byte), each carrying the code and its text.
    Arguments outside what the library accepts (a block beyond 255, a key
    that is not 6 bytes) raise :class:`ValueError` or :class:`TypeError`
    before anything is sent. A serial or block that the library gives with
    success but short or not in hex digits is never returned as data: it
    raises :class:`~mifarezub.ExchangeError` (-2).

    The library holds one reader link per process: opening a reader closes
    the link of any other :class:`Reader` on the same library, which then
    raises :class:`~mifarezub.NoLinkError` until it is opened again. Calls
    may come from several threads; the library runs them one at a time.

    Args:
        device: USB device index of the reader (its low 8 bits count).
        library: a :class:`~mifarezub.Library`, or the path of the library
            (file or folder); by default the library is looked up as
            :func:`~mifarezub.find_library` describes.
    """

    def __init__(self, device: int = 0,
                 library: Union[Library, str, "os.PathLike[str]", None] = None) -> None:
        self.device = _args.int32("device", device)
        self._library = library if isinstance(library, Library) else load_library(library)
        self.open()

    # ---- The link ------------------------------------------------------

    @property
    def library(self) -> Library:
        """The :class:`~mifarezub.Library` this reader calls."""
        return self._library

    @property
    def is_open(self) -> bool:
        """Whether this reader holds the library's link."""
        return self._library.owner is self

    def open(self) -> None:
        """Opens the reader (``OpenComm``); any earlier link is closed first.

        Raises :class:`~mifarezub.NoLinkError` when no reader answers at the
        device index; on Linux with the libusb vendor library its
        description says when a reader is plugged in but this user may not
        open it (the udev rule of docs/linux.md) or another program holds it.
        """
        lib = self._library
        with lib.lock:
            lib.owner = None
            code = lib.OpenComm(self.device, 0)
            if code != 0:
                # A reader that is there but may not be opened says so.
                raise error_for(code, lib.message(code), "OpenComm", lib.open_error())
            lib.owner = self

    def close(self) -> None:
        """Closes the reader (``CloseComm``). Harmless when already closed."""
        lib = self._library
        with lib.lock:
            if lib.owner is self:
                lib.owner = None
                lib.CloseComm()

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return f"<mifarezub.Reader device {self.device} {state}>"

    def _check(self, function: str, code: int) -> None:
        if code != 0:
            raise error_for(code, self._library.message(code), function)

    def _call(self, function: str, *args: Any) -> None:
        """Calls an export on this reader's link; raises for a nonzero result."""
        lib = self._library
        with lib.lock:
            if lib.owner is not self:
                raise error_for(NO_LINK, lib.message(NO_LINK), function)
            self._check(function, getattr(lib, function)(*args))

    def _hex_result(self, function: str, buffer: "ctypes.Array[ctypes.c_char]", count: int) -> bytes:
        """The `count` bytes of a hex text the library gave with success.

        Anything else (a short text, a character that is not a hex digit) is
        no data: :class:`~mifarezub.ExchangeError` (-2), as for a reply the
        library could not read.
        """
        text = buffer.value
        if len(text) == 2 * count and all(c in b"0123456789ABCDEFabcdef" for c in text):
            return bytes.fromhex(text.decode("ascii"))
        raise error_for(EXCHANGE_FAILED, self._library.message(EXCHANGE_FAILED), function)

    # ---- Card commands -------------------------------------------------

    def request(self, all_cards: bool = True) -> int:
        """Wakes the cards in the field (``mif_Request``).

        With `all_cards` halted cards answer too; otherwise only idle ones.
        Returns the answer to request as one number, first byte most
        significant (0x0400 for a 1K card, 0x0200 for a 4K card). With no
        card answering, raises :class:`~mifarezub.CardError` (status 1).
        """
        tag_type = c_int32(0)
        self._call("mif_Request", 1 if all_cards else 0, ctypes.byref(tag_type))
        return tag_type.value

    def anticollision(self) -> bytes:
        """Returns the serial of a card in the field (``mif_Anticollision``).

        The serial is 5 bytes: the 4-byte UID and its check byte.
        """
        buffer, out = _text_out(SERIAL_BUFFER)
        self._call("mif_Anticollision", out)
        return self._hex_result("mif_Anticollision", buffer, 5)

    def select(self, serial: _args.BytesLike) -> int:
        """Selects the card with this serial (``mif_Select``).

        `serial` is the 4-byte UID, or the 5 bytes :meth:`anticollision`
        returned (UID and check byte). Returns the select answer (SAK).
        """
        data = _args.data("serial", serial, 4, 5)
        size = c_int32(0)
        self._call("mif_Select", _hex(data), ctypes.byref(size))
        return size.value

    def select_card(self, all_cards: bool = True) -> Card:
        """Request, anticollision and select in one: returns the :class:`Card`."""
        atqa = self.request(all_cards)
        serial = self.anticollision()
        sak = self.select(serial)
        return Card(atqa, serial, sak)

    def wait_for_card(self, timeout: Optional[float] = None,
                      interval: float = 0.1) -> Optional[Card]:
        """Waits until a card answers in the field, and selects it, like
        ``zubtool scan --wait``: request, anticollision and select every
        `interval` seconds (100 ms).

        Returns the :class:`Card`, or None when none came within `timeout`
        seconds (None: wait for ever; 0: one attempt). A reader that stops
        answering raises :class:`~mifarezub.NoLinkError` or
        :class:`~mifarezub.ExchangeError` at once. Other threads may use the
        reader between attempts.
        """
        if timeout is not None and not timeout >= 0:
            raise ValueError(f"timeout {timeout!r} is not a number of seconds >= 0")
        if not interval > 0:
            raise ValueError(f"interval {interval!r} is not a number of seconds > 0")
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                return self.select_card()
            except CardError:
                pass  # no card yet (or one that did not answer in full)
            if end is not None and time.monotonic() >= end:
                return None
            pause = interval if end is None else min(interval, max(0.0, end - time.monotonic()))
            time.sleep(pause)

    def load_key(self, key_type: int, slot: int, key: _args.BytesLike) -> None:
        """Stores a 6-byte key in the reader's key store (``mif_LoadKey``).

        `key_type` is :data:`KEY_A` or :data:`KEY_B`, `slot` 0 to 255. Needs
        no card.
        """
        self._call("mif_LoadKey", _args.byte("key_type", key_type), _args.byte("slot", slot),
                   _hex(_args.data("key", key, 6)))

    def authenticate(self, key_type: int, slot: int, block: int) -> None:
        """Authenticates the sector of `block` with a stored key
        (``mif_Authentication``).

        A wrong key raises :class:`~mifarezub.CardError` (status 4) and
        leaves the card idle: request and select it again before retrying.
        """
        self._call(
            "mif_Authentication",
            _args.byte("key_type", key_type),
            _args.byte("slot", slot),
            _args.byte("block", block),
        )

    def read(self, block: int) -> bytes:
        """Reads a block of the authenticated sector (``mif_Read``): 16 bytes."""
        buffer, out = _text_out(BLOCK_BUFFER)
        self._call("mif_Read", _args.byte("block", block), out)
        return self._hex_result("mif_Read", buffer, 16)

    def write(self, block: int, data: _args.BytesLike) -> None:
        """Writes 16 bytes into a block of the authenticated sector (``mif_Write``)."""
        number = _args.byte("block", block)
        self._call("mif_Write", number, _hex(_args.data("data", data, 16)))

    def increment(self, block: int, value: int) -> None:
        """Adds `value` to value block `block` into the card's transfer buffer
        (``mif_Increment``); :meth:`transfer` stores the result."""
        self._call("mif_Increment", _args.byte("block", block), _args.int32("value", value))

    def decrement(self, block: int, value: int) -> None:
        """Subtracts `value` from value block `block` into the card's transfer
        buffer (``mif_Decrement``); :meth:`transfer` stores the result."""
        self._call("mif_Decrement", _args.byte("block", block), _args.int32("value", value))

    def restore(self, block: int) -> None:
        """Copies value block `block` into the card's transfer buffer
        (``mif_Restore``)."""
        self._call("mif_Restore", _args.byte("block", block))

    def transfer(self, block: int) -> None:
        """Writes the card's transfer buffer into `block` (``mif_Transfer``)."""
        self._call("mif_Transfer", _args.byte("block", block))

    def halt(self) -> None:
        """Halts the selected card (``mif_Halt``)."""
        self._call("mif_Halt")

    # ---- Value blocks --------------------------------------------------

    def read_value(self, block: int) -> int:
        """Reads value block `block` and returns its value.

        Raises :class:`~mifarezub.ValueBlockError` when the block does not
        hold a well-formed value block.
        """
        return decode_value_block(self.read(block)).value

    def write_value(self, block: int, value: int, address: Optional[int] = None) -> None:
        """Makes `block` a value block holding `value`.

        `address` is the block's address byte, by default `block` itself.
        """
        number = _args.byte("block", block)
        self.write(number, encode_value_block(value, number if address is None else address))

    # ---- Reader signals ------------------------------------------------

    def beep(self, on: bool = True) -> None:
        """Switches the beeper on or off (``zub_beep``)."""
        self._call("zub_beep", 1 if on else 0)

    def beep_ms(self, ms: int) -> None:
        """Beeps for `ms` milliseconds (``zub_beepms``); blocks meanwhile."""
        self._call("zub_beepms", _args.integer("ms", ms, 0, _args.INT32_MAX))

    def led(self, led: int, on: bool = True) -> None:
        """Switches LED `led` (0 to 255) on or off (``zub_LED``)."""
        self._call("zub_LED", _args.byte("led", led), 1 if on else 0)

    def led_level(self, level: int) -> None:
        """Sets the LED level (``zub_LEDx``): 0, 127 or 255."""
        number = _args.int32("level", level)
        if number not in (0, 127, 255):
            raise ValueError(f"LED level {number} is not 0, 127 or 255")
        self._call("zub_LEDx", number)

    def relay(self, relay: int, on: bool = True) -> None:
        """Relay control (``mif_CtrlRelay``): accepted; the reader has none."""
        self._call("mif_CtrlRelay", _args.int32("relay", relay), 1 if on else 0)
