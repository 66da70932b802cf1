"""kelpie's HDC host server simulator: simulated devices on 127.0.0.1, for trying
kelpie and testing code that uses it without hardware.

    kelpie-sim [--port PORT] [--devices N] [--serial-prefix PREFIX] [--attach-after S] [--root DIR]
               [--param NAME=VALUE]... [--device-param SERIAL:NAME=VALUE]...
               [--log-rate LINES_PER_S] [--log-buffer LINES]

The first line on standard output is "listening on 127.0.0.1:PORT". Each device is
a folder (its file system) under the root: ROOT/kelpie-sim-1, ROOT/kelpie-sim-2, ...
(ROOT/PREFIX1, ... with --serial-prefix).

From a shell, as a cable pulled and plugged back in: SIGUSR1 detaches the device attached
last, SIGUSR2 attaches again the device detached longest ago (a new one if none is):

    kill -USR1 $SIM_PID      # the last device is gone from list_targets
    kill -USR2 $SIM_PID      # and back
"""

import argparse
import asyncio
import os
import shutil
import signal
import sys
import tempfile

from . import params
from .control import Control
from .devices import SERIAL_PREFIX, Hub
from .forwards import ECHO_PORT, Forwards, echo_service
from .logbuffer import DEFAULT_CAPACITY
from .server import Server

HOST = "127.0.0.1"


def descriptor_pair(text):
    try:
        pair = tuple(int(n) for n in text.split(","))
    except ValueError:
        pair = ()
    if len(pair) != 2 or min(pair) < 0:
        raise argparse.ArgumentTypeError("expected two descriptor numbers IN,OUT, not %r" % text)
    for fd in pair:
        try:
            os.fstat(fd)
        except OSError:
            raise argparse.ArgumentTypeError("descriptor %d is not open" % fd) from None
    return pair


def param_setting(parse):
    def setting(text):
        try:
            return parse(text)
        except params.ParamError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    return setting


def parse_args(argv, prog):
    p = argparse.ArgumentParser(prog=prog, description=__doc__.split("\n\n")[0])
    p.add_argument("--port", "-p", type=int, default=0, help="TCP port on 127.0.0.1 (default: a free one)")
    p.add_argument("--devices", "-n", type=int, default=1, metavar="N", help="devices attached at start (default 1)")
    p.add_argument("--serial-prefix", default=SERIAL_PREFIX, metavar="PREFIX",
                   help="the devices' serials are PREFIX1, PREFIX2, ... (default %s), so that several "
                        "simulators started by hand have distinct serials" % SERIAL_PREFIX)
    p.add_argument("--attach-after", type=float, metavar="S",
                   help="attach one more device S seconds after start (answers a pending 'wait')")
    p.add_argument("--param", action="append", default=[], type=param_setting(params.parse), metavar="NAME=VALUE",
                   help="a param every device has, as `param get NAME` answers it (repeatable)")
    p.add_argument("--device-param", action="append", default=[], type=param_setting(params.parse_for_device),
                   metavar="SERIAL:NAME=VALUE", help="a param of one device, over --param (repeatable)")
    p.add_argument("--root", metavar="DIR",
                   help="folder holding the device folders, kept afterwards (default: a temporary folder, removed)")
    p.add_argument("--host-shell", action="store_true",
                   help="run 'shell' commands with the host's /bin/sh in the device folder (NOT confined)")
    p.add_argument("--log-rate", type=float, default=0.0, metavar="LINES_PER_S",
                   help="make every device log that many lines a second by itself, as a busy device does "
                        "(default 0: only what happens on it)")
    p.add_argument("--log-buffer", type=int, default=DEFAULT_CAPACITY, metavar="LINES",
                   help="lines each device's log buffer holds (default %d)" % DEFAULT_CAPACITY)
    p.add_argument("--max-seconds", type=float, metavar="S", help="stop by itself after S seconds")
    p.add_argument("--control", nargs="?", const=(0, 1), type=descriptor_pair, metavar="IN,OUT",
                   help="take a test's requests as JSON lines on descriptor IN and answer each on descriptor "
                        "OUT (default 0,1: standard input and output); stop when the requests end "
                        "(what kelpie_sim.Simulator uses, with descriptors of its own)")
    p.add_argument("--verbose", "-v", action="store_true", help="print every command received to stderr")
    args = p.parse_args(argv)
    if args.devices < 0 or not 0 <= args.port < 65536:
        p.error("--devices must be >= 0 and --port within 0..65535")
    prefix = args.serial_prefix
    if not prefix or prefix.split() != [prefix] or set(prefix) & set("/\\:") or prefix in (".", ".."):
        p.error("--serial-prefix must be one word without '/', '\\' or ':', not %r" % prefix)
    if not 0 <= args.log_rate < float("inf") or args.log_buffer < 1:
        p.error("--log-rate must be >= 0 and --log-buffer >= 1")
    return args


def device_ready(note, settings=(), device_settings=()):
    """What a device gets as it attaches: the echo service, and the params it was given."""
    def ready(dev):
        dev.services[ECHO_PORT] = echo_service
        dev.params.update(settings)
        dev.params.update((name, value) for serial, name, value in device_settings if serial == dev.id)
        note("device %s attached, file system in %s" % (dev.id, dev.fs.root))
    return ready


async def serve(args, root, prog):
    hub = Hub(root, on_attach=device_ready(Server.note, args.param, args.device_param), log_rate=args.log_rate,
              log_buffer=args.log_buffer, prefix=args.serial_prefix)
    server = Server(hub, Forwards(), host_shell=args.host_shell, verbose=args.verbose,
                    record=args.control is not None)
    try:
        listener = await asyncio.start_server(server.handle, HOST, args.port)
    except OSError as e:
        print("%s: cannot listen on %s:%d: %s" % (prog, HOST, args.port, e.strerror or e), file=sys.stderr)
        return 1
    # No client is served before the next await: the devices are there for the first one.
    for _ in range(args.devices):
        hub.attach_next()
    # Installed before the address is told, so that no signal can come first and end the process.
    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, detach_last, hub)
    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR2, hub.reattach)
    addr = "%s:%d" % (HOST, listener.sockets[0].getsockname()[1])
    print("listening on " + addr, flush=True)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if args.max_seconds is not None:
        loop.call_later(args.max_seconds, stop.set)
    if args.attach_after is not None:
        loop.call_later(args.attach_after, hub.attach_next)
    control = None
    if args.control is not None:
        control = loop.create_task(Control(server, root, addr).serve(*control_files(args.control), stop))
    await stop.wait()

    if control is not None:
        control.cancel()
    listener.close()
    await server.forwards.close()
    await server.close_connections()
    return 0


def detach_last(hub):
    ident = hub.detach_last()
    Server.note("device %s detached" % ident if ident else "no device attached to detach")


def control_files(fds):
    requests, answers = fds
    return (sys.stdin if requests == 0 else os.fdopen(requests, "rb", buffering=0),
            sys.stdout if answers == 1 else os.fdopen(answers, "w", encoding="utf-8"))


def main(argv=None, prog="kelpie-sim"):
    args = parse_args(sys.argv[1:] if argv is None else argv, prog)
    if args.host_shell:
        print("%s: WARNING: --host-shell runs every 'shell' command with the host's /bin/sh; "
              "it is not confined to the device folder" % prog, file=sys.stderr, flush=True)
    if args.root:
        os.makedirs(args.root, exist_ok=True)
        root, temporary = args.root, False
    else:
        root, temporary = tempfile.mkdtemp(prefix="kelpie-sim-"), True
    try:
        return asyncio.run(serve(args, root, prog))
    finally:
        if temporary:
            shutil.rmtree(root, ignore_errors=True)
