"""A simulator for a test: its own process, scripted through the control channel.

    with Simulator(devices=1) as sim:
        sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\\n")
        client = kelpie.HdcClient(sim.addr)

It must be a process of its own: a kelpie call keeps the interpreter lock until it
returns, so a simulator in a thread of the test could never answer.
"""

from __future__ import annotations

import pathlib
import re
import shutil
import subprocess
import threading
from typing import IO, Any, List, Mapping, Optional, Pattern, Tuple, Union

from .channel import Channel, ChannelError
from .faults import CLOSE_BEFORE, CLOSE_DURING, DELAY, WITHHOLD
from .launcher import command, end_process
from .messages import Messages
from .params import ParamError, check

CONTROL_WAIT = 30.0     # seconds for an answer; the simulator answers at once unless it is stuck


class SimulatorError(RuntimeError):
    """The simulator refused a request (the message says why), did not start, or no longer
    answers. A RuntimeError, as a failed start always was."""


class Simulator:
    """One simulator process. Where a method takes `device`, None means the only device
    attached (for answers and faults: every device). Threads may share one: their requests
    go one at a time, each answer to its own request.

    `params` are params every device has, and `device_params` those of single devices by
    serial, over `params` and the defaults; `param get NAME` answers them, from the start
    and for a device attached later under that serial, so a farm's devices can differ:

        Simulator(devices=2, params={"const.product.model": "KSIM-AL00"},
                  device_params={"kelpie-sim-2": {"const.ohos.apiversion": "12"}})
    """

    addr: str
    port: int
    pid: int

    def __init__(self, devices: int = 1, attach_after: Optional[float] = None, host_shell: bool = False,
                 python: Optional[str] = None, stderr: Union[int, IO[Any], None] = None,
                 max_seconds: Optional[float] = None, log_rate: float = 0.0, log_buffer: int = 65536,
                 params: Optional[Mapping[str, str]] = None,
                 device_params: Optional[Mapping[str, Mapping[str, str]]] = None,
                 serial_prefix: Optional[str] = None) -> None:
        """`log_rate` makes every device log that many lines a second by itself, as a busy device
        does, into a log buffer of `log_buffer` lines; `serial_prefix` names the devices
        PREFIX1, PREFIX2, ... instead of kelpie-sim-1, ..."""
        args = ["--devices", str(devices), "--log-rate", repr(float(log_rate)), "--log-buffer", str(int(log_buffer))]
        args += param_args(params, device_params)
        if serial_prefix is not None:
            args += ["--serial-prefix", serial_prefix]
        if attach_after is not None:
            args += ["--attach-after", str(attach_after)]
        if host_shell:
            args.append("--host-shell")
        if max_seconds is not None:
            args += ["--max-seconds", str(max_seconds)]
        self._root: Optional[str] = None
        self._proc: Optional[subprocess.Popen] = None
        self._messages = Messages(stderr)
        self._channel = Channel()
        self._lock = threading.Lock()   # one request and its answer at a time, whatever thread asks
        try:
            self._start(args, python)
        except BaseException:
            self.stop()
            raise

    def _start(self, args: List[str], python: Optional[str]) -> None:
        fds = self._channel.child_fds()
        out = self._messages.for_child()
        try:
            self._proc = subprocess.Popen(
                command(["--control", "%d,%d" % fds] + args, python), stdin=subprocess.DEVNULL,
                stdout=out, stderr=out, pass_fds=fds)
        except OSError as e:
            raise SimulatorError("cannot run the simulator with %s: %s" % (python, e)) from None
        finally:
            self._channel.started()
        self.pid = self._proc.pid
        try:
            state = self._request("state")
        except SimulatorError:
            end_process(self._proc)
            raise SimulatorError("the simulator did not start (exit code %s)%s" % (
                self._proc.returncode, ": " + self._messages.tail() if self._messages.tail() else "")) from None
        self._root = state["root"]
        self.addr = state["addr"]
        self.port = int(self.addr.rsplit(":", 1)[1])

    @property
    def devices(self) -> List[str]:
        """Identifiers of the attached devices, in the order they attached."""
        return self._request("state")["devices"]

    def attach(self, after: Optional[float] = None) -> str:
        """Attaches a new device, now or `after` seconds from now; returns its identifier.
        A delayed attach answers a wait_for_device that is pending by then."""
        return self._request("attach", after=after)

    def detach(self, device: str) -> None:
        self._request("detach", device=device)

    def answer(self, command: Union[str, Pattern[str]], output: str, device: Optional[str] = None,
               packet_size: Optional[int] = None) -> None:
        """Answers the shell command line `command` with `output`. `command` is the exact text,
        or a compiled regular expression that must match the whole line. Later answers and
        a device's own answers win. `packet_size` cuts the output into replies of about that
        many bytes; without it, output longer than one packet holds spans several anyway."""
        output.encode("utf-8")   # text with no UTF-8 form fails here, in the test, not in the simulator
        if packet_size is not None and (isinstance(packet_size, bool) or not isinstance(packet_size, int)
                                        or packet_size < 1):
            raise SimulatorError("packet_size must be a whole number of bytes >= 1, not %r" % (packet_size,))
        if isinstance(command, re.Pattern):
            if not isinstance(command.pattern, str):
                raise TypeError("the pattern must be a str pattern, not bytes")
            text, regex, flags = command.pattern, True, command.flags
        else:
            text, regex, flags = command, False, 0
        self._request("answer", command=text, output=output, device=device, regex=regex, flags=flags,
                      packet_size=packet_size)

    def log(self, tag: str, message: str, device: Optional[str] = None, level: str = "I",
            domain: str = "A00000", pid: Optional[int] = None) -> None:
        """Appends to the device's log; each line of `message` becomes a log line with `tag`,
        `level` and `domain` (a letter for the log type, A for app, C for core, and five hex digits),
        logged by process `pid` (an application's, as `pidof BUNDLE` tells it) or by a process of the tag's own."""
        self._request("log", tag=tag, message=message, device=device, level=level, domain=domain, pid=pid)

    def folder(self, device: Optional[str] = None) -> pathlib.Path:
        """The device's file system on this host: the device path /data/x is folder / "data/x"."""
        return pathlib.Path(self._request("folder", device=device))

    def received(self, device: Optional[str] = None) -> List[str]:
        """The commands the simulator received, as sent ("shell ls", "hilog -x -T App", ...), in order:
        those for `device` (a connection bound to it, or its only device), or all when None."""
        return self._request("received", device=device)

    def _received_by_device(self) -> List[Tuple[Optional[str], str]]:
        """Every command received, with the device it went to (None: no single device)."""
        return [(device, text) for device, text in self._request("received", with_devices=True)]

    def delay_next_reply(self, seconds: float, device: Optional[str] = None) -> None:
        self._request("fault", kind=DELAY, seconds=seconds, device=device)

    def close_before_next_reply(self, device: Optional[str] = None) -> None:
        """The next command is not answered: its connection is closed."""
        self._request("fault", kind=CLOSE_BEFORE, device=device)

    def close_during_next_reply(self, device: Optional[str] = None) -> None:
        """The next reply stops in the middle of its first packet and the connection is closed."""
        self._request("fault", kind=CLOSE_DURING, device=device)

    def withhold_next_reply(self, device: Optional[str] = None) -> None:
        """The next command is swallowed: no reply at all, the connection stays open."""
        self._request("fault", kind=WITHHOLD, device=device)

    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def stop(self) -> None:
        """Stops the process and removes the device folders. Safe to call more than once, and
        whatever became of the process."""
        if self._proc is not None:
            end_process(self._proc)
        with self._lock:    # a request of another thread ends as soon as the process has
            self._channel.close()
        try:
            self._messages.forward()
        except (OSError, ValueError):   # the target was closed meanwhile: nowhere left to copy to
            pass
        self._messages.close()
        if self._root is not None:
            shutil.rmtree(self._root, ignore_errors=True)

    def __enter__(self) -> Simulator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _request(self, op: str, **args: Any) -> Any:
        with self._lock:
            try:
                reply = self._channel.request(dict(args, op=op), CONTROL_WAIT)
            except ChannelError as e:
                raise SimulatorError(str(e)) from None
            finally:
                self._messages.forward()
        if reply is None:
            raise SimulatorError("the simulator did not answer %r%s" % (
                op, "" if self.running() else " (it has stopped)"))
        if "error" in reply:
            raise SimulatorError(reply["error"])
        return reply["ok"]


def param_args(params: Optional[Mapping[str, str]],
               device_params: Optional[Mapping[str, Mapping[str, str]]]) -> List[str]:
    """The simulator's options for the params; a ValueError names one a device could not hold."""
    args: List[str] = []
    try:
        for name, value in (params or {}).items():
            args.append("--param=%s=%s" % check(name, value))   # one word: a name may start with "-"
        for serial, settings in (device_params or {}).items():
            if not isinstance(serial, str) or not serial or ":" in serial:
                raise ParamError("device_params is keyed by device serial, not %r" % (serial,))
            for name, value in settings.items():
                args.append("--device-param=%s:%s=%s" % ((serial,) + check(name, value)))
    except AttributeError:
        raise ParamError("params is a mapping of NAME to VALUE, and device_params one of SERIAL to "
                         "such a mapping") from None
    return args
