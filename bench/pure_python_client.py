"""An HDC client in plain Python (standard library only): what a careful user would
write instead of using kelpie, and one of the contenders of the benchmark.

It speaks the same protocol with the same end conditions: replies are strictly
decoded as UTF-8 after their command code is stripped, by the standard
library's incremental decoder, since a reply may end in the middle of a
character that the next one finishes (the decoder keeps the few bytes of a cut
character for the next reply); shell output ends on an
empty reply, after 5 seconds of silence, or after 100 milliseconds of silence
following a reply that ends a line; hilog output ends on an empty reply or after
5 seconds of silence.

Written for speed as a user who measured would: packets are read with recv_into
into one buffer kept by the client (64 KiB, grown to 1 MiB by the first bulk
call, so a receive takes many small packets at once and any packet fits), frames
are parsed where they lie, each reply is decoded from the buffer, and the
pieces are joined once at the end. The decoder takes each reply as a bytes
object of its own (it joins the held bytes to it): decoding straight from a
memoryview of the buffer was faster, but on 32-bit PyPy it left one 1 GiB
output of UTF-8 text unable to be joined (MemoryError), which this way comes
back whole.
"""

import codecs
import socket
import struct

MAX_PACKET_SIZE = 523264
COMMAND_CODES = frozenset((0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 13, 14, 1001, 1002, 1003, 2000, 2001, 3000, 3003, 3004))
REPLY_TIMEOUT = 5.0
TRAILING_LOOK = 0.1
SMALL_BUFFER = 64 << 10
BULK_BUFFER = 1 << 20
MIN_RECV = 64 << 10  # free room below which the unread bytes move to the front first

_header = struct.Struct(">I")
_decode = codecs.utf_8_decode
_Decoder = codecs.getincrementaldecoder("utf-8")


class PurePythonClient:
    def __init__(self, addr):
        host, _, port = addr.rpartition(":")
        self._sock = socket.create_connection((host.strip("[]"), int(port)), timeout=10.0)
        self._timeout = 10.0
        self._buf = bytearray(SMALL_BUFFER)
        self._view = memoryview(self._buf)
        self._start = self._end = 0  # received and not yet parsed
        self._decoder = _Decoder("strict")  # keeps a character cut at the end of a reply for the next
        self._error = None  # invalid text met in this output, raised once the output has ended
        at, n = self._next_frame()
        record = bytes(self._view[at:at + n])
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
        self._decoder, self._error = _Decoder("strict"), None
        pieces = []
        self._read_reply(pieces)
        return [line.strip() for line in self._finish(pieces).split("\n") if line.strip()]

    def shell(self, command):
        self._send_packet(("shell " + command).encode("utf-8"))
        self._bulk_buffer()
        self._decoder, self._error = _Decoder("strict"), None
        pieces = []
        while True:
            self._set_timeout(REPLY_TIMEOUT)
            try:
                last = self._read_reply(pieces)
            except socket.timeout:
                break
            if last is None:
                break
            if last in (10, 0):  # the reply ended a line: only stragglers may follow
                self._set_timeout(TRAILING_LOOK)
                try:
                    at, n = self._next_frame()
                except (socket.timeout, OSError, RuntimeError):
                    break
                if n != 1:
                    at, n = at + 2, n - 2
                pieces.append(_decode(self._view[at:at + n], "replace", True)[0])
        return self._finish(pieces)

    def hilog(self, args):
        self._send_packet(b"hilog" if args is None else ("hilog " + args).encode("utf-8"))
        self._bulk_buffer()
        self._set_timeout(REPLY_TIMEOUT)
        self._decoder, self._error = _Decoder("strict"), None
        pieces = []
        while True:
            try:
                last = self._read_reply(pieces)
            except socket.timeout:
                if not pieces:
                    raise RuntimeError("Operation timed out")
                break
            if last is None:
                break
        return self._finish(pieces)

    def _set_timeout(self, seconds):
        # Changing it costs system calls, so only when it changes.
        if seconds != self._timeout:
            self._sock.settimeout(seconds)
            self._timeout = seconds

    def _bulk_buffer(self):
        if len(self._buf) < BULK_BUFFER:
            self._resize(BULK_BUFFER)

    def _resize(self, size):
        unread = self._view[self._start:self._end]
        buf = bytearray(size)
        buf[:len(unread)] = unread
        self._buf, self._view = buf, memoryview(buf)
        self._start, self._end = 0, len(unread)

    def _read_reply(self, pieces):
        """Decodes the next reply's text onto `pieces`; returns its last byte, or
        None for an empty reply."""
        at, n = self._next_frame()
        buf = self._buf
        if n >= 2 and buf[at] | buf[at + 1] << 8 in COMMAND_CODES:
            at, n = at + 2, n - 2
        if n == 0:
            return None
        if self._error is None:
            try:
                self._decode(pieces, at, n)
            except UnicodeDecodeError as error:
                # Raised at the end of the output, not now: the rest of it must still be
                # read, or the next call would take it for its own.
                self._error = error
        return buf[at + n - 1]

    def _decode(self, pieces, at, n):
        text = self._decoder.decode(self._view[at:at + n])
        if text:
            pieces.append(text)

    def _finish(self, pieces):
        """The output; a character still cut at its end is an error, as any invalid text is."""
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        self._decoder.decode(b"", True)  # a character still cut raises UnicodeDecodeError
        return "".join(pieces)

    def _send_packet(self, payload):
        if len(payload) > MAX_PACKET_SIZE:
            raise RuntimeError("Data size %d exceeds maximum packet size %d" % (len(payload), MAX_PACKET_SIZE))
        self._sock.sendall(_header.pack(len(payload)) + payload)

    def _next_frame(self):
        """(offset, length) of the next packet's payload in the buffer, valid until the next call."""
        start, end = self._start, self._end
        if end - start >= 4:
            (length,) = _header.unpack_from(self._buf, start)
            if end - start - 4 >= length and 0 < length <= MAX_PACKET_SIZE:
                self._start = start + 4 + length
                return start + 4, length
        return self._receive_frame()

    def _receive_frame(self):
        while True:
            start, end = self._start, self._end
            need = 4
            if end - start >= 4:
                (length,) = _header.unpack_from(self._buf, start)
                if length == 0:
                    raise RuntimeError("Received zero-length packet")
                if length > MAX_PACKET_SIZE:
                    raise RuntimeError("Packet size %d exceeds maximum %d" % (length, MAX_PACKET_SIZE))
                need = 4 + length
                if end - start >= need:
                    self._start = start + need
                    return start + 4, length
            if need > len(self._buf):
                self._resize(max(need, BULK_BUFFER))
            elif start == end:
                self._start = self._end = 0
            elif start + need > len(self._buf) or len(self._buf) - end < MIN_RECV:
                # Through a copy: the two ranges may overlap.
                self._buf[:end - start] = bytes(self._view[start:end])
                self._start, self._end = 0, end - start
            k = self._sock.recv_into(self._view[self._end:])
            if k == 0:
                raise RuntimeError("early eof")
            self._end += k
