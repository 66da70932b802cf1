"""An HDC client in plain Python (standard library only): what a user would
write instead of using kelpie, and one of the contenders of the benchmark.

It speaks the same protocol with the same end conditions: replies are strictly
decoded as UTF-8 after their command code is stripped; shell output ends on an
empty reply, after 5 seconds of silence, or after 100 milliseconds of silence
following a reply that ends a line; hilog output ends on an empty reply or after
5 seconds of silence.
"""

import socket
import struct

MAX_PACKET_SIZE = 523264
COMMAND_CODES = frozenset((0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004))
REPLY_TIMEOUT = 5.0
TRAILING_LOOK = 0.1

_header = struct.Struct(">I")


class PurePythonClient:
    def __init__(self, addr):
        host, _, port = addr.rpartition(":")
        self._sock = socket.create_connection((host.strip("[]"), int(port)), timeout=10.0)
        self._timeout = 10.0
        record = self._recv_packet()
        if len(record) < 44 or record[:8] != b"OHOS HDC":
            self._sock.close()
            raise RuntimeError("bad handshake record")
        reply = record[:12] + bytes(32)
        if len(record) >= 108:
            reply += record[44:108]
        self._send_packet(reply)

    def close(self):
        self._sock.close()

    def list_targets(self):
        self._send_packet(b"list targets")
        self._set_timeout(None)
        return [line.strip() for line in self._read_response().split("\n") if line.strip()]

    def shell(self, command):
        self._send_packet(("shell " + command).encode("utf-8"))
        pieces = []
        while True:
            self._set_timeout(REPLY_TIMEOUT)
            try:
                text = self._read_response()
            except socket.timeout:
                break
            if not text:
                break
            pieces.append(text)
            if text[-1] in "\n\0":
                self._set_timeout(TRAILING_LOOK)
                try:
                    payload = self._recv_packet()
                except (socket.timeout, OSError, RuntimeError):
                    break
                pieces.append((payload if len(payload) == 1 else payload[2:]).decode("utf-8", "replace"))
        return "".join(pieces)

    def hilog(self, args):
        self._send_packet(b"hilog" if args is None else ("hilog " + args).encode("utf-8"))
        self._set_timeout(REPLY_TIMEOUT)
        pieces = []
        while True:
            try:
                text = self._read_response()
            except socket.timeout:
                if not pieces:
                    raise RuntimeError("Operation timed out")
                break
            if not text:
                break
            pieces.append(text)
        return "".join(pieces)

    def _set_timeout(self, seconds):
        # Changing it costs system calls, so only when it changes.
        if seconds != self._timeout:
            self._sock.settimeout(seconds)
            self._timeout = seconds

    def _read_response(self):
        payload = self._recv_packet()
        if len(payload) >= 2 and payload[0] | payload[1] << 8 in COMMAND_CODES:
            payload = payload[2:]
        return payload.decode("utf-8")

    def _send_packet(self, payload):
        if len(payload) > MAX_PACKET_SIZE:
            raise RuntimeError("Data size %d exceeds maximum packet size %d" % (len(payload), MAX_PACKET_SIZE))
        self._sock.sendall(_header.pack(len(payload)) + payload)

    def _recv_packet(self):
        (length,) = _header.unpack(self._recv_exact(4))
        if length == 0:
            raise RuntimeError("Received zero-length packet")
        if length > MAX_PACKET_SIZE:
            raise RuntimeError("Packet size %d exceeds maximum %d" % (length, MAX_PACKET_SIZE))
        return self._recv_exact(length)

    def _recv_exact(self, n):
        buf = bytearray(n)
        view = memoryview(buf)
        got = 0
        while got < n:
            k = self._sock.recv_into(view[got:])
            if k == 0:
                raise RuntimeError("early eof")
            got += k
        return bytes(buf)
