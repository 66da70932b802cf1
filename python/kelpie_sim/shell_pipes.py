"""Where a shell command's output goes and where its input comes from: the client, a file,
/dev/null, a command substitution, or a pipe to the next stage of a pipeline."""

import asyncio
import os


class BrokenPipe(Exception):
    """A write to a pipe whose reading stage has ended (SIGPIPE on a device)."""


class ClientSink:
    """The client's reply stream. Once the line follows the log (and the server reads the
    next command meanwhile), each write goes out at once."""

    def __init__(self, line):
        self.line = line

    async def write(self, data):
        await self.line.stream.write(data)
        if self.line.live:
            await self.line.stream.flush(settle=False)


class NullSink:
    async def write(self, data):
        pass


class CaptureSink:
    def __init__(self):
        self.chunks = []

    async def write(self, data):
        self.chunks.append(data)


class FileSink:
    def __init__(self, fd):
        self.fd = fd

    async def write(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]


class Pipe:
    """Bytes from one stage of a pipeline to the next as they are written; also the data of
    a `<` redirection or a here-document, closed from the start."""

    def __init__(self, data=b"", closed=False):
        self.buf = bytearray(data)
        self.closed = closed
        self.gone = False         # the reading side ended: writes fail as with SIGPIPE
        self.writer = None        # the task of the stage writing, stopped once the reader is gone
        self.line = None
        self._ready = asyncio.Event()

    async def write(self, data):
        if self.gone:
            raise BrokenPipe()
        self.buf += data
        self._ready.set()
        await asyncio.sleep(0)    # the reader takes it before more comes

    def close(self):
        self.closed = True
        self._ready.set()

    def stop_reading(self):
        self.gone = True
        self.buf.clear()
        if self.writer is not None and not self.writer.done():
            self.writer.cancel()

    async def _wait(self):
        self._ready.clear()
        await self._ready.wait()
        if self.line is not None:
            self.line.rested()

    async def read_all(self):
        while not self.closed:
            await self._wait()
        data = bytes(self.buf)
        self.buf.clear()
        return data

    async def readline(self):
        """A line with its line end, the last piece without one, or b"" at the end."""
        while True:
            nl = self.buf.find(b"\n")
            if nl >= 0 or self.closed:
                cut = nl + 1 if nl >= 0 else len(self.buf)
                data = bytes(self.buf[:cut])
                del self.buf[:cut]
                return data
            await self._wait()


# --- the line and the shell that runs it -----------------------------------------------
