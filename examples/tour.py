#!/usr/bin/env python3
"""A guided tour of kelpie: all twelve HdcClient methods, against kelpie's HDC simulator.

    pypy3 examples/tour.py              starts a simulator of its own, tours it, stops it
    pypy3 examples/tour.py HOST:PORT    tours a simulator that is already running, e.g. one
                                        started with: python3 python/hdc_sim.py --devices 0 --attach-after 1

Every step prints the call, how long it took and what came back, and checks the
result; the exit status is 1 if any check failed.
"""

import json
import os
import socket
import struct
import sys
import tempfile
import time
import zipfile

import kelpie

HERE = os.path.dirname(os.path.abspath(__file__))
SIM_DIR = os.path.join(os.path.dirname(HERE), "python")
ECHO_PORT = 7            # every simulated device runs an echo service there
DEVICE_PORT = 9100       # a device port the reverse mapping opens
REMOTE_FILE = "/data/local/tmp/greeting.txt"
BUNDLE = "com.example.hello"


class Tour:
    def __init__(self):
        self.started = time.perf_counter()
        self.section = 0
        self.checks = 0
        self.failed = []
        self.methods = set()

    def step(self, title):
        self.section += 1
        print("\n%d. %s" % (self.section, title))

    def call(self, client, method, *args, **kwargs):
        shown = [repr(a) for a in args] + ["%s=%r" % kv for kv in kwargs.items()]
        label = "client.%s(%s)" % (method, ", ".join(shown))
        t0 = time.perf_counter()
        try:
            result = getattr(client, method)(*args, **kwargs)
        finally:
            print("   >>> %s   [%.1f ms]" % (label, (time.perf_counter() - t0) * 1000))
            self.methods.add(method)
        show(result)
        return result

    def check(self, ok, what):
        self.checks += 1
        print("   %s %s" % ("ok:" if ok else "FAILED:", what))
        if not ok:
            self.failed.append(what)


def show(result, limit=14):
    if result is None:
        print("       -> None")
        return
    if not isinstance(result, str):
        print("       -> %r" % (result,))
        return
    lines = result.splitlines() or [""]
    for line in lines[:limit]:
        print("       | " + line)
    if len(lines) > limit:
        print("       | ... (%d more lines)" % (len(lines) - limit))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_roundtrip(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def make_package(folder):
    """A small application package; the simulator takes the bundle name from the file name."""
    path = os.path.join(folder, BUNDLE + ".hap")
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("module.json", '{"app": {"bundleName": "%s", "versionName": "1.0.0"}}' % BUNDLE)
        z.writestr("ets/modules.abc", b"\x00" * 512)
    return path


def run(addr, work):
    tour = Tour()
    print("kelpie tour against the HDC server at %s (%s %s, %d-bit)" % (
        addr, sys.implementation.name, ".".join(map(str, sys.version_info[:3])), struct.calcsize("P") * 8))

    tour.step("Connect to the server: the constructor connects and handshakes at once")
    t0 = time.perf_counter()
    client = kelpie.HdcClient(addr)
    print("   >>> kelpie.HdcClient(%r)   [%.1f ms]" % (addr, (time.perf_counter() - t0) * 1000))

    tour.step("Wait for a device (the simulator attaches one a second after it starts)")
    device = tour.call(client, "wait_for_device")
    tour.check(bool(device), "a device identifier came back")
    targets = tour.call(client, "list_targets")
    tour.check(device in targets, "the device is among the targets")
    tour.call(client, "connect_device", device)
    serial = tour.call(client, "shell", "param get ro.serialno")
    tour.check(serial.strip() == device, "this client's commands now go to %s" % device)

    tour.step("Run shell commands on the device")
    tour.call(client, "shell", "uname -a")
    model = tour.call(client, "shell", "param get const.product.model")
    tour.check(model.strip() != "", "the device reports its model")

    tour.step("Send a file, change it on the device, receive it back")
    original = "Hello from the host — こんにちは\n"
    local = os.path.join(work, "greeting.txt")
    with open(local, "w", encoding="utf-8") as f:
        f.write(original)
    os.utime(local, (1700000000, 1700000000))
    sent = tour.call(client, "file_send", local, REMOTE_FILE, hold_timestamp=True)
    tour.check("FileTransfer finish" in sent, "the file reached the device")
    tour.call(client, "shell", "echo 'Changed on the device' >> %s && ls -l /data/local/tmp" % REMOTE_FILE)
    back = os.path.join(work, "greeting.back.txt")
    received = tour.call(client, "file_recv", REMOTE_FILE, back)
    tour.check("FileTransfer finish" in received, "the file came back")
    with open(back, encoding="utf-8") as f:
        text = f.read()
    show(text)
    tour.check(text == original + "Changed on the device\n", "it holds the original plus the device's line")

    tour.step("Install an application, start it, read its screen, uninstall it")
    package = make_package(work)
    installed = tour.call(client, "install", [package])
    tour.check("successfully" in installed, "the bundle was installed")
    bundles = tour.call(client, "shell", "bm dump -a")
    tour.check("\t%s\n" % BUNDLE in bundles, "bm dump -a lists %s" % BUNDLE)
    started = tour.call(client, "shell", "aa start -a EntryAbility -b %s && pidof %s" % (BUNDLE, BUNDLE))
    tour.check(started.startswith("start ability successfully.\n") and started.split("\n")[1].isdigit(),
               "the application started, and its process runs")
    # As on a device, uitest writes the layout to a file and prints only where: read the file.
    tour.call(client, "shell", "uitest dumpLayout -p /data/local/tmp/layout.json")
    layout_file = os.path.join(work, "layout.json")
    tour.call(client, "file_recv", "/data/local/tmp/layout.json", layout_file)
    with open(layout_file, encoding="utf-8") as f:
        window = json.load(f)["children"][0]["attributes"]
    tour.check(window["bundleName"] == BUNDLE, "the screen's layout, read back from uitest's file, shows it")
    removed = tour.call(client, "uninstall", BUNDLE)
    tour.check("successfully" in removed, "the bundle was uninstalled")
    bundles = tour.call(client, "shell", "bm dump -a")
    tour.check(BUNDLE not in bundles, "bm dump -a no longer lists it")

    tour.step("Forward a host port to the device's echo service and talk through it")
    host_port = free_port()
    task = "tcp:%d tcp:%d" % (host_port, ECHO_PORT)
    result = tour.call(client, "fport", "tcp:%d" % host_port, "tcp:%d" % ECHO_PORT)
    tour.check("OK" in result, "forward %s is in place" % task)
    message = "ping through kelpie ✓".encode()
    echoed = tcp_roundtrip(host_port, message)
    print("   sent %r to 127.0.0.1:%d, got back %r" % (message.decode(), host_port, echoed.decode()))
    tour.check(echoed == message, "the device echoed our bytes over a real TCP connection")

    tour.step("Reverse-map a device port to the host, and reach it through a second forward")
    second_port = free_port()
    tour.call(client, "rport", "tcp:%d" % DEVICE_PORT, "tcp:%d" % host_port)
    tour.call(client, "fport", "tcp:%d" % second_port, "tcp:%d" % DEVICE_PORT)
    message = b"host -> device:9100 -> host -> device:7"
    echoed = tcp_roundtrip(second_port, message)
    print("   127.0.0.1:%d -> device:%d -> 127.0.0.1:%d -> device:%d echo: %r" % (
        second_port, DEVICE_PORT, host_port, ECHO_PORT, echoed.decode()))
    tour.check(echoed == message, "the bytes went round and came back")
    for mapping in (task, "tcp:%d tcp:%d" % (DEVICE_PORT, host_port), "tcp:%d tcp:%d" % (second_port, DEVICE_PORT)):
        tour.call(client, "fport_remove", mapping)
    try:
        tour.call(client, "fport_remove", task)
        tour.check(False, "removing it twice should fail")
    except RuntimeError as e:
        print("   RuntimeError: %s" % e)
        tour.check(str(e).startswith("Protocol error: [Fail]"), "removing it twice raises RuntimeError")

    tour.step("Read the device log, filtered by tag")
    log = tour.call(client, "hilog", "-x -T BundleMgrService")
    tour.check("install bundle %s" % BUNDLE in log, "the log tells of the install")
    weather = tour.call(client, "hilog", "-x -T Weather")
    tour.check("温度" in weather and all("/Weather: " in ln for ln in weather.splitlines()),
               "only Weather lines, multi-byte text intact")

    elapsed = time.perf_counter() - tour.started
    print("\nTour done in %.2f s: %d of 12 methods used, %d checks, %d failed." % (
        elapsed, len(tour.methods), tour.checks, len(tour.failed)))
    for what in tour.failed:
        print("  failed: " + what)
    return 0 if not tour.failed and len(tour.methods) == 12 else 1


def main(argv):
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(encoding="utf-8", errors="replace", line_buffering=True)
    with tempfile.TemporaryDirectory(prefix="kelpie-tour-") as work:
        if len(argv) > 1:
            return run(argv[1], work)
        sys.path.insert(0, SIM_DIR)
        from kelpie_sim.launcher import SimProcess
        with SimProcess(["--devices", "0", "--attach-after", "1"]) as sim:
            return run(sim.addr, work)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
