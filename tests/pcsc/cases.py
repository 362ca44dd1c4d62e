"""What pcscd_test.py checks through pcscd: each case a function taking the
running daemon; run_all runs them in order and returns the names that failed.
"""
import re
import subprocess
import time
import traceback

from smartcard import scard

import pcscd_test as t

SHARED = scard.SCARD_SHARE_SHARED
T1 = scard.SCARD_PROTOCOL_T1
ANY = scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1


class Check(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Check(what)


def ok(hresult, what):
    expect(hresult == scard.SCARD_S_SUCCESS,
           "%s: %s" % (what, scard.SCardGetErrorMessage(hresult)))


class Client:
    def __init__(self):
        hresult, self.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        ok(hresult, "SCardEstablishContext")

    def close(self):
        scard.SCardReleaseContext(self.context)

    def readers(self):
        hresult, names = scard.SCardListReaders(self.context, [])
        ok(hresult, "SCardListReaders")
        return names

    def reader(self, friendly):
        for name in self.readers():
            if name.startswith(friendly):
                return name
        raise Check("no reader named %s in %s" % (friendly, self.readers()))

    def connect(self, friendly, share=SHARED, protocols=ANY):
        hresult, card, protocol = scard.SCardConnect(self.context, self.reader(friendly), share,
                                                     protocols)
        ok(hresult, "SCardConnect " + friendly)
        return Card(card, protocol)

    def state(self, friendly, known=scard.SCARD_STATE_UNAWARE, timeout_ms=0):
        hresult, states = scard.SCardGetStatusChange(self.context, timeout_ms,
                                                     [(self.reader(friendly), known)])
        if hresult == scard.SCARD_E_TIMEOUT:
            return known
        ok(hresult, "SCardGetStatusChange")
        return states[0][1]

    def wait_for(self, friendly, flag, limit_s):
        """Seconds until the reader's state has `flag`; fails after limit_s."""
        start = time.monotonic()
        known = self.state(friendly)
        while not known & flag:
            left = limit_s - (time.monotonic() - start)
            expect(left > 0, "%s: no %s within %.1f s" % (friendly, hex(flag), limit_s))
            known = self.state(friendly, known & ~scard.SCARD_STATE_CHANGED, int(left * 1000))
        return time.monotonic() - start


class Card:
    def __init__(self, handle, protocol):
        self.handle = handle
        self.protocol = protocol

    def transmit_raw(self, apdu):
        return scard.SCardTransmit(self.handle, self.protocol, apdu)

    def transmit(self, apdu):
        hresult, response = self.transmit_raw(apdu)
        ok(hresult, "SCardTransmit " + bytes(apdu).hex())
        expect(len(response) >= 2, "a response without a status word")
        return response[:-2], (response[-2] << 8) | response[-1]

    def sw(self, apdu):
        return self.transmit(apdu)[1]

    def atr(self):
        hresult, _, _, _, atr = scard.SCardStatus(self.handle)
        ok(hresult, "SCardStatus")
        return list(atr)

    def open_sector(self, block, key=t.KEY, slot=0):
        expect(self.sw([0xFF, 0x82, 0x00, slot, 0x06] + key) == 0x9000, "load key")
        sw = self.sw([0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, block, 0x60, slot])
        expect(sw == 0x9000, "authenticate block %d: %04X" % (block, sw))

    def read(self, block):
        data, sw = self.transmit([0xFF, 0xB0, 0x00, block, 0x10])
        expect(sw == 0x9000, "read block %d: %04X" % (block, sw))
        return data

    def write(self, block, data):
        sw = self.sw([0xFF, 0xD6, 0x00, block, 0x10] + data)
        expect(sw == 0x9000, "write block %d: %04X" % (block, sw))

    def close(self, disposition=scard.SCARD_LEAVE_CARD):
        scard.SCardDisconnect(self.handle, disposition)


# ---- The cases ----

def readers_listed(d, c):
    names = c.readers()
    expect(any(n.startswith(t.READER_A) for n in names) and
           any(n.startswith(t.READER_B) for n in names), "readers: %s" % names)
    out = subprocess.run(["pcsc_scan", "-r"], env=d.env, capture_output=True, text=True,
                         timeout=20).stdout
    expect(t.READER_A in out and t.READER_B in out, "pcsc_scan -r:\n" + out)
    # pcsc_scan reports the cards with their ATRs (-c: list once and stop).
    out = subprocess.run(["pcsc_scan", "-c", "-n"], env=d.env, capture_output=True, text=True,
                         timeout=20).stdout
    atr_1k = " ".join("%02X" % b for b in t.ATR_1K)
    atr_4k = " ".join("%02X" % b for b in t.ATR_4K)
    expect(atr_1k in out and atr_4k in out, "pcsc_scan -c:\n" + out)


def atr_and_uid(d, c):
    for reader, atr, uid in ((t.READER_A, t.ATR_1K, t.UID_A), (t.READER_B, t.ATR_4K, t.UID_B)):
        card = c.connect(reader)
        expect(card.protocol == T1, "protocol %d" % card.protocol)
        expect(card.atr() == atr, "%s ATR %s" % (reader, card.atr()))
        data, sw = card.transmit([0xFF, 0xCA, 0x00, 0x00, 0x00])
        expect((data, sw) == (uid, 0x9000), "%s UID %s %04X" % (reader, data, sw))
        hresult, attr = scard.SCardGetAttrib(card.handle, 0x00070100)  # MIFAREZUB_ATTR_UID
        ok(hresult, "SCardGetAttrib UID")
        expect(list(attr) == uid, "UID attribute %s" % attr)
        expect(card.sw([0xFF, 0xCA, 0x01, 0x00, 0x00]) == 0x6A81, "GET DATA ATS")
        card.close()


def read_and_write(d, c):
    a = c.connect(t.READER_A)
    a.open_sector(4)
    data = list(b"pcscd wrote this")
    a.write(5, data)
    expect(a.read(5) == data, "read back on A")
    # Reader B's card is another card: its block 5 stays as it was.
    b = c.connect(t.READER_B)
    b.open_sector(4)
    expect(b.read(5) == [0] * 16, "B's block 5 changed with A's")
    b.write(5, list(range(16)))
    # A 4K card has blocks in the large sectors too.
    b.open_sector(0xF0)
    b.write(0xF0, [0xAB] * 16)
    expect(b.read(0xF0) == [0xAB] * 16, "B block 240")
    expect(a.read(5) == data, "A after B")
    # The older authenticate form works as well.
    expect(a.sw([0xFF, 0x88, 0x00, 0x08, 0x60, 0x00]) == 0x9000, "FF 88 authenticate")
    expect(a.read(9) == [0] * 16, "block 9")
    a.close()
    b.close()


def value_blocks(d, c):
    a = c.connect(t.READER_A)
    a.open_sector(12)
    expect(a.sw([0xFF, 0xD7, 0x00, 13, 0x05, 0x00, 0x00, 0x00, 0x03, 0xE8]) == 0x9000, "store")
    expect(a.sw([0xFF, 0xD7, 0x00, 13, 0x05, 0x01, 0x00, 0x00, 0x00, 0x0A]) == 0x9000, "inc")
    expect(a.sw([0xFF, 0xD7, 0x00, 13, 0x05, 0x02, 0x00, 0x00, 0x00, 0x01]) == 0x9000, "dec")
    expect(a.transmit([0xFF, 0xB1, 0x00, 13, 0x04]) == ([0, 0, 0x03, 0xF1], 0x9000), "1009")
    expect(a.sw([0xFF, 0xD7, 0x00, 13, 0x02, 0x03, 14]) == 0x9000, "restore to 14")
    expect(a.transmit([0xFF, 0xB1, 0x00, 14, 0x04]) == ([0, 0, 0x03, 0xF1], 0x9000), "copy")
    a.close()


def refusals(d, c):
    a = c.connect(t.READER_A)
    expect(a.sw([0xFF, 0x82, 0x00, 0x01, 0x06] + [1, 2, 3, 4, 5, 6]) == 0x9000, "load key")
    expect(a.sw([0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x01]) == 0x6300,
           "wrong key")
    expect(a.sw([0xFF, 0xB0, 0x00, 0x04, 0x10]) == 0x6982, "read without authentication")
    a.open_sector(4)
    expect(a.sw([0xFF, 0xB0, 0x00, 0x08, 0x10]) == 0x6982, "read in another sector")
    expect(a.sw([0xFF, 0xB0, 0x00, 0x40, 0x10]) == 0x6A82, "block 64 of a 1K card")
    malformed = [
        ([0xFF, 0xB0, 0x00], 0x6700),                               # short
        ([0xFF, 0xD6, 0x00, 0x05, 0x10] + [0] * 8, 0x6700),         # Lc says 16, 8 follow
        ([0xFF, 0xD6, 0x00, 0x05, 0x08] + [0] * 8, 0x6700),         # a block is 16 bytes
        ([0xFF, 0x00, 0x00, 0x00, 0x00], 0x6D00),                   # unknown INS
        ([0x00, 0xA4, 0x04, 0x00, 0x00], 0x6E00),                   # not the reader's class
        ([0xFF, 0x82, 0x00, 0x40, 0x06] + t.KEY, 0x6B00),           # no such key slot
    ]
    for apdu, sw in malformed:
        got = a.sw(apdu)
        expect(got == sw, "%s: %04X, not %04X" % (bytes(apdu).hex(), got, sw))
    # None of it disturbed the card: still authenticated.
    a.read(4)
    a.close()


def session_survives_polling(d, c):
    a = c.connect(t.READER_A)
    a.open_sector(4)
    before = d.trace_text().count("-> ")
    time.sleep(1.3)  # pcscd polls the card three times meanwhile
    polls = d.trace_text().count("-> ") - before
    expect(polls >= 2, "pcscd did not poll the card (%d frames)" % polls)
    a.read(4)
    a.close()


def insert_and_remove(d, c):
    expect(c.state(t.READER_A) & scard.SCARD_STATE_PRESENT, "a card at the start")
    d.command("0 out")
    gone = c.wait_for(t.READER_A, scard.SCARD_STATE_EMPTY, t.EVENT_LIMIT_S)
    d.command("0 in")
    back = c.wait_for(t.READER_A, scard.SCARD_STATE_PRESENT, t.EVENT_LIMIT_S)
    print("  removal reported after %.2f s, insertion after %.2f s" % (gone, back))
    # Reader B saw nothing of it.
    expect(c.state(t.READER_B) & scard.SCARD_STATE_PRESENT, "B's card")


def removal_during_connection(d, c):
    a = c.connect(t.READER_A)
    a.open_sector(4)
    d.command("0 out")
    c.wait_for(t.READER_A, scard.SCARD_STATE_EMPTY, t.EVENT_LIMIT_S)
    hresult, _ = a.transmit_raw([0xFF, 0xB0, 0x00, 0x04, 0x10])
    expect(hresult == scard.SCARD_W_REMOVED_CARD,
           "after removal: %s" % scard.SCardGetErrorMessage(hresult))
    a.close()
    d.command("0 in")
    c.wait_for(t.READER_A, scard.SCARD_STATE_PRESENT, t.EVENT_LIMIT_S)

    # A command that finds the card gone fails at once, and the connection
    # is over from then on even though the card is back.
    a = c.connect(t.READER_A)
    a.open_sector(4)
    d.command("0 out")
    hresult, _ = a.transmit_raw([0xFF, 0xB0, 0x00, 0x04, 0x10])
    expect(hresult != scard.SCARD_S_SUCCESS, "a read of a card that is gone succeeded")
    d.command("0 in")
    c.wait_for(t.READER_A, scard.SCARD_STATE_PRESENT, t.EVENT_LIMIT_S)
    hresult, _ = a.transmit_raw([0xFF, 0xB0, 0x00, 0x04, 0x10])
    expect(hresult == scard.SCARD_W_REMOVED_CARD,
           "the old connection: %s" % scard.SCardGetErrorMessage(hresult))
    a.close()


def beeper_and_leds(d, c):
    # Direct connection: the reader's signals need no card.
    d.command("1 out")
    c.wait_for(t.READER_B, scard.SCARD_STATE_EMPTY, t.EVENT_LIMIT_S)
    b = c.connect(t.READER_B, scard.SCARD_SHARE_DIRECT, 0)
    before = d.trace_text()
    hresult, response = scard.SCardControl(b.handle, t.SIGNAL, [0x02, 0x00, 0x32])
    ok(hresult, "SCardControl beep")
    expect(list(response) == [], "beep response %s" % response)
    hresult, _ = scard.SCardControl(b.handle, t.SIGNAL, [0x03, 0x01, 0x01])
    ok(hresult, "SCardControl LED")
    after = d.trace_text()[len(before):]
    for frame in ("-> 04 F3 01 01 F7", "-> 04 F3 01 00 F6", "-> 05 F1 01 01 01 F5"):
        expect(frame in after, "no frame %s in the trace:\n%s" % (frame, after[-2000:]))
    hresult, _ = scard.SCardControl(b.handle, t.SIGNAL, [0x04, 0x10])
    expect(hresult == scard.SCARD_E_UNSUPPORTED_FEATURE,
           "LED level 10: %s" % scard.SCardGetErrorMessage(hresult))
    b.close()
    d.command("1 in")
    c.wait_for(t.READER_B, scard.SCARD_STATE_PRESENT, t.EVENT_LIMIT_S)


CASES = [readers_listed, atr_and_uid, read_and_write, value_blocks, refusals,
         session_survives_polling, insert_and_remove, removal_during_connection,
         beeper_and_leds]


def run_all(daemon):
    client = Client()
    deadline = time.monotonic() + 10
    while len(client.readers()) < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    failures = []
    for case in CASES:
        try:
            case(daemon, client)
            print("ok   " + case.__name__)
        except Exception as e:  # a failed check or a client error: report and go on
            failures.append(case.__name__)
            print("FAIL %s: %s" % (case.__name__, e))
            if not isinstance(e, Check):
                traceback.print_exc()
    client.close()
    return failures
