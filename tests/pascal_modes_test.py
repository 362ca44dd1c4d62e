#!/usr/bin/env python3
"""The Pascal unit as hosts use it: a host program compiled in each of Free
Pascal's modes (fpc, the default, where Integer is 16 bits; objfpc; delphi),
with warnings as errors, run against the virtual reader: a session, then
texts that the library gives short with success, which MZSerial and
MZReadBlock refuse as MZ_EXCHANGE_FAILED with the header's description.

Then the unit's Windows branch compiled for Win64 (x86_64-win64), against a
system unit built from Debian's fpc-source: its import library must name
every export of MifareZUB.def from MifareZUB.dll. Win32 would need ppc386,
which Debian's amd64 fp-compiler does not ship.

  pascal_modes_test.py --source DIR --libdir DIR --fpc FPC
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HOST = r"""program host;
{$IFDEF UNIX}uses cwstring, MifareZUB;{$ELSE}uses MifareZUB;{$ENDIF}
{ The virtual reader's control calls, from libCH375DLL.so beside the library. }
procedure zubsim_fault_exchange(Kind, Arg: LongInt; Count: LongWord); cdecl; external 'CH375DLL';
const
  FaultStatus = 9; { the reply carries status Arg and no fields }
var
  TagType, Size, Failures: LongInt;
  Serial, Data: AnsiString;

procedure Expect(const What: string; Ok: Boolean);
begin
  if Ok then WriteLn('ok    ', What) else begin WriteLn('FAIL  ', What); Inc(Failures); end;
end;

begin
  Failures := 0;
  Expect('open', OpenComm(0, 0) = MZ_OK);
  Expect('request', (mif_Request(MZ_REQUEST_ALL, TagType) = MZ_OK) and (TagType = $0400));
  Expect('serial', (MZSerial(Serial) = MZ_OK) and (Serial = '1A7B8C54B9'));
  Expect('select', (mif_Select(PAnsiChar(Serial), Size) = MZ_OK) and (Size = 8));
  Expect('key', mif_LoadKey(MZ_KEY_A, 0, 'FFFFFFFFFFFF') = MZ_OK);
  Expect('authenticate', mif_Authentication(MZ_KEY_A, 0, 4) = MZ_OK);
  Expect('read', (MZReadBlock(4, Data) = MZ_OK) and (Length(Data) = MZ_BLOCK_DIGITS));
  zubsim_fault_exchange(FaultStatus, 0, 1);
  Expect('a short block is refused', (MZReadBlock(4, Data) = MZ_EXCHANGE_FAILED) and (Data = ''));
  Expect('halt, request again', (mif_Halt = MZ_OK) and (mif_Request(MZ_REQUEST_ALL, TagType) = MZ_OK));
  zubsim_fault_exchange(FaultStatus, 0, 1);
  Expect('a short serial is refused', (MZSerial(Serial) = MZ_EXCHANGE_FAILED) and (Serial = ''));
  Expect('the header''s description', MZDescription(MZ_EXCHANGE_FAILED) = 'no valid reply from the reader');
  Expect('a code without a name', MZDescription(7) = 'unknown result');
  Expect('the library''s text', MZMessage(MZ_STATUS_WRONG_KEY) = UTF8Decode(#$E5#$AF#$86#$E7#$A0#$81#$E9#$94#$99));
  CloseComm;
  if Failures > 0 then Halt(1);
end.
"""


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

    a.source, a.libdir = os.path.abspath(a.source), os.path.abspath(a.libdir)
    unit = os.path.join(a.source, "bindings", "pascal")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZUBSIM_", "LD_LIBRARY_PATH"))}
    env.update(ZUBSIM_TRACE="off")
    work = tempfile.mkdtemp(prefix="mz-pascal-modes-")
    try:
        with open(os.path.join(work, "host.pas"), "w", encoding="utf-8") as f:
            f.write(HOST)
        for mode in ("fpc", "objfpc", "delphi"):
            out = os.path.join(work, mode)
            os.makedirs(out)
            built = subprocess.run([a.fpc, f"-M{mode}", "-vw", "-Sew", f"-Fu{unit}", f"-FU{out}", f"-FE{out}",
                                    f"-Fl{a.libdir}", "-k-rpath", f"-k{a.libdir}", os.path.join(work, "host.pas")],
                                   capture_output=True, text=True, cwd=work)
            expect(f"a host in mode {mode} compiles without a warning", built.returncode == 0,
                   built.stdout + built.stderr)
            if built.returncode == 0:
                ran = subprocess.run([os.path.join(out, "host")], capture_output=True, text=True, env=env,
                                     timeout=60)
                expect(f"and its session, short texts refused, runs (mode {mode})", ran.returncode == 0,
                       ran.stdout + ran.stderr)

        # Win64: a system unit from the compiler's own sources, then the unit.
        version = subprocess.run([a.fpc, "-iV"], capture_output=True, text=True).stdout.strip()
        rtl = f"/usr/share/fpcsrc/{version}/rtl"
        if not os.path.isdir(rtl):
            print(f"FAIL  no {rtl}: install Debian's fpc-source-{version} to compile the Win64 branch")
            failures.append("fpc-source")
        else:
            out = os.path.join(work, "win64")
            os.makedirs(out)
            includes = [f"-Fi{rtl}/{d}" for d in ("inc", "x86_64", "win", "win64", "objpas")]
            steps = [[f"{rtl}/win64/system.pp", "-Us", "-Sg"], [f"{rtl}/objpas/objpas.pp"],
                     [os.path.join(unit, "MifareZUB.pas"), "-vw", "-Sew"]]
            for source, *flags in steps:
                built = subprocess.run([a.fpc, "-n", "-Twin64", "-Px86_64", *flags, f"-FU{out}", f"-Fu{out}",
                                        *includes, source], capture_output=True, text=True, cwd=out)
                if built.returncode != 0:
                    break
            expect("the unit's Windows branch compiles for Win64 without a warning", built.returncode == 0,
                   built.stdout + built.stderr)
            library = glob.glob(os.path.join(out, "libimpMifareZUB.a"))
            if library:
                with open(library[0], "rb") as f:
                    data = f.read()
                with open(os.path.join(a.source, "api", "MifareZUB.def"), encoding="utf-8") as f:
                    exports = re.findall(r"^\s*(\w+)\s+@\d+\s*$", f.read(), re.M)
                missing = [n for n in exports if n.encode() + b"\0" not in data]
                expect("its imports name every export of MifareZUB.def from MifareZUB.dll",
                       b"MifareZUB.dll" in data and not missing, f"missing: {missing}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"pascal modes: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
