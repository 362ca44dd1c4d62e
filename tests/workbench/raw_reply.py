"""Reading a reply off a raw socket, for the workbench's tests that speak
HTTP by hand (bodies and heads no client library would send)."""


def read_reply(s, done=None):
    """What the server sends on `s` until it closes the connection, the
    socket's timeout passes, or `done(reply so far)` is true."""
    reply = b""
    try:
        while not (done and done(reply)):
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
    except OSError:  # reset, or the timeout
        pass
    return reply
