"""The device's processes, and the shell commands that show them: ps and pidof.

A device starts with init, its hdc daemon and the system UI; `aa start` adds an
application's process, `aa force-stop` and uninstalling remove it.
"""

import collections
import random
import time

from .shell_args import Usage, reports_usage
from .toybox_options import parse_options

Process = collections.namedtuple("Process", "pid ppid uid name started")
# toybox's `ps -ef` columns: UID PID PPID C STIME TTY TIME CMD
PS_FULL = "%-12s%7s%7s %s %-8s %-5s %8s %s\n"
PS_SHORT = "%5s %-8s %8s %s\n"
BOOT_PROCESSES = (   # (uid, name) started at boot, after init
    ("root", "/system/bin/param_watcher"),
    ("system", "foundation"),
    ("root", "/system/bin/hdcd"),
    ("system", "render_service"),
    ("20010002", "com.ohos.launcher"),
    ("20010011", "com.ohos.systemui"),
)
APP_UID_BASE = 20010020


class Processes:
    """Running processes by pid. Pids grow as on a device, with gaps left by processes
    that other tools would start meanwhile; each device has its own sequence."""

    def __init__(self, seed):
        self._rand = random.Random("processes:" + seed)
        boot = time.time() - 60
        self.boot = boot
        self._by_pid = {1: Process(1, 0, "root", "/init", boot)}
        self._next = self._rand.randint(200, 600)
        self._uids = {}
        self.front = []          # (bundle, ability, module) of started abilities, the foreground one last
        for uid, name in BOOT_PROCESSES:
            self._add(name, uid, boot + 1)

    def _add(self, name, uid, started=None):
        pid = self._next
        self._next += self._rand.randint(1, 40)
        self._by_pid[pid] = Process(pid, 1, uid, name, time.time() if started is None else started)
        return pid

    def spare_pid(self):
        """A pid for a process that ends at once (a command the shell runs)."""
        pid = self._next
        self._next += self._rand.randint(1, 3)
        return pid

    def run_command(self, text, ppid):
        """The pid of a command the shell runs, listed until end_command: the stages of a
        pipeline show in each other's ps."""
        pid = self.spare_pid()
        self._by_pid[pid] = Process(pid, ppid, "shell", text, time.time())
        return pid

    def end_command(self, pid):
        self._by_pid.pop(pid, None)

    def start(self, name, ability, module):
        """The pid of the application `name`, started now if it does not run yet; its
        ability comes to the foreground."""
        self.front = [f for f in self.front if f[0] != name] + [(name, ability, module)]
        running = self.pids(name)
        if running:
            return running[0]
        uid = self._uids.setdefault(name, str(APP_UID_BASE + len(self._uids)))
        return self._add(name, uid)

    def stop(self, name):
        """Ends every process of `name`; whether one ran."""
        self.front = [f for f in self.front if f[0] != name]
        pids = self.pids(name)
        for pid in pids:
            del self._by_pid[pid]
        return bool(pids)

    def end(self, pid):
        """Ends the process `pid` (a signal that kills it); whether it ran."""
        return self._by_pid.pop(pid, None) is not None

    def pids(self, name):
        return [p.pid for p in self.all() if p.name == name or p.name.rsplit("/", 1)[-1] == name]

    def all(self):
        return [self._by_pid[pid] for pid in sorted(self._by_pid)]

    def foreground(self):
        """(bundle, ability, module) shown on the screen: the last ability started, or the launcher."""
        return self.front[-1] if self.front else ("com.ohos.launcher", "MainAbility", "entry")


def _stime(started):
    return time.strftime("%H:%M:%S", time.localtime(started))


@reports_usage
def sh_ps(s, args):
    """toybox ps: -e/-A every process (else the shell's own), -f the full listing."""
    flags, rest = parse_options("ps", args, "eAfw")
    if rest:
        raise Usage("ps", "unknown argument %s" % rest[0])
    own = getattr(s, "pid", None)     # its pid when the shell lists it as running
    me = Process(own or s.dev.processes.spare_pid(), 1, "shell", " ".join(["ps"] + args), time.time())
    shown = sorted([p for p in s.dev.processes.all() if p.pid != me.pid] + [me]) if "e" in flags or "A" in flags else [me]
    if "f" in flags:
        s.say(PS_FULL % ("UID", "PID", "PPID", "C", "STIME", "TTY", "TIME", "CMD"))
        for p in shown:
            s.say(PS_FULL % (p.uid, p.pid, p.ppid, 0, _stime(p.started), "?", "00:00:00", p.name))
    else:
        s.say(PS_SHORT % ("PID", "TTY", "TIME", "CMD"))
        for p in shown:
            s.say(PS_SHORT % (p.pid, "?", "00:00:00", p.name.split(" ")[0]))
    return 0


@reports_usage
def sh_pidof(s, args):
    """pidof [-s] NAME...: the pids, newest first, on one line; status 1 when none runs."""
    flags, names = parse_options("pidof", args, "s")
    pids = []
    for name in names:
        found = sorted(s.dev.processes.pids(name), reverse=True)
        pids += found[:1] if "s" in flags else found
    if not pids:
        return 1
    s.say(" ".join(str(p) for p in pids) + "\n")
    return 0
