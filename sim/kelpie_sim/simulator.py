"""A simulator for a test: its own process, scripted through the control channel.

    with Simulator(devices=1) as sim:
        sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\\n")
        client = kelpie.HdcClient(sim.addr)

It must be a process of its own: a kelpie call keeps the interpreter lock until it
returns, so a simulator in a thread of the test could never answer.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess

from .faults import CLOSE_BEFORE, CLOSE_DURING, DELAY, WITHHOLD
from .launcher import SimProcess

CONTROL_WAIT = 30.0     # seconds for an answer; the simulator answers at once unless it is stuck


class SimulatorError(Exception):
    """The simulator refused a request (the message says why) or no longer answers."""


class Simulator:
    """One simulator process. Where a method takes `device`, None means the only device
    attached (for answers and faults: every device)."""

    def __init__(self, devices=1, attach_after=None, host_shell=False, python=None, stderr=None):
        args = ["--control", "--devices", str(devices)]
        if attach_after is not None:
            args += ["--attach-after", str(attach_after)]
        if host_shell:
            args.append("--host-shell")
        self._process = SimProcess(args, python=python, stderr=stderr, stdin=subprocess.PIPE)
        self._root = None
        self.addr = self._process.addr
        self.port = self._process.port
        self.pid = self._process.pid
        try:
            self._root = self._request("state")["root"]
        except BaseException:
            self.stop()
            raise

    @property
    def devices(self):
        """Identifiers of the attached devices, in the order they attached."""
        return self._request("state")["devices"]

    def attach(self, after=None):
        """Attaches a new device, now or `after` seconds from now; returns its identifier.
        A delayed attach answers a wait_for_device that is pending by then."""
        return self._request("attach", after=after)

    def detach(self, device):
        self._request("detach", device=device)

    def answer(self, command, output, device=None, packet_size=None):
        """Answers the shell command line `command` with `output`. `command` is the exact text,
        or a compiled regular expression that must match the whole line. Later answers and
        a device's own answers win. `packet_size` cuts the output into replies of about that
        many bytes; without it, output longer than one packet holds spans several anyway."""
        output.encode("utf-8")   # text with no UTF-8 form fails here, in the test, not in the simulator
        regex = isinstance(command, re.Pattern)
        if regex and not isinstance(command.pattern, str):
            raise TypeError("the pattern must be a str pattern, not bytes")
        self._request("answer", command=command.pattern if regex else command, output=output, device=device,
                      regex=regex, flags=command.flags if regex else 0, packet_size=packet_size)

    def log(self, tag, message, device=None, level="I"):
        """Appends to the device's log; each line of `message` becomes a log line with `tag`."""
        self._request("log", tag=tag, message=message, device=device, level=level)

    def folder(self, device=None):
        """The device's file system on this host: the device path /data/x is folder / "data/x"."""
        return pathlib.Path(self._request("folder", device=device))

    def received(self, device=None):
        """The commands the simulator received, as sent ("shell ls", "hilog -t App", ...), in order:
        those for `device` (a connection bound to it, or its only device), or all when None."""
        return self._request("received", device=device)

    def delay_next_reply(self, seconds, device=None):
        self._request("fault", kind=DELAY, seconds=seconds, device=device)

    def close_before_next_reply(self, device=None):
        """The next command is not answered: its connection is closed."""
        self._request("fault", kind=CLOSE_BEFORE, device=device)

    def close_during_next_reply(self, device=None):
        """The next reply stops in the middle of its first packet and the connection is closed."""
        self._request("fault", kind=CLOSE_DURING, device=device)

    def withhold_next_reply(self, device=None):
        """The next command is swallowed: no reply at all, the connection stays open."""
        self._request("fault", kind=WITHHOLD, device=device)

    def running(self):
        return self._process.running()

    def stop(self):
        """Stops the process and removes the device folders. Safe to call more than once."""
        self._process.stop()
        if self._root is not None:
            shutil.rmtree(self._root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def _request(self, op, **args):
        try:
            self._process.write_line(json.dumps(dict(args, op=op)))
        except (OSError, ValueError):   # a closed pipe, or a stopped simulator's closed file
            raise SimulatorError("the simulator is not running")
        line = self._process.read_line(CONTROL_WAIT)
        if not line.endswith("\n"):
            raise SimulatorError("the simulator did not answer %r%s" % (
                op, "" if self.running() else " (it has stopped)"))
        reply = json.loads(line)
        if "error" in reply:
            raise SimulatorError(reply["error"])
        return reply["ok"]
