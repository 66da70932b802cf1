"""Simulated devices: a folder each for the file system, plus the state a device keeps."""

import asyncio
import collections
import os
import time

from . import procfs
from .busylog import chatter
from .confine import DeviceFs
from .logbuffer import DEFAULT_CAPACITY, DeviceLog
from .processes import Processes

SKELETON = (
    "data/local/tmp",
    "data/app/el1/bundle/public",
    "data/app/el2/100/base",
    "system/etc",
    "system/bin",
    "vendor/etc",
    "storage/media/100/local/files/Docs",
    "proc",
)
BUNDLE_DIR = "/data/app/el1/bundle/public"
DATA_DIR = "/data/app/el2/100/base"
SYSTEM_BUNDLES = ("com.ohos.launcher", "com.ohos.settings", "com.ohos.systemui")


SERIAL_PREFIX = "kelpie-sim-"


def device_id(n, prefix=SERIAL_PREFIX):
    return "%s%d" % (prefix, n)


def default_params(ident):
    return {
        "const.product.name": "kelpie simulated phone",
        "const.product.model": "KSIM-AL00",
        "const.product.brand": "kelpie",
        "const.product.software.version": "OpenHarmony-4.1.0.0 (simulated)",
        "const.ohos.apiversion": "11",
        "const.ohos.fullname": "OpenHarmony-4.1.0.0",
        "const.product.cpu.abilist": "arm64-v8a",
        "const.product.devicetype": "phone",
        "const.product.manufacturer": "kelpie",
        "const.product.hardwareversion": "KSIM-AL00 REV 1.0",
        "const.ohos.releasetype": "Release",
        "const.ohos.version.security_patch": "2024-03-01",
        "ro.serialno": ident,
        "persist.sys.language": "zh-Hans",
    }


# The process whose pid a system tag's lines carry, as `pidof` names it.
TAG_PROCESSES = {
    "hdcd": "hdcd", "Init": "init", "HiLog": "init", "AbilityManagerService": "foundation",
    "BundleMgrService": "foundation", "SAMGR": "foundation", "WindowManager": "render_service",
    "PowerMgr": "foundation",
}
BOOT_LOG = (
    ("I", "I00000", "HiLog", "========Zeroth log of type: init"),
    ("I", "C01100", "Init", "init first stage finished, mounting /data"),
    ("I", "C02500", "HiView", "hiview service started, faultlogger ready"),
    ("I", "C01510", "SAMGR", "system ability manager ready, 87 abilities registered"),
    ("I", "C01120", "BundleMgrService", "bundle manager service started, %d system bundles" % len(SYSTEM_BUNDLES)),
    ("I", "C01300", "AbilityManagerService", "start ability com.ohos.launcher/MainAbility"),
    ("D", "C01400", "WindowManager", "display 0 attached: 1260x2720 @ 120Hz"),
    ("I", "C02D06", "PowerMgr", "battery level 87%, charging over USB"),
    ("I", "C0F000", "Weather", "温度 23.5℃，湿度 61%，东南风 2 级"),
    ("W", "C02D06", "PowerMgr", "thermal level warm: 41.2 °C, limiting CPU big cores"),
    ("I", "C01700", "Locale", "langue système : français (Suisse) — clavier « QWERTZ »"),
    ("I", "C0F000", "Weather", "Größe des Radarbilds: 12 KiB, Übertragung in 34 ms"),
    ("E", "C03F00", "NetManager", "DNS lookup for ota.example.com failed: no network"),
    ("I", "C01300", "AbilityManagerService", "foreground: com.ohos.systemui/StatusBar"),
    ("I", "C0F001", "Notify", "🔔 新消息：来自 张伟 — 今晚 7 点见 🍜"),
    ("D", "C01B00", "InputKeyFlow", "key event: code=18 action=up duration=96ms"),
    ("I", "C0F000", "Weather", "Прогноз на завтра: ясно, +19 °C"),
    ("W", "C01510", "SAMGR", "ability 3301 slow to start: 1204 ms"),
    ("I", "C015A0", "hdcd", "hdc daemon ready, transport: usb"),
)


class Device:
    def __init__(self, ident, folder, log_buffer=DEFAULT_CAPACITY):
        self.id = ident
        os.makedirs(folder, exist_ok=True)
        for sub in SKELETON:
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        self.fs = DeviceFs(folder)
        self.processes = Processes(ident)
        self.fs.refresh_proc = lambda: procfs.refresh(self.fs, self)   # written when first used
        self.power = {"awake": True, "mode": 600, "timeout_ms": 30000}   # what power-shell sets
        self.params = default_params(ident)
        self.services = {}            # device TCP port -> async handler(reader, writer)
        self.sleep_owed = 0.0         # seconds a shell `sleep` asked for, not yet served
        self.log = DeviceLog(ident, log_buffer)
        self.log.boot = self.processes.boot
        self.chatter = None           # the task that keeps a busy device logging
        for tag, process in TAG_PROCESSES.items():
            pids = self.processes.pids(process)
            if pids:
                self.log.assign(tag, pids[0])
        start = time.time() - 60
        for i, (level, domain, tag, message) in enumerate(BOOT_LOG):
            self.log.add(level, domain, tag, message, when=start + 3.1 * i)

    # Installed bundles are the folders under BUNDLE_DIR, so the state survives a
    # restart on the same --root and shows in `ls`.
    def bundle_host_dir(self, name=None):
        return self.fs.host(BUNDLE_DIR.strip("/").split("/") + ([name] if name else []))

    def data_host_dir(self, name):
        return self.fs.host(DATA_DIR.strip("/").split("/") + [name])

    def installed(self):
        try:
            return sorted(n for n in os.listdir(self.bundle_host_dir()) if os.path.isdir(self.bundle_host_dir(n)))
        except OSError:
            return []


class Hub:
    """The devices the server knows, and the waits for one to attach."""

    def __init__(self, root, on_attach=None, log_rate=0.0, log_buffer=DEFAULT_CAPACITY, prefix=SERIAL_PREFIX):
        self.root = root
        self.prefix = prefix
        self.log_rate = log_rate        # lines a second each device logs by itself
        self.log_buffer = log_buffer
        self._devices = collections.OrderedDict()
        self._detached = collections.deque()     # detached devices, the longest gone first
        self._changed = asyncio.Event()
        self._count = 0
        self._on_attach = on_attach

    def reserve(self):
        """The identifier the next device will have, taken now so that a delayed attach can name it."""
        self._count += 1
        return device_id(self._count, self.prefix)

    def known(self, ident):
        """Whether `ident` names a device attached now, earlier, or reserved."""
        return any(ident == device_id(n, self.prefix) for n in range(1, self._count + 1))

    def attach(self, ident):
        if ident in self._detached:
            self._detached.remove(ident)
        dev = Device(ident, os.path.join(self.root, ident), self.log_buffer)
        if self.log_rate > 0:
            dev.chatter = asyncio.get_running_loop().create_task(chatter(dev.log, self.log_rate, ident))
        if self._on_attach is not None:
            self._on_attach(dev)
        self._devices[ident] = dev
        self._notify()
        return dev

    def attach_next(self):
        return self.attach(self.reserve())

    def detach(self, ident):
        """Forgets the device (its folder stays); False if it was not attached."""
        dev = self._devices.pop(ident, None)
        if dev is None:
            return False
        self._detached.append(ident)
        if dev.chatter is not None:
            dev.chatter.cancel()
        dev.log.close()
        self._notify()
        return True

    def detach_last(self):
        """Detaches the device attached last (a cable pulled); its identifier, or None."""
        ids = self.ids()
        return ids[-1] if ids and self.detach(ids[-1]) else None

    def reattach(self):
        """Attaches again the device detached longest ago (its cable plugged back in), or a
        new one when none is detached; its identifier."""
        while self._detached:
            ident = self._detached.popleft()
            if ident not in self._devices:
                return self.attach(ident).id
        return self.attach_next().id

    def _notify(self):
        self._changed.set()
        self._changed = asyncio.Event()

    def ids(self):
        return list(self._devices)

    def get(self, ident):
        return self._devices.get(ident)

    def all(self):
        return list(self._devices.values())

    async def wait_for(self, ident=None):
        """The device named `ident` (any device when None) once it is attached."""
        while True:
            if ident:
                if ident in self._devices:
                    return self._devices[ident]
            elif self._devices:
                return next(iter(self._devices.values()))
            await self._changed.wait()
