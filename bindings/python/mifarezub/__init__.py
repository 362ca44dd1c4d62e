"""mifarezub: drive a USB MIFARE Classic card reader through MifareZUB.

A pure-Python binding over ctypes. It loads ``MifareZUB.dll`` on Windows
(the x86 or the x64 DLL, whichever fits the interpreter; a Windows wheel
holds it) or ``libMifareZUB.so`` elsewhere; see :func:`find_library` for
where it looks. A short session::

    from mifarezub import Reader, KEY_A

    with Reader(0) as reader:
        card = reader.select_card()
        print(card.uid.hex(), hex(card.sak))
        reader.load_key(KEY_A, 0, bytes.fromhex("FFFFFFFFFFFF"))
        reader.authenticate(KEY_A, 0, 4)
        reader.write_value(5, 100)
        reader.increment(5, 25)
        reader.transfer(5)
        print(reader.read_value(5))   # 125

Failures raise :class:`MifareZUBError` subclasses that carry the result code,
its English description and the library's text for it
(``mif_Authentication: wrong key (密码错, 4)``). :meth:`Reader.wait_for_card`
waits until a card comes into the field.
"""

import os
from typing import Union

from ._native import (
    BLOCK_BUFFER,
    ENVIRONMENT_VARIABLE,
    LIBRARY_NAME,
    MESSAGE_BUFFER,
    SERIAL_BUFFER,
    Library,
    LibraryLoadError,
    find_library,
    load_library,
)
from .errors import (
    EXCHANGE_FAILED,
    NO_LINK,
    STATUS_DESCRIPTIONS,
    STATUS_NAMES,
    STATUS_OK,
    STATUS_NO_CARD,
    STATUS_CRC_ERROR,
    STATUS_VALUE_OVERFLOW,
    STATUS_WRONG_KEY,
    STATUS_PARITY_ERROR,
    STATUS_CARD_ERROR,
    STATUS_INVALID_SERIAL,
    STATUS_NO_PERMISSION,
    STATUS_BIT_COUNT_ERROR,
    STATUS_BYTE_COUNT_ERROR,
    STATUS_WAITING,
    STATUS_VALUE_STORE_ERROR,
    STATUS_WRITE_ERROR,
    STATUS_INCREMENT_ERROR,
    STATUS_DECREMENT_ERROR,
    STATUS_READ_ERROR,
    STATUS_POLL,
    STATUS_NOT_IMPLEMENTED,
    STATUS_NO_LINK,
    STATUS_EXCHANGE_FAILED,
    describe,
    CardError,
    ExchangeError,
    MifareZUBError,
    NoLinkError,
    ValueBlockError,
)
from .reader import KEY_A, KEY_B, Card, Reader, serial_of
from .values import (
    VALUE_MAX,
    VALUE_MIN,
    ValueBlock,
    decode_value_block,
    encode_value_block,
    is_value_block,
)

__version__ = "1.0.0"


def message(code: int, library: Union[Library, str, "os.PathLike[str]", None] = None) -> str:
    """The library's text for a result code, decoded from GBK.

    `library` is a :class:`Library` or a library path; by default the library
    is looked up as :func:`find_library` describes.
    """
    lib = library if isinstance(library, Library) else load_library(library)
    return lib.message(code)


__all__ = [
    "Reader",
    "Card",
    "KEY_A",
    "KEY_B",
    "serial_of",
    "message",
    "Library",
    "LibraryLoadError",
    "find_library",
    "load_library",
    "ENVIRONMENT_VARIABLE",
    "LIBRARY_NAME",
    "SERIAL_BUFFER",
    "BLOCK_BUFFER",
    "MESSAGE_BUFFER",
    "MifareZUBError",
    "NoLinkError",
    "ExchangeError",
    "CardError",
    "ValueBlockError",
    "NO_LINK",
    "EXCHANGE_FAILED",
    # The result codes by the names of MifareZUB.h's MZ_STATUS_ block.
    "STATUS_NAMES",
    "STATUS_DESCRIPTIONS",
    "describe",
    "STATUS_OK",
    "STATUS_NO_CARD",
    "STATUS_CRC_ERROR",
    "STATUS_VALUE_OVERFLOW",
    "STATUS_WRONG_KEY",
    "STATUS_PARITY_ERROR",
    "STATUS_CARD_ERROR",
    "STATUS_INVALID_SERIAL",
    "STATUS_NO_PERMISSION",
    "STATUS_BIT_COUNT_ERROR",
    "STATUS_BYTE_COUNT_ERROR",
    "STATUS_WAITING",
    "STATUS_VALUE_STORE_ERROR",
    "STATUS_WRITE_ERROR",
    "STATUS_INCREMENT_ERROR",
    "STATUS_DECREMENT_ERROR",
    "STATUS_READ_ERROR",
    "STATUS_POLL",
    "STATUS_NOT_IMPLEMENTED",
    "STATUS_NO_LINK",
    "STATUS_EXCHANGE_FAILED",
    "ValueBlock",
    "VALUE_MIN",
    "VALUE_MAX",
    "encode_value_block",
    "decode_value_block",
    "is_value_block",
]
