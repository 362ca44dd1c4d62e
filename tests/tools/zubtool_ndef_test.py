#!/usr/bin/env python3
"""End-to-end tests of mad and ndef against the virtual reader: a card
formatted for NDEF byte for byte as the published layout, messages written
and read back, the exchanges ndef read needs, and bad input refused with
nothing written.

    zubtool_ndef_test.py PATH/TO/zubtool
"""
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zubtool_test import Tool  # noqa: E402
from zubtool_cards_test import Card, trailer  # noqa: E402

READ = 0x50

MAD_BLOCK1 = "140103E103E103E103E103E103E103E1"
MAD_BLOCK2 = "03E1" * 8
MAD_TRAILER = "A0A1A2A3A4A5787788C1FFFFFFFFFFFF"
NFC_TRAILER = "D3F7D3F7D3F77F078840FFFFFFFFFFFF"
URI_MESSAGE = "D1010C55046578616D706C652E636F6D"  # https://example.com


def block(image, n):
    return image[n * 16:n * 16 + 16].hex().upper()


def formatted_1k():
    """A 1K as ndef format leaves a new card: the published layout."""
    image = bytearray(1024)
    image[16:48] = bytes.fromhex(MAD_BLOCK1 + MAD_BLOCK2)
    image[48:64] = bytes.fromhex(MAD_TRAILER)
    image[64:67] = bytes.fromhex("0300FE")
    for sector in range(1, 16):
        image[sector * 64 + 48:sector * 64 + 64] = bytes.fromhex(NFC_TRAILER)
    return image


def format_cases(t, work):
    card = Card(t, work, "blank")
    t.check("ndef read of a blank card says it is not formatted", ["ndef", "read"], card.env(), status=1,
            err=[r"no application directory"])
    t.check("ndef format of a new card", ["ndef", "format"], card.env(),
            out=[r"formatted for NDEF: MAD1 in sector 0, NFC sectors 1, 2, .*15, 63 blocks written "
                 r"\(read back the same\); room for 716 bytes of message"])
    image, want = card.image(), formatted_1k()
    differs = [n for n in range(1, 64) if block(image, n) != block(want, n)]
    t.expect("the formatted card holds the published layout in every block but block 0", not differs,
             [(n, block(image, n), block(want, n)) for n in differs])
    t.check("mad shows the directory", ["mad"], card.env(),
            out=[r"MAD1, CRC 14 \(correct\)", r"^general purpose byte C1: directory present",
                 r"^     1  03E1  NFC Forum \(NDEF\)$", r"^free sectors: none$"])
    t.check("ndef read of the empty tag", ["ndef", "read"], card.env(), out=[r"the message is empty"])
    t.check("ndef format again needs --force (the directory is data)", ["ndef", "format"], card.env(),
            status=2, err=[r"holds data in sectors 0, 1, which formatting erases: give --force.*nothing written"])
    t.check("ndef format --force of a formatted card, key B (FFFFFFFFFFFF) kept", ["ndef", "format", "--force"],
            card.env(), out=[r"63 blocks written"])
    t.expect("formatted again: the same card", card.image()[16:] == bytes(want[16:]))

    kept = Card(t, work, "keep-b")
    t.check("a sector with data and its own key B", ["write", "--force", "23",
            trailer("FFFFFFFFFFFF", "FF0780", "B0B1B2B3B4B5")], kept.env())
    t.check("write data", ["write", "20", "11" * 16], kept.env())
    kept.refused("ndef format of a card with data", ["ndef", "format"], "holds data in sector 5")
    t.check("ndef format --force", ["ndef", "format", "--force"], kept.env())
    t.expect("the sector keeps its key B", block(kept.image(), 23) == "D3F7D3F7D3F77F078840B0B1B2B3B4B5",
             block(kept.image(), 23))
    given = Card(t, work, "given-b")
    t.check("ndef format --key-b", ["ndef", "format", "--key-b", "C0C1C2C3C4C5"], given.env())
    t.expect("every trailer holds the key B given",
             all(block(given.image(), s * 4 + 3).endswith("C0C1C2C3C4C5") for s in range(16)))


def message_cases(t, work):
    card = Card(t, work, "messages", formatted_1k())
    mime = os.path.join(work, "data.txt")
    with open(mime, "wb") as f:
        f.write(b"x" * 100)
    cases = [  # name, write options, what ndef read shows, the JSON record
        ("URI", ["--uri", "https://example.com"], [r"^record 1: URI", r"^  URL: https://example.com$"],
         {"kind": "URI", "uri": "https://example.com"}),
        ("URI with the longest prefix", ["--uri", "urn:epc:id:sgtin:1"], [r"URL: urn:epc:id:sgtin:1$"],
         {"uri": "urn:epc:id:sgtin:1"}),
        ("text with its language", ["--text", "Grüße", "--lang", "de"],
         [r"^record 1: text", r"language de, UTF-8", r"text: Grüße$"],
         {"kind": "text", "language": "de", "text": "Grüße"}),
        ("MIME", ["--mime", "text/plain", mime], [r"^record 1: MIME type text/plain, 100 bytes of payload"],
         {"kind": "MIME type", "type": "text/plain", "payloadSize": 100}),
        ("absolute URI", ["--absolute-uri", "https://schemas.example/t", mime],
         [r"^record 1: absolute URI, 100 bytes of payload", r"^  URI: https://schemas.example/t$"],
         {"kind": "absolute URI", "tnf": 3, "uri": "https://schemas.example/t", "payload": "78" * 100}),
        ("external type", ["--external", "example.com:card", mime],
         [r"^record 1: external type example.com:card, 100 bytes of payload"],
         {"kind": "external type", "tnf": 4, "type": "example.com:card", "payloadSize": 100}),
    ]
    for name, options, shows, record in cases:
        t.check(f"ndef write: {name}", ["ndef", "write"] + options, card.env(), out=[r"read back the same"])
        t.check(f"ndef read: {name}", ["ndef", "read"], card.env(), out=shows)
        rc, out, _ = t.run(["ndef", "read", "--json"], card.env())
        got = json.loads(out)["records"][0] if rc == 0 else {}
        t.expect(f"ndef read --json: {name}", all(got.get(k) == v for k, v in record.items()), got)

    t.check("write the published URI", ["ndef", "write", "--uri", "https://example.com"], card.env())
    t.expect("the card holds 03 10, the record and FE",
             card.image()[64:83].hex().upper() == "0310" + URI_MESSAGE + "FE", card.image()[64:83].hex())
    area = b"".join(card.image()[n * 16:n * 16 + 16] for n in range(4, 64) if n % 4 != 3)
    t.expect("the longer MIME message before it is cleared, not left behind the terminator",
             area[19:116] == bytes(97), area[19:116].hex())
    raw = os.path.join(work, "message.ndef")
    with open(raw, "wb") as f:
        f.write(bytes.fromhex("91010155" "00" "5101035402656E"))  # two records: U, T
    t.check("ndef write --message: a whole message", ["ndef", "write", "--message", raw], card.env())
    t.check("both records read", ["ndef", "read"], card.env(), out=[r"^record 1: URI", r"^record 2: text"])

    # The exchanges of ndef read on a 1K: finding the card (3), the directory
    # (key, authentication, blocks 1 and 2), then the NFC sector's key, its
    # authentication and the blocks the message is in.
    t.check("write the URI again", ["ndef", "write", "--uri", "https://example.com"], card.env())
    card.exchanges()
    t.check("ndef read", ["ndef", "read"], card.env())
    pairs = card.exchanges()
    reads = [p[0][3] for p in pairs if p[0][1] == READ]
    print(f"ndef read of a 19-byte TLV on a 1K: {len(pairs)} exchanges, blocks read {reads}")
    t.expect("ndef read: 11 exchanges, blocks 1, 2, 4 and 5 read", len(pairs) == 11 and reads == [1, 2, 4, 5],
             (len(pairs), reads))


def refusal_cases(t, work):
    card = Card(t, work, "refusals", formatted_1k())
    cases = [
        ("a message larger than the NFC sectors", ["ndef", "write", "--text", "x" * 711],
         "is 721 bytes; at most 716 bytes fit in the 720 bytes of the NFC sectors (sectors 1, 2"),
        ("a URI with a control character", ["ndef", "write", "--uri", "https://example.com/\x01"],
         "control character 01"),
        ("a URI with a line break", ["ndef", "write", "--uri", "https://a\nb"], "control character 0A"),
        ("a text that is not UTF-8", ["ndef", "write", "--text", b"caf\xe9"], "not valid UTF-8"),
        ("two message forms", ["ndef", "write", "--uri", "x:", "--text", "y"], "give one of"),
        ("an absolute URI without a scheme", ["ndef", "write", "--absolute-uri", "example.com/x", "/dev/null"],
         "not an absolute URI"),
        ("an absolute URI with a space", ["ndef", "write", "--absolute-uri", "https://a b", "/dev/null"],
         "holds a space"),
        ("an absolute URI longer than a type holds",
         ["ndef", "write", "--absolute-uri", "https://a/" + "x" * 250, "/dev/null"], "at most 255"),
        ("an absolute URI without its FILE", ["ndef", "write", "--absolute-uri", "https://a/"], "needs the FILE"),
        ("an external type without its domain", ["ndef", "write", "--external", "card", "/dev/null"],
         "not an external type"),
        ("an external type that is not ASCII", ["ndef", "write", "--external", "example.com:kärtchen", "/dev/null"],
         "printable ASCII"),
        ("an external type without its FILE", ["ndef", "write", "--external", "example.com:card"], "needs the FILE"),
        ("a MIME type and an external type", ["ndef", "write", "--mime", "a/b", "--external", "a:b", "/dev/null"],
         "give one of"),
    ]
    for name, args, message in cases:
        card.refused(f"refused: {name}", args, message)

    bad_crc = formatted_1k()
    bad_crc[16] = 0x15
    damaged = Card(t, work, "bad-crc", bad_crc)
    damaged.refused("ndef write on a directory with a bad CRC", ["ndef", "write", "--uri", "https://a"],
                    "CRC 15, its bytes give 14")
    t.check("ndef read on a directory with a bad CRC", ["ndef", "read"], damaged.env(), status=1,
            err=[r"application directory is damaged.*not trusted"])
    t.check("mad on a directory with a bad CRC", ["mad"], damaged.env(), status=1,
            out=[r"CRC 15 \(should be 14\)"], err=[r"damaged"])

    past = formatted_1k()
    past[64:68] = bytes.fromhex("03FF02F0")  # 752 bytes claimed, 720 there
    t.check("a TLV length past the end", ["ndef", "read"], Card(t, work, "past", past).env(), status=1,
            err=[r"claims 752 bytes, past the end of the NFC sectors' 720 bytes"])

    foreign = formatted_1k()
    foreign[112:128] = bytes.fromhex(trailer("112233445566", "7F0788", "665544332211"))
    other = Card(t, work, "foreign", foreign)
    other.refused("ndef write into a sector with other keys", ["ndef", "write", "--text", "y" * 60],
                  "sector 1 is the NFC Forum's in the directory, but it does not open")
    t.check("ndef read of a sector with other keys", ["ndef", "read"], other.env(), status=1,
            err=[r"sector 1 is the NFC Forum's in the directory, but it does not open with the NFC key A"])


def read_only_case(t, work):
    card = Card(t, work, "read-only")
    t.check("ndef format --read-only-forever with a URI",
            ["ndef", "format", "--read-only-forever", "--uri", "https://example.com"], card.env(),
            out=[r"read-only for good"])
    image = card.image()
    t.expect("read-only trailers: 078F0F C1 and 078F0F 43",
             block(image, 3) == "A0A1A2A3A4A5078F0FC1FFFFFFFFFFFF"
             and block(image, 7) == "D3F7D3F7D3F7078F0F43FFFFFFFFFFFF", (block(image, 3), block(image, 7)))
    t.check("the read-only tag reads", ["ndef", "read"], card.env(), out=[r"URL: https://example.com$"])
    card.refused("ndef write on the read-only tag", ["ndef", "write", "--uri", "https://b"],
                 "the sector is read-only")


def four_k_case(t, work):
    card = Card(t, work, "4k")
    image = bytearray(4096)
    image[:8] = card.image()[:5] + bytes.fromhex("180200")
    for n in list(range(3, 128, 4)) + list(range(143, 256, 16)):
        image[n * 16:n * 16 + 16] = bytes.fromhex(trailer())
    with open(card.path, "wb") as f:
        f.write(image)
    t.check("ndef format of a 4K", ["ndef", "format"], card.env(), out=[r"MAD2 in sector 0 and 16"])
    data = os.path.join(work, "big.bin")
    payload = bytes(range(256)) * 3 + b"end"
    with open(data, "wb") as f:
        f.write(payload)
    t.check("a message across sector 16", ["ndef", "write", "--mime", "application/octet-stream", data],
            card.env(), out=[r"801 bytes written to blocks 4 to 74"])
    image = card.image()
    t.expect("sector 16 holds MAD2, not the message",
             image[64 * 16 + 2:64 * 16 + 4] == bytes.fromhex("03E1")
             and block(image, 67).startswith("A0A1A2A3A4A5787788C2"), block(image, 67))
    rc, out, err = t.run(["ndef", "read", "--json"], card.env())
    got = json.loads(out) if rc == 0 else {}
    t.expect("the message read back across sector 16", got.get("records", [{}])[0].get("payload") ==
             payload.hex().upper() and got.get("sectorsRead", [])[-2:] == [17, 18], (rc, err, got.get("sectorsRead")))
    t.check("mad of the 4K", ["mad"], card.env(), out=[r"MAD2 CRC .. \(correct\)", r"^    39  03E1"])

    # A 4K with MAD1 alone and other data in sector 16: a message within
    # sector 1 is read without looking at sector 16.
    mad1_only = bytearray(image)
    mad1_only[16:64] = formatted_1k()[16:64]
    mad1_only[64 * 16:67 * 16] = bytes(range(48))
    mad1_only[64:83] = bytes.fromhex("0310" + URI_MESSAGE + "FE")
    with open(card.path, "wb") as f:
        f.write(mad1_only)
    card.exchanges()
    t.check("a 4K with MAD1 alone: the message in sector 1 reads", ["ndef", "read"], card.env(),
            out=[r"URL: https://example.com$"])
    t.expect("a 4K with MAD1 alone: sector 16 not read, 11 exchanges", len(card.exchanges()) == 11)
    t.check("a 4K with MAD1 alone: a message past sector 15 needs MAD2, refused",
            ["ndef", "write", "--mime", "application/octet-stream", data], card.env(), status=1,
            err=[r"MAD2 \(sector 16\) holds CRC 00, its bytes give"])


def main():
    t = Tool(sys.argv[1], None)
    work = tempfile.mkdtemp(prefix="zubtool-ndef-")
    try:
        for cases in (format_cases, message_cases, refusal_cases, read_only_case, four_k_case):
            cases(t, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"zubtool ndef: {t.passed} passed, {t.failures} failed")
    return 1 if t.failures else 0


if __name__ == "__main__":
    sys.exit(main())
