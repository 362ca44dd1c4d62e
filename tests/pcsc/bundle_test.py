#!/usr/bin/env python3
"""cmake --install lays out the driver bundle as pcscd expects it.

Usage: bundle_test.py <cmake> <build folder>. Installs into a temporary
prefix and checks Info.plist (the reader's USB IDs, pairwise, and the
executable it names), the driver beside the libusb libCH375DLL.so it finds
through its RUNPATH, and the driver's entry points.
"""
import os
import plistlib
import subprocess
import sys
import tempfile

ENTRY_POINTS = ["IFDHCreateChannelByName", "IFDHCreateChannel", "IFDHCloseChannel",
                "IFDHGetCapabilities", "IFDHSetCapabilities", "IFDHSetProtocolParameters",
                "IFDHPowerICC", "IFDHTransmitToICC", "IFDHControl", "IFDHICCPresence"]


def main():
    cmake, build = sys.argv[1], sys.argv[2]
    failures = []

    def expect(cond, what):
        if not cond:
            failures.append(what)
            print("FAIL " + what)

    with tempfile.TemporaryDirectory(prefix="mifarezub-bundle-") as prefix:
        subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        bundle = os.path.join(prefix, "lib/pcsc/drivers/ifd-mifarezub.bundle/Contents")
        with open(os.path.join(bundle, "Info.plist"), "rb") as f:
            info = plistlib.load(f)
        ids = sorted(zip(info["ifdVendorID"], info["ifdProductID"]))
        expect([(v.lower(), p.lower()) for v, p in ids] ==
               [("0x1a86", "0x5537"), ("0x4348", "0x5537")], "USB IDs %s" % ids)
        expect(len(info["ifdFriendlyName"]) == len(ids), "one name per ID")
        driver = os.path.join(bundle, "Linux", info["CFBundleExecutable"])
        expect(os.path.isfile(driver), "no %s" % driver)
        expect(os.path.isfile(os.path.join(bundle, "Linux", "libCH375DLL.so")),
               "no libCH375DLL.so beside the driver")
        dynamic = subprocess.run(["readelf", "-d", "-W", driver], capture_output=True,
                                 text=True).stdout
        expect("[$ORIGIN]" in dynamic, "RUNPATH is not $ORIGIN")
        expect("libpcsclite" not in dynamic, "the driver links the PC/SC client library")
        symbols = subprocess.run(["nm", "-D", "--defined-only", driver], capture_output=True,
                                 text=True).stdout.split()
        for name in ENTRY_POINTS:
            expect(name in symbols, "entry point %s not exported" % name)
        exported = [s for s in symbols if s.startswith("IFDH") or s.startswith("_Z")]
        expect(sorted(exported) == sorted(ENTRY_POINTS), "exports %s" % exported)
        expect(os.path.isfile(os.path.join(prefix, "include", "mifarezub_pcsc.h")),
               "no mifarezub_pcsc.h")
    if failures:
        sys.exit(1)
    print("bundle ok")


if __name__ == "__main__":
    main()
