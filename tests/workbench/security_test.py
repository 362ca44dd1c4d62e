#!/usr/bin/env python3
"""The workbench's server as an attacker sees it.

Starts `zubtool ui --no-browser --port 0` against the virtual reader, sends
what a hostile web page or a local client would send, and checks the status
of each reply, that no reply carries CORS headers, and that the virtual
reader's trace got no card command from any refused request. Then that the
server listens on loopback addresses only, refuses a port in use, and stops
cleanly on SIGINT and SIGTERM with the reader closed.

    security_test.py PATH/TO/zubtool
"""
import http.client
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

from raw_reply import read_reply

failures = 0


def expect(name, ok, detail=""):
    global failures
    if ok:
        print(f"ok    {name}")
    else:
        failures += 1
        print(f"FAIL  {name}: {detail}")


class Workbench:
    """One `zubtool ui` run with its trace file."""

    def __init__(self, tool, work, port=0, trace=True, path=None):
        """`path`: the PATH of a run that opens a browser (else --no-browser)."""
        self.trace = os.path.join(work, f"trace-{time.monotonic_ns()}.txt")
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZUBSIM_")}
        env["ZUBSIM_TRACE"] = self.trace if trace else "off"
        args = [tool, "ui", "--port", str(port)]
        if path is None:
            args.append("--no-browser")
        else:
            env["PATH"] = path
            env["TMPDIR"] = work
        self.process = subprocess.Popen(args, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.line = self.process.stdout.readline()
        m = re.match(r"^workbench at http://127\.0\.0\.1:(\d+)/#token=([0-9a-f]{32})$", self.line.strip())
        self.port = int(m.group(1)) if m else None
        self.token = m.group(2) if m else None

    def card_commands(self):
        """The requests the reader got so far."""
        if not os.path.exists(self.trace):
            return 0
        with open(self.trace, encoding="utf-8", errors="replace") as f:
            return sum(1 for line in f if line.startswith("->"))

    def request(self, method, path, headers=None, body=None, host=None):
        """Sends exactly the headers given (Host as given, or the right one)."""
        all_headers = {"Host": host or f"127.0.0.1:{self.port}"}
        all_headers.update(headers or {})
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        c.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in all_headers.items():
            c.putheader(name, value)
        data = body.encode() if isinstance(body, str) else body
        if data is not None:
            c.putheader("Content-Length", str(len(data)))
        c.endheaders(data)
        r = c.getresponse()
        payload = r.read()
        c.close()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), payload

    def stop(self, sig):
        self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        return status, self.process.stderr.read()


def attacks(w):
    port, token = w.port, w.token
    origin = f"http://127.0.0.1:{port}"
    good_post = {"X-Zubtool-Token": token, "Origin": origin, "Content-Type": "application/json"}
    cases = [
        # name, method, path, headers, body, Host, status
        ("no token", "GET", "/api/status", {}, None, None, 403),
        ("a wrong token", "GET", "/api/status", {"X-Zubtool-Token": "0" * 32}, None, None, 403),
        ("the token in a query string", "GET", f"/api/status?token={token}", {}, None, None, 403),
        ("the token as a cookie", "GET", "/api/status", {"Cookie": f"token={token}; X-Zubtool-Token={token}"},
         None, None, 403),
        ("a rebinding Host with the right token", "GET", "/api/status", {"X-Zubtool-Token": token}, None,
         f"evil.example:{port}", 403),
        ("a foreign Origin with the token", "POST", "/api/card/read",
         {"X-Zubtool-Token": token, "Origin": "http://evil.example"}, "{}", None, 403),
        ("a foreign Origin without the token", "POST", "/api/card/read", {"Origin": "http://evil.example"},
         "{}", None, 403),
        ("a form POST of another site", "POST", "/api/keys",
         {"Origin": "http://evil.example", "Content-Type": "text/plain", "Sec-Fetch-Site": "cross-site"},
         '{"text": "FFFFFFFFFFFF"}', None, 403),
        ("a POST without Origin", "POST", "/api/card/read", {"X-Zubtool-Token": token}, "{}", None, 403),
        ("a cross-site fetch with the token", "GET", "/api/status",
         {"X-Zubtool-Token": token, "Sec-Fetch-Site": "cross-site"}, None, None, 403),
        ("a preflight", "OPTIONS", "/api/card/write",
         {"Origin": "http://evil.example", "Access-Control-Request-Method": "POST",
          "Access-Control-Request-Headers": "x-zubtool-token"}, None, None, 403),
        ("malformed JSON", "POST", "/api/keys", good_post, '{"text": ', None, 400),
        ("JSON of the wrong shape", "POST", "/api/keys", good_post, '{"text": 12}', None, 400),
        ("a GET of the page", "GET", "/", {}, None, None, 200),
        ("a GET of a file that is not there", "GET", "/../../etc/passwd", {}, None, None, 404),
    ]
    for name, method, path, headers, body, host, status in cases:
        before = w.card_commands()
        got, reply_headers, payload = w.request(method, path, headers, body, host)
        expect(f"{name}: {status}", got == status, f"status {got}: {payload[:200]!r}")
        expect(f"{name}: no card command", w.card_commands() == before,
               f"{w.card_commands() - before} card commands")
        cors = [h for h in reply_headers if h.startswith("access-control-")]
        expect(f"{name}: no CORS header", not cors, cors)
        expect(f"{name}: not kept in a cache", reply_headers.get("cache-control") == "no-store",
               reply_headers.get("cache-control"))
        if status >= 400:
            try:
                message = json.loads(payload).get("error")
            except ValueError:
                message = None
            expect(f"{name}: a message", bool(message), payload[:200])
        if path == "/":
            expect("the page has its security headers",
                   reply_headers.get("content-security-policy", "").startswith("default-src 'self'")
                   and "frame-ancestors 'none'" in reply_headers.get("content-security-policy", "")
                   and reply_headers.get("x-content-type-options") == "nosniff"
                   and reply_headers.get("referrer-policy") == "no-referrer"
                   and reply_headers.get("content-type", "").startswith("text/html"), reply_headers)

    # A body above the limit: refused from its Content-Length, before it is read.
    before = w.card_commands()
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall((f"POST /api/keys HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: {origin}\r\n"
               f"X-Zubtool-Token: {token}\r\nContent-Type: application/json\r\n"
               f"Content-Length: {300 * 1024}\r\n\r\n").encode())
    s.sendall(b'{"text": "' + b"A" * 4096)
    reply = read_reply(s, lambda r: b"\r\n\r\n" in r and r.rstrip().endswith(b"}"))
    s.close()
    head = reply.split(b"\r\n", 1)[0].decode(errors="replace")
    expect("a body above 256 KiB: 400", head.startswith("HTTP/1.1 400"), head)
    expect("a body above 256 KiB: its message", b"256 KiB" in reply, reply[-200:])
    expect("a body above 256 KiB: no card command", w.card_commands() == before)

    # The same requests with what the page sends do reach the card: the
    # trace above would have seen them.
    before = w.card_commands()
    got, _, payload = w.request("GET", "/api/status", {"X-Zubtool-Token": token})
    status = json.loads(payload) if got == 200 else {}
    expect("status with the token: the card's UID", status.get("card", {}).get("uid") == "1A7B8C54", payload)
    expect("status with the token: the card was asked", w.card_commands() > before)
    got, _, payload = w.request("GET", "/api/status", {"X-Zubtool-Token": token}, host=f"[::1]:{port}")
    expect("the [::1] Host is the server's own", got == 200, payload)
    got, _, payload = w.request("POST", "/api/keys", good_post, '{"text": "a0a1a2a3a4a5\\nnot a key\\n"}')
    keys = json.loads(payload) if got == 200 else {}
    expect("keys set from keys-file text", keys.get("keys") == ["A0A1A2A3A4A5"]
           and keys.get("skipped", [{}])[0].get("line") == 2, payload)


def memory_kib(pid, field="VmHWM"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def abuse(w):
    """Bodies and heads a client without manners sends: each is held to its
    limit, and slow clients without the token cannot keep the page waiting."""
    port, token = w.port, w.token
    head = (f"POST /api/keys HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://127.0.0.1:{port}\r\n"
            f"X-Zubtool-Token: {token}\r\nContent-Type: application/json\r\n")

    # A chunked body of 80 MB: refused once past the limit, never held whole
    # (the peak of the server's memory, before and after).
    before = memory_kib(w.process.pid)
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall((head + "Transfer-Encoding: chunked\r\n\r\n").encode())
    chunk = b"A" * 65536
    sent = 0
    try:
        while sent < 80 * 1024 * 1024:
            s.sendall(b"%x\r\n" % len(chunk) + chunk + b"\r\n")
            sent += len(chunk)
    except OSError:
        pass
    reply = read_reply(s)
    s.close()
    grown = memory_kib(w.process.pid) - before
    expect("a chunked body of 80 MB: 400 with its message",
           reply.startswith(b"HTTP/1.1 400") and b"256 KiB" in reply, reply[:200])
    expect("a chunked body of 80 MB: not read to its end", sent < 16 * 1024 * 1024, f"{sent} bytes taken")
    expect("a chunked body of 80 MB: the server grew by less than 8 MB", grown < 8 * 1024, f"{grown} KiB")

    # A chunked body within the limit is a body like any other.
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    body = b'{"text": "a0a1a2a3a4a5\\n"}'
    s.sendall((head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n").encode()
              + b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body))
    reply = read_reply(s)
    s.close()
    expect("a chunked body within the limit is taken", reply.startswith(b"HTTP/1.1 200")
           and b"A0A1A2A3A4A5" in reply, reply[:300])

    # 80 MB announced: refused at once, from its Content-Length.
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    start = time.monotonic()
    s.sendall((head + f"Content-Length: {80 << 20}\r\n\r\n").encode())
    reply = read_reply(s)
    s.close()
    expect("80 MB announced: 400 at once", reply.startswith(b"HTTP/1.1 400") and time.monotonic() - start < 1,
           f"{time.monotonic() - start:.1f} s {reply[:120]!r}")

    # One header line without end: dropped at the head's limit, not held.
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    sent = 0
    try:
        s.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Long: ".encode())
        while sent < 64 * 1024 * 1024:
            s.sendall(b"x" * 65536)
            sent += 65536
    except OSError:
        pass
    s.close()
    expect("a header line without end is dropped", sent < 16 * 1024 * 1024, f"{sent} bytes taken")

    # A head sent a line a second: ended (a 400, or closed) within some 3 s
    # of its first byte.
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    start = time.monotonic()
    ended_after = None
    try:
        s.sendall(f"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
        for n in range(8):
            if select.select([s], [], [], 1)[0]:
                break
            s.sendall(f"X-Pad-{n}: x\r\n".encode())
        ended_after = time.monotonic() - start
        reply = s.recv(65536)
        # The client goes on sending: the connection is closed, not read on.
        closed_after = None
        s.settimeout(0.3)
        for n in range(10):
            try:
                s.sendall(f"X-More-{n}: x\r\n".encode())
                if s.recv(65536) == b"":
                    closed_after = time.monotonic() - start - ended_after
                    break
            except socket.timeout:
                pass
            except OSError:
                closed_after = time.monotonic() - start - ended_after
                break
    except OSError:
        ended_after = closed_after = time.monotonic() - start
        reply = b""
    s.close()
    expect("a slow head is ended after some 3 s", ended_after < 5 and b"200 OK" not in reply,
           f"{ended_after:.1f} s {reply[:100]!r}")
    expect("a slow head's connection is closed, not read on", closed_after is not None and closed_after < 1.5,
           f"{closed_after}")

    # Eight slow clients without the token, a header line every 2 s: the
    # page's requests are answered as they come.
    slow = []
    for _ in range(8):
        c = socket.create_connection(("127.0.0.1", port), timeout=10)
        c.sendall(f"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
        slow.append(c)
    waits = []
    try:
        for n in range(4):
            time.sleep(0.5)
            for c in slow:
                try:
                    c.sendall(f"X-Pad-{n}: x\r\n".encode())
                except OSError:
                    pass
            start = time.monotonic()
            got, _, _ = w.request("GET", "/api/status", {"X-Zubtool-Token": token})
            waits.append((got, time.monotonic() - start))
    finally:
        for c in slow:
            c.close()
    expect("eight slow clients: the page's requests are answered at once",
           all(got == 200 and wait < 0.5 for got, wait in waits), waits)

    # The browser's own request for the icon, and the page opened by localhost.
    got, headers, payload = w.request("GET", "/favicon.ico", {})
    expect("/favicon.ico: an icon", got == 200 and headers.get("content-type") == "image/x-icon"
           and payload[:4] == b"\0\0\1\0", f"{got} {headers.get('content-type')}")
    got, headers, payload = w.request("GET", "/", {}, host=f"localhost:{port}")
    expect("the page by localhost", got == 200 and headers.get("content-type", "").startswith("text/html"),
           payload[:200])
    got, _, payload = w.request("POST", "/api/keys", {"X-Zubtool-Token": token, "Origin": f"http://localhost:{port}"},
                                '{"text": "FFFFFFFFFFFF"}', host=f"localhost:{port}")
    expect("a POST of the page opened by localhost", got == 200, payload[:200])


def busy(w):
    """A long key search holds the card: a second card operation gets 409."""
    origin = f"http://127.0.0.1:{w.port}"
    post = {"X-Zubtool-Token": w.token, "Origin": origin, "Content-Type": "application/json"}
    # Many keys no sector takes, the transport key last: every key type of
    # every sector goes through all of them.
    keys = "\n".join(f"{0xA00000000000 + i:012X}" for i in range(15000)) + "\nFFFFFFFFFFFF\n"
    got, _, payload = w.request("POST", "/api/keys", post, json.dumps({"text": keys}))
    expect("busy: the keys to try set", got == 200, payload[:200])
    got, _, payload = w.request("POST", "/api/keys/search", post, "{}")
    expect("busy: the key search started", got == 202, payload[:200])
    got, _, payload = w.request("POST", "/api/card/read", post, "{}")
    error = json.loads(payload).get("error", "") if payload.startswith(b"{") else ""
    expect("busy: a second card operation gets 409 busy", got == 409 and error.startswith("busy"),
           f"{got} {payload[:200]!r}")
    got, _, payload = w.request("GET", "/api/status", {"X-Zubtool-Token": w.token})
    status = json.loads(payload) if got == 200 else {}
    expect("busy: the status names what runs and shows the job",
           bool(status.get("busy")) and (status.get("job") or {}).get("running") is True, payload[:300])
    expect("busy: the status shows the card as last seen",
           (status.get("card") or {}).get("uid") == "1A7B8C54", payload[:300])
    got, _, payload = w.request("POST", "/api/job/cancel", post, "{}")
    job = (json.loads(payload) if got == 200 else {}).get("job") or {}
    expect("busy: cancel stops the search", job.get("running") is False and job.get("cancelled") is True,
           payload[:300])
    got, _, payload = w.request("GET", "/api/status", {"X-Zubtool-Token": w.token})
    status = json.loads(payload) if got == 200 else {}
    expect("busy: the card is free again", got == 200 and status.get("busy") is None, payload[:300])


def listening_addresses(port):
    """The local addresses of the sockets listening on `port` (Linux)."""
    found = []
    for name, size in (("/proc/net/tcp", 8), ("/proc/net/tcp6", 32)):
        try:
            with open(name) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    address, port_hex = fields[1].split(":")
                    if fields[3] == "0A" and int(port_hex, 16) == port:
                        found.append(address)
        except OSError:
            pass
    return found


def keep_alive(w):
    """The page's files come over one kept-alive connection, each at once: a
    reply written in pieces must not wait for the browser's delayed
    acknowledgement (some 40 ms a request)."""
    c = http.client.HTTPConnection("127.0.0.1", w.port, timeout=10)
    times = []
    for _ in range(15):
        start = time.monotonic()
        c.request("GET", "/", headers={"Host": f"127.0.0.1:{w.port}"})
        r = c.getresponse()
        r.read()
        times.append((time.monotonic() - start) * 1000)
    c.close()
    median = sorted(times)[len(times) // 2]
    expect("files over one connection: no delayed-acknowledgement wait", median < 30,
           f"median {median:.1f} ms: {[round(t) for t in times]}")


def browser_start(tool, work):
    """The browser is started on a page only the user can read, which holds
    the token; the token is in no process's arguments; the page goes when the
    server stops. A stand-in xdg-open records what it was given."""
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    record = os.path.join(work, "xdg-open.txt")
    with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
        f.write("#!/bin/sh\n"
                f"{{ echo \"args: $*\"; stat -c 'mode: %a' \"$1\" \"$(dirname \"$1\")\"; cat \"$1\"; }} > '{record}'\n")
    os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
    w = Workbench(tool, work, trace=False, path=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    try:
        for _ in range(100):
            if os.path.exists(record) and "</html>" in open(record).read():
                break
            time.sleep(0.05)
        text = open(record).read() if os.path.exists(record) else ""
        args = next((line[6:] for line in text.splitlines() if line.startswith("args: ")), "")
        page = args.strip()
        expect("the browser is started on a file", page.endswith(".html") and os.path.isfile(page), text[:300])
        expect("the browser's arguments carry no token", w.token and w.token not in args, args)
        expect("the file and its folder are the user's alone",
               re.findall(r"^mode: (\d+)$", text, re.M) == ["600", "700"], text[:300])
        expect("the file sends the browser on to the address with the token",
               f'content="0;url=http://127.0.0.1:{w.port}/#token={w.token}"' in text, text[-400:])
    finally:
        status, err = w.stop(signal.SIGINT)
    expect("a run that opened a browser stops with exit status 0", status == 0, err)
    expect("the file and its folder are gone when it stops",
           page and not os.path.exists(page) and not os.path.exists(os.path.dirname(page)), page)


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        w = Workbench(tool, work)
        expect("the address is printed with a token", w.port is not None, repr(w.line))
        if w.port is None:
            w.stop(signal.SIGKILL)
            return 1
        try:
            addresses = listening_addresses(w.port)
            loopback = {"0100007F", "00000000000000000000000001000000"}
            expect("it listens on 127.0.0.1", "0100007F" in addresses, addresses)
            expect("it listens on loopback addresses only", addresses and set(addresses) <= loopback,
                   addresses)
            attacks(w)
            abuse(w)
            keep_alive(w)
            second = Workbench(tool, work, w.port)
            try:
                status = second.process.wait(timeout=20)
                err = second.process.stderr.read()
            except subprocess.TimeoutExpired:
                status, err = second.stop(signal.SIGKILL)
                err = "it took the port: " + err
            expect("a port in use: exit status 1", status == 1, f"{status} {second.line!r} {err}")
            expect("a port in use: a message naming it", str(w.port) in err and "in use" in err, err)
        finally:
            status, err = w.stop(signal.SIGINT)
        expect("Ctrl-C stops it with exit status 0", status == 0, f"{status}: {err}")
        with open(w.trace, encoding="utf-8", errors="replace") as f:
            trace = f.read()
        expect("the reader was closed", trace.rstrip().endswith("## close device 0"), trace[-300:])

        w = Workbench(tool, work, trace=False)
        try:
            busy(w)
        finally:
            status, err = w.stop(signal.SIGTERM)
        expect("SIGTERM during a run that searched: exit status 0", status == 0, f"{status}: {err}")

        browser_start(tool, work)

        # SIGTERM, and a run that never touched the reader.
        w = Workbench(tool, work)
        got, _, _ = w.request("GET", "/", {})
        status, err = w.stop(signal.SIGTERM)
        expect("SIGTERM stops it with exit status 0", got == 200 and status == 0, f"{got} {status}: {err}")
        expect("a run without a card command sent none", w.card_commands() == 0)
    print(f"{'FAIL' if failures else 'ok'}: {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
