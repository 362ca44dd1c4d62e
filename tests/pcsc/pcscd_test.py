#!/usr/bin/env python3
"""The PC/SC driver inside a private pcscd, driven by real PC/SC clients.

Starts pcscd in the foreground, in a mount namespace of its own where /run
is an empty tmpfs and /run/pcscd a folder of this test: its socket and pid
file never meet those of a system pcscd. pcscd's folder of USB drivers is an
empty tmpfs there too, so that it loads no driver for a real reader on the
machine and leaves those to the system's pcscd. Its reader.conf.d folder names two
virtual readers (device indexes 0 and 1, a 1K and a 4K card), which the
test drives through the virtual reader's command file. Clients are pyscard
(its low-level scard module, for exact result codes) and pcsc_scan.

Usage: pcscd_test.py <libifd-mifarezub.so> [pcscd's USB driver folder]. Exit status 77 (skipped) where
the machine cannot run it: no pcscd, pcsc_scan or pyscard, or no namespace.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
READER_A = "MifareZUB A"  # device index 0, a 1K card
READER_B = "MifareZUB B"  # device index 1, a 4K card
UID_A = [0x1A, 0x7B, 0x8C, 0x54]
UID_B = [0x11, 0x22, 0x33, 0x44]
ATR_1K = [0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
          0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A]
ATR_4K = ATR_1K[:14] + [0x02, 0x00, 0x00, 0x00, 0x00, 0x69]
KEY = [0xFF] * 6
SIGNAL = 0x42000E10  # MIFAREZUB_IOCTL_SIGNAL
# pcscd polls a reader's card every 400 ms; the driver answers each poll at
# once. Reported within a second, with room for a busy shared machine.
EVENT_LIMIT_S = 1.5


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(SKIP)


class Pcscd:
    def __init__(self, driver, work, usb_drivers="/usr/lib/pcsc/drivers"):
        self.work = work
        self.usb_drivers = usb_drivers
        self.conf = os.path.join(work, "reader.conf.d")
        self.run = os.path.join(work, "run")
        self.commands = os.path.join(work, "commands")
        self.trace = os.path.join(work, "trace")
        self.log = os.path.join(work, "pcscd.log")
        os.makedirs(self.conf)
        os.makedirs(self.run)
        with open(os.path.join(self.conf, "mifarezub"), "w") as f:
            for name, index in ((READER_A, 0), (READER_B, 1)):
                f.write('FRIENDLYNAME "%s"\nDEVICENAME mifarezub:%d\nLIBPATH %s\n\n'
                        % (name, index, driver))
        with open(self.commands, "w") as f:
            f.write("1 card 4K %s\n" % "".join("%02X" % b for b in UID_B))
        self.env = dict(os.environ)
        for name in list(self.env):
            if name.startswith("ZUBSIM_"):
                del self.env[name]
        self.env.update({
            "ZUBSIM_READERS": "2",
            "ZUBSIM_CONTROL": self.commands,
            "ZUBSIM_TRACE": self.trace,
            "PCSCLITE_CSOCK_NAME": os.path.join(self.run, "pcscd.comm"),
        })
        self.proc = None

    def start(self):
        inner = ("mount -t tmpfs tmpfs /run && mkdir /run/pcscd && "
                 "mount --bind \"$1\" /run/pcscd && "
                 "{ [ ! -d \"$3\" ] || mount -t tmpfs tmpfs \"$3\"; } && "
                 "exec pcscd --foreground --apdu -c \"$2\"")
        ns = ["unshare", "--mount", "--propagation", "private"]
        if os.geteuid() != 0:
            ns.insert(1, "--map-root-user")
        cmd = ns + ["sh", "-c", inner, "sh", self.run, self.conf, self.usb_drivers]
        self.log_file = open(self.log, "w")
        self.proc = subprocess.Popen(cmd, env=self.env, stdout=self.log_file,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        socket = self.env["PCSCLITE_CSOCK_NAME"]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                log = open(self.log).read()
                if re.search(r"unshare|mount|Operation not permitted|Permission denied", log):
                    skip("this machine forbids a private mount namespace for pcscd:\n" + log)
                raise SystemExit("pcscd stopped at once:\n" + log)
            if os.path.exists(socket):
                return
            time.sleep(0.05)
        raise SystemExit("pcscd made no socket within 10 s:\n" + open(self.log).read())

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log_file.close()

    def command(self, line):
        with open(self.commands, "a") as f:
            f.write(line + "\n")

    def trace_text(self):
        with open(self.trace, errors="replace") as f:
            return f.read()


def main():
    if len(sys.argv) not in (2, 3):
        raise SystemExit(__doc__)
    driver = os.path.abspath(sys.argv[1])
    usb_drivers = sys.argv[2] if len(sys.argv) == 3 else "/usr/lib/pcsc/drivers"
    for tool in ("pcscd", "pcsc_scan", "unshare"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            skip(tool + " is not installed (Debian: pcscd, pcsc-tools, util-linux)")
    os.environ["PATH"] += ":/usr/sbin:/sbin"
    work = tempfile.mkdtemp(prefix="mifarezub-pcscd-")
    daemon = Pcscd(driver, work, usb_drivers)
    # The client library reads the socket's name when it is loaded.
    os.environ["PCSCLITE_CSOCK_NAME"] = daemon.env["PCSCLITE_CSOCK_NAME"]
    try:
        from smartcard import scard  # noqa: F401
    except ImportError:
        skip("pyscard is not installed (Debian: python3-pyscard)")
    failures = []
    try:
        daemon.start()
        import cases
        failures = cases.run_all(daemon)
    finally:
        daemon.stop()
        if failures:
            print("---- pcscd log (tail)")
            print("\n".join(open(daemon.log, errors="replace").read().splitlines()[-60:]))
        else:
            shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("FAILED: " + ", ".join(failures))
        sys.exit(1)
    print("all passed")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
