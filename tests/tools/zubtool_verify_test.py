#!/usr/bin/env python3
"""End-to-end tests of verified writes: every block zubtool writes is read
back and compared, a write the card acknowledges but does not keep (the
virtual reader's torn-write fault, queued through its command file) fails
naming the block, and verification costs one read per block written, counted
from the virtual reader's trace.

    zubtool_verify_test.py PATH/TO/zubtool
"""
import json
import os
import re
import subprocess
import sys
import tempfile

DATA = "00112233445566778899AABBCCDDEEFF"


class Suite:
    def __init__(self, tool, folder):
        self.tool, self.folder = tool, folder
        self.passed = self.failed = 0
        self.image = os.path.join(folder, "card.mfd")

    def fresh_card(self):
        if os.path.exists(self.image):
            os.remove(self.image)
        # A dump of the fresh card makes the image the card is kept in.
        subprocess.run([self.tool, "dump", "--out", self.image], capture_output=True,
                       env=self.env())

    def env(self, faults=None, trace=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZUBSIM_")}
        if os.path.exists(self.image):
            env.update(ZUBSIM_IMAGE=self.image, ZUBSIM_SAVE_ON_CLOSE="1")
        if faults:
            control = os.path.join(self.folder, "control")
            with open(control, "w") as f:
                f.write("".join("0 fault %s\n" % line for line in faults))
            env["ZUBSIM_CONTROL"] = control
        if trace:
            env["ZUBSIM_TRACE"] = trace
        return env

    def run(self, args, faults=None, trace=None):
        return subprocess.run([self.tool] + args, capture_output=True, text=True,
                              env=self.env(faults, trace))

    def block(self, n):
        with open(self.image, "rb") as f:
            return f.read()[16 * n:16 * n + 16].hex().upper()

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL %s %s" % (name, detail))


def main():
    tool = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        s = Suite(tool, folder)

        # A torn write is caught by the read-back, and only by it.
        cases = [
            ("write", ["write", "4", DATA], "torn-write 4", 4),
            ("value set", ["value", "set", "5", "100"], "torn-write 5", 5),
            ("restore", None, "torn-write 6", 6),
        ]
        for name, args, fault, block in cases:
            for verify in (True, False):
                s.fresh_card()
                if args is None:
                    source = os.path.join(folder, "source.mfd")
                    with open(s.image, "rb") as f:
                        image = bytearray(f.read())
                    for b in (4, 5, 6):
                        image[16 * b:16 * b + 16] = bytes.fromhex(DATA)
                    with open(source, "wb") as f:
                        f.write(image)
                    args = ["restore", source]
                before = s.block(block)
                r = s.run(args + ([] if verify else ["--no-verify"]), faults=[fault])
                label = "%s %s" % (name, "verified" if verify else "--no-verify")
                s.check(label + " card kept nothing", s.block(block) == before)
                if verify:
                    s.check(label + " exit 1", r.returncode == 1, r.stdout + r.stderr)
                    s.check(label + " names the block and both versions",
                            re.search(r"block %d \(sector %d\) does not hold what was written"
                                      % (block, block // 4), r.stdout + r.stderr) is not None
                            and "sent " in r.stdout + r.stderr
                            and "holds " in r.stdout + r.stderr, r.stdout + r.stderr)
                elif name != "value set":  # value set shows the value it reads anyway
                    s.check(label + " exit 0 (nothing read back)", r.returncode == 0,
                            r.stdout + r.stderr)
                args = None if name == "restore" else args

        # inc: the transfer the card acknowledges but does not keep.
        s.fresh_card()
        s.run(["value", "set", "5", "100"])
        r = s.run(["value", "inc", "5", "25"], faults=["torn-write 5"])
        s.check("value inc torn transfer exit 1", r.returncode == 1, r.stdout + r.stderr)
        r = s.run(["value", "inc", "5", "25"])
        s.check("value inc after it", r.returncode == 0 and "value 125" in r.stdout,
                r.stdout + r.stderr)

        # Cost: one read per block written, in the authentication that wrote it.
        s.fresh_card()
        for name, args, writes in [
            ("write", ["write", "4", DATA], 1),
            ("value set", ["value", "set", "5", "7"], 1),
            ("restore", ["restore", s.image], 47),
        ]:
            trace = os.path.join(folder, "trace-" + name.replace(" ", "_"))
            r = s.run(args, trace=trace)
            with open(trace) as f:
                lines = f.read().splitlines()
            w = sum(1 for line in lines if line.startswith("-> ") and " write block " in line)
            rd = sum(1 for line in lines if line.startswith("-> ") and " read block " in line)
            s.check(name + " trace", r.returncode == 0 and w == writes and rd == writes,
                    "exit %d, %d writes, %d reads" % (r.returncode, w, rd))
            print("%s: %d exchanges, %d writes, %d reads" %
                  (name, sum(1 for line in lines if line.startswith("-> ")), w, rd))

        # Trailer writes: the key that opened the sector, what cannot be compared,
        # and the warning where key A may read key B.
        s.fresh_card()
        r = s.run(["write", "--force", "7", "FFFFFFFFFFFF FF078069 FFFFFFFFFFFF"])
        out = r.stdout + r.stderr
        s.check("trailer opened with", "opened with key A FFFFFFFFFFFF" in r.stdout, out)
        s.check("trailer key A not verifiable", "key A not verifiable" in r.stdout, out)
        s.check("trailer key B is data", "key B is then data, not a key" in r.stderr, out)
        r = s.run(["write", "--force", "11", "FFFFFFFFFFFF 7F078869 A0A1A2A3A4A5"])
        s.check("trailer key-b conditions", r.returncode == 0 and
                "key B is then data" not in r.stderr, r.stdout + r.stderr)
        r = s.run(["write", "--force", "15", "FFFFFFFFFFFF FF078069 A0A1A2A3A4A5"],
                  faults=["torn-write 15"])
        s.check("torn trailer write caught by key B", r.returncode == 1 and
                "(key B read back differently)" in r.stderr, r.stdout + r.stderr)

        # format: back to the factory state where the keys allow it.
        factory = "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"
        s.fresh_card()
        s.run(["write", "4", DATA])
        s.run(["write", "--force", "11", "A0A1A2A3A4A5 FF078069 B0B1B2B3B4B5"])
        s.run(["write", "--force", "15", "FFFFFFFFFFFF 7F078869 FFFFFFFFFFFF"])
        s.run(["write", "13", DATA])
        r = s.run(["format"])
        s.check("format needs --force", r.returncode == 2 and s.block(4) == DATA,
                r.stdout + r.stderr)
        r = s.run(["format", "--dry-run"])
        s.check("format --dry-run writes nothing", r.returncode == 1 and s.block(4) == DATA
                and "would be formatted" in r.stdout and "1 sector would be left" in r.stderr,
                r.stdout + r.stderr)
        r = s.run(["format", "--force"])
        s.check("format leaves the sector no key opens", r.returncode == 1 and
                re.search(r"^ +2  -  .*left: no key to try opens it", r.stdout, re.M) and
                s.block(11)[12:20] == "FF078069", r.stdout + r.stderr)
        # Key B may not read back the factory trailer it wrote: its sector is
        # verified only where key B may read, a sector key A formats in full.
        s.check("format opens with key B where key A may not write the trailer",
                re.search(r"^ +3  key B FFFFFFFFFFFF +formatted, verified where the key may read$",
                          r.stdout, re.M)
                and s.block(15) == factory and s.block(13) == "00" * 16, r.stdout)
        s.check("format verifies in full with key A",
                re.search(r"^ +1  key A FFFFFFFFFFFF +formatted, verified; key A not verifiable$",
                          r.stdout, re.M), r.stdout)
        s.check("format zeroes data, keeps block 0", s.block(4) == "00" * 16 and
                s.block(0).startswith("1A7B8C54"), s.block(4))
        trace = os.path.join(folder, "trace-format")
        r = s.run(["--key", "A0A1A2A3A4A5", "format", "--force"], trace=trace)
        s.check("format with the key given", r.returncode == 0 and s.block(11) == factory and
                "16 of 16 sectors formatted" in r.stdout, r.stdout + r.stderr)
        with open(trace) as f:
            lines = [line for line in f.read().splitlines() if line.startswith("-> ")]
        w = sum(1 for line in lines if " write block " in line)
        rd = sum(1 for line in lines if " read block " in line)
        s.check("format: one read per block written, and one trailer read per sector",
                w == 63 and rd == 63 + 16, "%d writes, %d reads" % (w, rd))
        print("format: %d exchanges, %d writes, %d reads" % (len(lines), w, rd))
        s.run(["write", "8", DATA])
        r = s.run(["format", "--force"], faults=["torn-write 8"])
        s.check("format: a torn write fails its sector", r.returncode == 1 and
                re.search(r"^ +2  key A FFFFFFFFFFFF +failed: block 8 \(sector 2\) does not hold",
                          r.stdout, re.M) and s.block(11) == factory, r.stdout + r.stderr)
        s.run(["write", "--force", "15", "FFFFFFFFFFFF 7F078869 FFFFFFFFFFFF"])
        r = s.run(["format", "--force", "--json"])
        try:
            sectors = json.loads(r.stdout)["sectors"]
        except (ValueError, KeyError):
            sectors = [{}] * 16
        s.check("format --json: the sector only key B opened is not verified in full",
                r.returncode == 0 and sectors[3].get("result") == "formatted" and
                sectors[3].get("verified") is False and
                any(n.startswith("block 15: not verifiable") for n in sectors[3].get("notes", []))
                and sectors[1].get("verified") is True, r.stdout[:600])

        # The software card says so, in scan and in the header of dump.
        r = s.run(["scan"])
        s.check("scan names the virtual reader",
                "note  the virtual reader is answering, not a real card" in r.stdout, r.stdout)
        r = s.run(["scan", "--json"])
        s.check("scan --json virtualReader", json.loads(r.stdout).get("virtualReader") is True,
                r.stdout)
        r = s.run(["dump"])
        s.check("dump header names the virtual reader",
                r.stdout.splitlines()[1].startswith("note  the virtual reader is answering"),
                r.stdout[:300])

        s.fresh_card()
        r = s.run(["restore", "--trailers", "--force", s.image])
        s.check("restore --trailers warns where key B becomes data", r.returncode == 0 and
                "in sectors 0, 1, 2" in r.stderr and "key B is then data" in r.stderr,
                r.stdout + r.stderr)

        # --json: a failure is a JSON error object on standard output too.
        r = s.run(["--no-default-key", "--key", "112233445566", "read", "--json", "4"])
        try:
            error = json.loads(r.stdout)["error"]
        except (ValueError, KeyError):
            error = {}
        s.check("read --json error object", r.returncode == 1 and error.get("code") == 4 and
                error.get("name") == "MZ_STATUS_WRONG_KEY" and error.get("text") == "密码错" and
                error.get("description") == "wrong key" and error.get("block") == 4 and
                error.get("sector") == 1 and "no key to try opens sector 1" in r.stderr,
                r.stdout + r.stderr)
        env_none = {"ZUBSIM_DEVICE_INDEX": "none"}
        r = subprocess.run([tool, "scan", "--json"], capture_output=True, text=True,
                           env=dict(os.environ, **env_none))
        s.check("scan --json without a reader", r.returncode == 3 and
                json.loads(r.stdout or "{}").get("error", {}).get("code") == -1, r.stdout)
        r = s.run(["--no-default-key", "--key", "112233445566", "dump", "--json"])
        blocks = [b for sec in json.loads(r.stdout)["sectors"] for b in sec["blocks"]]
        s.check("dump --json: every unreadable block carries its reason",
                r.returncode == 1 and blocks and
                all(b["data"] is None and b.get("code") == 4 and
                    "no key to try opens the sector" in b.get("error", "") for b in blocks),
                r.stdout[:400])

        print("%d passed, %d failed" % (s.passed, s.failed))
        return 1 if s.failed else 0


if __name__ == "__main__":
    sys.exit(main())
