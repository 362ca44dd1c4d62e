#!/usr/bin/env python3
"""End-to-end tests of the dump formats, restore's image checks, convert and
diff, against the virtual reader.

    zubtool_formats_test.py PATH/TO/zubtool
"""
import json
import os
import random
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zubtool_test import Tool  # noqa: E402
from zubtool_cards_test import Card, WRITE, trailer  # noqa: E402

NFC_HEAD = ("Filetype: Flipper NFC device\nVersion: 4\nDevice type: Mifare Classic\n"
            "UID: 1A 7B 8C 54\nATQA: 00 04\nSAK: 08\nMifare Classic type: 1K\nData format version: 2\n")


def nfc_line(block, data):
    return f"Block {block}: " + " ".join(data[i:i + 2] for i in range(0, 32, 2)) + "\n"


DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "formats")
FORMATS = ("mfd", "mct", "eml", "json", "nfc")
CARRY = ("mct", "json", "nfc")
# The files from the field in DATA: the card each one is, its unknown bytes,
# and what reading it must say of what it left out.
FIELD = {
    "mini.eml": ("MIFARE Mini", 0, None),
    "1k-7byte-partial.mct": ("MIFARE Classic 1K", 838, r"sectors 2, 4 to 15 are not in the file"),
    "2k.mct": ("MIFARE Classic 2K", 1856, r"sectors 2 to 30 are not in the file"),
    "4k-v2-short.nfc": ("MIFARE Classic 4K", 3887, r"blocks 14 to 255 are not in the file"),
}


def image_of(path):
    """Blocks, unknown masks and card facts of a zubtool json file."""
    with open(path) as f:
        doc = json.load(f)
    return doc["blocks"], doc.get("UnknownBytes", {}), doc["Card"]


def round_trip_table(t, work):
    """Every file from the field through each format and back, and through a
    chain of all three that mark unknown bytes: the table the closing note
    gives. exact: the size, every byte and whether it is known unchanged;
    known kept: raw and eml cannot mark unknown bytes, every known one kept."""
    path = lambda name: os.path.join(work, name)  # noqa: E731
    rows = []
    for name, (card, unknown, note) in FIELD.items():
        src = os.path.join(DATA, name)
        rc, out, err = t.run(["convert", src, path(name + ".ref.json")])
        said = [line for line in err.splitlines() if f"note: {src}:" in line]
        t.expect(f"{name} reads as a {card}, {unknown} bytes unknown, and says what it left out",
                 rc == 0 and f"({name.rsplit('.', 1)[1]}, {card}" + (f", {unknown} bytes unknown)" if unknown else ")")
                 in out and (re.search(note, "\n".join(said)) if note else not said), out + err)
        ref_blocks, ref_unknown, ref_card = image_of(path(name + ".ref.json"))
        row = [card.replace("MIFARE Classic ", "").replace("MIFARE ", "")]
        chains = [(fmt,) for fmt in FORMATS] + [("nfc", "mct", "json", "mct", "nfc")]
        for chain in chains:
            prev = src
            for i, fmt in enumerate(chain):
                out = path(f"{name}.{i}.{'-'.join(chain)}.{fmt}")
                t.check(f"{name} -> {' -> '.join(chain[:i + 1])}", ["convert", prev, out], out=[rf", {card}[,)]"])
                prev = out
            back = path(f"{name}.{'-'.join(chain)}.back.json")
            t.check(f"{name} -> {' -> '.join(chain)} -> json", ["convert", prev, back])
            blocks, unknown_masks, facts = image_of(back)
            exact = blocks == ref_blocks and unknown_masks == ref_unknown
            carries = all(f in CARRY for f in chain)
            if carries or not ref_unknown:
                t.expect(f"{name} through {'-'.join(chain)}: the same size, bytes and unknown bytes", exact,
                         (len(blocks), len(ref_blocks)))
                # The card facts are kept by the formats that hold them, and never invented.
                if all(f in ("json", "nfc") for f in chain):
                    t.expect(f"{name} through {'-'.join(chain)}: UID, ATQA, SAK kept", facts == ref_card,
                             (facts, ref_card))
                cell = "exact" if exact else "FAIL"
            else:
                def known(b, i, masks):
                    return masks.get(b, "00" * 16)[2 * i:2 * i + 2] == "00"
                kept = len(blocks) == len(ref_blocks) and all(
                    blocks[b][2 * i:2 * i + 2] == ref_blocks[b][2 * i:2 * i + 2]
                    for b in ref_blocks for i in range(16) if known(b, i, ref_unknown))
                t.expect(f"{name} through {chain[0]}: the same size and every known byte", kept)
                cell = "known kept" if kept else "FAIL"
            t.expect(f"{name} through {'-'.join(chain)}: no fact invented",
                     all(facts.get(k) in (None, ref_card.get(k)) for k in ("UID", "ATQA", "SAK")), facts)
            row.append(cell)
        rows.append(row)
    head = ["card"] + list(FORMATS) + ["nfc-mct-json-mct-nfc"]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    print("round trip, file -> FORMAT -> json, against file -> json:")
    for r in [head] + rows:
        print("  " + "  ".join(c.ljust(w) for c, w in zip(r, widths)))


def main():
    t = Tool(sys.argv[1], None)
    work = tempfile.mkdtemp(prefix="zubtool-formats-")
    try:
        round_trip_table(t, work)
        run(t, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"zubtool formats: {t.passed} passed, {t.failures} failed")
    return 1 if t.failures else 0


def run(t, work):
    path = lambda name: os.path.join(work, name)  # noqa: E731
    card = Card(t, work, "card")
    env = card.env()
    t.check("prepare: data", ["write", "4", "48656C6C6F2C2063617264210000FF00"], env)
    t.check("prepare: sector 2 with its own key A, key B hidden",
            ["write", "--force", "11", trailer("A0A1A2A3A4A5", "7F0788", "B0B1B2B3B4B5")], env)

    # A dump that cannot open sector 2 leaves it unknown in every format that can say so.
    for fmt in ("mfd", "mct", "eml", "json", "nfc"):
        out = path("partial." + fmt)
        t.check(f"dump --out .{fmt} of a card with a closed sector", ["dump", "--out", out], env,
                status=1, out=[r"image written to "])
    with open(path("partial.nfc")) as f:
        nfc = f.read()
    t.expect("the .nfc dump marks the closed sector ??", "Block 8: " + " ".join(["??"] * 16) in nfc
             and "Block 4: 48 65 6C 6C 6F" in nfc, nfc[:600])
    with open(path("partial.mct")) as f:
        mct = f.read()
    t.expect("the .mct dump keeps the closed sector, unknown", "+Sector: 2\n" + ("-" * 32 + "\n") * 4 in mct
             and "+Sector: 15\n" in mct, mct[:400])
    with open(path("partial.json")) as f:
        doc = json.load(f)
    t.expect("the .json dump is mfc v2 and lists the unknown bytes",
             doc["FileType"] == "mfc v2" and doc["Card"]["UID"] == "1A7B8C54"
             and doc["UnknownBytes"]["8"] == "FF" * 16 and "KeyA" in doc["SectorKeys"]["0"], doc.get("UnknownBytes"))
    t.check("dump --out to .mfd says the unknown bytes are zeros", ["dump", "--overwrite", "--out", path("partial.mfd")],
            env, status=1, err=[r"partial.mfd: 64 unknown bytes written as zeros or access bytes",
                                r"partial.mfd: sector 2: access bits unknown, written as FF 07 80 69"])
    t.check("dump --out does not replace a file without --overwrite", ["dump", "--out", path("partial.nfc")], env,
            status=2, err=[r"partial.nfc exists; give --overwrite"])

    # Restoring a partial dump writes what it knows, skips what it does not.
    blank = Card(t, work, "blank")
    t.check("restore of a .nfc with an unknown sector skips it",
            ["restore", path("partial.nfc")], blank.env(),
            out=[r"^image UID 1A7B8C54, card UID 1A7B8C54 \(the same card\)$",
                 r"skipped, unknown in the image: blocks 8 9 10", r"^44 of 44 blocks written$"])
    writes = [f[3] for f in blank.requests() if f[1] == WRITE]
    t.expect("nothing of the unknown sector was written", writes and not set(writes) & {8, 9, 10}, writes)
    t.expect("the known data arrived", blank.image()[64:80] == bytes.fromhex("48656C6C6F2C2063617264210000FF00"))

    # A hand-written .nfc with one unknown byte and a trailer with unknown key A.
    text = NFC_HEAD + nfc_line(0, "1A7B8C54B90804006263646566676869")
    text += nfc_line(5, "00112233??5566778899AABBCCDDEEFF") + nfc_line(6, "00" * 15 + "42")
    text += "Block 7: ?? ?? ?? ?? ?? ?? FF 07 80 69 FF FF FF FF FF FF\n"
    with open(path("hand.nfc"), "w") as f:
        f.write(text)
    other = Card(t, work, "other")
    t.check("a block with one unknown byte is skipped", ["restore", path("hand.nfc")], other.env(),
            out=[r"written: 6", r"skipped, unknown in the image: blocks 4 5$"])
    t.expect("block 5 untouched, block 6 written", other.image()[80:96] == bytes(16)
             and other.image()[96:112] == bytes(15) + b"\x42")
    other.refused("a trailer with an unknown key A needs --key-a",
                  ["restore", "--trailers", "--force", path("hand.nfc")], "key A is 000000000000")
    t.check("--key-a gives it", ["restore", "--trailers", "--force", "--key-a", "A0A1A2A3A4A5", path("hand.nfc")],
            other.env(), out=[r"written: 6 7"])
    t.expect("the trailer holds the key given", other.image()[112:118] == bytes.fromhex("A0A1A2A3A4A5"))

    # Images that are no card's are refused before anything is written, dry run or not.
    rnd = random.Random(7)
    noise = bytes(rnd.randrange(256) for _ in range(1024))
    with open(path("noise.mfd"), "wb") as f:
        f.write(noise)
    fresh = Card(t, work, "fresh")
    fresh.refused("restore of random bytes is refused", ["restore", path("noise.mfd")], "not a plausible card image")
    t.check("--dry-run reports the same", ["restore", "--dry-run", path("noise.mfd")], {"ZUBSIM_DEVICE_INDEX": "none"},
            status=2, err=[r"do not match their inverted copy", r"not a plausible card image"])
    image = bytearray(fresh.image())
    image[4] ^= 1
    with open(path("badbcc.mfd"), "wb") as f:
        f.write(image)
    fresh.refused("a wrong check byte in block 0 is refused", ["restore", path("badbcc.mfd")],
                  "block 0: check byte B8 is not the XOR of the UID 1A7B8C54")
    image[4] ^= 1
    image[8 * 16 + 0] = 0x55
    image[0:4] = bytes.fromhex("01020304")
    image[4] = 0x04
    with open(path("copy.mfd"), "wb") as f:
        f.write(image)
    t.check("another card's image is shown, not refused", ["restore", path("copy.mfd")], fresh.env(),
            out=[r"^image UID 01020304, card UID 1A7B8C54 \(another card"])
    t.check("--not-a-card-image writes it anyway", ["restore", "--not-a-card-image", path("noise.mfd")],
            Card(t, work, "victim").env(), err=[r"warning: "], out=[r"blocks written"])

    # convert: every pair, hand-written input, damaged input refused, nothing written.
    formats = ("mfd", "mct", "eml", "json", "nfc")
    for a in formats:
        for b in formats:
            if a == b:
                continue
            out = path(f"conv-{a}.{b}")
            t.check(f"convert {a} -> {b}", ["convert", path("partial." + a), out], out=[r" -> "])
    for fmt in ("mct", "json", "nfc"):
        t.check(f"unknown bytes survive {fmt} -> nfc -> {fmt}",
                ["convert", path(f"conv-{fmt}.nfc" if fmt != "nfc" else "conv-nfc.json"), path(f"back.{fmt}")])
        t.check(f"and diff finds nothing: {fmt}", ["diff", path(f"back.{fmt}"), path("partial.nfc")],
                out=[r"^0 blocks differ; 64 bytes unknown in A or B"])
    with open(path("damaged.mct"), "w") as f:
        f.write("+Sector: 0\n" + "0" * 32 + "\nzz\n")
    t.check("a damaged file is refused with its line", ["convert", path("damaged.mct"), path("never.nfc")],
            status=2, err=[r"damaged.mct \(mct\): line 3: not a block of 32 hex digits"])
    t.expect("and nothing is written", not os.path.exists(path("never.nfc")))
    t.check("the content decides over the extension", ["convert", path("partial.nfc"), "--to", "eml",
                                                        path("content.txt")], out=[r"\(nfc, .* -> .*\(eml"])
    fresh_restore = Card(t, work, "damaged-target")
    fresh_restore.refused("restore of a damaged file writes nothing", ["restore", path("damaged.mct")],
                          "line 3: not a block of 32 hex digits")

    # diff: of files and of the card.
    t.check("diff of the same image", ["diff", path("partial.mfd"), path("conv-mct.mfd")], status=0,
            out=[r"^0 blocks differ$"])
    t.check("value set on the card", ["value", "set", "5", "100"], env)
    t.check("diff against the card", ["--key", "A0A1A2A3A4A5", "diff", path("partial.nfc"), "card"], env, status=1,
            out=[r"^block 5 \(sector 1\)$", r"^  \+ 64 00 00 00 9B FF FF FF 64", r"^    \^\^ +\^\^ \^\^ \^\^",
                 r"is now a value block \(value 100\)",
                 r"^1 block differs; 64 bytes unknown in A or B, not compared$"], no_out=[r"^block 11"])
    rc, out, err = t.run(["--key", "A0A1A2A3A4A5", "diff", "--json", path("partial.nfc"), "card"], env)
    try:
        doc = json.loads(out)
    except ValueError:
        doc = {}
    t.expect("diff --json for scripts", rc == 1 and doc.get("same") is False
             and [b["block"] for b in doc.get("blocks", [])] == [5] and doc["blocks"][0]["differingBytes"][0] == 0,
             out + err)
    t.check("diff of an unreadable file", ["diff", path("missing.mfd"), path("partial.mfd")], status=2,
            err=[r"cannot read"])
    t.check("diff with one argument", ["diff", "card"], status=2, err=[r"missing argument B"])


if __name__ == "__main__":
    sys.exit(main())
