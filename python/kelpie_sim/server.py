"""The host server: accepts clients, binds each connection to a device through its
handshake, and answers commands in the reply shapes the client's collectors expect."""

import asyncio
import itertools
import os
import sys
import traceback

from . import bundles, canned, faults, hilog, shell, transfer
from .confine import FsError
from .forwards import ForwardError, settle
from .streams import ShellStream, log_chunks
from .wire import Malformed, Replies, connect_key, frame, handshake_record, read_packet

HANDSHAKE_WAIT = 30.0

# How a command's replies end, which is also how a refusal has to be shaped:
SINGLE = "single"        # exactly one reply
SHELL = "shell"          # output, then an end packet (two after a line end, see ShellStream)
LOG = "log"              # output, then an end packet
TERMINAL = "terminal"    # replies up to one carrying the client's stop marker ("[Fail]" is one)


class NoDevice(Exception):
    pass


class Server:
    def __init__(self, hub, forwards, host_shell=False, verbose=False, record=False):
        self.hub = hub
        self.forwards = forwards
        self.host_shell = host_shell
        self.verbose = verbose
        self._channels = itertools.count(0x5A5A0001)
        self._writers = set()
        self._tasks = set()       # the loop holds connection tasks only weakly
        # What a test scripted through the control channel, and what it can read back.
        self.answers = canned.Answers()
        self.faults = faults.Faults()
        # (device identifier or None, command text) in arrival order; kept only for a test that
        # can read it back, since a long-running simulator would grow it without end.
        self.received = [] if record else None

    @staticmethod
    def note(text):
        print("[sim] " + text, file=sys.stderr, flush=True)

    async def handle(self, reader, writer):
        self._writers.add(writer)
        self._tasks.add(asyncio.current_task())
        channel = next(self._channels) & 0xFFFFFFFF
        conn = None
        try:
            record = handshake_record(channel)
            writer.write(frame(record))
            await writer.drain()
            reply = await asyncio.wait_for(read_packet(reader), HANDSHAKE_WAIT)
            if reply is None:
                return
            conn = Connection(self, connect_key(reply, record), writer, channel)
            while True:
                payload = await read_packet(reader)
                if payload is None:
                    return
                await conn.dispatch(payload)
        except Malformed as e:
            if self.verbose:
                self.note("channel %08x closed: %s" % (channel, e))
        except (asyncio.TimeoutError, ConnectionError, asyncio.IncompleteReadError):
            pass
        except asyncio.CancelledError:
            pass  # the server is stopping; ending quietly keeps asyncio from reporting it
        finally:
            if conn is not None:
                conn.drop_following()
            self._writers.discard(writer)
            self._tasks.discard(asyncio.current_task())
            writer.close()

    async def close_connections(self):
        for w in list(self._writers):
            w.close()
        await settle(self._tasks)



class Connection:
    def __init__(self, server, key, writer, channel):
        self.server = server
        self.hub = server.hub
        self.key = key
        self.writer = writer
        self.replies = Replies(writer)
        self.channel = channel
        self.following = None     # the task sending new log lines, while a hilog follows the log

    def target(self):
        """The device a command goes to, as far as one can tell before running it."""
        if self.key:
            return self.key
        ids = self.hub.ids()
        return ids[0] if len(ids) == 1 else None

    def device(self):
        if self.key:
            dev = self.hub.get(self.key)
            if dev is None:
                raise NoDevice("device not found: %s" % self.key)
            return dev
        devices = self.hub.all()
        if not devices:
            raise NoDevice("No device attached")
        if len(devices) > 1:
            raise NoDevice("More than one device attached; bind the connection to one with connect_device")
        return devices[0]

    def route(self, text):
        """(style, handler, argument text) for a command text."""
        def word(prefix):
            return text == prefix or text.startswith(prefix + " ")

        def rest(prefix):
            return text[len(prefix) + 1:]

        if word("list targets"):
            return SINGLE, self.list_targets, ""
        if text == "wait":
            return SINGLE, self.wait, ""
        if word("shell"):
            return SHELL, self.shell, rest("shell")
        if word("hilog"):
            return LOG, self.hilog, rest("hilog")
        if text == "fport ls":
            return SINGLE, self.fport_ls, ""
        if word("fport rm"):
            return SINGLE, self.fport_rm, rest("fport rm")
        for name, handler in (("fport", self.fport), ("rport", self.rport)):
            if word(name):
                return SINGLE, handler, rest(name)
        for name, sending in (("file send", True), ("file recv", False)):
            if word(name):
                return TERMINAL, (lambda args, s=sending: self.file(args, s)), rest(name)
        if word("install"):
            return TERMINAL, self.install, rest("install")
        if word("uninstall"):
            return SINGLE, self.uninstall, rest("uninstall")
        return SINGLE, None, text

    async def dispatch(self, payload):
        # The connection has no request ids: a command that comes while a hilog is following
        # stops it, and the lines sent until then are read as the new command's first replies.
        await self.stop_following()
        try:
            text = payload.decode("utf-8")
        except UnicodeDecodeError:
            await self.replies.text("[Fail]Command is not valid UTF-8")
            return
        if self.server.verbose:
            self.server.note("%s> %s" % (self.key or "-", text))
        target = self.target()
        if self.server.received is not None:
            self.server.received.append((target, text))
        fault = self.server.faults.take(target)
        try:
            if fault is None or await faults.apply(fault, self):
                await self.run(text)
        finally:
            self.replies = Replies(self.writer)

    def start_following(self, coroutine):
        self.following = asyncio.get_running_loop().create_task(coroutine)

    def drop_following(self):
        if self.following is not None:
            self.following.cancel()
            self.following = None

    async def stop_following(self):
        task, self.following = self.following, None
        if task is not None:
            task.cancel()
            try:
                await task
            except (asyncio.CancelledError, ConnectionError):
                pass

    async def follow_log(self, dev, query, cursor, send, end):
        """Sends new matching lines until the device detaches, then ends the command with `end`."""
        try:
            await hilog.follow(dev.log, query, cursor, send)
            await end()
        except ConnectionError:
            pass

    async def run(self, text):
        style, handler, args = self.route(text)
        if handler is None:
            await self.replies.text("[Fail]Unknown command: %s" % text)
            return
        try:
            await handler(args)
        except NoDevice as e:
            await self.refuse(style, str(e))
        except (ConnectionError, asyncio.CancelledError):
            raise
        except Exception as e:  # a fault of the simulator must not desynchronise the client
            traceback.print_exc()
            await self.refuse(style, "simulator error: %s" % self.without_host_paths(e))

    async def refuse(self, style, reason):
        text = "[Fail]" + reason
        if style == SHELL:
            stream = ShellStream(self.replies)
            await stream.write(text)
            await stream.close()
        elif style == LOG:
            await self.replies.text(text)
            await self.replies.end()
        else:
            await self.replies.text(text)

    # --- commands -------------------------------------------------------------------------

    async def list_targets(self, _args):
        ids = self.hub.ids()
        if ids:
            await self.replies.text("".join(i + "\n" for i in ids))
        else:
            await self.replies.end()

    async def wait(self, _args):
        dev = await self.hub.wait_for(self.key or None)
        await self.replies.text("Connected device is %s\n" % dev.id)

    async def shell(self, line):
        dev = self.device()
        shell.log_command(dev, line)
        answer = self.server.answers.find(dev.id, line)
        stream = ShellStream(self.replies)
        if answer is None and not self.server.host_shell:
            await self.shell_line(dev, line, stream)
            return
        try:
            if answer is not None:
                await canned.play(answer, stream)
            else:
                await shell.run_host(dev, line, stream)
        except (ConnectionError, asyncio.CancelledError):
            raise
        except Exception as e:  # told in this command's own output: a reply after its end would desynchronise
            traceback.print_exc()
            await stream.write("[Fail]simulator error: %s" % self.without_host_paths(e))
        await stream.close()

    async def shell_line(self, dev, line, stream):
        """Runs the line in the simulated shell. Once it follows the log (a hilog without an
        end, in a pipe too) it goes on by itself while the next command is read; that command
        stops it."""
        waiting = asyncio.Event()

        async def run():
            try:
                await shell.run_builtin(dev, line, stream, self.canned_output(dev), waiting.set)
            except asyncio.CancelledError:
                raise
            except ConnectionError:
                if not waiting.is_set():
                    raise
                return
            except Exception as e:  # told in this command's own output: a reply after its end would desynchronise
                traceback.print_exc()
                dev.sleep_owed = 0.0    # owed by the failed line, not the next one
                await stream.write("[Fail]simulator error: %s" % self.without_host_paths(e))
            try:
                await stream.close()
            except ConnectionError:
                if not waiting.is_set():
                    raise

        task = asyncio.get_running_loop().create_task(run())
        waiter = asyncio.get_running_loop().create_task(waiting.wait())
        try:
            await asyncio.wait({task, waiter}, return_when=asyncio.FIRST_COMPLETED)
        except asyncio.CancelledError:
            task.cancel()
            raise
        finally:
            waiter.cancel()
        if task.done():
            task.result()
        else:
            self.following = task

    def without_host_paths(self, error):
        """An internal error's text with the devices' host folder left out: a device names its own paths only."""
        text = str(error)
        for dev in self.hub.all():
            text = text.replace(dev.fs.root, "")
        return text.replace(os.path.realpath(self.hub.root), "")

    def canned_output(self, dev):
        """The test's output for a command inside a line, or None."""
        def output(command):
            found = self.server.answers.find(dev.id, command)
            return None if found is None else found.output
        return output

    async def hilog(self, args):
        dev = self.device()
        try:
            query = hilog.parse(hilog.split(args))
        except hilog.LogArgsError as e:
            await self.replies.text("hilog: %s\n" % e)
            await self.replies.end()
            return
        data = hilog.answer(dev.log, query)
        cursor = dev.log.end()
        if data:
            await self.replies.raw_chunks(log_chunks(data))
        if not query.follows:
            await self.replies.end()
            return
        replies = self.replies

        async def send(data):
            await replies.raw_chunks(log_chunks(data))
        self.start_following(self.follow_log(dev, query, cursor, send, replies.end))

    async def fport(self, args):
        await self._mapping(args, self.server.forwards.add_forward, "Forwardport result:OK")

    async def rport(self, args):
        await self._mapping(args, self.server.forwards.add_reverse, "Forwardport result:OK")

    async def _mapping(self, args, add, ok):
        dev = self.device()
        nodes = args.split()
        if len(nodes) != 2:
            await self.replies.text("[Fail]Incorrect forward command")
            return
        try:
            await add(dev, nodes[0], nodes[1])
        except ForwardError as e:
            await self.replies.text("[Fail]%s" % e)
            return
        await self.replies.text(ok)

    async def fport_ls(self, _args):
        await self.replies.text(self.server.forwards.listing() or "[Empty]")

    async def fport_rm(self, task):
        if self.server.forwards.remove(task, self.hub):
            await self.replies.text("Remove forward ruler success, ruler:%s" % task.strip())
        else:
            await self.replies.text("[Fail]Remove forward ruler failed, ruler is not exist %s" % task)

    async def file(self, args, sending):
        dev = self.device()
        try:
            req = transfer.parse(args, sending, dev.fs)
        except (transfer.TransferError, FsError) as e:
            await self.replies.text("[Fail]%s" % e)
            return
        await transfer.run(dev, req, self.replies)

    async def install(self, args):
        await self.replies.text(bundles.install(self.device(), args))

    async def uninstall(self, args):
        await self.replies.text(bundles.uninstall(self.device(), args))
