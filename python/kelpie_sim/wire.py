"""The host protocol as the server speaks it: frames, the handshake record, reply payloads."""

import asyncio
import struct

MAX_PACKET_SIZE = 523264          # largest payload either side accepts
TEXT_CODE = 5                     # the command code every reply of ours starts with
CODE = struct.pack("<H", TEXT_CODE)
MAX_TEXT = MAX_PACKET_SIZE - len(CODE)

BANNER = b"OHOS HDC" + b"\x00\x00\x00\x00"
RECORD_LEN = 108
MIN_RECORD_LEN = 44
VERSION = b"Ver: 3.1.0e (kelpie simulator)"


class Malformed(Exception):
    """The peer broke the framing or the handshake; its connection is closed."""


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def handshake_record(channel_id):
    """The 108-byte record the server opens every connection with."""
    record = BANNER + struct.pack(">I", channel_id)
    record += bytes(MIN_RECORD_LEN - len(record))
    return record + VERSION.ljust(RECORD_LEN - MIN_RECORD_LEN, b"\x00")


def connect_key(reply, sent_record):
    """The device identifier a client's handshake reply names ("" for none)."""
    if len(reply) < MIN_RECORD_LEN or reply[:12] != sent_record[:12]:
        raise Malformed("bad handshake reply")
    return reply[12:44].split(b"\x00", 1)[0].decode("utf-8", "replace")


async def read_packet(reader):
    """One payload, or None at a clean end of stream between packets."""
    try:
        header = await reader.readexactly(4)
    except asyncio.IncompleteReadError as e:
        if e.partial:
            raise Malformed("stream ended inside a header")
        return None
    (length,) = struct.unpack(">I", header)
    if length == 0 or length > MAX_PACKET_SIZE:
        raise Malformed("packet length %d" % length)
    try:
        return await reader.readexactly(length)
    except asyncio.IncompleteReadError:
        raise Malformed("stream ended inside a payload")


def char_boundary(data, limit):
    """The largest cut <= limit that does not split a UTF-8 sequence (when data is UTF-8)."""
    if limit >= len(data):
        return len(data)
    for cut in range(limit, max(limit - 4, 0), -1):
        if (data[cut] & 0xC0) != 0x80:
            return cut
    return limit


def fit_text(data):
    """A text cut (on a character boundary) so that it fits one reply."""
    return data[:char_boundary(data, MAX_TEXT)]


class Replies:
    """Writes reply packets to one client connection."""

    def __init__(self, writer):
        self._writer = writer

    async def text(self, data):
        """One reply carrying `data` (bytes or str), which must not be empty."""
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        assert data, "an empty text would read as an end"
        await self._send([frame(CODE + fit_text(data))])

    async def end(self):
        """A reply holding only the code: the end of a collection."""
        await self._send([frame(CODE)])

    async def raw_chunks(self, chunks):
        await self._send([frame(CODE + chunk) for chunk in chunks])

    async def _send(self, frames):
        for f in frames:
            self._writer.write(f)
        await self._writer.drain()
