"""Result codes become exceptions with the right code and text."""

import pytest

import mifarezub
from mifarezub import (
    KEY_A,
    CardError,
    ExchangeError,
    NoLinkError,
    Reader,
)

from conftest import (
    FAULT_BAD_CHECK,
    FAULT_LOST_REQUEST,
    FAULT_NO_REPLY,
    FAULT_OTHER_COMMAND,
    FAULT_STATUS,
    FAULT_TRUNCATED,
)


@pytest.mark.parametrize(
    "action, function, code, text",
    [
        (lambda r: r.read(8), "mif_Read", 1, "没有卡或密码错"),
        (lambda r: (r.authenticate(KEY_A, 0, 0), r.write(0, bytes(16))), "mif_Write", 16, "无读写权限"),
        (lambda r: r.increment(4, 1), "mif_Increment", 22, "增值操作错"),
        (lambda r: r.decrement(4, 1), "mif_Decrement", 23, "减值操作错"),
        (lambda r: r.restore(4), "mif_Restore", 23, "减值操作错"),
        (lambda r: r.transfer(5), "mif_Transfer", 20, "值保存错"),
        (lambda r: r.load_key(2, 0, bytes(6)), "mif_LoadKey", 255, "功能未实现"),
        (lambda r: r.authenticate(KEY_A, 9, 4), "mif_Authentication", 4, "密码错"),
    ],
    ids=["other-sector", "block-0", "increment", "decrement", "restore", "empty-transfer", "key-type", "empty-slot"],
)
def test_reader_statuses(authenticated, action, function, code, text):
    with pytest.raises(CardError) as raised:
        action(authenticated)
    error = raised.value
    assert (error.code, error.status, error.text, error.function) == (code, code, text, function)
    assert error.description == mifarezub.describe(code)
    assert str(error) == f"{function}: {mifarezub.describe(code)} ({text}, {code})"


def test_errors_read_in_english_and_belong_to_the_package(authenticated):
    with pytest.raises(CardError) as raised:
        authenticated.authenticate(KEY_A, 9, 4)
    assert str(raised.value) == "mif_Authentication: wrong key (密码错, 4)"
    for cls in (mifarezub.MifareZUBError, CardError, ExchangeError, NoLinkError,
                mifarezub.ValueBlockError, mifarezub.LibraryLoadError):
        assert cls.__module__ == "mifarezub" and getattr(mifarezub, cls.__name__) is cls
    assert repr(mifarezub.LibraryLoadError("x")) == "LibraryLoadError('x')"
    assert "32-bit" not in mifarezub.__doc__


def test_value_overflow(authenticated):
    authenticated.write_value(5, mifarezub.VALUE_MAX)
    with pytest.raises(CardError) as raised:
        authenticated.increment(5, 1)
    assert (raised.value.code, raised.value.text) == (3, "数值溢出")


def test_no_card_in_the_field(reader, sim):
    sim.take_out_card()
    with pytest.raises(CardError) as raised:
        reader.request()
    assert raised.value.code == 1


@pytest.mark.parametrize(
    "fault, arg",
    [(FAULT_NO_REPLY, 0), (FAULT_LOST_REQUEST, 0), (FAULT_BAD_CHECK, 0), (FAULT_OTHER_COMMAND, -1), (FAULT_TRUNCATED, 3)],
    ids=["no-reply", "lost-request", "bad-check", "other-command", "truncated"],
)
def test_failed_exchanges(reader, sim, fault, arg):
    sim.fault_exchange(fault, arg)
    with pytest.raises(ExchangeError) as raised:
        reader.load_key(KEY_A, 0, bytes(6))
    assert (raised.value.code, raised.value.text, raised.value.function) == (-2, "串口通讯错", "mif_LoadKey")
    # The link stays open: the next command goes through.
    assert reader.request() == 0x0400


def _short(sim):
    # Status 0 and no fields: the library gives 2 digits where 10 or 32 belong.
    sim.fault_exchange(FAULT_STATUS, 0)


@pytest.mark.parametrize(
    "call, function",
    [(lambda r, sim: (r.halt(), r.request(), _short(sim), r.anticollision()), "mif_Anticollision"),
     (lambda r, sim: (_short(sim), r.read(4)), "mif_Read"),
     (lambda r, sim: (r.write_value(5, 1), _short(sim), r.read_value(5)), "mif_Read")],
    ids=["serial", "block", "value-block"],
)
def test_short_texts_are_no_data(authenticated, sim, call, function):
    with pytest.raises(ExchangeError) as raised:
        call(authenticated, sim)
    error = raised.value
    assert (error.code, error.text, error.function) == (-2, "串口通讯错", function)
    assert error.description == "no valid reply from the reader"


def test_no_reader_at_the_index(library, sim):
    sim.set_device_index(-1)
    with pytest.raises(NoLinkError) as raised:
        Reader(0, library)
    assert (raised.value.code, raised.value.text, raised.value.function) == (-1, "串口错", "OpenComm")
    # The virtual reader cannot tell more than "no reader".
    assert str(raised.value) == "OpenComm: reader not open or not answering (串口错, -1)"
    sim.set_device_index(3)
    with Reader(3, library) as reader:
        assert reader.request() == 0x0400


@pytest.mark.parametrize(
    "code, text",
    [
        (0, "OK"),
        (1, "没有卡或密码错"),
        (2, "卡通讯CRC校验错"),
        (19, "等待DV"),
        (32, "POLL"),
        (255, "功能未实现"),
        (-1, "串口错"),
        (-2, "串口通讯错"),
        (7, "错误：7"),
        (256, "错误：256"),
        (-3, "错误：-3"),
        (-(2**31), "错误：-2147483648"),
    ],
)
def test_messages(library, code, text):
    assert mifarezub.message(code, library) == text


@pytest.mark.parametrize(
    "call, exception",
    [
        (lambda r: r.read(256), ValueError),
        (lambda r: r.read(-1), ValueError),
        (lambda r: r.read("4"), TypeError),
        (lambda r: r.write(4, bytes(15)), ValueError),
        (lambda r: r.write(4, "00" * 16), TypeError),
        (lambda r: r.load_key(KEY_A, 0, bytes(5)), ValueError),
        (lambda r: r.load_key(KEY_A, 256, bytes(6)), ValueError),
        (lambda r: r.select(bytes(3)), ValueError),
        (lambda r: r.increment(5, 2**31), ValueError),
        (lambda r: r.led_level(128), ValueError),
        (lambda r: r.beep_ms(-1), ValueError),
    ],
)
def test_arguments_refused_before_anything_is_sent(reader, sim, call, exception):
    with pytest.raises(exception):
        call(reader)
    # Had any frame gone out, the card would have left its idle state and
    # this request would be refused.
    assert reader.request() == 0x0400


def test_the_status_constants_are_the_packages_own():
    """The MZ_STATUS_ names reach hosts from the package itself."""
    assert mifarezub.STATUS_WRONG_KEY == 4 and mifarezub.STATUS_NO_LINK == mifarezub.NO_LINK
    named = {name for name in mifarezub.__all__ if name.startswith("STATUS_") and name not in
             ("STATUS_NAMES", "STATUS_DESCRIPTIONS")}
    assert named == set(mifarezub.STATUS_NAMES.values())
    assert mifarezub.describe(mifarezub.STATUS_NO_PERMISSION) == "the access conditions forbid it"
