#!/usr/bin/env python3
"""A scripted stand-in for the HDC host server, run as a separate process.

The tests cannot serve connections from a thread of their own process: the
module keeps the interpreter lock for the whole of every call, so a server
thread would never run while the client waits for it. This program is that
server. It uses the standard library only and runs under CPython 3.9+ and
PyPy 3.9.

    script_server.py --script FILE|- --out FILE [--host 127.0.0.1|::1]

It listens on the loopback address (port 0, so the kernel picks a free one),
prints the port as the first line of standard output, then plays the script
to each accepted connection. When every scripted connection has finished, or
the script's lifetime has passed, or SIGTERM arrives, it writes what each
connection received to the --out file (JSON, written atomically) and exits.

Script (JSON):

    {
      "connections": [CONN, ...],  # for connections 0, 1, ... in accept order
      "repeat": CONN,              # optional: for every connection past the list
      "count": N,                  # with "repeat": how many connections in all
      "lifetime": 60               # seconds before the server gives up
    }
    CONN = [STEP, ...] | {"steps": [STEP, ...], "close_after": K}

"close_after" closes the connection as soon as K bytes have been sent on it,
whichever step is sending. Steps are objects with an "op":

    send       {"hex": ...} or {"text": ...}; options "chunk" (bytes per
               write) and "pause" (seconds after each write)
    packet     a length-prefixed packet: "hex"/"text" payload, optional
               "length" announcing another length; "chunk", "pause"
    handshake  the server's record as one packet: "length" (44), "banner"
               (hex, default "OHOS HDC"), "channel" (42); "chunk", "pause"
    read       read exactly "n" bytes
    read_packet  read one packet; optional "expect" (hex) compared with the
               payload: a mismatch is recorded as the connection's error and
               ends it
    drain      read until the peer closes
    sleep      pause "seconds"
    shutdown   half-close: no more sending, reading goes on
    close      close now, after taking the bytes already received ("reset":
               true closes with a TCP reset); ends the script
    stall      keep the connection open without reading, until the server ends

After the last step the connection is drained (read until the peer closes)
and then closed, so every byte the client sends is recorded.

Output (JSON): {"reason": "done"|"lifetime"|"stopped", "connections": [{
"received": hex, "eof": bool, "reset": bool, "steps_done": int, "finished":
bool, "error": text or null, "accepted_at": s, "closed_at": s or null}]},
times in seconds since the server started. "eof" and "reset" tell how the
peer ended the connection, when it did.
"""

import argparse
import json
import os
import select
import signal
import socket
import struct
import sys
import threading
import time

MAX_PACKET_SIZE = 523264
DEFAULT_LIFETIME = 60.0


def packet(payload, length=None):
    """One frame: a 4-byte big-endian length (the payload's unless given), then the payload."""
    if isinstance(payload, str):
        payload = payload.encode()
    announced = len(payload) if length is None else length
    return announced.to_bytes(4, "big") + bytes(payload)


def handshake_record(length=44, banner=b"OHOS HDC", channel=42):
    """The server's handshake record (the payload, without its length prefix).

    Bytes 0.. hold `banner` (usually 8 or 12 bytes), bytes 12-15 the channel
    identifier big-endian; every other byte is a non-zero filler that depends on
    its offset ((offset % 255) + 1), so echoed and zeroed fields are told apart.
    """
    if isinstance(banner, str):
        banner = banner.encode()
    size = max(length, 16, len(banner))
    record = bytearray((i % 255) + 1 for i in range(size))
    record[0:len(banner)] = banner
    if len(banner) <= 12:
        record[12:16] = (channel & 0xFFFFFFFF).to_bytes(4, "big")
    return bytes(record[:length])


def step_bytes(step):
    if "hex" in step:
        return bytes.fromhex(step["hex"])
    return step.get("text", "").encode()


class ConnectionClosed(Exception):
    """The script ended the connection (close, close_after or a mismatch)."""


class PeerGone(Exception):
    """The client closed or reset the connection."""


class Connection:
    def __init__(self, sock, script, started):
        self.sock = sock
        self.started = started
        if isinstance(script, list):
            script = {"steps": script}
        self.steps = script.get("steps", [])
        self.close_after = script.get("close_after")
        self.received = bytearray()
        self.sent = 0
        self.eof = False
        self.reset = False
        self.steps_done = 0
        self.finished = False
        self.stalled = False
        self.error = None
        self.accepted_at = time.monotonic() - started
        self.closed_at = None
        self.lock = threading.Lock()

    # Sending --------------------------------------------------------------

    def send(self, data, chunk=None, pause=0.0):
        cut = False
        if self.close_after is not None and self.sent + len(data) >= self.close_after:
            data = data[:max(self.close_after - self.sent, 0)]
            cut = True
        step = chunk or len(data) or 1
        for i in range(0, len(data), step):
            piece = data[i:i + step]
            try:
                self.sock.sendall(piece)
            except OSError as e:
                raise PeerGone(str(e))
            self.sent += len(piece)
            if pause:
                time.sleep(pause)
        if cut:
            raise ConnectionClosed()

    # Receiving ------------------------------------------------------------

    def recv_some(self, limit=65536):
        try:
            data = self.sock.recv(limit)
        except ConnectionResetError:
            self.reset = True
            raise PeerGone("reset")
        if not data:
            self.eof = True
            raise PeerGone("eof")
        with self.lock:
            self.received += data
        return data

    def read_exact(self, n):
        out = bytearray()
        while len(out) < n:
            out += self.recv_some(n - len(out))
        return bytes(out)

    def drain(self):
        try:
            while True:
                self.recv_some()
        except PeerGone:
            pass

    # Script ---------------------------------------------------------------

    def run_step(self, step):
        op = step["op"]
        opts = {"chunk": step.get("chunk"), "pause": step.get("pause", 0.0)}
        if op == "send":
            self.send(step_bytes(step), **opts)
        elif op == "packet":
            self.send(packet(step_bytes(step), step.get("length")), **opts)
        elif op == "handshake":
            banner = bytes.fromhex(step["banner"]) if "banner" in step else b"OHOS HDC"
            record = handshake_record(step.get("length", 44), banner, step.get("channel", 42))
            self.send(packet(record), **opts)
        elif op == "read":
            self.read_exact(step["n"])
        elif op == "read_packet":
            size = int.from_bytes(self.read_exact(4), "big")
            payload = self.read_exact(size)
            if "expect" in step and payload != bytes.fromhex(step["expect"]):
                self.error = "step %d: expected packet %s, got %s" % (self.steps_done, step["expect"], payload.hex())
                raise ConnectionClosed()
        elif op == "drain":
            self.drain()
        elif op == "sleep":
            time.sleep(step["seconds"])
        elif op == "shutdown":
            self.sock.shutdown(socket.SHUT_WR)
        elif op == "close":
            if step.get("reset"):
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raise ConnectionClosed()
        elif op == "stall":
            self.stalled = True
            threading.Event().wait()
        else:
            raise ValueError("unknown op %r" % op)

    def take_pending(self):
        """Record what has already arrived without waiting for more."""
        try:
            while True:
                data = self.sock.recv(65536, socket.MSG_DONTWAIT)
                if not data:
                    self.eof = True
                    return
                with self.lock:
                    self.received += data
        except ConnectionResetError:
            self.reset = True
        except OSError:
            pass

    def serve(self):
        try:
            for step in self.steps:
                self.run_step(step)
                self.steps_done += 1
            self.drain()
        except (ConnectionClosed, PeerGone):
            pass
        except Exception as e:  # a fault of the script or of this program: report it, never hang
            self.error = "%s: %s" % (type(e).__name__, e)
        finally:
            # Unread bytes would turn the close into a reset; take them first (and keep them).
            if not (self.eof or self.reset):
                self.take_pending()
            self.closed_at = time.monotonic() - self.started
            self.sock.close()
            self.finished = True

    def snapshot(self):
        if self.stalled and not self.finished:
            self.take_pending()  # whatever reached a stalled connection is still in its receive buffer
        with self.lock:
            received = bytes(self.received)
        return {
            "received": received.hex(), "eof": self.eof, "reset": self.reset,
            "steps_done": self.steps_done, "finished": self.finished, "error": self.error,
            "accepted_at": round(self.accepted_at, 4),
            "closed_at": None if self.closed_at is None else round(self.closed_at, 4),
        }


def validate(script):
    conns = script.get("connections", [])
    if not isinstance(conns, list):
        raise ValueError("'connections' must be a list")
    if "repeat" not in script and "count" in script:
        raise ValueError("'count' needs 'repeat'")
    for conn in conns + ([script["repeat"]] if "repeat" in script else []):
        steps = conn if isinstance(conn, list) else conn.get("steps", [])
        for step in steps:
            if step.get("op") not in ("send", "packet", "handshake", "read", "read_packet", "drain", "sleep",
                                      "shutdown", "close", "stall"):
                raise ValueError("unknown step %r" % (step,))


def script_for(script, index):
    conns = script.get("connections", [])
    if index < len(conns):
        return conns[index]
    return script["repeat"]


def expected_count(script):
    if "repeat" in script:
        return script.get("count")
    return len(script.get("connections", []))


def write_results(path, reason, connections):
    out = {"reason": reason, "connections": [c.snapshot() for c in connections]}
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(out, f)
    os.replace(tmp, path)


def serve(listener, script, out_path, started, stop):
    lifetime = float(script.get("lifetime", DEFAULT_LIFETIME))
    deadline = started + lifetime
    count = expected_count(script)
    connections = []
    threads = []
    reason = "lifetime"
    while not stop.is_set() and time.monotonic() < deadline:
        if count is not None and len(connections) >= count:
            if listener is not None:
                listener.close()
                listener = None
            threads = [t for t in threads if t.is_alive()]
            if not threads:
                reason = "done"
                break
            threads[0].join(0.05)
            continue
        if not select.select([listener], [], [], 0.05)[0]:
            continue
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = Connection(sock, script_for(script, len(connections)), started)
        connections.append(conn)
        t = threading.Thread(target=conn.serve, daemon=True)
        t.start()
        threads.append(t)
        if len(threads) > 64:
            threads = [t for t in threads if t.is_alive()]
    if stop.is_set():
        reason = "stopped"
    write_results(out_path, reason, connections)


def main(argv=None):
    parser = argparse.ArgumentParser(description="scripted HDC host server for tests")
    parser.add_argument("--script", required=True, help="JSON script file, or - for standard input")
    parser.add_argument("--out", required=True, help="file to write the received bytes to (JSON)")
    parser.add_argument("--host", default="127.0.0.1", choices=["127.0.0.1", "::1"])
    args = parser.parse_args(argv)

    started = time.monotonic()
    if args.script == "-":
        script = json.load(sys.stdin)
    else:
        with open(args.script) as f:
            script = json.load(f)
    try:
        validate(script)
    except ValueError as e:
        print("script_server: bad script: %s" % e, file=sys.stderr)
        return 2

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.bind((args.host, 0))
    listener.listen(128)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    sys.stdout.write("%d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    serve(listener, script, args.out, started, stop)
    sys.stdout.flush()
    # Stalled handler threads never end on their own; nothing of theirs is left to save.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
