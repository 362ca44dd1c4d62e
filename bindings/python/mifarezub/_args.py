"""Checks of the arguments passed on to the library."""

import operator

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


def integer(name, value, low, high):
    """`value` as an int within low..high; TypeError or ValueError otherwise."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= value <= high:
        raise ValueError(f"{name} {value} is outside {low} to {high}")
    return value


def byte(name, value):
    return integer(name, value, 0, 255)


def int32(name, value):
    return integer(name, value, INT32_MIN, INT32_MAX)


def data(name, value, *lengths):
    """A bytes-like `value` of one of the given lengths, as bytes."""
    if isinstance(value, (str, int)) or value is None:
        raise TypeError(f"{name} must be bytes, not {type(value).__name__}")
    try:
        value = bytes(value)
    except TypeError:
        raise TypeError(f"{name} must be bytes, not {type(value).__name__}") from None
    if len(value) not in lengths:
        wanted = " or ".join(str(n) for n in lengths)
        raise ValueError(f"{name} must have {wanted} bytes, not {len(value)}")
    return value
