#!/usr/bin/env python3
"""End-to-end tests of zubtool's card-changing and card-reading commands
against the virtual reader: restore, the trailer safety rules, keys and acl.

Each case runs on its own card image (ZUBSIM_IMAGE, ZUBSIM_SAVE_ON_CLOSE) and
reads the virtual reader's frame trace (ZUBSIM_TRACE) to prove what was and
was not sent to the card.

    zubtool_cards_test.py PATH/TO/zubtool
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zubtool_test import Tool, new_card_image, UID  # noqa: E402

WRITE, AUTH, REQUEST, SELECT, ANTICOLLISION, LOAD_KEY = 0x60, 0x40, 0x11, 0x30, 0x20, 0xE0


def access_bytes(groups):
    """Trailer bytes 6 to 8 for C1C2C3 per group (numbers 0 to 7), from the
    card's bit layout: byte 6 ~C2|~C1, byte 7 C1|~C3, byte 8 C3|C2."""
    c1 = sum(((g >> 2) & 1) << i for i, g in enumerate(groups))
    c2 = sum(((g >> 1) & 1) << i for i, g in enumerate(groups))
    c3 = sum((g & 1) << i for i, g in enumerate(groups))
    return bytes([(~c2 & 15) << 4 | (~c1 & 15), c1 << 4 | (~c3 & 15), c3 << 4 | c2])


def trailer(key_a="FFFFFFFFFFFF", bits="FF0780", key_b="FFFFFFFFFFFF"):
    return key_a + bits + "69" + key_b


class Card:
    """A card image in a file, with the trace of the runs against it."""

    def __init__(self, t, work, name, image=None):
        self.t = t
        self.path = os.path.join(work, name + ".mfd")
        self.trace = os.path.join(work, name + ".trace")
        image = bytearray(image if image is not None else new_card_image())
        image[:8] = UID + bytes.fromhex("B9 08 04 00")
        with open(self.path, "wb") as f:
            f.write(image)

    def env(self):
        return {"ZUBSIM_IMAGE": self.path, "ZUBSIM_SAVE_ON_CLOSE": "1", "ZUBSIM_TRACE": self.trace}

    def image(self):
        with open(self.path, "rb") as f:
            return f.read()

    def exchanges(self):
        """(request, reply status or None) for every frame pair, and clears the trace."""
        pairs = []
        if os.path.exists(self.trace):
            with open(self.trace) as f:
                for line in f:
                    if line.startswith("-> "):
                        pairs.append([bytes.fromhex(line[3:].split("  ")[0]), None])
                    elif line.startswith("<- ") and pairs:
                        pairs[-1][1] = bytes.fromhex(line[3:].split("  ")[0])[3]
            os.remove(self.trace)
        return pairs

    def requests(self):
        """The commands of every request frame sent so far, and clears the trace."""
        if not os.path.exists(self.trace):
            return []
        with open(self.trace) as f:
            frames = [bytes.fromhex(line[3:].split("  ")[0]) for line in f if line.startswith("-> ")]
        os.remove(self.trace)
        return frames

    def refused(self, name, args, message):
        """Runs a command that must be refused and proves the card unchanged."""
        before = self.image()
        self.requests()
        rc, _, err = self.t.run(args, self.env())
        writes = [f for f in self.requests() if f[1] == WRITE]
        self.t.expect(name, rc != 0 and message in err and not writes and self.image() == before,
                      f"status {rc}, {len(writes)} writes, image changed: {self.image() != before}\n{err}")


def restore_cases(t, work):
    source = Card(t, work, "source")
    env = source.env()
    t.check("restore: prepare a card with data", ["write", "4", "48656C6C6F2C2063617264210000FF00"], env)
    t.check("restore: a value block", ["value", "set", "5", "1234"], env)
    t.check("restore: a sector with its own keys",
            ["write", "--force", "11", trailer("A0A1A2A3A4A5", "7F0788", "B0B1B2B3B4B5")], env)
    dumped = os.path.join(work, "dumped.mfd")
    t.check("restore: dump it with the keys", ["dump", "--key", "A0A1A2A3A4A5", "--key", "B0B1B2B3B4B5", "--out", dumped], env,
            out=[r"^16 of 16 sectors read in full"])

    blank = Card(t, work, "blank")
    t.check("restore a dump with its trailers onto a blank card",
            ["restore", "--trailers", "--force", dumped], blank.env(),
            out=[r"^sector  2  written: 8 9 10 11$", r"^63 of 63 blocks written$"])
    again = os.path.join(work, "again.mfd")
    t.check("the restored card dumps", ["dump", "--key", "A0A1A2A3A4A5", "--key", "B0B1B2B3B4B5", "--out", again], blank.env())
    with open(dumped, "rb") as f, open(again, "rb") as g:
        t.expect("the restored card's dump is identical to the source's", f.read() == g.read())

    data_only = Card(t, work, "data_only")
    t.check("restore without --trailers writes only data blocks", ["restore", dumped], data_only.env(),
            out=[r"^47 of 47 blocks written$"])
    image = data_only.image()
    t.expect("without --trailers the card keeps its transport trailers",
             image[176:192] == bytes.fromhex(trailer()) and image[64:80] == open(dumped, "rb").read()[64:80])
    writes = [f[3] for f in data_only.requests() if f[1] == WRITE]
    t.expect("without --trailers no trailer and not block 0 is written",
             all(b % 4 != 3 and b != 0 for b in writes) and len(writes) == 47, writes)

    t.check("restore --block0: the genuine virtual card refuses block 0",
            ["restore", "--block0", dumped], data_only.env(), status=1,
            out=[r"^sector  0  written: 1 2\n +block 0: the access conditions forbid it"],
            err=[r"not written: block 0 \(sector 0\)"])

    dry = Card(t, work, "dry")
    before = dry.image()
    t.check("restore --dry-run lists the blocks and needs no card",
            ["restore", "--dry-run", "--trailers", "--force", dumped],
            {"ZUBSIM_DEVICE_INDEX": "none"},
            out=[r"^sector  2   11  A0 A1 A2 A3 A4 A5 7F 07 88 69 B0 B1", r"nothing was written"])
    t.expect("a dry run leaves the card alone", dry.image() == before)

    short = os.path.join(work, "short.mfd")
    with open(short, "wb") as f:
        f.write(bytes(1000))
    t.check("restore of a file that is no card image", ["restore", short], status=2,
            err=[r"1000 bytes, not a card image"])
    big = os.path.join(work, "big.mfd")
    with open(big, "wb") as f:  # a plausible 4K image: transport trailers, zeros elsewhere
        image = bytearray(4096)
        for block in list(range(3, 128, 4)) + list(range(143, 256, 16)):
            image[block * 16:block * 16 + 16] = bytes.fromhex(trailer())
        f.write(image)
    dry.refused("restore of a 4K image onto a 1K card", ["restore", big], "the image is for a MIFARE Classic 4K")


def safety_cases(t, work):
    card = Card(t, work, "safety")
    frozen = trailer(bits=access_bytes([0, 0, 0, 7]).hex())  # trailer frozen, data open
    locked = trailer(bits=access_bytes([2, 2, 2, 4]).hex())  # data read-only, access bits frozen
    all_frozen = "FFFFFFFFFFFF00F0FF69FFFFFFFFFFFF"
    cases = [
        ("a trailer without --force", ["write", "7", trailer()], "write it only with --force"),
        ("access bits without their inverted copy", ["write", "--force", "7", trailer(bits="FF0781")],
         "not stored with their inverses and would lock sector 1 for good"),
        ("a frozen trailer without --irreversible", ["write", "--force", "7", frozen],
         "the trailer can never be written again"),
        ("everything frozen without --irreversible", ["write", "--force", "15", all_frozen],
         "blocks 12, 13 and 14 can never be read or written again"),
        ("data made unwritable for good without --irreversible", ["write", "--force", "7", locked],
         "blocks 4, 5 and 6 can never be written again"),
        ("a hidden key A (zeros) without --key-a",
         ["write", "--force", "7", trailer(key_a="000000000000")], "key A is 000000000000"),
        ("a hidden key B (zeros) without --key-b",
         ["write", "--force", "7", trailer(bits="7F0788", key_b="000000000000")], "key B is 000000000000"),
        ("a key A that contradicts --key-a",
         ["write", "--force", "--key-a", "A0A1A2A3A4A5", "7", trailer(key_a="B0B1B2B3B4B5")],
         "not the key A0A1A2A3A4A5 given with --key-a"),
        ("block 0 without --block0", ["write", "0", "00" * 16], "write it only with --block0"),
        ("--irreversible without --force", ["write", "--irreversible", "7", frozen], "goes with --force"),
    ]
    for name, args, message in cases:
        card.refused("refused, nothing written: " + name, args, message)

    # A restore refused at sector 9 writes nothing at sector 0.
    image = bytearray(new_card_image())
    image[16:32] = b"must not arrive!"
    image[9 * 64 + 48:9 * 64 + 64] = bytes.fromhex(frozen)
    bad = os.path.join(work, "bad-sector-9.mfd")
    with open(bad, "wb") as f:
        f.write(image)
    card.refused("refused, nothing written: a restore whose sector 9 trailer would freeze",
                 ["restore", "--trailers", "--force", bad], "block 39 (trailer of sector 9)")
    image[9 * 64 + 48:9 * 64 + 64] = bytes.fromhex(trailer(key_a="000000000000"))
    with open(bad, "wb") as f:
        f.write(image)
    card.refused("refused, nothing written: a restore with a hidden key A in sector 9",
                 ["restore", "--trailers", "--force", bad], "block 39 (trailer of sector 9): key A is 000000000000")

    # What is allowed with the right flags does arrive.
    t.check("--key-a supplies the hidden key A",
            ["write", "--force", "--key-a", "A0A1A2A3A4A5", "7", trailer(key_a="000000000000")],
            card.env(), out=[r"^block 7 written"])
    t.expect("the trailer holds the key given", card.image()[112:118] == bytes.fromhex("A0A1A2A3A4A5"))
    t.check("--irreversible writes conditions that cannot be undone",
            ["write", "--force", "--irreversible", "--key", "A0A1A2A3A4A5", "7", frozen], card.env(),
            out=[r"^block 7 written"])
    t.expect("the frozen trailer is on the card", card.image()[118:121] == access_bytes([0, 0, 0, 7]))
    t.check("a block outside the card is named as such", ["read", "64"], card.env(), status=1,
            err=[r"block 64 is outside the card \(MIFARE Classic 1K: blocks 0 to 63\)"])


def keys_cases(t, work):
    image = bytearray(new_card_image())
    layout = {  # sector: key A, access bits, key B
        1: ("A0A1A2A3A4A5", "7F0788", "B0B1B2B3B4B5"),
        2: ("D3F7D3F7D3F7", "7F0788", "4D3A99C351DD"),
        3: ("0102030405AA", "7F0788", "112233445566"),  # in no list
        4: ("FFFFFFFFFFFF", "7F0788", "A0A1A2A3A4A5"),
    }
    for sector, (a, bits, b) in layout.items():
        image[sector * 64 + 48:sector * 64 + 64] = bytes.fromhex(trailer(a, bits, b))
    card = Card(t, work, "keys", image)
    given = ["FFFFFFFFFFFF", "A0A1A2A3A4A5", "B0B1B2B3B4B5", "D3F7D3F7D3F7", "4D3A99C351DD"]
    args = ["--no-default-key"] + [x for k in given for x in ("--key", k)]
    out = os.path.join(work, "found-keys.txt")
    card.exchanges()
    stdout = t.check("keys finds each key and nothing wrong", args + ["keys", "--out", out], card.env(),
                     status=1,
                     out=[r"^     0  FFFFFFFFFFFF  readable with key A: not a key$",
                          r"^     1  A0A1A2A3A4A5  B0B1B2B3B4B5$",
                          r"^     2  D3F7D3F7D3F7  4D3A99C351DD$",
                          r"^     3  \?             \?$",
                          r"^     4  FFFFFFFFFFFF  A0A1A2A3A4A5$"],
                     err=[r"1 sector opened by none of the keys tried"])
    pairs = card.exchanges()
    commands = [p[0][1] for p in pairs]
    auths = [i for i, c in enumerate(commands) if c == AUTH]
    failed = [i for i in auths if pairs[i][1] != 0]
    loads = [(p[0][3], p[0][4]) for p in pairs if p[0][1] == LOAD_KEY]
    t.expect("keys: one anticollision, each key loaded once per key type",
             commands.count(ANTICOLLISION) == 1 and len(loads) == len(set(loads)) <= 2 * len(given),
             f"{commands.count(ANTICOLLISION)} anticollisions, loads {loads}")
    between = []
    for n, i in enumerate(auths[:-1]):
        following = [c for c in commands[i + 1:auths[n + 1]] if c != LOAD_KEY]
        between.append((pairs[i][1] != 0, following))
    t.expect("keys: a refused try is followed by exactly a wake and a select, a good one by nothing",
             all(f == ([REQUEST, SELECT] if refused else []) for refused, f in between), between)
    t.expect("keys: exchanges = find + loads + tries + 2 per refused try",
             len(pairs) == 3 + len(loads) + len(auths) + 2 * (len(failed) - (auths[-1] in failed)),
             f"{len(pairs)} exchanges, {len(loads)} loads, {len(auths)} tries, {len(failed)} refused")
    with open(out) as f:
        written = f.read()
    t.expect("keys --out writes a keys file", "B0B1B2B3B4B5  # sector 1 key B" in written, written)
    t.check("the keys file opens the sector", ["--keys-file", out, "read", "8"], card.env(),
            out=[r"^block 8, sector 2, key A D3F7D3F7D3F7$"])

    _, stdout, _ = t.run(args + ["keys", "--json"], card.env())
    try:
        doc = json.loads(stdout)
        sectors = {s["sector"]: s for s in doc["sectors"]}
        ok = (doc["uid"] == "1A7B8C54" and sectors[2]["keyB"] == "4D3A99C351DD"
              and sectors[3]["keyA"] is None and sectors[0]["keyBReadable"] is True)
    except (ValueError, KeyError) as e:
        ok, stdout = False, f"{e}: {stdout}"
    t.expect("keys --json parses and holds the keys", ok, stdout)

    many = os.path.join(work, "many-keys.txt")
    with open(many, "w") as f:
        for i in range(3000):
            f.write("%012X\n" % (0x100000000000 + i))
        f.write("0102030405AA\n")
    t.check("keys: a list of thousands of keys", ["--keys-file", many, "--key-type", "A", "keys"],
            card.env(), out=[r"^     3  0102030405AA "])

    interrupt_cases(t, work)


def interrupt_cases(t, work):
    """Ctrl-C during keys: the table of what was found, the --out file as far
    as the search got, exit 130. Deterministic: the signal goes only once the
    --out file holds sector 0's key, and sector 1's key is in no list, so the
    search of 200,000 keys there is still running."""
    image = bytearray(new_card_image())
    image[64 + 48:64 + 64] = bytes.fromhex(trailer("0102030405AA", "FF0780", "0102030405BB"))
    card = Card(t, work, "interrupt", image)
    many = os.path.join(work, "interrupt-keys.txt")
    with open(many, "w") as f:
        f.write("FFFFFFFFFFFF\n")
        for i in range(200000):
            f.write("%012X\n" % (0x100000000000 + i))
    out = os.path.join(work, "interrupt-found.txt")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUBSIM_")}
    env.update(card.env())
    p = subprocess.Popen([t.path, "--no-default-key", "--keys-file", many, "--key-type", "A",
                          "keys", "--out", out], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    written = ""
    while time.monotonic() < deadline and p.poll() is None:
        # (The tool first checks that it may write the file by creating and
        # removing it: a file seen may be gone a moment later.)
        try:
            with open(out) as f:
                written = f.read()
        except FileNotFoundError:
            written = ""
        if "# sector 0 key A" in written:
            break
        time.sleep(0.01)
    p.send_signal(signal.SIGINT)
    stdout, stderr = (s.decode() for s in p.communicate(timeout=60))
    t.expect("keys --out holds the first key before the search ends",
             "FFFFFFFFFFFF  # sector 0 key A" in written, written)
    t.expect("Ctrl-C ends keys with exit 130", p.returncode == 130, f"{p.returncode}\n{stderr}")
    t.expect("Ctrl-C: the table shows what was found and what was not searched",
             "     0  FFFFFFFFFFFF  ?" in stdout and "     1  -             -" in stdout
             and "    15  -             -" in stdout, stdout)
    t.expect("Ctrl-C: the message says so", "the search was interrupted" in stderr, stderr)
    with open(out) as f:
        final = f.read()
    t.expect("Ctrl-C: the --out file is complete and no temporary file is left",
             "FFFFFFFFFFFF  # sector 0 key A" in final and "interrupted" in final
             and not os.path.exists(out + ".tmp"), final)
    t.check("Ctrl-C: the --out file opens the sector", ["--keys-file", out, "--no-default-key",
                                                         "read", "1"], card.env(), out=[r"^block 1,"])


# The card's access-condition tables as published, in the tool's words.
AB, A, B, NEVER = "key A or B", "key A", "key B", "never"
DATA_RIGHTS = {  # C1C2C3: read, write, increment, decrement/transfer/restore
    "000": (AB, AB, AB, AB), "010": (AB, NEVER, NEVER, NEVER), "100": (AB, B, NEVER, NEVER),
    "110": (AB, B, B, AB), "001": (AB, NEVER, NEVER, AB), "011": (B, B, NEVER, NEVER),
    "101": (B, NEVER, NEVER, NEVER), "111": (NEVER, NEVER, NEVER, NEVER),
}
TRAILER_RIGHTS = {  # C1C2C3: write key A, read/write access bits, read/write key B
    "000": (A, A, NEVER, A, A), "010": (NEVER, A, NEVER, A, NEVER), "100": (B, AB, NEVER, NEVER, B),
    "110": (NEVER, AB, NEVER, NEVER, NEVER), "001": (A, A, A, A, A), "011": (B, AB, B, NEVER, B),
    "101": (NEVER, AB, B, NEVER, NEVER), "111": (NEVER, AB, NEVER, NEVER, NEVER),
}


def acl_cases(t, work):
    for bits, (read, write, inc, dec) in DATA_RIGHTS.items():
        out = t.check(f"acl encode data {bits}", ["acl", "encode", bits, "001"])
        encoded = out.split()[3:6] if out.startswith("trailer bytes 6-9:") else []
        t.expect(f"acl encode data {bits}: the bytes of the bit layout",
                 "".join(encoded) == access_bytes([int(bits, 2)] * 3 + [1]).hex().upper(), out)
        line = f"read {read}; write {write}; increment {inc}; decrement, transfer, restore {dec}"
        t.check(f"acl --bytes decodes data {bits}", ["acl", "--bytes", "".join(encoded)],
                out=[f"^  data block {g}, C1C2C3 {bits}: {line}$" for g in range(3)])
    for bits, (a_write, acc_read, acc_write, b_read, b_write) in TRAILER_RIGHTS.items():
        out = t.check(f"acl encode trailer {bits}", ["acl", "encode", "000", bits])
        encoded = "".join(out.split()[3:6])
        t.expect(f"acl encode trailer {bits}: the bytes of the bit layout",
                 encoded == access_bytes([0, 0, 0, int(bits, 2)]).hex().upper(), out)
        line = (f"key A read never, write {a_write}; access bits read {acc_read}, write {acc_write}; "
                f"key B read {b_read}, write {b_write}")
        t.check(f"acl --bytes decodes trailer {bits}", ["acl", "--bytes", encoded],
                out=[f"^  trailer, C1C2C3 {bits}: {line}$"])
    t.check("acl encode by names, one condition per block",
            ["acl", "encode", "read-only", "open", "value", "key-b"],
            out=[r"^  data block 0, C1C2C3 010:", r"^  data block 2, C1C2C3 110:", r"^  trailer, C1C2C3 011:"])
    t.check("acl of broken access bits", ["acl", "--bytes", "FF0781"], status=1,
            err=[r"not stored with their inverses"])
    t.check("acl lists what cannot be undone", ["acl", "--bytes", "00F0FF"],
            out=[r"^cannot be undone once written:$", r"^  its access conditions can never be changed again$"])
    card = Card(t, work, "acl")
    t.check("acl SECTOR reads the card", ["acl", "5"], card.env(),
            out=[r"^sector 5, trailer block 23, key A FFFFFFFFFFFF$", r"^access bits FF 07 80$",
                 r"^  block 20, C1C2C3 000: read key A or B", r"^  trailer \(block 23\), C1C2C3 001:",
                 r"^key B \(read from the trailer\): FFFFFFFFFFFF$"])
    t.check("acl of a sector beyond the card", ["acl", "16"], card.env(), status=1,
            err=[r"sector 16 is outside the card"])
    t.check("dump shows each sector's conditions", ["dump"], card.env(),
            out=[r"^      block 60, C1C2C3 000: read key A or B; write key A or B",
                 r"^      trailer \(block 63\), C1C2C3 001: key A read never, write key A"])


def main():
    t = Tool(sys.argv[1], None)
    work = tempfile.mkdtemp(prefix="zubtool-cards-")
    try:
        restore_cases(t, work)
        safety_cases(t, work)
        keys_cases(t, work)
        acl_cases(t, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"zubtool cards: {t.passed} passed, {t.failures} failed")
    return 1 if t.failures else 0


if __name__ == "__main__":
    sys.exit(main())
