"""Exceptions raised for the library's result codes."""

from typing import Dict, Optional, Type

__all__ = [
    "MifareZUBError",
    "NoLinkError",
    "ExchangeError",
    "CardError",
    "ValueBlockError",
    "NO_LINK",
    "EXCHANGE_FAILED",
    "error_for",
    "STATUS_DESCRIPTIONS",
    "STATUS_NAMES",
    "describe",
]

#: No open link (or the reader could not be opened).
NO_LINK = -1
#: The exchange with the reader failed (no reply, damaged or foreign reply).
EXCHANGE_FAILED = -2

# Every named result code, as MifareZUB.h names them (MZ_STATUS_ + the name
# here) with the same English descriptions; a test keeps the three (header,
# this module, zubtool) in agreement. The library's own text (Chinese) comes
# from ErrMsg: mifarezub.message(code).
STATUS_OK = 0
STATUS_NO_CARD = 1
STATUS_CRC_ERROR = 2
STATUS_VALUE_OVERFLOW = 3
STATUS_WRONG_KEY = 4
STATUS_PARITY_ERROR = 5
STATUS_CARD_ERROR = 6
STATUS_INVALID_SERIAL = 8
STATUS_NO_PERMISSION = 16
STATUS_BIT_COUNT_ERROR = 17
STATUS_BYTE_COUNT_ERROR = 18
STATUS_WAITING = 19
STATUS_VALUE_STORE_ERROR = 20
STATUS_WRITE_ERROR = 21
STATUS_INCREMENT_ERROR = 22
STATUS_DECREMENT_ERROR = 23
STATUS_READ_ERROR = 24
STATUS_POLL = 32
STATUS_NOT_IMPLEMENTED = 255
STATUS_NO_LINK = NO_LINK
STATUS_EXCHANGE_FAILED = EXCHANGE_FAILED

#: English description of each named code.
STATUS_DESCRIPTIONS: Dict[int, str] = {
    STATUS_OK: "success",
    STATUS_NO_CARD: "no card answers, or the sector is not authenticated",
    STATUS_CRC_ERROR: "CRC error in the exchange with the card",
    STATUS_VALUE_OVERFLOW: "value overflow",
    STATUS_WRONG_KEY: "wrong key",
    STATUS_PARITY_ERROR: "parity error in the exchange with the card",
    STATUS_CARD_ERROR: "the exchange with the card failed",
    STATUS_INVALID_SERIAL: "invalid serial number",
    STATUS_NO_PERMISSION: "the access conditions forbid it",
    STATUS_BIT_COUNT_ERROR: "wrong bit count in the exchange with the card",
    STATUS_BYTE_COUNT_ERROR: "wrong byte count in the exchange with the card",
    STATUS_WAITING: "waiting for DV",
    STATUS_VALUE_STORE_ERROR: "nothing to transfer, or the value was not stored",
    STATUS_WRITE_ERROR: "write failed, or the block is outside the card",
    STATUS_INCREMENT_ERROR: "increment failed: not a value block",
    STATUS_DECREMENT_ERROR: "decrement or restore failed: not a value block",
    STATUS_READ_ERROR: "read failed, or the block is outside the card",
    STATUS_POLL: "poll",
    STATUS_NOT_IMPLEMENTED: "the reader does not know the command",
    STATUS_NO_LINK: "reader not open or not answering",
    STATUS_EXCHANGE_FAILED: "no valid reply from the reader",
}

#: The name of each named code ("STATUS_WRONG_KEY"; MZ_ + it in the C header).
STATUS_NAMES: Dict[int, str] = {
    value: name
    for name, value in list(globals().items())
    if name.startswith("STATUS_") and isinstance(value, int)
}


def describe(code: int) -> str:
    """The English description of a result code ("unknown result" without a name)."""
    return STATUS_DESCRIPTIONS.get(code, "unknown result")


class MifareZUBError(Exception):
    """A call into the library returned a nonzero result code.

    Attributes:
        code: the result code (-1, -2, or the reader's status byte 1 to 255).
        text: the library's message for the code (Simplified Chinese).
        function: the name of the library function that returned it.
        description: its meaning in English.

    Shown as ``mif_Authentication: wrong key (密码错, 4)``.
    """

    def __init__(self, code: int, text: str, function: Optional[str] = None,
                 description: Optional[str] = None) -> None:
        super().__init__(code, text, function)
        self.code = code
        self.text = text
        self.function = function
        #: What the code means in English ("wrong key"), or, for a reader
        #: that is plugged in but could not be opened, why.
        self.description = description if description is not None else describe(code)

    def __str__(self) -> str:
        where = f"{self.function}: " if self.function else ""
        return f"{where}{self.description} ({self.text}, {self.code})"


class NoLinkError(MifareZUBError):
    """Result -1: the reader is not open, or could not be opened."""


class ExchangeError(MifareZUBError):
    """Result -2: no valid reply from the reader within 100 ms."""


class CardError(MifareZUBError):
    """Result 1 to 255: the reader's status byte for a card command."""

    @property
    def status(self) -> int:
        """The reader's status byte (the same number as :attr:`code`)."""
        return self.code


class ValueBlockError(ValueError):
    """A block does not hold a well-formed value block."""


def error_for(code: int, text: str, function: Optional[str] = None,
              description: Optional[str] = None) -> MifareZUBError:
    """The exception for a nonzero result code."""
    cls: Type[MifareZUBError]
    if code == NO_LINK:
        cls = NoLinkError
    elif code == EXCHANGE_FAILED:
        cls = ExchangeError
    elif 0 < code <= 255:
        cls = CardError
    else:
        cls = MifareZUBError
    return cls(code, text, function, description)


# Shown and pickled as the package's own: mifarezub.CardError.
for _cls in (MifareZUBError, NoLinkError, ExchangeError, CardError, ValueBlockError):
    _cls.__module__ = "mifarezub"


__all__ += sorted(name for name in STATUS_NAMES.values())
