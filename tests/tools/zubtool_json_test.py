#!/usr/bin/env python3
"""End-to-end tests of --json on the commands that change a card (write,
restore and its --dry-run, format and its --dry-run, value set/inc/dec)
against the virtual reader: exactly one JSON object on standard output, what
was written and how it was verified on success, the error object (code,
names, block and sector) on failure, and the per-block report kept when a
restore or a format fails in part.

    zubtool_json_test.py PATH/TO/zubtool
"""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zubtool_verify_test import Suite, DATA  # noqa: E402

FACTORY = "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"


def one_object(s, name, r):
    """The one JSON object a --json run prints, or None (and a failure)."""
    lines = r.stdout.splitlines()
    try:
        assert len(lines) == 1, "%d lines on stdout" % len(lines)
        return json.loads(lines[0])
    except (AssertionError, ValueError) as e:
        s.check(name + ": one JSON object on stdout", False, "%s\n%s%s" % (e, r.stdout, r.stderr))
        return None


def expect(s, name, r, status, checks):
    """Runs `checks` (label, predicate on the object) on a --json run's output."""
    s.check(name + ": exit %d" % status, r.returncode == status,
            "exit %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
    obj = one_object(s, name, r)
    if obj is None:
        return None
    for label, ok in checks:
        try:
            passed = ok(obj)
        except (KeyError, IndexError, TypeError) as e:
            passed = False
            label += " (%r)" % e
        s.check("%s: %s" % (name, label), passed, json.dumps(obj)[:400])
    return obj


def error_of(o):
    return o["error"]


def main():
    tool = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        s = Suite(tool, folder)

        # Successes: what was written, the key that opened the sector, how it was checked.
        s.fresh_card()
        cases = [
            ("write", ["write", "--json", "4", DATA], [
                ("the block and its data", lambda o: (o["block"], o["sector"], o["data"]) == (4, 1, DATA)),
                ("opened with key A", lambda o: (o["keyType"], o["key"]) == ("A", "FFFFFFFFFFFF")),
                ("verified by reading back", lambda o: o["verified"] is True
                 and o["verification"] == "read back the same" and o["held"] == DATA),
            ]),
            ("write --no-verify", ["write", "--json", "--no-verify", "8", DATA], [
                ("not verified, and says why", lambda o: o["verified"] is False
                 and o["verification"] == "not verified (--no-verify)" and "held" not in o),
            ]),
            ("write a trailer", ["write", "--json", "--force", "11", FACTORY], [
                ("key A not verifiable", lambda o: "key A not verifiable" in o["notes"]),
                ("warns that key B is data", lambda o: any("key B is then data" in w
                                                           for w in o["warnings"])),
            ]),
            ("value set", ["value", "set", "--json", "5", "100"], [
                ("the new value, verified", lambda o: (o["operation"], o["value"], o["verified"])
                 == ("set", 100, True) and o["address"] == 5),
            ]),
            ("value inc", ["value", "inc", "--json", "5", "25"], [
                ("old and new value", lambda o: (o["previous"], o["value"], o["amount"])
                 == (100, 125, 25) and o["verified"] is True),
            ]),
            ("value dec", ["value", "dec", "--json", "5"], [
                ("by one", lambda o: (o["previous"], o["value"]) == (125, 124)),
            ]),
        ]
        for name, args, checks in cases:
            expect(s, name, s.run(args), 0, checks)
        s.check("value dec: the card holds 124",
                s.block(5) == "7C00000083FFFFFF7C00000005FA05FA", s.block(5))

        # restore of an .nfc image with an unknown block, and its dry run.
        nfc = os.path.join(folder, "image.nfc")
        s.run(["convert", s.image, nfc])
        with open(nfc) as f:
            text = f.read()
        text = text.replace("Block 6: " + " ".join(["00"] * 16), "Block 6: " + " ".join(["??"] * 16))
        text = text.replace("Block 4: " + " ".join(DATA[i:i + 2] for i in range(0, 32, 2)),
                            "Block 4: " + " ".join(["AB"] * 16))
        with open(nfc, "w") as f:
            f.write(text)
        before = s.block(4)
        expect(s, "restore --dry-run", s.run(["restore", "--json", "--dry-run", nfc]), 0, [
            ("a dry run of an nfc image", lambda o: o["dryRun"] is True and o["format"] == "nfc"),
            ("plans block 4", lambda o: {"block": 4, "sector": 1, "data": "AB" * 16} in o["planned"]),
            ("skips block 6 with the reason", lambda o: o["skipped"] == [
                {"block": 6, "sector": 1, "reason": "unknown in the image"}]),
        ])
        s.check("restore --dry-run: the card is unchanged", s.block(4) == before)
        expect(s, "restore", s.run(["restore", "--json", nfc]), 0, [
            ("the same card", lambda o: o["sameCard"] is True and o["cardUid"] == o["imageUid"]),
            ("block 4 written and verified", lambda o: any(
                w["block"] == 4 and w["verified"] and w["held"] == "AB" * 16 for w in o["written"])),
            ("counts", lambda o: o["blocksWritten"] == len(o["written"]) == o["blocksPlanned"]
             and o["failed"] == []),
            ("block 6 skipped", lambda o: [k["block"] for k in o["skipped"]] == [6]),
        ])
        s.check("restore: the card holds block 4", s.block(4) == "AB" * 16, s.block(4))

        # format, and its dry run, with sector 2 locked by a key not given.
        s.run(["write", "--force", "11", "112233445566FF078069112233445566"])
        before = s.block(4)
        base = ["--no-default-key", "--key", "FFFFFFFFFFFF"]
        obj = expect(s, "format --dry-run", s.run(base + ["format", "--json", "--dry-run"]), 1, [
            ("every other sector would be formatted", lambda o: o["formattable"] == 15
             and o["sectors"][1]["result"] == "would be formatted"),
            ("sector 2 left, no key, with the reason", lambda o: o["sectors"][2]["result"] == "left"
             and o["sectors"][2]["keyType"] is None and "no key" in o["sectors"][2]["reason"]),
            ("the error rides along", lambda o: o["exitStatus"] == 1
             and "left as it is" in o["error"]["message"]),
        ])
        s.check("format --dry-run: the card is unchanged", s.block(4) == before)
        expect(s, "format", s.run(base + ["format", "--json", "--force"]), 1, [
            ("15 formatted and verified", lambda o: o["formatted"] == 15 and all(
                x["verified"] for x in o["sectors"] if x["result"] == "formatted")),
            ("the trailer's key A is noted", lambda o: "block 7: key A not verifiable"
             in o["sectors"][1]["notes"]),
            ("sector 2 left", lambda o: o["left"] == 1 and o["sectors"][2]["result"] == "left"),
        ])
        s.check("format: block 4 zeroed, sector 2 kept",
                s.block(4) == "00" * 16 and s.block(11) == "112233445566FF078069112233445566",
                s.block(4) + " " + s.block(11))

        # Failures: the error object on stdout, naming the block and sector.
        s.fresh_card()
        source = os.path.join(folder, "source.mfd")
        with open(s.image, "rb") as f:
            image = bytearray(f.read())
        image[16 * 6:16 * 7] = bytes.fromhex(DATA)  # a change the torn write loses
        with open(source, "wb") as f:
            f.write(image)
        failures = [
            ("write torn", ["write", "--json", "4", DATA], ["torn-write 4"], 1, [
                ("the block and sector", lambda o: (error_of(o)["block"], error_of(o)["sector"]) == (4, 1)),
                ("what differs", lambda o: "does not hold what was written" in error_of(o)["message"]),
            ]),
            ("write with a wrong key", ["--no-default-key", "--key", "010203040506", "write", "--json",
                                        "4", DATA], None, 1, [
                ("the code with its names", lambda o: isinstance(error_of(o)["code"], int)
                 and error_of(o)["name"] and error_of(o)["description"] and error_of(o)["text"]),
                ("the block and sector", lambda o: (error_of(o)["block"], error_of(o)["sector"]) == (4, 1)),
            ]),
            ("value set torn", ["value", "set", "--json", "5", "7"], ["torn-write 5"], 1, [
                ("the block", lambda o: error_of(o)["block"] == 5 and o["exitStatus"] == 1),
            ]),
            ("value inc of a data block", ["value", "inc", "--json", "6"], None, 1, [
                ("not a value block, the block", lambda o: error_of(o)["block"] == 6
                 and "not a value block" in error_of(o)["message"]),
            ]),
            ("restore torn", ["restore", "--json", source], ["torn-write 6"], 1, [
                ("block 6 failed with the reason", lambda o: [f["block"] for f in o["failed"]] == [6]
                 and "does not hold" in o["failed"][0]["reason"] and "held" in o["failed"][0]),
                ("the others written", lambda o: o["blocksWritten"] == o["blocksPlanned"] - 1),
                ("the error rides along", lambda o: "not written: block 6" in o["error"]["message"]),
            ]),
        ]
        for name, args, faults, status, checks in failures:
            expect(s, name, s.run(args, faults=faults), status, checks)

        noise = os.path.join(folder, "noise.bin")
        with open(noise, "wb") as f:
            f.write(bytes((i * 73 + 41) % 256 for i in range(1024)))
        for dry in ([], ["--dry-run"]):
            expect(s, "restore of noise " + " ".join(dry), s.run(["restore", "--json"] + dry + [noise]),
                   2, [("refused before any write", lambda o: any(
                       "not a plausible card image" in m for m in error_of(o)["messages"]))])

    print("%d passed, %d failed" % (s.passed, s.failed))
    return 1 if s.failed else 0


if __name__ == "__main__":
    sys.exit(main())
