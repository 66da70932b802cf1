"""How multi-reply output is cut into replies so that kelpie's collectors end exactly
where the output ends, without waiting out a silence."""

import re

from .wire import MAX_TEXT, char_boundary

LINE_END = (0x0A, 0x00)


def _settled_length(buf):
    """How much of `buf` can go out now: not an unfinished character, not a final line end."""
    n = len(buf)
    for back in range(1, min(4, n) + 1):
        b = buf[n - back]
        if (b & 0xC0) == 0x80:
            continue
        need = 1 if b < 0xC0 else 2 if b < 0xE0 else 3 if b < 0xF0 else 4
        if need > back:
            n -= back
        break
    while n and buf[n - 1] in LINE_END:
        n -= 1
    return n


class ShellStream:
    """Shell output for a client that, after a reply ending in a line feed or NUL,
    briefly looks for one more packet and takes it as text whatever it holds — an
    end packet included — before waiting again.

    Output is held back so that no reply ends a line while more may follow after a
    pause (the client would stop looking after 100 ms and the rest would be read as
    the next command's reply). At the close the client's state is known: if its next
    read is that short look, the first end packet is eaten by it as empty text and
    a second one ends the collection.
    """

    def __init__(self, replies):
        self._replies = replies
        self._held = bytearray()
        self._look_next = False

    async def write(self, data):
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        self._held += data
        n = _settled_length(self._held)
        if n:
            chunk = bytes(self._held[:n])
            del self._held[:n]
            await self._send(chunk)

    async def flush(self, settle=True):
        """Sends all that is held, line ends included, for output that pauses here.

        With `settle`, a client left looking for a trailing packet is given a code-only one,
        which it takes as empty text: it then waits its full 5 seconds for more, as it would
        for output that paused in the middle of a line."""
        if self._held:
            chunk = bytes(self._held)
            self._held.clear()
            await self._send(chunk)
        if settle and self._look_next:
            await self._replies.end()
            self._look_next = False

    async def close(self):
        if self._held:
            chunk = bytes(self._held)
            self._held.clear()
            await self._send(chunk)
        await self._replies.end()
        if self._look_next:
            await self._replies.end()

    async def _send(self, data):
        while data:
            cut = char_boundary(data, MAX_TEXT)
            chunk, data = data[:cut], data[cut:]
            await self._replies.text(chunk)
            if self._look_next:
                self._look_next = False
            else:
                self._look_next = chunk[-1] in LINE_END


WIDE = re.compile(rb"[\xc0-\xff]")


def log_chunks(data, soft_limit=4096):
    """The log cut into replies, some of them on purpose inside a multi-byte character:
    the first such character of every line is split across two replies."""
    chunks = []
    start = 0
    pos = 0
    while pos < len(data):
        nl = data.find(b"\n", pos)
        line_end = len(data) if nl < 0 else nl + 1
        wide = WIDE.search(data, pos, line_end)
        if wide is not None:
            chunks.append(data[start:wide.start() + 1])
            start = wide.start() + 1
        elif line_end - start >= soft_limit:
            chunks.append(data[start:line_end])
            start = line_end
        pos = line_end
    if start < len(data):
        chunks.append(data[start:])
    out = []
    for chunk in chunks:
        while len(chunk) > MAX_TEXT:
            out.append(chunk[:MAX_TEXT])
            chunk = chunk[MAX_TEXT:]
        out.append(chunk)
    return out
