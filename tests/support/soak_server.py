#!/usr/bin/env python3
"""A quick HDC host server for long runs: it answers every command at once
with a fixed reply, on any number of connections, until standard input closes.

    soak_server.py      prints its port as the first line of standard output

The replies are chosen so that each operation ends on its first reply (or on
an empty reply right behind it) and never waits out a time limit; a few
commands are answered so that the client reports an error.

"shell bulk TOTAL PACKET [UNIT]" streams TOTAL bytes of text, UNIT (by default
the ASCII of BULK_UNIT) repeated, PACKET text bytes to a reply, then an empty
reply: outputs of any size without holding them in memory.
"""

import socket
import struct
import sys
import threading

RECORD = b"OHOS HDC" + b"\xa1\xa2\xa3\xa4" + b"\x00\x00\x00\x2a" + bytes(28)
CODE = b"\x05\x00"
END = CODE


def packet(payload):
    return struct.pack(">I", len(payload)) + payload


# First matching prefix wins; each entry is the reply payloads to send.
REPLIES = [
    (b"list targets", [b"dev1\r\ndev2\n"]),
    (b"wait", [b"device is dev1\n"]),
    (b"shell fail", [b"\xff", END]),            # not UTF-8: the call fails once the output ends
    (b"shell ", [CODE + b"out", END]),
    (b"hilog", [CODE + b"log\n", END]),
    (b"fport rm ", [b"[Fail]no such task"]),     # becomes an error
    (b"fport ", [b"OK"]),
    (b"rport ", [b"OK"]),
    (b"file ", [CODE + b"FileTransfer finish"]),
    (b"install ", [CODE + b"Success"]),
    (b"uninstall ", [b"Success"]),
]


BULK_UNIT = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXY"  # 61 bytes


def bulk_text(total, unit=BULK_UNIT):
    """What "shell bulk" sends, for the test to compare with."""
    return (unit * (total // len(unit.encode()) + 1)).encode()[:total].decode("utf-8", "replace")


def send_bulk(conn, args):
    total, size = int(args[0]), int(args[1])
    unit = (args[2].decode() if len(args) > 2 else BULK_UNIT).encode()
    # Packet k's text starts at offset k * size of the endless repetition.
    period = unit * ((size + len(unit)) // len(unit) + 1)
    sent = 0
    while sent < total:
        n = min(size, total - sent)
        start = sent % len(unit)
        conn.sendall(packet(CODE + period[start:start + n]))
        sent += n
    conn.sendall(packet(END))


def exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve(conn):
    with conn:
        conn.sendall(packet(RECORD))
        while True:
            header = exactly(conn, 4)
            if header is None:
                return
            payload = exactly(conn, struct.unpack(">I", header)[0])
            if payload is None:
                return
            if len(payload) == 44 and payload.startswith(b"OHOS HDC"):
                continue  # the client's handshake reply
            if payload.startswith(b"shell bulk "):
                send_bulk(conn, payload.split()[2:])
                continue
            for prefix, replies in REPLIES:
                if payload.startswith(prefix):
                    conn.sendall(b"".join(packet(r) for r in replies))
                    break
            else:
                conn.sendall(packet(b"?"))


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    print(listener.getsockname()[1], flush=True)

    def accept_forever():
        while True:
            conn, _ = listener.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    sys.stdin.read()  # the test closes it, or goes away


if __name__ == "__main__":
    main()
