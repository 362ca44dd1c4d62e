"""Whole sessions through the Reader against the virtual reader."""

import pytest

import mifarezub
from mifarezub import KEY_A, KEY_B, CardError, NoLinkError, Reader

from conftest import CARD_4K, TRANSPORT_KEY

GREETING = b"Hello, card!\x00\x00\x00\xff"


def test_card_session(library, sim):
    with Reader(0, library) as reader:
        assert reader.is_open and sim.device_open()

        assert reader.request() == 0x0400
        serial = reader.anticollision()
        assert serial == bytes.fromhex("1A7B8C54B9")
        assert reader.select(serial) == 0x08

        reader.load_key(KEY_A, 0, TRANSPORT_KEY)
        assert sim.stored_key(KEY_A, 0) == TRANSPORT_KEY
        reader.authenticate(KEY_A, 0, 4)

        assert reader.read(4) == bytes(16)
        reader.write(4, GREETING)
        assert reader.read(4) == GREETING
        assert sim.block(4) == GREETING

        reader.write_value(5, 100)
        assert sim.block(5) == mifarezub.encode_value_block(100, 5)
        reader.increment(5, 25)
        reader.transfer(5)
        reader.decrement(5, 10)
        reader.transfer(5)
        assert reader.read_value(5) == 115
        reader.restore(5)
        reader.transfer(6)
        # The transfer keeps the source block's address byte.
        assert mifarezub.decode_value_block(reader.read(6)) == (115, 5)

        reader.halt()
        with pytest.raises(CardError) as idle:
            reader.request(all_cards=False)
        assert idle.value.status == 1
        card = reader.select_card(all_cards=True)
        assert card.uid == bytes.fromhex("1A7B8C54") and card.sak == 0x08

        reader.beep()
        assert sim.beeper_on()
        reader.beep(False)
        reader.beep_ms(0)
        assert not sim.beeper_on() and sim.beep_count() == 2
        reader.led(1)
        assert sim.led_on(1)
        reader.led(1, on=False)
        assert not sim.led_on(1)
        reader.led_level(127)
        assert sim.led_level() == 127
        reader.relay(1, True)

    assert not reader.is_open and not sim.device_open()
    with pytest.raises(NoLinkError):
        reader.halt()


def test_4k_card_and_a_select_by_uid(reader, sim):
    uid = bytes.fromhex("DEADBEEF")
    sim.new_card(CARD_4K, uid)
    assert reader.request() == 0x0200
    assert reader.anticollision() == mifarezub.serial_of(uid)
    assert reader.select(uid) == 0x18
    # Block 200 lies in a 16-block sector of the 4K card's upper area.
    reader.load_key(KEY_A, 7, TRANSPORT_KEY)
    reader.authenticate(KEY_A, 7, 200)
    reader.write(200, GREETING)
    assert sim.block(200) == GREETING
    # Key B is readable in the transport configuration, so it cannot
    # authenticate.
    reader.load_key(KEY_B, 7, TRANSPORT_KEY)
    with pytest.raises(CardError) as refused:
        reader.authenticate(KEY_B, 7, 200)
    assert refused.value.code == 16


def test_a_failed_authentication_needs_a_new_select(reader):
    reader.select_card()
    reader.load_key(KEY_A, 1, bytes.fromhex("A0A1A2A3A4A5"))
    with pytest.raises(CardError) as wrong:
        reader.authenticate(KEY_A, 1, 4)
    assert wrong.value.code == 4
    reader.load_key(KEY_A, 0, TRANSPORT_KEY)
    with pytest.raises(CardError):
        reader.authenticate(KEY_A, 0, 4)
    reader.select_card()
    reader.authenticate(KEY_A, 0, 4)
    assert reader.read(4) == bytes(16)


def test_reopening_a_reader_and_a_second_reader_taking_over(library, sim):
    first = Reader(0, library)
    first.close()
    first.close()  # harmless
    assert not sim.device_open()
    first.open()
    assert first.is_open and sim.device_open()

    second = Reader(0, library)
    assert second.is_open and not first.is_open
    with pytest.raises(NoLinkError) as stale:
        first.beep()
    assert stale.value.code == -1 and stale.value.function == "zub_beep"
    assert sim.beep_count() == 0

    first.close()  # must not close the link second holds
    assert sim.device_open()
    second.beep()
    assert sim.beep_count() == 1
    second.close()
    assert not sim.device_open()


def test_reader_opens_through_the_environment_variable(sim):
    # No library given: the reader finds it through MIFAREZUB_LIBRARY.
    with Reader() as reader:
        assert reader.request() == 0x0400
    assert not sim.device_open()


def test_the_with_block_closes_on_an_exception(library, sim):
    with pytest.raises(CardError):
        with Reader(0, library) as reader:
            reader.read(4)
    assert not sim.device_open()
