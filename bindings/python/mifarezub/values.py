"""MIFARE Classic value blocks: encoding and checking.

A value block holds a signed 32-bit value three times and a one-byte address
four times::

    value | ~value | value | addr ~addr addr ~addr

each value in four bytes, least significant first. 1234567 at address 17 is
``87 D6 12 00 78 29 ED FF 87 D6 12 00 11 EE 11 EE``.
"""

import struct
from typing import NamedTuple

from . import _args
from .errors import ValueBlockError

__all__ = [
    "VALUE_MIN",
    "VALUE_MAX",
    "ValueBlock",
    "encode_value_block",
    "decode_value_block",
    "is_value_block",
]

VALUE_MIN = -(2**31)
VALUE_MAX = 2**31 - 1

_LAYOUT = struct.Struct("<iIiBBBB")


class ValueBlock(NamedTuple):
    """The contents of a value block."""

    value: int
    address: int


def encode_value_block(value: int, address: int) -> bytes:
    """The 16 bytes of a value block holding `value` with `address`.

    `value` is a signed 32-bit number, `address` a byte (0 to 255; by
    convention the block's own number). Raises :class:`ValueError` otherwise.
    """
    number = _args.int32("value", value)
    byte = _args.byte("address", address)
    return _LAYOUT.pack(number, ~number & 0xFFFFFFFF, number, byte, byte ^ 0xFF, byte, byte ^ 0xFF)


def decode_value_block(block: _args.BytesLike) -> ValueBlock:
    """Checks a 16-byte value block and returns its :class:`ValueBlock`.

    Raises :class:`ValueBlockError` when the block has the wrong length or its
    copies disagree (the block is not a value block, or it is damaged).
    """
    try:
        data = _args.data("block", block, 16)
    except ValueError as error:
        raise ValueBlockError(str(error)) from None
    value, inverted, copy, a0, a1, a2, a3 = _LAYOUT.unpack(data)
    if value != copy or (value & 0xFFFFFFFF) != (~inverted & 0xFFFFFFFF):
        raise ValueBlockError(f"the value copies disagree: {data[:12].hex(' ').upper()}")
    if a0 != a2 or a1 != a3 or a0 != a1 ^ 0xFF:
        raise ValueBlockError(f"the address copies disagree: {data[12:].hex(' ').upper()}")
    return ValueBlock(value, a0)


def is_value_block(block: _args.BytesLike) -> bool:
    """Whether `block` is a well-formed 16-byte value block."""
    try:
        decode_value_block(block)
    except ValueBlockError:
        return False
    return True
