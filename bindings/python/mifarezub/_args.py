"""Checks of the arguments passed on to the library."""

import operator
from typing import Union

#: What a method taking bytes accepts.
BytesLike = Union[bytes, bytearray, memoryview]

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


def integer(name: str, value: object, low: int, high: int) -> int:
    """`value` as an int within low..high; TypeError or ValueError otherwise."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} {number} is outside {low} to {high}")
    return number


def byte(name: str, value: object) -> int:
    return integer(name, value, 0, 255)


def int32(name: str, value: object) -> int:
    return integer(name, value, INT32_MIN, INT32_MAX)


def data(name: str, value: object, *lengths: int) -> bytes:
    """A bytes-like `value` of one of the given lengths, as bytes."""
    if isinstance(value, (str, int)) or value is None:
        raise TypeError(f"{name} must be bytes, not {type(value).__name__}")
    try:
        result: bytes = bytes(value)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be bytes, not {type(value).__name__}") from None
    if len(result) not in lengths:
        wanted = " or ".join(str(n) for n in lengths)
        raise ValueError(f"{name} must have {wanted} bytes, not {len(result)}")
    return result
