#!/usr/bin/env python3
"""End-to-end tests of zubtool against the virtual reader.

Runs the tool as a technician would, one process per command, with the card
kept in an image file between runs (ZUBSIM_IMAGE, ZUBSIM_SAVE_ON_CLOSE), and
checks exit statuses, output and the images it writes.

    zubtool_test.py [--wine RUNNER] [--smoke] PATH/TO/zubtool

With --wine the tool is a Windows program started through RUNNER; --smoke runs
the short set of cases used for the Windows build.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

TRANSPORT_TRAILER = bytes.fromhex("FFFFFFFFFFFF FF078069 FFFFFFFFFFFF")
UID = bytes.fromhex("1A7B8C54")


class Tool:
    def __init__(self, path, wine):
        self.path = path
        self.wine = wine
        self.failures = 0
        self.passed = 0

    def file_arg(self, path):
        """A path as the tool sees it (Wine maps the Unix root to Z:)."""
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def run(self, args, env=None):
        command = ([self.wine] if self.wine else []) + [self.path] + list(args)
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("ZUBSIM_")}
        full_env.update(env or {})
        if self.wine:
            for key in ("ZUBSIM_IMAGE", "ZUBSIM_TRACE"):
                if key in full_env and full_env[key] != "-":
                    full_env[key] = self.file_arg(full_env[key])
        p = subprocess.run(command, env=full_env, capture_output=True, timeout=300)
        text = [s.decode("utf-8", "replace").replace("\r\n", "\n") for s in (p.stdout, p.stderr)]
        return p.returncode, text[0], text[1]

    def check(self, name, args, env=None, status=0, out=(), err=(), no_out=()):
        """Runs the tool and checks its status and the patterns in its output."""
        rc, stdout, stderr = self.run(args, env)
        problems = []
        if rc != status:
            problems.append(f"exit status {rc}, expected {status}")
        problems += [f"stdout lacks /{p}/" for p in out if not re.search(p, stdout, re.M)]
        problems += [f"stderr lacks /{p}/" for p in err if not re.search(p, stderr, re.M)]
        problems += [f"stdout has /{p}/" for p in no_out if re.search(p, stdout, re.M)]
        self.expect(name, not problems, "; ".join(problems) + f"\n--- stdout\n{stdout}--- stderr\n{stderr}")
        return stdout

    def expect(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok    {name}")
        else:
            self.failures += 1
            print(f"FAIL  {name}: {detail}")


def new_card_image(trailer=TRANSPORT_TRAILER):
    """What a dump of a new 1K card holds, block 0 apart."""
    image = bytearray(1024)
    for sector in range(16):
        image[sector * 64 + 48:sector * 64 + 64] = trailer
    return image


def check_new_card_dump(t, image):
    t.expect("a new card dumps to a 1024-byte image", len(image) == 1024, f"{len(image)} bytes")
    if len(image) != 1024:
        return
    t.expect("block 0 holds the UID, BCC, SAK and ATQA",
             image[:8] == UID + bytes.fromhex("B9 08 04 00"), image[:16].hex())
    expected = new_card_image()
    t.expect("data blocks are zero and every trailer holds the transport keys",
             image[16:] == expected[16:], "image differs after block 0")


def smoke(t, work):
    """The short set: the Windows build under Wine."""
    t.check("scan", ["scan"], status=0, out=[r"^card +MIFARE Classic 1K$", r"^UID +1A7B8C54$", r"^SAK +08$"])
    t.check("read a block", ["read", "4"], out=[r"^ +4  00( 00){15}  \|\.{16}\|$"])
    t.check("no card in the field", ["scan"], {"ZUBSIM_CARD_PRESENT": "0"}, status=1,
            err=[r"no card answers \(没有卡或密码错, 1\)"])
    t.check("no reader", ["scan"], {"ZUBSIM_DEVICE_INDEX": "none"}, status=3, err=[r"reader not open or not answering \(串口错, -1\)"])
    t.check("bad arguments", ["write", "4", "0011"], status=2, err=[r"32 hex digits"])
    t.check("acl decodes", ["acl", "--bytes", "7F0788"],
            out=[r"^  trailer, C1C2C3 011: key A read never, write key B;"])
    t.check("help codes in UTF-8", ["help", "codes"], out=[r"^ +4  MZ_STATUS_WRONG_KEY +wrong key \(密码错\)$"])
    t.check("a refused trailer", ["write", "--force", "7", "000000000000FF078069FFFFFFFFFFFF"], status=2,
            err=[r"key A is 000000000000"])
    out = os.path.join(work, "smoke.mfd")
    t.check("dump with an image out", ["dump", "--out", t.file_arg(out)],
            out=[r"16 of 16 sectors read in full"])
    with open(out, "rb") as f:
        check_new_card_dump(t, f.read())


def full(t, work):
    card = os.path.join(work, "card.mfd")

    # A dump of a fresh card is the image the rest of the run works on.
    t.check("dump a new card", ["dump", "--out", card], status=0,
            out=[r"^card +MIFARE Classic 1K +UID 1A7B8C54 +ATQA 04 00 +SAK 08$",
                 r"^sector 15 +blocks 60-63 +key A FFFFFFFFFFFF +key B FFFFFFFFFFFF",
                 r"^16 of 16 sectors read in full, 64 of 64 blocks$",
                 r"image written to .*\(1024 bytes\)"])
    with open(card, "rb") as f:
        check_new_card_dump(t, f.read())
    keep = {"ZUBSIM_IMAGE": card, "ZUBSIM_SAVE_ON_CLOSE": "1"}

    t.check("scan", ["scan"], keep, out=[r"^card +MIFARE Classic 1K$", r"^UID +1A7B8C54$",
                                          r"^BCC +B9 \(ok\)$", r"^ATQA +04 00$", r"^SAK +08$"])
    t.check("write a block", ["write", "4", "48656C6C6F2C2063 61:72:64:21-00-00-00-FF"], keep,
            out=[r"^block 4 written, opened with key A FFFFFFFFFFFF$"])
    t.check("read it back in a new session", ["read", "4"], keep,
            out=[r"^block 4, sector 1, key A FFFFFFFFFFFF$",
                 r"^ +4  48 65 6C 6C 6F 2C 20 63 61 72 64 21 00 00 00 FF  \|Hello, card!\.\.\.\.\|$"])
    t.check("the library calls are shown with -v", ["-v", "read", "4"], keep,
            err=[r"mif_Authentication\(0, 0, 4\) -> success \(OK, 0\)", r"mif_Read\(4\) -> success \(OK, 0\)"])

    t.check("value set", ["value", "set", "5", "100"], keep, out=[r"^block 5: value 100 \(address byte 5\)"])
    t.check("value inc", ["value", "inc", "5", "25"], keep, out=[r"^block 5: value 125 "])
    t.check("value dec by the default 1", ["value", "dec", "5"], keep, out=[r"^block 5: value 124 "])
    t.check("value dec", ["value", "dec", "5", "0x10"], keep, out=[r"^block 5: value 108 "])
    t.check("value get", ["value", "get", "5"], keep, out=[r"^block 5: value 108 "])
    t.check("value set negative", ["value", "set", "6", "-7"], keep, out=[r"^block 6: value -7 "])
    t.check("value get of a data block", ["value", "get", "4"], keep, status=1,
            err=[r"block 4 is not a value block"])
    rc, _, err = t.run(["-v", "value", "inc", "4"], keep)
    t.expect("inc of a data block is refused before the card is asked",
             rc == 1 and "block 4 is not a value block; nothing was changed" in err
             and "mif_Increment" not in err, err)
    t.check("value inc past the 32-bit range", ["value", "inc", "6", "2147483647"], keep, status=0)
    t.check("value inc overflows", ["value", "inc", "6", "2147483647"], keep, status=1,
            err=[r"value overflow \(数值溢出, 3\)"])

    # Sector 2 gets key A A0A1A2A3A4A5 and key B B0B1B2B3B4B5, transport access bits.
    t.check("write a trailer with --force",
            ["write", "--force", "11", "A0A1A2A3A4A5 FF078069 B0B1B2B3B4B5"], keep,
            out=[r"^block 11 written"])
    t.check("the default key no longer opens the sector", ["read", "8"], keep, status=1,
            err=[r"no key to try opens sector 2: key A wrong key \(密码错, 4\), "
                 r"key B the access conditions forbid it \(无读写权限, 16\)"])
    t.check("only key B, readable, cannot authenticate", ["--key-type", "B", "read", "4"], keep,
            status=1, err=[r"key B the access conditions forbid it \(无读写权限, 16\)"], no_out=[r"block"])
    t.check("--key opens it", ["read", "8", "--key", "a0a1a2a3a4a5"], keep,
            out=[r"^block 8, sector 2, key A A0A1A2A3A4A5$"])
    keys = os.path.join(work, "keys.txt")
    with open(keys, "w") as f:
        f.write("# site keys\n\n  D3F7D3F7D3F7\nA0 A1 A2 A3 A4 A5   # sector 2\n")
    t.check("--keys-file opens it", ["--keys-file", keys, "read", "9"], keep,
            out=[r"^block 9, sector 2, key A A0A1A2A3A4A5$"])
    t.check("--no-default-key leaves sector 1 shut", ["--no-default-key", "--key", "A0A1A2A3A4A5",
                                                      "read", "4"], keep, status=1,
            err=[r"no key to try opens sector 1"])

    out = os.path.join(work, "partial.mfd")
    t.check("dump without the key marks the sector unreadable", ["dump", "--out", out], keep,
            status=1,
            out=[r"^sector 2 +blocks 8-11 +key A \? +key B \?$",
                 r"no key to try opens the sector: key A wrong key \(密码错, 4\), key B the access "
                 r"conditions forbid it \(无读写权限, 16\)",
                 r"^ +8  -- unreadable$", r"^ +11  -- unreadable$",
                 r"^15 of 16 sectors read in full, 60 of 64 blocks$"])
    with open(out, "rb") as f:
        partial = f.read()
    t.expect("an unreadable sector is zeros in the image, its access bytes the safe FF 07 80 69",
             partial[128:192] == bytes(54) + bytes.fromhex("FF078069") + bytes(6), partial[128:192].hex())

    out = os.path.join(work, "full.mfd")
    t.check("dump with the key", ["dump", "--key", "A0A1A2A3A4A5", "--out", out], keep,
            out=[r"^sector 2 +blocks 8-11 +key A A0A1A2A3A4A5 +key B B0B1B2B3B4B5 \(read from the trailer\)$",
                 r"^16 of 16 sectors read in full"])
    with open(out, "rb") as f, open(card, "rb") as g:
        dumped, actual = f.read(), g.read()
    t.expect("the dump with the keys in the trailers is the card's own image", dumped == actual,
             "images differ at byte %d" % next((i for i in range(1024) if dumped[i] != actual[i]), -1))

    t.check("a 4K card", ["dump", "--out", os.path.join(work, "4k.mfd")], {"ZUBSIM_CARD": "4K"},
            out=[r"^card +MIFARE Classic 4K", r"^sector 39 +blocks 240-255 ",
                 r"^ +255  00 00 00 00 00 00 FF 07 80 69 FF FF FF FF FF FF",
                 r"^40 of 40 sectors read in full, 256 of 256 blocks$"])
    t.expect("a 4K card dumps to 4096 bytes", os.path.getsize(os.path.join(work, "4k.mfd")) == 4096)
    t.check("read a block of a 16-block sector", ["read", "200"], {"ZUBSIM_CARD": "4K"},
            out=[r"^block 200, sector 36, key A FFFFFFFFFFFF$"])
    t.check("another UID", ["scan"], {"ZUBSIM_UID": "01:02:03:04"},
            out=[r"^UID +01020304$", r"^BCC +04 \(ok\)$"])

    # The card or the reader missing.
    for args in (["scan"], ["read", "4"], ["dump"], ["value", "get", "5"]):
        t.check("no card: " + " ".join(args), args, {"ZUBSIM_CARD_PRESENT": "0"}, status=1,
                err=[r"no card answers \(没有卡或密码错, 1\)"])
    t.check("no reader", ["scan"], {"ZUBSIM_DEVICE_INDEX": "none"}, status=3,
            err=[r"no reader at device index 0: reader not open or not answering \(串口错, -1\)"])
    t.check("no reader at that index", ["--device", "1", "scan"], status=3)
    t.check("--device finds the reader", ["--device", "2", "scan"], {"ZUBSIM_DEVICE_INDEX": "2"},
            out=[r"^UID +1A7B8C54$"])

    # Reader signals, seen in the virtual reader's frame trace.
    trace = os.path.join(work, "trace.txt")
    t.check("beep", ["beep", "20"], {"ZUBSIM_TRACE": trace}, out=[r"^beeped for 20 ms$"])
    t.check("led", ["led", "3", "on"], {"ZUBSIM_TRACE": trace}, out=[r"^LED 3 on$"])
    t.check("led off", ["led", "3", "off"], {"ZUBSIM_TRACE": trace}, out=[r"^LED 3 off$"])
    with open(trace) as f:
        frames = [line.split("  ")[0] for line in f if line.startswith("-> ")]
    t.expect("the signals send their frames",
             frames == ["-> 04 F3 01 01 F7", "-> 04 F3 01 00 F6", "-> 05 F1 01 03 01 F7",
                        "-> 05 F1 01 03 00 F6"], frames)
    t.check("beep with no reader", ["beep"], {"ZUBSIM_DEVICE_INDEX": "none"}, status=3)

    # Arguments refused before the reader is opened (no reader here, so a
    # refused line never gets as far as exit status 3).
    bad = [
        ([], r"missing command"),
        (["frob"], r"unknown command 'frob'"),
        (["--frob", "scan"], r"unknown option '--frob'"),
        (["scan", "4"], r"unexpected argument '4'"),
        (["read"], r"missing argument"),
        (["read", "256"], r"not a block number"),
        (["read", "x4"], r"not a block number"),
        (["write", "4", "00112233"], r"32 hex digits"),
        (["write", "4", "0011223344556677889900112233445G"], r"32 hex digits"),
        (["write", "0", "00112233445566778899AABBCCDDEEFF"], r"block 0 .* --block0"),
        (["write", "7", "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"], r"trailer of sector 1"),
        (["write", "--force", "7", "FFFFFFFFFFFF00000000FFFFFFFFFFFF"], r"lock sector 1 for good"),
        (["value", "add", "5"], r"unknown value operation 'add'"),
        (["value", "set", "5"], r"missing argument"),
        (["value", "set", "5", "2147483648"], r"not a 32-bit value"),
        (["value", "inc", "5", "-1"], r"not an amount"),
        (["value", "get", "7"], r"cannot be a value block"),
        (["beep", "10001"], r"not a duration"),
        (["led", "1", "blink"], r"on or off"),
        (["led", "256", "on"], r"not an LED number"),
        (["--device", "256", "scan"], r"not a device index"),
        (["--key", "FFFFFFFFFF", "scan"], r"not a key of 12 hex digits"),
        (["--key-type", "C", "scan"], r"A or B"),
        (["--device"], r"needs a value"),
        (["read", "4", "--out", "x"], r"--out does not go with 'read'"),
        (["--keys-file", os.path.join(work, "missing.txt"), "read", "4"], r"cannot read the keys file"),
        (["--no-default-key", "dump"], r"no key to try"),
    ]
    badkeys = os.path.join(work, "bad-keys.txt")
    with open(badkeys, "w") as f:
        f.write("FFFFFFFFFFFF\n\nnot a key\n")
    for args, message in bad:
        t.check("refused: " + " ".join(args), args, {"ZUBSIM_DEVICE_INDEX": "none"}, status=2,
                err=[message])
    # A line that is no key is a warning with its number; the other keys are tried.
    t.check("a keys file line that is no key is skipped", ["--keys-file", badkeys, "read", "4"],
            err=[r"bad-keys.txt: line 3: not a key of 12 hex digits: 'not a key' \(skipped\)"],
            out=[r"^block 4, sector 1, key A FFFFFFFFFFFF$"])
    # Commands that try no key do not read the keys file at all.
    for args in (["scan"], ["beep", "1"], ["led", "1", "on"], ["acl", "--bytes", "FF0780"], ["help"]):
        t.check("no keys file read by " + args[0],
                ["--keys-file", os.path.join(work, "missing.txt"), "--no-default-key"] + args)

    # For scripts: JSON parsed here.
    def json_of(name, args, env):
        rc, out, err = t.run(args, env)
        try:
            doc = json.loads(out)
        except ValueError as e:
            t.expect(name, False, f"{e}\n{out}{err}")
            return {}
        t.expect(name, rc == 0, f"status {rc}\n{err}")
        return doc
    doc = json_of("scan --json", ["scan", "--json"], keep)
    t.expect("scan --json holds the card", doc.get("uid") == "1A7B8C54" and doc.get("sak") == "08"
             and doc.get("bccOk") is True and doc.get("sectors") == 16, doc)
    doc = json_of("read --json", ["read", "--json", "4"], keep)
    t.expect("read --json holds the block", doc.get("data") == "48656C6C6F2C2063617264210000 00FF".replace(" ", "")
             and doc.get("keyType") == "A" and doc.get("sector") == 1, doc)
    doc = json_of("value get --json", ["value", "get", "--json", "5"], keep)
    t.expect("value get --json holds the value", doc.get("value") == 108 and doc.get("address") == 5, doc)
    doc = json_of("dump --json", ["dump", "--json", "--key", "A0A1A2A3A4A5"], keep)
    sectors = doc.get("sectors", [])
    t.expect("dump --json holds every block, the keys and the conditions",
             len(sectors) == 16 and sectors[2]["keyA"] == "A0A1A2A3A4A5"
             and sectors[1]["blocks"][0]["data"] == "48656C6C6F2C206361726421000000FF"
             and sectors[2]["access"][0].startswith("block 8, C1C2C3 000") and doc.get("complete") is True,
             sectors[:3])
    t.check("value inc --json of a data block: the error object", ["value", "inc", "--json", "5"],
            status=1, out=[r'^\{"error": \{"message": "block 5 is not a value block.*"block": 5, "sector": 1'])

    # Waiting for a card.
    t.check("scan --wait finds a card already there", ["scan", "--wait", "2"], keep, out=[r"^UID +1A7B8C54$"])
    t.check("scan --wait gives up after its time", ["scan", "--wait", "1"], {"ZUBSIM_CARD_PRESENT": "0"},
            status=1, err=[r"no card entered the field within 1 s"])

    # A block beyond the card, an output file that cannot be written.
    t.check("a block beyond a 1K card", ["read", "64"], keep, status=1,
            err=[r"block 64 is outside the card \(MIFARE Classic 1K: blocks 0 to 63\)"], no_out=[r"."])
    t.check("--out is checked before the card is read",
            ["-v", "dump", "--out", os.path.join(work, "no-such-dir", "x.mfd")], keep, status=2,
            err=[r"cannot write .*no-such-dir"])

    for command in ("scan", "dump", "restore", "keys", "acl", "read", "write", "value", "beep", "led",
                    "help"):
        t.check(command + " --help", [command, "--help"], {"ZUBSIM_DEVICE_INDEX": "none"},
                out=[r"^Usage: zubtool " + command, r"--device N"])
    t.check("--help", ["--help"], out=[r"^Usage: zubtool \[options\] COMMAND", r"^Exit status"])
    t.check("help", ["help"], out=[r"^Usage: zubtool \[options\] COMMAND", r"^  restore ", r"^  keys ",
                                   r"^  acl "])
    t.check("help COMMAND", ["help", "restore"], out=[r"^Usage: zubtool restore", r"--dry-run"])
    t.check("help codes", ["help", "codes"],
            out=[r"^ +4  MZ_STATUS_WRONG_KEY +wrong key \(密码错\)$",
                 r"^ +-1  MZ_STATUS_NO_LINK +reader not open or not answering \(串口错\)$"])
    t.check("--version", ["--version"], out=[r"^zubtool \d+\.\d+\.\d+$"])
    t.check("missing argument names it", ["write", "4"], status=2, err=[r"missing argument HEX32"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("tool")
    a = parser.parse_args()
    t = Tool(a.tool, a.wine)
    work = tempfile.mkdtemp(prefix="zubtool-test-")
    try:
        (smoke if a.smoke else full)(t, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"zubtool: {t.passed} passed, {t.failures} failed")
    return 1 if t.failures else 0


if __name__ == "__main__":
    sys.exit(main())
