#!/usr/bin/env python3
"""End-to-end tests of keys --out FILE --resume against the virtual reader:
the earlier file's settled sector keys are not searched again (counted from
the virtual reader's trace), its keys are tried first, the merged result is
written back, and a file for another card, or not written by keys, is
refused with nothing searched.

    zubtool_resume_test.py PATH/TO/zubtool
"""
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zubtool_test import Tool  # noqa: E402
from zubtool_cards_test import Card, access_bytes, trailer, AUTH  # noqa: E402

# Key B hidden from key A (trailer condition 011), so both key types are searched.
BITS = access_bytes([0, 0, 0, 3]).hex().upper()
KEYS = {1: ("0102030405AA", "0102030405BB"), 2: ("A1A2A3A4A5A6", "B1B2B3B4B5B6")}
HEADER = "# keys found on the card 1A7B8C54 (MIFARE Classic 1K) by zubtool keys\n"


def card_image():
    image = bytearray(1024)
    for sector in range(16):
        a, b = KEYS.get(sector, ("FFFFFFFFFFFF", "FFFFFFFFFFFF"))
        image[64 * sector + 48:64 * sector + 64] = bytes.fromhex(trailer(a, BITS, b))
    return image


def auths(card):
    """(key type, block) of every authentication sent, and clears the trace."""
    return [(p[0][3], p[0][5]) for p in card.exchanges() if p[0][1] == AUTH]


def main():
    t = Tool(os.path.abspath(sys.argv[1]), None)
    with tempfile.TemporaryDirectory() as work:
        card = Card(t, work, "resume", card_image())
        out = os.path.join(work, "found.txt")
        all_keys = ["--no-default-key"]
        for a, b in KEYS.values():
            all_keys += ["--key", a, "--key", b]
        all_keys += ["--key", "FFFFFFFFFFFF"]

        # An earlier search cut short: sector 0 settled, sector 1's key A found.
        with open(out, "w") as f:
            f.write(HEADER + "FFFFFFFFFFFF  # sector 0 key A\nFFFFFFFFFFFF  # sector 0 key B\n"
                    "0102030405AA  # sector 1 key A\n"
                    "# the search was interrupted: sectors after the last above were not searched\n")
        card.exchanges()
        stdout = t.check("resume: the rest is searched", all_keys + ["keys", "--out", out, "--resume"],
                         card.env(), out=[r"^resumed from .*: 3 sector keys settled there",
                                          r"^     1  0102030405AA  0102030405BB$",
                                          r"^     2  A1A2A3A4A5A6  B1B2B3B4B5B6$",
                                          r"^    15  FFFFFFFFFFFF  FFFFFFFFFFFF$"])
        tried = auths(card)
        t.expect("resume: sector 0 is not searched again", all(b not in range(0, 4) for _, b in tried),
                 tried)
        t.expect("resume: sector 1 key A is not searched again",
                 not any(b in range(4, 8) and k == 0 for k, b in tried), tried)
        t.expect("resume: sector 1 key B is searched", any(b in range(4, 8) and k == 1
                                                           for k, b in tried), tried)
        with open(out) as f:
            merged = f.read()
        t.expect("resume: the merged file holds the earlier keys and the new ones",
                 merged.startswith(HEADER) and "FFFFFFFFFFFF  # sector 0 key B" in merged
                 and "0102030405AA  # sector 1 key A" in merged
                 and "B1B2B3B4B5B6  # sector 2 key B" in merged and "interrupted" not in merged,
                 merged)

        # A file that settled everything: no key is tried at all.
        t.check("resume of a finished search tries nothing", all_keys + ["keys", "--out", out, "--resume"],
                card.env(), out=[r"32 sector keys settled"])
        tried = auths(card)
        t.expect("resume of a finished search: no authentication", tried == [], tried)

        # The earlier keys come first: sector 2's keys are found with only the file's keys.
        stdout = t.check("resume: the file's keys are tried", ["--no-default-key", "keys", "--out", out,
                                                               "--resume", "--json"], card.env())
        t.expect("resume --json counts what was settled", '"resumed": 32' in stdout, stdout)

        # Sectors searched in vain are recorded and skipped; a new key list does not reopen them.
        lost = os.path.join(work, "lost.txt")
        t.check("a search in vain", ["--no-default-key", "--key", "FFFFFFFFFFFF", "keys", "--out", lost],
                card.env(), status=1)
        with open(lost) as f:
            text = f.read()
        t.expect("the file records the sector keys searched in vain",
                 "# sector 1 key A: none of the keys tried opens it" in text
                 and "# sector 2 key B: none of the keys tried opens it" in text, text)
        card.exchanges()
        t.check("resume skips what was searched in vain", all_keys + ["keys", "--out", lost, "--resume"],
                card.env(), status=1)
        tried = auths(card)
        t.expect("resume skips what was searched in vain: no authentication", tried == [], tried)

        # Refused: another card's file, a file not written by keys, --resume without --out.
        other = os.path.join(work, "other.txt")
        with open(other, "w") as f:
            f.write(HEADER.replace("1A7B8C54", "01020304") + "0102030405AA  # sector 1 key A\n")
        refusals = [
            ("another card's file", ["keys", "--out", other, "--resume"], 1,
             r"it is for the card 01020304, the card in the field is 1A7B8C54; nothing was searched"),
            ("--resume without --out", ["keys", "--resume"], 2, r"give --out as well"),
        ]
        junk = os.path.join(work, "junk.txt")
        with open(junk, "w") as f:
            f.write("FFFFFFFFFFFF\n")
        refusals.append(("a file keys did not write", ["keys", "--out", junk, "--resume"], 2,
                         r"does not name the card it was written for"))
        for name, args, status, message in refusals:
            before = open(args[2]).read() if args[1] == "--out" else None
            t.check("resume refused: " + name, args, card.env(), status=status, err=[message])
            t.expect("resume refused: %s: nothing searched" % name, auths(card) == [])
            if before is not None:
                t.expect("resume refused: %s: the file is kept" % name, open(args[2]).read() == before)

        # No file yet: the search starts from the beginning and writes it.
        fresh = os.path.join(work, "fresh.txt")
        t.check("resume with no file yet and no key is refused",
                ["--no-default-key", "keys", "--out", os.path.join(work, "none.txt"), "--resume"],
                card.env(), status=2, err=[r"no key to try"])
        t.check("resume with no file yet", all_keys + ["keys", "--out", fresh, "--resume"], card.env(),
                err=[r"does not exist yet"], out=[r"^     2  A1A2A3A4A5A6  B1B2B3B4B5B6$"])

    print(f"{t.passed} passed, {t.failures} failed")
    return 1 if t.failures else 0


if __name__ == "__main__":
    sys.exit(main())
