"""The device shell: sh's command lines run against the device folder and the device's
state, or, with --host-shell, the host's /bin/sh run in that folder.

A line is parsed (shell_syntax), its words expanded (shell_expand, shell_arith) and run
(shell_exec) with the command table here: the commands on files and state (shell_builtins),
the device tools and the tool modules. The sh's own commands are in shell_commands."""

import asyncio
import os
import signal

from . import (abilities, awk, bundle_manager, file_tools, find, grep, print_tools, processes, sed,
               shell_builtins, shell_commands, system_status, system_tools, text_tools, uitest, xargs)
from .shell_exec import Env, LineRun, LoopControl, LoopStopped, Session, Shell, ShellExit
from .shell_pipes import BrokenPipe, ClientSink
from .shell_syntax import ShellSyntax, parse

__all__ = ["Session", "run_builtin", "run_host", "log_command", "BUILTINS", "FILTERS", "TOOL_MODULES"]

HOST_SHELL_SILENCE = 4.0   # the client stops listening after 5 s of silence
# A device's hdc daemon logs every command line it starts, as a test team sees it in hilog.
LOG_DOMAIN, LOG_TAG = "C015A0", "hdcd"


async def run_builtin(device, line, stream, canned=None, on_wait=None):
    """Runs the command line, writing its output to the ShellStream `stream`. `canned(command)`
    is a test's output for a simple command of the line (as written, without its redirections),
    or None. `on_wait()` is called once the line follows the log (a hilog without an end, in
    a pipe too): the server may then read the next command, which stops the line."""
    run = LineRun(device, stream, canned, on_wait, BUILTINS, FILTERS)
    client = ClientSink(run)
    sh = Shell(run, Env({"PATH": "/system/bin:/vendor/bin", "HOME": "/", "PWD": "/"}, "/"),
               {0: None, 1: client, 2: client})
    try:
        tree = parse(line)
    except ShellSyntax as e:
        await sh.say_error(str(e))
        return None
    try:
        await sh.run(tree)
    except (ShellExit, LoopControl, BrokenPipe):
        pass
    except LoopStopped:
        await stream.write("\n[simulator] command stopped: a loop ran %d times without a pause\n" % run.turns)
    except RecursionError:   # the limits on nesting keep well below it; this is the last guard
        await stream.write("/bin/sh: nested too deeply\n")
    return None


def log_command(device, line):
    """The line in the device's log, on one log line however many lines it spans."""
    device.log.add("I", LOG_DOMAIN, LOG_TAG, "shell command: " + line.replace("\n", " "))


def sh_help(s, args):
    s.say("simulated shell; commands: %s\n" % " ".join(sorted(set(BUILTINS) | set(shell_commands.COMMANDS))))
    s.say("sh: ; && || | & ! if for while until case { } ( ) $VAR $(...) $((...)) globs "
          "> >> < 2> 2>&1 <<  (paths stay inside the device)\n")
    return 0


BUILTINS = dict(shell_builtins.COMMANDS)
BUILTINS.update({
    "bm": bundle_manager.sh_bm, "help": sh_help,
    "aa": abilities.sh_aa, "ps": processes.sh_ps, "pidof": processes.sh_pidof, "grep": grep.sh_grep,
    "uitest": uitest.sh_uitest, "snapshot_display": uitest.sh_snapshot_display,
    "hidumper": system_tools.sh_hidumper, "power-shell": system_tools.sh_power_shell, "date": system_tools.sh_date,
})
# Tool groups in modules of their own: each has COMMANDS ({name: handler(session, args)}) and
# may have FILTERS ({name: start(session, args)}), the line-by-line form a pipeline streams through.
TOOL_MODULES = (grep, text_tools, sed, awk, file_tools, find, xargs, print_tools, system_status)
FILTERS = {}
for _module in TOOL_MODULES:
    BUILTINS.update(_module.COMMANDS)
    FILTERS.update(getattr(_module, "FILTERS", {}))


async def run_host(device, line, stream):
    """Runs the line with the host's /bin/sh in the device folder, streaming its output.

    A command that stays silent for HOST_SHELL_SILENCE seconds is stopped: the client
    gives up after 5 seconds and would read the rest as its next command's reply.
    """
    proc = await asyncio.create_subprocess_exec(
        "/bin/sh", "-c", line, cwd=device.fs.root, stdin=asyncio.subprocess.DEVNULL,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT, start_new_session=True)
    try:
        while True:
            try:
                data = await asyncio.wait_for(proc.stdout.read(65536), HOST_SHELL_SILENCE)
            except asyncio.TimeoutError:
                await stream.write("\n[simulator] command stopped after %.0f s of silence\n" % HOST_SHELL_SILENCE)
                break
            if not data:
                break
            await stream.write(data)
    finally:
        if proc.returncode is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        await proc.wait()
