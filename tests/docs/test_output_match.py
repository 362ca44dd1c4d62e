"""How the docs test compares a guide's sample output with what was printed."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from docs_test import output_matches, transcript  # noqa: E402

PRINTED = "access bits FF 07 80\n  block 8, C1C2C3 000: read\n  trailer (block 11), C1C2C3 001\nkey B: FFFFFFFFFFFF\n"


@pytest.mark.parametrize("sample, matches", [
    (PRINTED, True),
    # wrapped differently, spaces differently: the same words
    ("access bits FF 07 80 block 8,\n C1C2C3 000:   read trailer (block 11), C1C2C3 001 key B: FFFFFFFFFFFF", True),
    # "..." for the lines left out, at the start, inside, at the end
    ("... trailer (block 11), C1C2C3 001\nkey B: FFFFFFFFFFFF", True),
    ("access bits FF 07 80\n...\nkey B: FFFFFFFFFFFF", True),
    ("access bits FF 07 80\n...", True),
    ("... C1C2C3 000: ... C1C2C3 001 ...", True),
    # a word that differs anywhere, or words in another order
    ("access bits 7F 07 88\n...", False),
    ("... key B: 000000000000", False),
    ("... C1C2C3 001 ... C1C2C3 000: ...", False),
    # what is left out without "..." is missing, and so is what is added
    ("access bits FF 07 80", False),
    (PRINTED + "session complete", False),
    # the end group may not overlap what the start matched
    ("access bits FF 07 80 ... 80 block", False),
])
def test_output_matches(sample, matches):
    assert output_matches(sample, PRINTED) is matches


def test_transcript_splits_commands_from_their_outputs():
    text = "$ zubtool write --force 15 X\nzubtool: refused\n(see help)\n$ zubtool scan\n$ true\nok\n"
    assert transcript(text) == [("zubtool write --force 15 X", "zubtool: refused\n(see help)"),
                                ("zubtool scan", ""), ("true", "ok")]
