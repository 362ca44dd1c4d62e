"""Exceptions raised for the library's result codes."""

__all__ = [
    "MifareZUBError",
    "NoLinkError",
    "ExchangeError",
    "CardError",
    "ValueBlockError",
    "NO_LINK",
    "EXCHANGE_FAILED",
    "error_for",
]

#: No open link (or the reader could not be opened).
NO_LINK = -1
#: The exchange with the reader failed (no reply, damaged or foreign reply).
EXCHANGE_FAILED = -2


class MifareZUBError(Exception):
    """A call into the library returned a nonzero result code.

    Attributes:
        code: the result code (-1, -2, or the reader's status byte 1 to 255).
        text: the library's message for the code (Simplified Chinese).
        function: the name of the library function that returned it.
    """

    def __init__(self, code, text, function=None):
        super().__init__(code, text, function)
        self.code = code
        self.text = text
        self.function = function

    def __str__(self):
        where = f"{self.function}: " if self.function else ""
        return f"{where}{self.text} (result {self.code})"


class NoLinkError(MifareZUBError):
    """Result -1: the reader is not open, or could not be opened."""


class ExchangeError(MifareZUBError):
    """Result -2: no valid reply from the reader within 100 ms."""


class CardError(MifareZUBError):
    """Result 1 to 255: the reader's status byte for a card command."""

    @property
    def status(self):
        """The reader's status byte (the same number as :attr:`code`)."""
        return self.code


class ValueBlockError(ValueError):
    """A block does not hold a well-formed value block."""


def error_for(code, text, function=None):
    """The exception for a nonzero result code."""
    if code == NO_LINK:
        cls = NoLinkError
    elif code == EXCHANGE_FAILED:
        cls = ExchangeError
    elif 0 < code <= 255:
        cls = CardError
    else:
        cls = MifareZUBError
    return cls(code, text, function)
