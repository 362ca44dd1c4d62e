#!/usr/bin/env python3
"""zubtool.exe ui under Wine: the page and the status fetched over loopback
with the token, refused without it, then the process stopped.

    wine_smoke.py RUNNER PATH/TO/zubtool.exe

The stop is a SIGINT to the Windows program's process: Wine turns it into
the console's Ctrl-C, which the tool's console handler takes as a Ctrl-C on
Windows; the test then checks the exit status and that the port is free.
"""
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

from raw_reply import read_reply

failures = 0


def expect(name, ok, detail=""):
    global failures
    print(f"ok    {name}" if ok else f"FAIL  {name}: {detail}")
    failures += 0 if ok else 1


def get(port, path, headers):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request("GET", path, headers=headers)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body


def main():
    runner, tool = sys.argv[1], sys.argv[2]
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUBSIM_")}
    p = subprocess.Popen(["sh", runner, tool, "ui", "--no-browser", "--port", "0"], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        line = p.stdout.readline()
        m = re.match(r"^workbench at http://127\.0\.0\.1:(\d+)/#token=([0-9a-f]{32})\s*$", line)
        expect("the address is printed", m, repr(line))
        if not m:
            return 1
        port, token = int(m.group(1)), m.group(2)
        status, body = get(port, "/", {})
        expect("the page is served", status == 200 and b"<html" in body.lower(), f"{status} {body[:100]!r}")
        status, body = get(port, "/api/status", {"X-Zubtool-Token": token})
        uid = json.loads(body).get("card", {}).get("uid") if status == 200 else None
        expect("the status with the token shows the card's UID", uid == "1A7B8C54", f"{status} {body[:300]!r}")
        status, body = get(port, "/api/status", {})
        expect("the status without the token is refused", status == 403, f"{status} {body[:200]!r}")
        status, body = get(port, "/api/status", {"X-Zubtool-Token": token, "Host": f"evil.example:{port}"})
        expect("a foreign Host is refused", status == 403, f"{status}")
        status, body = get(port, "/api/status", {"X-Zubtool-Token": token, "Host": f"localhost:{port}"})
        expect("the localhost Host is the server's own", status == 200, f"{status} {body[:200]!r}")
        # A chunked body past the limit: refused with its message, not read
        # to its end (the server's own reading of the socket, on Windows).
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        s.sendall((f"POST /api/keys HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://127.0.0.1:{port}\r\n"
                   f"X-Zubtool-Token: {token}\r\nTransfer-Encoding: chunked\r\n\r\n").encode())
        sent = 0
        try:
            while sent < 32 * 1024 * 1024:
                s.sendall(b"10000\r\n" + b"A" * 65536 + b"\r\n")
                sent += 65536
        except OSError:
            pass
        reply = read_reply(s)
        s.close()
        expect("a chunked body past the limit: 400, not read to its end",
               reply.startswith(b"HTTP/1.1 400") and b"256 KiB" in reply and sent < 16 * 1024 * 1024,
               f"{sent} bytes taken, {reply[:120]!r}")
    finally:
        # Ctrl-C to the program (and only to its own process group).
        os.killpg(p.pid, signal.SIGINT)
        try:
            code = p.wait(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            code = p.wait()
    err = p.stderr.read()
    expect("Ctrl-C stops it with exit status 0", code == 0, f"{code}: {err}")
    print(f"{'FAIL' if failures else 'ok'}: {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
