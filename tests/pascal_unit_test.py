#!/usr/bin/env python3
"""The Pascal unit used as installed: read-only, with the compiled unit in the
user's own folder (-FU), and sample.pas, copied into the user's folder, built
there by the Linux line its own comment gives (placeholders filled in), then
run against the virtual reader through its run path.

  pascal_unit_test.py --source DIR --libdir DIR --fpc FPC

The unit's folder is made read-only (chmod a-w). Run as root, that does not
stop the compiler, so the build then runs as the unprivileged user nobody
(setpriv), and in any case the test proves that no file appeared in the
unit's folder.
"""
import argparse
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--libdir", required=True)
    ap.add_argument("--fpc", required=True)
    a = ap.parse_args()
    failures = []

    def expect(what, ok, detail=""):
        print(("ok    " if ok else "FAIL  ") + what + ("" if ok else "\n" + detail))
        if not ok:
            failures.append(what)

    pascal = os.path.join(a.source, "bindings", "pascal")
    with open(os.path.join(pascal, "sample.pas"), encoding="utf-8") as f:
        comment = f.read()
    m = re.search(r"^\s*(fpc -Fu<unit folder> -FU<output folder> -Fl<libdir> -k-rpath -k<libdir> sample\.pas)\s*$",
                  comment, re.M)
    expect("sample.pas names the Linux build line", m is not None, comment[:800])
    if not m:
        return 1

    work = tempfile.mkdtemp(prefix="mz-pascal-")
    try:
        os.chmod(work, 0o755)
        units = os.path.join(work, "installed", "pascal")
        out = os.path.join(work, "out")
        os.makedirs(units)
        os.makedirs(out)
        for name in ("MifareZUB.pas", "sample.pas"):
            shutil.copy(os.path.join(pascal, name), units)
        for name in os.listdir(units):
            os.chmod(os.path.join(units, name), 0o444)
        os.chmod(units, 0o555)
        before = sorted(os.listdir(units))

        # nobody, when root: a root compile would write anywhere.
        prefix = []
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(out, nobody.pw_uid, nobody.pw_gid)
            prefix = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}", "--clear-groups"]
        # The library as installed, apart from the build tree, which nobody may
        # not reach (a checkout in /root, say): libMifareZUB.so under both
        # names and the virtual reader it needs.
        libdir = os.path.join(work, "lib")
        os.makedirs(libdir)
        for name in ("libMifareZUB.so", "libMifareZUB.so.1", "libCH375DLL.so"):
            shutil.copy(os.path.join(a.libdir, name), os.path.join(libdir, name))
        line = (m.group(1).replace("<unit folder>", units).replace("<output folder>", out)
                .replace("<libdir>", libdir).replace("fpc ", a.fpc + " ", 1))
        # The user's program in the user's folder, the unit installed apart.
        shutil.copy(os.path.join(pascal, "sample.pas"), out)
        os.chmod(os.path.join(out, "sample.pas"), 0o644)
        env = dict(os.environ, HOME=out)
        built = subprocess.run(prefix + line.split(), cwd=out, env=env, capture_output=True, text=True)
        expect("the sample builds against the read-only unit, as its comment says",
               built.returncode == 0 and os.path.isfile(os.path.join(out, "MifareZUB.ppu")),
               built.stdout + built.stderr)
        expect("and nothing was written into the unit's folder", sorted(os.listdir(units)) == before,
               str(sorted(os.listdir(units))))
        program = os.path.join(out, "sample")
        if os.path.isfile(program):
            env = {k: v for k, v in os.environ.items()
                   if not k.startswith(("ZUBSIM_", "LD_LIBRARY_PATH"))}
            ran = subprocess.run([program, "0"], env=dict(env, ZUBSIM_TRACE="off"),
                                 capture_output=True, text=True)
            expect("the sample finds libMifareZUB.so through its run path and runs a session",
                   ran.returncode == 0 and "session complete" in ran.stdout, ran.stdout + ran.stderr)
    finally:
        for folder, dirs, _ in os.walk(work):
            os.chmod(folder, 0o755)
        shutil.rmtree(work, ignore_errors=True)
    print(f"pascal unit: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
