#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (corpus/<target>/) from the
known frames of the reader protocol. The input formats are described at the
top of each *_fuzz.cpp and in harness/vendor.cpp (replies to reads).

Run it again after changing an input format or the command table of
sim/protocol.h: python3 fuzz/seeds.py. With --check it writes nothing and
fails if a seed in corpus/ differs from what it would write (a ctest test).
"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROTOCOL = os.path.join(HERE, os.pardir, "sim", "protocol.h")

# Export numbers, as in harness/host.h.
(OPEN, CLOSE, REQUEST, ANTICOLL, SELECT, LOADKEY, AUTH, READ, WRITE, INC, DEC, RESTORE,
 TRANSFER, HALT, BEEP, BEEPMS, LED, LEDX, RELAY, ERRMSG) = range(20)


def xor(bs):
    x = 0
    for b in bs:
        x ^= b
    return x


# ---- replies to reads (harness/vendor.cpp) ----

def made(status=0, fields=b"", echo=None):
    """A well-formed reply echoing the request (or `echo`)."""
    if echo is None:
        return bytes([1, status, len(fields)]) + fields
    return bytes([5, status, len(fields), echo]) + fields


def raw(frame, fix=False, echo=False):
    return bytes([2 | (4 if echo else 0) | (8 if fix else 0), len(frame)]) + frame


def forged(frame, count):
    return bytes([3, len(frame)]) + frame + struct.pack("<I", count)


NONE = bytes([0])


# ---- "replies": flags, then calls of five bytes: export, a, b, c, t ----

def rcall(export, a=0, b=0, c=0, t=0):
    return bytes([export, a, b, c, t])


SERIAL, KEY, BLOCK = 1, 2, 3  # t % 4 picks the text


def replies_seeds():
    block = bytes(range(16))
    s = {}
    s["halt_status_0"] = b"\0" + rcall(HALT) + made()
    s["halt_status_10"] = b"\0" + rcall(HALT) + made(10)
    s["halt_raw_reply"] = b"\0" + rcall(HALT) + raw(bytes.fromhex("04D00100D5"))
    s["halt_wrong_check"] = b"\0" + rcall(HALT) + raw(bytes.fromhex("04D00100D4"))
    s["halt_forged_count"] = b"\0" + rcall(HALT) + forged(bytes.fromhex("04D00100D5"), 64)
    s["halt_short_count"] = b"\0" + rcall(HALT) + forged(bytes.fromhex("04D00100D5"), 3)
    s["halt_other_command"] = b"\0" + rcall(HALT) + made(0, b"", echo=0x51)
    s["halt_no_reply"] = b"\0" + rcall(HALT) + NONE
    s["read_block_4"] = b"\0" + rcall(READ, 4) + made(0, block) + rcall(READ, 4) + made(4)
    s["request_no_card"] = (b"\0" + rcall(REQUEST, 0) + made(1) + rcall(SELECT, t=SERIAL) + made(8)
                            + rcall(ANTICOLL) + made(1))
    s["select_short_reply"] = b"\0" + rcall(SELECT, t=SERIAL) + raw(bytes.fromhex("04300100"), fix=True)
    s["card_session"] = (b"\0" + rcall(REQUEST, 1) + made(0, b"\x04\x00")
                         + rcall(ANTICOLL) + made(0, bytes.fromhex("1A7B8C5483"))
                         + rcall(SELECT, t=SERIAL) + made(0, b"\x08")
                         + rcall(LOADKEY, 0, 0, t=KEY) + made()
                         + rcall(AUTH, 0, 0, 4) + made()
                         + rcall(READ, 4) + made(0, block)
                         + rcall(WRITE, 4, t=BLOCK) + made()
                         + rcall(INC, 5, 1) + made() + rcall(DEC, 5, 1) + made()
                         + rcall(RESTORE, 5) + made() + rcall(TRANSFER, 6) + made()
                         + rcall(HALT) + made())
    s["signals"] = (b"\0" + rcall(BEEP, 1) + made() + rcall(BEEPMS, 0) + made() + made()
                    + rcall(LED, 2, 1) + made(3) + rcall(LEDX, 127) + made()
                    + rcall(LEDX, 128) + rcall(RELAY, 1, 1) + rcall(ERRMSG, 2)
                    + rcall(ERRMSG, 7) + rcall(ERRMSG, 0, t=8))
    s["link_lifetime"] = (b"\0" + rcall(CLOSE) + rcall(HALT) + rcall(OPEN, 1, t=0x10)
                          + rcall(OPEN, 0) + rcall(OPEN, 0) + rcall(HALT) + made())
    # With faults on, every vendor call takes a byte first (7: fault).
    s["faults"] = (b"\1" + b"\0\0\0"                      # open, buffered upload, reset
                   + rcall(HALT) + b"\7\0\0" + made()    # the write faults
                   + rcall(HALT) + b"\0\0\7"             # the read faults
                   + rcall(CLOSE) + b"\7"                # the close faults
                   + rcall(OPEN) + b"\0\7\0\0"           # buffered upload faults
                   + rcall(OPEN) + b"\0\0\0" + rcall(HALT) + b"\0\0\0" + made())
    return s


# ---- "requests": flags, then export, m, a, b, c, text (u16 length, bytes) ----

def qcall(export, a=0, b=0, c=0, text=None, out=0, absent=False):
    m = 0
    args = b""
    for k, v in enumerate((a, b, c)):
        if 0 <= v <= 255:
            args += bytes([v])
        else:
            m |= 1 << k
            args += struct.pack("<i", v)
    if text is None:
        m |= 8
        text = b""
    m |= out << 4
    if absent:
        m |= 0x80
    return bytes([export, m]) + args + struct.pack("<H", len(text)) + text


def requests_seeds():
    s = {}
    s["select_serial"] = b"\0" + qcall(SELECT, text=b"A1B2C3D4") + made(0, b"\x08")
    s["select_odd_text"] = b"\0" + qcall(SELECT, text=b"A1B2C3D") + made(0, b"\x08")
    s["loadkey"] = b"\0" + qcall(LOADKEY, 0, 1, text=b"FFFFFFFFFFFF") + made()
    s["write_block"] = b"\0" + qcall(WRITE, 4, text=b"00112233445566778899aabbccddeeff") + made()
    s["write_not_hex"] = b"\0" + qcall(WRITE, 4, text=b"ZZ112233") + qcall(WRITE, 4, text=b"0 1")
    s["write_longest"] = b"\0" + qcall(WRITE, 4, text=b"A" * 503) + made() + qcall(WRITE, 4, text=b"A" * 504)
    s["write_null_text"] = b"\0" + qcall(WRITE, 4) + made()
    s["write_embedded_zero"] = b"\0" + qcall(WRITE, 4, text=b"0011\0ZZ") + made()
    s["increment_value"] = b"\0" + qcall(INC, 8, 0x12345678) + made() + qcall(DEC, 8, -1) + made()
    s["out_of_range"] = (b"\0" + qcall(READ, 300) + qcall(RESTORE, -1) + qcall(AUTH, 0, 256, 4)
                         + qcall(LED, -1, 1) + qcall(LEDX, 128) + qcall(REQUEST, 2) + made(0, b"\x04\x00"))
    s["errmsg"] = (b"\0" + qcall(ERRMSG, -2147483648) + qcall(ERRMSG, 255) + qcall(ERRMSG, -2)
                   + qcall(ERRMSG, 1, out=2) + qcall(ERRMSG, 1, out=3))
    s["open_indexes"] = (b"\0" + qcall(OPEN, 256) + qcall(OPEN, 0, -5) + qcall(OPEN, 7, absent=True)
                         + qcall(CLOSE) + qcall(HALT))
    return s


# ---- "reader": card choice h, card bytes, then steps ----

def read_commands():
    """The command table of sim/protocol.h, in order: {code: (request, optional)}.

    The reader target picks a command by its position in that table, so the
    seeds take the positions (and the argument counts they check) from there.
    """
    with open(PROTOCOL, encoding="utf-8") as f:
        text = f.read()
    table = text[text.index("constexpr Command kCommands[] = {"):]
    table = table[:table.index("};")]
    entry = re.compile(r'\{0x([0-9A-Fa-f]{2}), "[^"]*", (\d+), (\d+), (\d+), "[^"]*"\}')
    commands = {}
    for m in entry.finditer(table):
        commands[int(m.group(1), 16)] = (int(m.group(2)), int(m.group(3)))
    if len(commands) != table.count("{0x"):
        raise SystemExit(f"{PROTOCOL}: an entry of kCommands is not in the form this script reads")
    return commands


COMMANDS = read_commands()
CODES = list(COMMANDS)


def step(command, data):
    """A frame step: the command's table slot, its data bytes (lead byte first)."""
    request, _ = COMMANDS[command]
    if len(data) != 1 + request:
        raise ValueError(f"command {command:02X} takes 1 + {request} data bytes, not {len(data)}")
    return bytes([CODES.index(command) << 3]) + data


def image_1k(uid=bytes.fromhex("1A7B8C54")):
    img = bytearray(1024)
    img[0:4] = uid
    img[4] = xor(uid)
    img[5:8] = b"\x08\x04\x00"
    for sector in range(16):
        t = sector * 4 + 3
        img[t * 16:(t + 1) * 16] = b"\xff" * 6 + bytes.fromhex("FF078069") + b"\xff" * 6
    return bytes(img)


def value_block(value, address):
    v = struct.pack("<i", value)
    inv = bytes(b ^ 0xFF for b in v)
    return v + inv + v + bytes([address, address ^ 0xFF, address, address ^ 0xFF])


def session():
    uid = bytes.fromhex("1A7B8C54")
    return (step(0x11, b"\x01") + step(0x20, b"\x01") + step(0x30, b"\x01" + uid)
            + step(0xE0, b"\x01\x00\x00" + b"\xff" * 6) + step(0x40, b"\x01\x00\x00\x04")
            + step(0x50, b"\x01\x04") + step(0x60, b"\x01\x04" + bytes(range(16)))
            + step(0x50, b"\x01\x07") + step(0x60, b"\x01\x05" + value_block(100, 5))
            + step(0x70, b"\x01\x05" + struct.pack("<i", 7)) + step(0xA0, b"\x01\x06")
            + step(0x80, b"\x01\x06" + struct.pack("<i", 1)) + step(0x90, b"\x01\x06")
            + step(0xA0, b"\x01\x05") + step(0xD0, b"\x01"))


def reader_seeds():
    s = {}
    s["new_1k_session"] = b"\x03" + bytes.fromhex("1A7B8C54") + session()
    s["image_1k_session"] = b"\x00" + image_1k() + session()
    s["image_file_1k"] = b"\x08" + image_1k() + step(0x11, b"\x01") + step(0x20, b"\x01")
    s["image_wrong_size"] = b"\x02" + struct.pack("<H", 100) + bytes(100) + bytes([5, 5]) + bytes.fromhex("04D00100D5")
    s["new_4k_signals"] = (b"\x07" + bytes.fromhex("01020304") + step(0xF3, b"\x01\x01")
                           + step(0xF1, b"\x01\x02\x01") + step(0xF6, b"\x01\x7f")
                           + bytes([6, 0]) + step(0x11, b"\x01") + bytes([6, 1])
                           + bytes([7, 3]) + step(0x11, b"\x01"))
    s["raw_frames"] = (b"\x03" + bytes(4) + bytes([5, 4]) + bytes.fromhex("03D001D2")
                       + bytes([5, 4]) + bytes.fromhex("03D001D3") + bytes([5, 1, 0])
                       + bytes([5, 4]) + bytes.fromhex("030701" + "05"))
    return s


def apdu_seeds():
    """The driver's pseudo-APDUs, one of each, and a few it refuses."""
    key = bytes.fromhex("FFFFFFFFFFFF")
    s = {}
    s["get_uid"] = bytes.fromhex("FFCA000000")
    s["get_ats"] = bytes.fromhex("FFCA010000")
    s["load_key"] = bytes.fromhex("FF82000006") + key
    s["load_key_with_le"] = bytes.fromhex("FF82000106") + key + b"\x00"
    s["general_authenticate"] = bytes.fromhex("FF860000050100046000")
    s["authenticate_old"] = bytes.fromhex("FF88000461 00".replace(" ", ""))
    s["read_binary"] = bytes.fromhex("FFB0000410")
    s["update_binary"] = bytes.fromhex("FFD6000410") + bytes(range(16))
    s["store_value"] = bytes.fromhex("FFD700050500000003E8")
    s["increment"] = bytes.fromhex("FFD700050501FFFFFFFF")
    s["decrement"] = bytes.fromhex("FFD70005050280000000")
    s["restore_transfer"] = bytes.fromhex("FFD70005020306")
    s["read_value"] = bytes.fromhex("FFB1000504")
    s["short"] = bytes.fromhex("FFB0")
    s["wrong_lc"] = bytes.fromhex("FFD6000410") + bytes(8)
    s["iso_select"] = bytes.fromhex("00A4040007A0000000041010")
    return s


# ---- "formats": a byte picking format and size, then a file's content ----

RAW, MCT, EML, JSON, NFC = range(5)
NO_SIZE, MINI, K1, K4 = range(4)
FACTORY_TRAILER = "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"
BLOCK0 = "1A7B8C54B90804006263646566676869"


def card_blocks(sectors):
    """The blocks of a fresh card: block 0, zeros, factory trailers."""
    blocks = []
    for sector in range(sectors):
        count = 4 if sector < 32 else 16
        for i in range(count):
            if i == count - 1:
                blocks.append(FACTORY_TRAILER)
            elif sector == 0 and i == 0:
                blocks.append(BLOCK0)
            else:
                blocks.append("00" * 16)
    return blocks


def sectors_of(blocks):
    out, i, sector = [], 0, 0
    while i < len(blocks):
        count = 4 if sector < 32 else 16
        out.append(blocks[i:i + count])
        i += count
        sector += 1
    return out


def mct_text(blocks, leave_out=()):
    lines = []
    for n, sector in enumerate(sectors_of(blocks)):
        if n in leave_out:
            continue
        lines.append("+Sector: %d" % n)
        lines.extend(sector)
    return "\n".join(lines) + "\n"


def nfc_text(blocks, kind):
    head = ("Filetype: Flipper NFC device\nVersion: 4\n# Nfc device type can be UID, Mifare "
            "Ultralight, Mifare Classic\nDevice type: Mifare Classic\n# UID, ATQA and SAK are "
            "common for all formats\nUID: 1A 7B 8C 54\nATQA: 00 04\nSAK: 08\n"
            "# Mifare Classic specific data\nMifare Classic type: %s\nData format version: 2\n"
            "# Mifare Classic blocks, '??' means unknown data\n" % kind)
    body = "".join("Block %d: %s\n" % (i, " ".join(b[j:j + 2] for j in range(0, 32, 2)))
                   for i, b in enumerate(blocks))
    return head + body


def json_text(blocks, file_type="mfc v2"):
    body = ",\n".join('    "%d": "%s"' % (i, b) for i, b in enumerate(blocks))
    keys = ",\n".join('    "%d": {"KeyA": "FFFFFFFFFFFF", "KeyB": "FFFFFFFFFFFF", '
                      '"AccessConditions": "FF078069"}' % n
                      for n in range(len(sectors_of(blocks))))
    return ('{\n  "Created": "seeds",\n  "FileType": "%s",\n  "Card": {"UID": "1A7B8C54", '
            '"ATQA": "0400", "SAK": "08"},\n  "blocks": {\n%s\n  },\n  "SectorKeys": {\n%s\n  }\n}\n'
            % (file_type, body, keys))


def formats_seeds():
    mini, k1, k4 = card_blocks(5), card_blocks(16), card_blocks(40)
    data = list(k1)
    data[4] = "48656C6C6F2C20776F726C6421000000"
    data[5] = "6400000094FFFFFF6400000005FA05FA"  # a value block: 100
    partial = list(k1)
    partial[6] = "0011----44556677----BBCCDDEEFF00"
    partial[7] = "------------FF078069FFFFFFFFFFFF"
    s = {}
    s["raw_1k"] = bytes([RAW]) + bytes.fromhex("".join(data))
    s["raw_mini"] = bytes([RAW]) + bytes.fromhex("".join(mini))
    s["raw_4k"] = bytes([RAW]) + bytes.fromhex("".join(k4))
    s["raw_odd_size"] = bytes([RAW]) + bytes(100)
    s["mct_1k"] = bytes([MCT]) + mct_text(data).encode()
    s["mct_unknown_digits"] = bytes([MCT]) + mct_text(partial, leave_out=(2, 9)).encode()
    s["mct_mini_sized"] = bytes([MCT + 5 * MINI]) + mct_text(mini, leave_out=(1,)).encode()
    s["mct_4k_sized"] = bytes([MCT + 5 * K4]) + mct_text(k4[:8]).encode()
    s["mct_bad_line"] = bytes([MCT]) + b"+Sector: 0\n" + BLOCK0.encode() + b"\n00zz\n"
    s["eml_1k"] = bytes([EML]) + ("# a comment\n" + "\n".join(data) + "\n").encode()
    s["eml_mini"] = bytes([EML]) + ("\r\n".join(mini) + "\r\n").encode()
    s["json_1k"] = bytes([JSON]) + json_text(data).encode()
    s["json_mfcard"] = bytes([JSON]) + json_text(mini, "mfcard").encode()
    s["json_v3_partial"] = bytes([JSON]) + json_text(
        partial, "mfc v3").encode()
    s["json_not_an_object"] = bytes([JSON]) + b'["blocks", 1, null]'
    s["nfc_1k"] = bytes([NFC]) + nfc_text(data, "1K").encode()
    s["nfc_mini"] = bytes([NFC]) + nfc_text(mini, "MINI").encode()
    s["nfc_unknown_bytes"] = bytes([NFC]) + nfc_text(
        [b.replace("--", "??") for b in partial], "1K").encode()
    s["nfc_4k_cut_short"] = bytes([NFC]) + nfc_text(k4[:70], "4K").encode()
    return s


# ---- "ndef": a byte picking the reader (% 4) and the card size, then bytes ----

def ndef_seeds():
    mad1 = bytes.fromhex("140103E1" + "03E1" * 14)
    uri = bytes.fromhex("D1010C55046578616D706C652E636F6D")  # https://example.com
    text = bytes.fromhex("D1010554") + bytes([2]) + b"enHi"
    mime = bytes([0xD2, 10, 3]) + b"text/plainabc"
    s = {}
    s["mad1_1k"] = bytes([0 + 4 * 1]) + mad1
    s["mad1_bad_crc"] = bytes([0 + 4 * 1]) + bytes([0x15]) + mad1[1:]
    s["mad2_4k"] = bytes([0 + 4 * 3]) + mad1 + bytes([0x00, 0x01]) + bytes.fromhex("03E1" * 23)
    s["tlv_empty_tag"] = bytes([1]) + bytes.fromhex("0300FE") + bytes(45)
    s["tlv_uri"] = bytes([1]) + bytes([3, len(uri)]) + uri + bytes([0xFE]) + bytes(29)
    s["tlv_long_length"] = bytes([1]) + bytes.fromhex("00FD0100" "03FF0010") + uri + bytes(10)
    s["tlv_past_the_end"] = bytes([1]) + bytes.fromhex("03FF02F0") + bytes(40)
    s["message_uri"] = bytes([2]) + uri
    s["message_three"] = bytes([2]) + bytes([uri[0] & ~0x40]) + uri[1:] + bytes([text[0] & ~0xC0]) + text[1:] \
        + bytes([mime[0] & ~0x80]) + mime[1:]
    s["message_long_record"] = bytes([2]) + bytes.fromhex("C1010000000455") + bytes([4]) + b"a.b"
    s["message_chunked"] = bytes([2]) + bytes.fromhex("B1010155 00")
    s["text_utf16"] = bytes([2]) + bytes.fromhex("D1010754 82 6465 FEFF 0048")
    s["uri_https"] = bytes([3]) + b"https://www.example.com/a?b=c"
    s["uri_control"] = bytes([3]) + b"http://a\x01b"
    return s


def main(argv):
    check = argv[1:] == ["--check"]
    stale = []
    for target, seeds in (("replies", replies_seeds()), ("requests", requests_seeds()),
                          ("reader", reader_seeds()), ("apdu", apdu_seeds()),
                          ("formats", formats_seeds()), ("ndef", ndef_seeds())):
        folder = os.path.join(HERE, "corpus", target)
        if not check:
            os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            path = os.path.join(folder, name)
            if check:
                try:
                    with open(path, "rb") as f:
                        if f.read() != data:
                            stale.append(path)
                except OSError:
                    stale.append(path)
            else:
                with open(path, "wb") as f:
                    f.write(data)
    for path in stale:
        print(f"{path}: not what fuzz/seeds.py writes; run python3 fuzz/seeds.py")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
