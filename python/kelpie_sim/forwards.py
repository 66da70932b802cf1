"""fport / rport: port mappings between the host's loopback and a device.

A device's TCP port is served by the device's own services when it has one there
(every device runs an echo service on port 7; an rport mapping adds one), and
otherwise by 127.0.0.1 on the host with the same port number. A forward
"tcp:A tcp:B" listens on 127.0.0.1:A and carries each connection to device port B.
A reverse "tcp:B tcp:A" makes device port B lead to 127.0.0.1:A on the host.
Mappings of other node kinds are recorded and listed but carry nothing.
"""

import asyncio
import collections
import socket

ECHO_PORT = 7
NODE_KINDS = ("tcp", "localabstract", "localreserved", "localfilesystem", "dev", "jdwp", "ark")

Mapping = collections.namedtuple("Mapping", "task kind device first second server")


class ForwardError(Exception):
    pass


async def echo_service(reader, writer):
    """A device's echo port: whatever arrives goes straight back."""
    try:
        await _pipe(reader, writer)
    finally:
        writer.close()


def _tcp_port(node):
    kind, _, value = node.partition(":")
    if kind not in NODE_KINDS or not value:
        raise ForwardError("Incorrect forward command: bad node %s" % node)
    if kind != "tcp":
        return None
    port = whole_number(value, 1, 65535)
    if port is None:
        raise ForwardError("Incorrect forward command: bad port %s" % node)
    return port


async def _pipe(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            writer.close()


async def _splice(client_reader, client_writer, target_reader, target_writer):
    try:
        await asyncio.gather(_pipe(client_reader, target_writer), _pipe(target_reader, client_writer))
    finally:
        client_writer.close()
        target_writer.close()


async def settle(tasks):
    """Cancels the tasks and waits until each has ended."""
    tasks = list(tasks)
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)


class Forwards:
    """Every mapping the server holds, by task text ("FIRST SECOND" as the command gave them)."""

    def __init__(self):
        self._tasks = collections.OrderedDict()
        self._running = set()     # service tasks, kept referenced while they run

    async def connect_device_port(self, device, port):
        """A connection to device port `port`: (reader, writer) of our side."""
        service = device.services.get(port)
        if service is None:
            return await asyncio.open_connection("127.0.0.1", port)
        ours, theirs = socket.socketpair()
        service_side = await asyncio.open_connection(sock=theirs)
        self._keep(asyncio.ensure_future(service(*service_side)))
        return await asyncio.open_connection(sock=ours)

    def _keep(self, task):
        # The loop holds tasks only weakly; a relay whose sockets are all between
        # reads would otherwise be collected half-way.
        self._running.add(task)
        task.add_done_callback(self._running.discard)

    async def add_forward(self, device, first, second):
        task = "%s %s" % (first, second)
        self._check_new(task)
        local, remote = _tcp_port(first), _tcp_port(second)
        server = None
        if local is not None and remote is not None:
            async def accepted(reader, writer):
                self._keep(asyncio.current_task())
                try:
                    target = await self.connect_device_port(device, remote)
                    await _splice(reader, writer, *target)
                except OSError:
                    writer.close()
                except asyncio.CancelledError:
                    writer.close()  # the server is stopping
            try:
                server = await asyncio.start_server(accepted, "127.0.0.1", local)
            except OSError as e:
                raise ForwardError("TCP Port listen failed at %d: %s" % (local, e.strerror or e))
        self._tasks[task] = Mapping(task, "Forward", device.id, first, second, server)
        device.log.add("I", "C015A0", "hdcd", "forward %s added" % task)

    async def add_reverse(self, device, first, second):
        task = "%s %s" % (first, second)
        self._check_new(task)
        dev_port, host_port = _tcp_port(first), _tcp_port(second)
        if dev_port is not None and host_port is not None:
            if dev_port in device.services:
                raise ForwardError("device port %d is already in use" % dev_port)

            async def reverse_service(reader, writer):
                try:
                    target = await asyncio.open_connection("127.0.0.1", host_port)
                except OSError:
                    writer.close()
                    return
                await _splice(reader, writer, *target)
            device.services[dev_port] = reverse_service
        self._tasks[task] = Mapping(task, "Reverse", device.id, first, second, None)
        device.log.add("I", "C015A0", "hdcd", "reverse %s added" % task)

    def _check_new(self, task):
        if task in self._tasks:
            raise ForwardError("Forward parameter is exist: %s" % task)

    def remove(self, task, hub):
        mapping = self._tasks.pop(task.strip(), None)
        if mapping is None:
            return False
        if mapping.server is not None:
            mapping.server.close()
        device = hub.get(mapping.device)
        if mapping.kind == "Reverse" and device is not None:
            port = _tcp_port(mapping.first)
            if port is not None:
                device.services.pop(port, None)
        return True

    def listing(self):
        return "".join("%s    %s    [%s]\n" % (m.device, m.task, m.kind) for m in self._tasks.values())

    async def close(self):
        for m in self._tasks.values():
            if m.server is not None:
                m.server.close()
        self._tasks.clear()
        await settle(self._running)
from .shell_args import whole_number
