"""Reader.wait_for_card polls the field as zubtool scan --wait does."""

import threading
import time

import pytest

from mifarezub import ExchangeError

from conftest import FAULT_NO_REPLY


def test_a_card_in_the_field_is_selected_at_once(reader):
    start = time.monotonic()
    card = reader.wait_for_card(5)
    assert (card.uid.hex(), card.sak) == ("1a7b8c54", 0x08)
    assert time.monotonic() - start < 1


@pytest.mark.parametrize("timeout", [0, 0.3])
def test_no_card_within_the_timeout_gives_none(reader, sim, timeout):
    sim.take_out_card()
    start = time.monotonic()
    assert reader.wait_for_card(timeout) is None
    waited = time.monotonic() - start
    assert timeout <= waited < timeout + 0.5


def test_a_card_that_comes_later_is_waited_for(reader, sim):
    sim.take_out_card()
    later = threading.Timer(0.35, sim.put_back_card)
    later.start()
    try:
        start = time.monotonic()
        card = reader.wait_for_card()  # no timeout: until it comes
        assert card is not None and card.uid.hex() == "1a7b8c54"
        assert time.monotonic() - start >= 0.3
    finally:
        later.join()
    # Selected: the sector can be opened straight away.
    reader.load_key(0, 0, bytes.fromhex("FFFFFFFFFFFF"))
    reader.authenticate(0, 0, 4)


def test_a_reader_that_stops_answering_ends_the_wait(reader, sim):
    sim.take_out_card()
    sim.fault_exchange(FAULT_NO_REPLY, 0, 1000)
    start = time.monotonic()
    with pytest.raises(ExchangeError):
        reader.wait_for_card(10)
    assert time.monotonic() - start < 2


@pytest.mark.parametrize("timeout, interval", [(-1, 0.1), (float("nan"), 0.1), (1, 0), (1, -0.5)])
def test_bad_times_are_refused(reader, timeout, interval):
    with pytest.raises(ValueError):
        reader.wait_for_card(timeout, interval)
