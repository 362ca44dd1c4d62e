"""Value blocks: the format, round trips and damaged blocks."""

import pytest

from mifarezub import (
    VALUE_MAX,
    VALUE_MIN,
    ValueBlock,
    ValueBlockError,
    decode_value_block,
    encode_value_block,
    is_value_block,
)

EXAMPLE = bytes.fromhex("87D61200 7829EDFF 87D61200 11EE11EE")


def test_the_documented_layout():
    assert encode_value_block(1234567, 17) == EXAMPLE
    assert decode_value_block(EXAMPLE) == ValueBlock(1234567, 17)


@pytest.mark.parametrize("value", [0, 1, -1, 100, 1234567, -1234567, VALUE_MAX, VALUE_MIN])
@pytest.mark.parametrize("address", [0, 5, 0x80, 255])
def test_round_trip(value, address):
    block = encode_value_block(value, address)
    assert len(block) == 16
    assert decode_value_block(block) == (value, address)
    assert decode_value_block(bytearray(block)).value == value


@pytest.mark.parametrize("position", range(16))
def test_any_damaged_byte_is_caught(position):
    damaged = bytearray(EXAMPLE)
    damaged[position] ^= 0x01
    assert not is_value_block(damaged)
    with pytest.raises(ValueBlockError):
        decode_value_block(damaged)


@pytest.mark.parametrize(
    "block",
    [bytes(16), b"\xff" * 16, EXAMPLE[:15], EXAMPLE + b"\x00"],
    ids=["zeros", "ones", "short", "long"],
)
def test_blocks_that_are_not_value_blocks(block):
    with pytest.raises(ValueBlockError):
        decode_value_block(block)


@pytest.mark.parametrize(
    "value, address", [(VALUE_MAX + 1, 0), (VALUE_MIN - 1, 0), (0, 256), (0, -1)]
)
def test_encoding_refuses_what_does_not_fit(value, address):
    with pytest.raises(ValueError):
        encode_value_block(value, address)


def test_the_card_agrees_with_the_encoding(authenticated, sim):
    # The card's own increment works on what the helper wrote and leaves a
    # block the helper reads back.
    authenticated.write(6, encode_value_block(-5, 6))
    authenticated.increment(6, 7)
    authenticated.transfer(6)
    assert decode_value_block(sim.block(6)) == (2, 6)


def test_read_value_refuses_a_data_block(authenticated):
    authenticated.write(4, EXAMPLE[:12] + bytes(4))
    with pytest.raises(ValueBlockError):
        authenticated.read_value(4)
