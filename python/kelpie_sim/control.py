"""The control channel: what a test tells a running simulator, and what it reads back.

One request per line, a JSON object {"op": NAME, ...arguments}, and one answer per
request, a line {"ok": RESULT} or {"error": MESSAGE}; a request's "id", if it has
one, is repeated in its answer. Both go through a pair of descriptors, standard
input and output unless named. The simulator stops when its requests end, so it
cannot outlive the test process that started it, however that process ends.
"""

import asyncio
import json
import os
import re

from .hilog import LEVELS, TYPES

LINE_LIMIT = 1 << 30     # a canned answer may be megabytes long
DOMAIN = re.compile("[%s][0-9A-Fa-f]{5}" % "".join(TYPES))


class ControlError(Exception):
    pass


class Control:
    def __init__(self, server, root, addr):
        self.server = server
        self.hub = server.hub
        self.root = root
        self.addr = addr
        self.ops = {
            "state": self.state, "attach": self.attach, "detach": self.detach, "answer": self.answer,
            "log": self.log, "folder": self.folder, "received": self.received, "fault": self.fault,
        }

    async def serve(self, requests, answers, stop):
        """Answers the requests read from file `requests` on file `answers` until they end."""
        loop = asyncio.get_running_loop()
        reader = asyncio.StreamReader(limit=LINE_LIMIT)
        transport, _ = await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), requests)
        try:
            while True:
                line = await reader.readline()
                if not line.endswith(b"\n"):
                    return
                answers.write(json.dumps(self.handle(line)) + "\n")
                answers.flush()
        finally:
            transport.close()
            stop.set()

    def handle(self, line):
        ident = None
        try:
            request = json.loads(line)
            if not isinstance(request, dict):
                raise ControlError("a request is a JSON object, not %r" % line.decode(errors="replace").strip())
            ident = request.pop("id", None)
            op = self.ops.get(request.pop("op", None))
            if op is None:
                raise ControlError("unknown request %r" % line.decode(errors="replace").strip())
            answer = {"ok": op(**request)}
        except Exception as e:  # a bad request is the test's to see; it must not stop the simulator
            answer = {"error": str(e) if isinstance(e, ControlError) else "%s: %s" % (type(e).__name__, e)}
        if ident is not None:
            answer["id"] = ident
        return answer

    def ident(self, device):
        """The named device, or the only one attached when None."""
        if device is None:
            ids = self.hub.ids()
            if len(ids) != 1:
                raise ControlError("%d devices attached; name one" % len(ids))
            return ids[0]
        if not self.hub.known(device):
            raise ControlError("no device %s" % device)
        return device

    def attached(self, device):
        dev = self.hub.get(self.ident(device))
        if dev is None:
            raise ControlError("device %s is not attached" % device)
        return dev

    # --- requests ---------------------------------------------------------------------------

    def state(self):
        return {"root": self.root, "devices": self.hub.ids(), "addr": self.addr}

    def attach(self, after=None):
        ident = self.hub.reserve()
        if after is None:
            self.hub.attach(ident)
        else:
            asyncio.get_running_loop().call_later(after, self.hub.attach, ident)
        return ident

    def detach(self, device):
        if not self.hub.detach(device):
            raise ControlError("device %s is not attached" % device)

    def answer(self, command, output, device=None, regex=False, flags=0, packet_size=None):
        if device is not None:
            self.ident(device)
        if packet_size is not None and (isinstance(packet_size, bool) or not isinstance(packet_size, int)
                                        or packet_size < 1):
            raise ControlError("packet_size must be a whole number of bytes >= 1, not %r" % (packet_size,))
        self.server.answers.add(command, output, device, regex, flags, packet_size)

    def log(self, tag, message, device=None, level="I", domain="A00000", pid=None):
        if not isinstance(tag, str) or not tag or tag.split() != [tag] or set(tag) & set(":,"):
            raise ControlError("a log tag is one word without ':' or ',' (hilog -T could not name it), not %r" % tag)
        if not isinstance(level, str) or level not in LEVELS or len(level) != 1:
            raise ControlError("level %r is not one of %s" % (level, ",".join(LEVELS)))
        if not isinstance(domain, str) or not DOMAIN.fullmatch(domain):
            raise ControlError("domain %r is not a type letter (%s) and five hex digits, such as A00000"
                               % (domain, ", ".join(TYPES)))
        if pid is not None and (isinstance(pid, bool) or not isinstance(pid, int) or not 0 < pid < 2 ** 31):
            raise ControlError("pid %r is not a process id (a whole number from 1)" % (pid,))
        log = self.attached(device).log
        for line in message.split("\n"):
            log.add(level, domain, tag, line, pid=pid)

    def folder(self, device=None):
        return os.path.join(self.root, self.ident(device))

    def received(self, device=None, with_devices=False):
        if device is not None:
            self.ident(device)
        picked = [(target, text) for target, text in self.server.received if device is None or target == device]
        return picked if with_devices else [text for _target, text in picked]

    def fault(self, kind, device=None, seconds=0.0):
        if device is not None:
            self.ident(device)
        self.server.faults.arm(kind, device, seconds)
