"""Running a parsed command line: the tree walked with sh's rules, its pipelines streaming
(every stage at once, each reading its input as it comes), what a command sees (Session).

The commands come from the table the line is run with (shell.BUILTINS): each is
`handler(session, args) -> exit status`; a line-by-line one may also have a `start` in the
filters table, which a pipeline feeds as its input arrives. The sh's own commands, which
change the shell itself, are in shell_commands."""

import asyncio
import os
import re
import time

from .confine import FsError
from . import hilog, shell_builtins, shell_commands, shell_expand
from .shell_expand import ExpansionError
from .shell_pipes import BrokenPipe, CaptureSink, ClientSink, FileSink, NullSink, Pipe
from .shell_syntax import AndOr, Case, For, Function, Group, If, Loop, Pipeline, Redirected, Sequence, Simple

# A loop that never pauses (no sleep, no wait for input) would hold the simulator's one
# thread: it yields to the other devices every few turns and ends past these limits.
LOOP_TURNS = 50000
LOOP_SECONDS = 4.0
YIELD_EVERY = 64
SIGPIPE_STATUS = 141       # a stage stopped because the stage after it read no more
MAX_CALLS = 24             # functions running inside each other
# Commands that never read their input: they leave it to the commands after them (the
# rest of a `while read` loop's body reads on where they are).
NO_INPUT = {
    "echo", "test", "[", "true", "false", ":", "pwd", "ls", "mkdir", "rm", "touch", "uname", "param", "sleep",
    "hilog", "help", "aa", "bm", "ps", "pidof", "uitest", "snapshot_display", "hidumper", "power-shell", "date",
    "seq", "basename", "dirname", "printf", "id", "whoami", "kill", "mount", "df", "du", "stat", "find", "cp", "mv",
    "free", "top",
}


class ShellExit(Exception):
    """exit, or an error that ends a non-interactive sh: ends the line (or its subshell)."""

    def __init__(self, status):
        super().__init__(status)
        self.status = status


class LoopControl(Exception):
    """break N or continue N."""

    def __init__(self, kind, levels):
        super().__init__(kind)
        self.kind, self.levels = kind, levels


class FunctionReturn(Exception):
    """return N, inside a function."""

    def __init__(self, status):
        super().__init__(status)
        self.status = status


class LoopStopped(Exception):
    """A loop ran past the simulator's limits without a pause."""


class LineRun:
    """What every part of one command line shares: the device, the client, the limits."""

    def __init__(self, device, stream, canned, on_wait, commands, filters):
        self.dev = device
        self.commands, self.filters = commands, filters
        self.stream = stream
        self.canned = canned
        self.on_wait = on_wait
        self.live = False
        self.scripts = 0          # eval, sh -c and . running inside each other
        self.turns = 0
        self.busy_since = time.monotonic()
        self.pid = device.processes.spare_pid()

    def waiting(self):
        """The line now follows the log, with no end: the server may read on (the next
        command stops the line), and output goes out as it comes."""
        if not self.live:
            self.live = True
            if self.on_wait is not None:
                self.on_wait()

    def rested(self):
        self.turns = 0
        self.busy_since = time.monotonic()

    async def turn(self):
        self.turns += 1
        if self.turns >= LOOP_TURNS:
            raise LoopStopped()
        if self.turns % YIELD_EVERY == 0:
            await asyncio.sleep(0)
            if time.monotonic() - self.busy_since > LOOP_SECONDS:
                raise LoopStopped()

    async def pause(self, seconds):
        """A sleep: what came before it goes out first. The connection waits for the line,
        so what comes after a pause the client gave up on is the next command's reply."""
        await self.stream.flush()
        await asyncio.sleep(seconds)
        self.rested()


class Env:
    """A shell's variables and place; a subshell gets a copy."""

    def __init__(self, variables, cwd):
        self.vars = variables
        self.cwd = cwd
        self.status = 0
        self.last_job = None
        self.errexit = False     # set -e
        self.testing = 0         # inside a condition, where set -e does not apply
        self.loops = 0           # loops around the running command, for break and continue
        self.args = []           # the positional parameters: a function's arguments
        self.functions = {}
        self.calls = 0           # functions running inside each other

    def copy(self):
        env = Env(dict(self.vars), self.cwd)
        env.status, env.last_job, env.errexit, env.loops = self.status, self.last_job, self.errexit, self.loops
        env.args, env.functions, env.calls = list(self.args), dict(self.functions), self.calls
        return env


class Shell:
    """A shell running part of the line, with its open files `fds` (0, 1, 2...)."""

    def __init__(self, line, env, fds, background=False):
        self.line, self.env, self.fds, self.background = line, env, fds, background
        self.substituted = False     # whether the last expansions ran a command substitution

    # what the expansions read (shell_expand)
    @property
    def vars(self):
        return self.env.vars

    @property
    def status(self):
        return self.env.status

    @property
    def pid(self):
        return self.line.pid

    @property
    def last_job(self):
        return self.env.last_job

    @property
    def fs(self):
        return self.line.dev.fs

    @property
    def cwd(self):
        return self.env.cwd

    def with_fds(self, fds):
        return Shell(self.line, self.env, fds, self.background)

    def subshell(self, fds=None):
        return Shell(self.line, self.env.copy(), dict(self.fds) if fds is None else fds, self.background)

    async def say_error(self, text):
        await self.fds[2].write(("/bin/sh: %s\n" % text).encode("utf-8", "surrogateescape"))

    async def capture(self, tree):
        """The output of a command substitution, run in a subshell."""
        sink = CaptureSink()
        fds = dict(self.fds)
        fds[1] = sink
        sub = self.subshell(fds)
        try:
            status = await sub.run(tree)
        except (ShellExit, FunctionReturn) as e:
            status = e.status
        except LoopControl:
            status = 0
        self.env.status = status
        self.substituted = True
        return b"".join(sink.chunks).decode("utf-8", "surrogateescape")

    # --- the tree ---------------------------------------------------------------------

    async def run(self, node):
        kind = type(node)
        if kind is Sequence:
            status = 0
            for command, background in node.items:
                if background:
                    status = await self.run_background(command)
                else:
                    status = await self.run(command)
                self.env.status = status
            return status
        if kind is AndOr:
            status = await self.test(node.first) if node.rest else await self.run(node.first)
            for k, (op, pipeline) in enumerate(node.rest):
                self.env.status = status
                if (op == "&&") == (status == 0):
                    last = k == len(node.rest) - 1
                    status = await self.run(pipeline) if last else await self.test(pipeline)
            return status
        if kind is Pipeline:
            if len(node.commands) == 1:
                status = await self.run(node.commands[0])
            else:
                status = await self.run_pipeline(node.commands)
            if node.negate:
                return int(not status)
            if status and self.env.errexit and not self.env.testing:
                raise ShellExit(status)
            return status
        if kind is Simple:
            return await self.run_simple(node)
        if kind is If:
            for condition, body in node.branches:
                if await self.test(condition) == 0:
                    return await self.run(body)
            return await self.run(node.otherwise) if node.otherwise is not None else 0
        if kind is Loop:
            return await self.run_loop(node)
        if kind is For:
            return await self.run_for(node)
        if kind is Case:
            return await self.run_case(node)
        if kind is Group:
            if not node.subshell:
                return await self.run(node.body)
            try:
                return await self.subshell().run(node.body)
            except (ShellExit, FunctionReturn) as e:
                return e.status
            except LoopControl:
                return 0
        if kind is Function:
            self.env.functions[node.name] = node.body
            return 0
        if kind is Redirected:
            fds, opened = await self.redirect(node.redirs)
            try:
                return 1 if fds is None else await self.with_fds(fds).run(node.command)
            finally:
                close_all(opened)
        raise TypeError("unknown node %r" % node)

    async def test(self, node):
        """Runs a condition, where a failure does not end the line under set -e."""
        self.env.testing += 1
        try:
            return await self.run(node)
        finally:
            self.env.testing -= 1

    async def run_background(self, command):
        """A job started with '&'. A non-interactive sh does not wait for it; here it runs
        now, its output in its place, without its sleeps and without following the log."""
        job = Shell(self.line, self.env.copy(), dict(self.fds), background=True)
        try:
            await job.run(command)
        except (ShellExit, LoopControl):
            pass
        self.env.last_job = self.line.dev.processes.spare_pid()
        return 0

    async def loop_body(self, body):
        """Runs a loop's body; whether the loop goes on (False after break)."""
        await self.line.turn()
        try:
            await self.run(body)
        except LoopControl as e:
            if e.levels > 1:
                raise LoopControl(e.kind, e.levels - 1)
            return e.kind == "continue"
        return True

    async def run_loop(self, node):
        self.env.loops += 1
        try:
            return await self._loop(node)
        finally:
            self.env.loops -= 1

    async def _loop(self, node):
        status = 0
        while True:
            try:
                test = await self.test(node.condition)
            except LoopControl as e:
                if e.levels > 1:
                    raise LoopControl(e.kind, e.levels - 1)
                if e.kind == "break":
                    break
                continue
            if (test == 0) == node.until:
                break
            if not await self.loop_body(node.body):
                break
            status = self.env.status
        return status

    async def run_for(self, node):
        items = await self.expand(shell_expand.words, node.words) if node.words is not None else list(self.env.args)
        status = 0
        self.env.loops += 1
        try:
            for item in items:
                self.env.vars[node.name] = item
                if not await self.loop_body(node.body):
                    break
                status = self.env.status
        finally:
            self.env.loops -= 1
        return status

    async def run_case(self, node):
        word = await self.expand(shell_expand.single, node.word)
        for patterns, body in node.arms:
            for pattern in patterns:
                if (await self.expand(shell_expand.pattern_of, pattern)).fullmatch(word):
                    return await self.run(body)
        return 0

    async def expand(self, how, what):
        try:
            return await how(self, what)
        except ExpansionError as e:
            await self.say_error(str(e))
            raise ShellExit(1)

    # --- pipelines --------------------------------------------------------------------

    async def run_pipeline(self, commands):
        """All stages at once, each in a subshell, each a process of the device while it runs."""
        count = len(commands)
        pipes = [Pipe() for _ in range(count - 1)]
        tasks, pids = [], []
        procs = self.line.dev.processes
        for k, command in enumerate(commands):
            pids.append(procs.run_command(_process_name(command), self.line.pid))
        loop = asyncio.get_running_loop()
        for k, command in enumerate(commands):
            fds = dict(self.fds)
            if k:
                fds[0] = pipes[k - 1]
                pipes[k - 1].line = self.line
            if k < count - 1:
                fds[1] = pipes[k]
            stage = self.subshell(fds)
            tasks.append(loop.create_task(stage.run_stage(command, pids[k], fds)))
            if k < count - 1:
                pipes[k].writer = tasks[-1]
        try:
            results = await asyncio.gather(*tasks, return_exceptions=True)
        finally:
            for pid in pids:
                procs.end_command(pid)
        for result in results:
            if isinstance(result, LoopStopped):
                raise result
            if isinstance(result, Exception) and not isinstance(result, asyncio.CancelledError):
                raise result
        last = results[-1]
        return last if isinstance(last, int) else SIGPIPE_STATUS

    async def run_stage(self, command, pid, fds):
        try:
            if type(command) is Simple:
                return await self.run_simple(command, pid)
            return await self.run(command)
        except (ShellExit, FunctionReturn) as e:
            return e.status
        except BrokenPipe:
            return SIGPIPE_STATUS
        except LoopControl:
            return 0
        finally:
            if isinstance(fds.get(1), Pipe):
                fds[1].close()
            if isinstance(fds.get(0), Pipe):
                fds[0].stop_reading()

    # --- redirections -----------------------------------------------------------------

    async def redirect(self, redirs):
        """(the open files with the redirections made, host fds to close), or (None, ...) after
        telling why one failed."""
        fds, opened = dict(self.fds), []
        for r in redirs:
            if r.op in ("<<", "<<$"):
                text = await self.expand(lambda sh, t: shell_expand.heredoc(sh, t, r.op == "<<$"), r.target)
                fds[r.fd] = Pipe(text.encode("utf-8", "surrogateescape"), closed=True)
                continue
            target = await self.expand(shell_expand.single, r.target)
            if r.op in (">&", "<&"):
                if target == "-":
                    fds[r.fd] = NullSink() if r.op == ">&" else Pipe(closed=True)
                elif re.fullmatch("[0-9]{1,2}", target) and int(target) in fds:
                    fds[r.fd] = fds[int(target)]
                else:
                    await self.say_error("%s: bad file descriptor" % target)
                    return None, opened
                continue
            if target == "/dev/null":
                fds[r.fd] = NullSink() if r.op != "<" else Pipe(closed=True)
                continue
            reading = r.op in ("<", "<>")
            try:
                dev, host = self.fs.resolve(target, self.env.cwd)
                if reading:
                    fd = self.fs.open_read(host)
                    with os.fdopen(fd, "rb") as f:
                        fds[r.fd] = Pipe(f.read(), closed=True)
                    continue
                self.fs.check_write(dev)
                fd = self.fs.open_write(host, append=(r.op == ">>"))
            except (OSError, FsError) as e:
                reason = str(e) if isinstance(e, FsError) else e.strerror or str(e)
                await self.say_error("can't %s %s: %s" % ("open" if reading else "create", target, reason))
                return None, opened
            opened.append(fd)
            fds[r.fd] = FileSink(fd)
        return fds, opened

    # --- simple commands --------------------------------------------------------------

    async def run_simple(self, node, pid=None):
        self.substituted = False
        argv = await self.expand(shell_expand.words, node.words)
        values = [(name, await self.expand(shell_expand.single, word)) for name, word in node.assigns]
        fds, opened = await self.redirect(node.redirs)
        try:
            if fds is None:
                return 1
            if not argv:
                self.env.vars.update(values)
                return self.env.status if self.substituted else 0
            return await self.with_fds(fds).command(node, argv, dict(values), pid)
        finally:
            close_all(opened)

    async def command(self, node, argv, assigned, pid):
        name = argv[0]
        canned = self.line.canned(node.text) if self.line.canned is not None else None
        if canned is None:
            body = self.env.functions.get(name)
            if body is not None:
                return await self.call(name, body, argv[1:])
            special = shell_commands.COMMANDS.get(name)
            if special is not None:
                self.env.vars.update(assigned)
                return await special(self, argv[1:])
            handler = self.line.commands.get(name)
            if handler is None:
                await self.say_error("%s: inaccessible or not found" % name)
                return 127
        procs = self.line.dev.processes
        own = pid is None and name not in shell_builtins.COMMANDS
        if own:
            pid = procs.run_command(" ".join(argv), self.line.pid)
        try:
            return await self.run_handler(name, argv, assigned, pid, canned)
        finally:
            if own:
                procs.end_command(pid)

    async def call(self, name, body, args):
        """A function run with its arguments as the positional parameters."""
        env = self.env
        if env.calls >= MAX_CALLS:
            await self.say_error("%s: recursion too deep" % name)
            raise ShellExit(1)
        saved, env.args = env.args, list(args)
        env.calls += 1
        loops, env.loops = env.loops, 0
        try:
            return await self.run(body)
        except FunctionReturn as e:
            return e.status
        finally:
            env.args, env.loops = saved, loops
            env.calls -= 1

    def session(self, assigned, pid):
        s = Session(self.line.dev, [])
        s.cwd, s.pid, s.commands = self.env.cwd, pid, self.line.commands
        s.env = dict(self.env.vars, **assigned) if assigned else self.env.vars
        s.streaming = not self.background and isinstance(self.fds[1], (ClientSink, Pipe))
        return s

    async def run_handler(self, name, argv, assigned, pid, canned):
        s = self.session(assigned, pid)
        source = self.fds.get(0)
        start = self.line.filters.get(name) if canned is None and isinstance(source, Pipe) else None
        if start is not None:
            status = await self.run_filter(s, start, argv, source)
        else:
            if isinstance(source, Pipe) and canned is None and name not in NO_INPUT:
                s.stdin = await source.read_all()
            if canned is not None:
                s.say(canned)
                status = 0
            else:
                status = call(s, self.line.commands[name], argv)
            await self.emit(s)
        owed, self.line.dev.sleep_owed = self.line.dev.sleep_owed, 0.0
        if s.follow is not None:
            await self.follow(*s.follow)
        if owed and not self.background:
            await self.line.pause(owed)
        return status

    async def run_filter(self, s, start, argv, source):
        """A line-by-line tool fed as its input arrives; the stages before it stop once it
        wants no more."""
        s.stdin = b""
        try:
            fed = start(s, argv[1:])
        except FsError as e:
            fed = s.err(argv[0], str(e))
        if isinstance(fed, int):
            await self.emit(s)
            return fed
        while not fed.done:
            line = await source.readline()
            if not line:
                break
            fed.feed(line)
            if s.out:
                await self.emit(s)
        if fed.done:
            source.stop_reading()
        status = fed.finish()
        await self.emit(s)
        return status

    async def emit(self, s):
        out, s.out[:] = list(s.out), []
        for fd, data in out:
            sink = self.fds.get(fd)
            if sink is not None:
                await sink.write(data)

    async def follow(self, query, cursor):
        """hilog goes on printing new lines as they are logged, until the device detaches
        or what reads them stops."""
        self.line.waiting()
        await self.line.stream.flush(settle=False)
        sink = self.fds[1]

        async def send(data):
            self.line.rested()
            await sink.write(data)
        await hilog.follow(self.line.dev.log, query, cursor, send)


def _process_name(command):
    """What ps shows for a stage: its words without their quotes, where they need no expansion."""
    if type(command) is not Simple:
        return "sh"
    if all(p[0] in ("lit", "q") for word in command.words for p in word):
        return " ".join("".join(p[1] for p in word) for word in command.words)
    return command.text


def call(s, handler, argv):
    try:
        return handler(s, argv[1:])
    except FsError as e:
        return s.err(argv[0], str(e))


def close_all(fds):
    for fd in fds:
        os.close(fd)


class Session:
    """What a command sees: the device, its folder, the shell's place and variables, its
    input (bytes, or None without a pipe or redirection), and where its output goes."""

    stdin = None
    streaming = False  # whether the output goes to the client or a pipe (hilog follows only there)
    follow = None      # (hilog query, log cursor) once a hilog asked to follow the log
    pid = None
    env = {}
    commands = {}      # the command table, for run

    def __init__(self, device, out):
        self.dev = device
        self.fs = device.fs
        self.cwd = "/"
        self.out = out          # (fd, bytes) in the order written: 1 the output, 2 the errors

    def say(self, text):
        self.out.append((1, text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text))

    def err(self, cmd, text):
        self.out.append((2, ("%s: %s\n" % (cmd, text)).encode("utf-8", "surrogateescape")))
        return 1

    def resolve(self, path, follow_last=True):
        return self.fs.resolve(path, self.cwd, follow_last)

    def run(self, argv, stdin=None):
        """Runs another command (xargs, find -exec) with this command's output; its status."""
        handler = self.commands.get(argv[0]) if argv else None
        if handler is None:
            self.out.append((2, ("/bin/sh: %s: inaccessible or not found\n" % (argv or [""])[0]).encode(
                "utf-8", "surrogateescape")))
            return 127
        inner = Session(self.dev, self.out)
        inner.cwd, inner.env, inner.stdin, inner.pid = self.cwd, self.env, stdin, self.pid
        inner.commands = self.commands
        return call(inner, handler, argv)
