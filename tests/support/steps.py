"""Builders for the steps of a script_server.py connection script.

A connection script is a list of these steps, or `connection(steps, close_after=K)`.
After its last step a connection is drained (everything the client sends is
recorded until it closes), unless a `close()` or `stall()` ended it first.
"""


def _data(data):
    if isinstance(data, str):
        return {"text": data}
    return {"hex": bytes(data).hex()}


def _pacing(chunk, pause):
    out = {}
    if chunk is not None:
        out["chunk"] = chunk
    if pause:
        out["pause"] = pause
    return out


def send(data, *, chunk=None, pause=0.0):
    """Send raw bytes (or UTF-8 text), in writes of `chunk` bytes with `pause` seconds after each."""
    return {"op": "send", **_data(data), **_pacing(chunk, pause)}


def send_packet(payload, *, length=None, chunk=None, pause=0.0):
    """Send one packet; `length` announces a length other than the payload's."""
    step = {"op": "packet", **_data(payload), **_pacing(chunk, pause)}
    if length is not None:
        step["length"] = length
    return step


def send_handshake(length=44, banner=b"OHOS HDC", channel=42, *, chunk=None, pause=0.0):
    """Send the server's handshake record (see handshake_record) as one packet."""
    if isinstance(banner, str):
        banner = banner.encode()
    return {"op": "handshake", "length": length, "banner": banner.hex(), "channel": channel,
            **_pacing(chunk, pause)}


def read(n):
    """Read exactly n bytes."""
    return {"op": "read", "n": n}


def read_packet(expect=None):
    """Read one packet; when `expect` (bytes or text) differs from its payload, the connection ends with an error."""
    step = {"op": "read_packet"}
    if expect is not None:
        step["expect"] = (expect.encode() if isinstance(expect, str) else bytes(expect)).hex()
    return step


def drain():
    """Read until the client closes."""
    return {"op": "drain"}


def sleep(seconds):
    return {"op": "sleep", "seconds": seconds}


def shutdown():
    """Half-close: the client sees end of stream; the server keeps reading."""
    return {"op": "shutdown"}


def close(reset=False):
    """Close the connection now; with reset=True the client sees a TCP reset."""
    return {"op": "close", "reset": reset}


def stall():
    """Keep the connection open, neither sending nor reading, until the server ends."""
    return {"op": "stall"}


def connection(steps, *, close_after=None):
    """A connection script that closes as soon as `close_after` bytes have been sent."""
    script = {"steps": list(steps)}
    if close_after is not None:
        script["close_after"] = close_after
    return script
