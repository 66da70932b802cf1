"""Who the shell is and what the device runs: id, whoami, kill, mount, top and free, in
toybox's formats. The shell runs as the user `shell` (uid 2000), as `ps` shows it; the
memory figures are those of /proc/meminfo (procfs.py)."""

import re

from . import procfs
from .shell_args import Usage, reports_usage, whole_number
from .toybox_options import last, parse_options

USER, UID = "shell", 2000
GROUPS = ((2000, "shell"), (1007, "log"), (1009, "mount"), (3009, "readproc"))
CONTEXT = "u:r:sh:s0"
SIGNALS = ("HUP", "INT", "QUIT", "ILL", "TRAP", "ABRT", "BUS", "FPE", "KILL", "USR1", "SEGV", "USR2", "PIPE",
           "ALRM", "TERM", "STKFLT", "CHLD", "CONT", "STOP", "TSTP", "TTIN", "TTOU", "URG", "XCPU", "XFSZ",
           "VTALRM", "PROF", "WINCH", "IO", "PWR", "SYS")
UNITS = {"b": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
DELAY = re.compile(r"[0-9]{1,9}(\.[0-9]{1,9})?\Z", re.ASCII)
TOP_COLUMNS = "%5s %-8s %4s %3s %4s %4s %4s %1s %5s %4s %9s %s\n"


@reports_usage
def sh_id(s, args):
    """id [-Ggnru] [USER]: the shell user alone is known."""
    flags, rest = parse_options("id", args, "GgnruZ")
    if rest and rest[0] != USER:
        raise Usage("id", "unknown user '%s'" % rest[0])
    if "Z" in flags:
        s.say(CONTEXT + "\n")
        return 0
    name = "n" in flags
    if "u" in flags or "g" in flags:
        s.say((USER if name else str(UID)) + "\n")
    elif "G" in flags:
        s.say(" ".join(n if name else str(g) for g, n in GROUPS) + "\n")
    else:
        s.say("uid=%d(%s) gid=%d(%s) groups=%s context=%s\n" % (
            UID, USER, UID, USER, ",".join("%d(%s)" % g for g in GROUPS), CONTEXT))
    return 0


@reports_usage
def sh_whoami(s, args):
    if args:
        raise Usage("whoami", "Max 0 arguments")
    s.say(USER + "\n")
    return 0


def _signal(word):
    """The number of a signal given as 9, KILL or SIGKILL; None if none is."""
    number = whole_number(word, 1, len(SIGNALS))
    if number is not None:
        return number
    name = word.upper()[3:] if word.upper().startswith("SIG") else word.upper()
    return SIGNALS.index(name) + 1 if name in SIGNALS else None


@reports_usage
def sh_kill(s, args):
    """kill [-l [SIGNAL]] [-s SIGNAL | -SIGNAL] PID...: the shell user may signal only its own
    processes; the device's services and applications belong to other users."""
    if args[:1] == ["-l"]:
        if len(args) == 1:
            s.say("".join("%2d) SIG%s\n" % (n, name) for n, name in enumerate(SIGNALS, 1)))
            return 0
        number = _signal(args[1])
        if number is None:
            raise Usage("kill", "unknown signal '%s'" % args[1])
        s.say((SIGNALS[number - 1] if args[1][:1].isdigit() else str(number)) + "\n")
        return 0
    if args[:1] == ["-s"]:
        if len(args) < 2 or _signal(args[1]) is None:
            raise Usage("kill", "unknown signal '%s'" % (args[1] if len(args) > 1 else ""))
        args = args[2:]
    elif args[:1] and args[0].startswith("-") and args[0] != "--":
        if _signal(args[0][1:]) is None:
            raise Usage("kill", "unknown signal '%s'" % args[0][1:])
        args = args[1:]
    if args[:1] == ["--"]:
        args = args[1:]
    if not args:
        raise Usage("kill", "Needs 1 argument")
    running = {p.pid: p for p in s.dev.processes.all()}
    status = 0
    for word in args:
        pid = whole_number(word, -(2 ** 31), 2 ** 31 - 1)
        if pid is None:
            status = s.err("kill", "bad pid '%s'" % word)
        elif pid in running and running[pid].uid == USER:
            s.dev.processes.end(pid)
        elif pid in running or pid <= 0:
            status = s.err("kill", "bad pid '%s': Operation not permitted" % word)
        else:
            status = s.err("kill", "bad pid '%s': No such process" % word)
    return status


@reports_usage
def sh_mount(s, args):
    """mount: lists what is mounted; mounting needs root."""
    flags, rest = parse_options("mount", args, "afnrvw", "otO")
    if rest or "a" in flags:
        raise Usage("mount", "%s: Operation not permitted" % (rest[-1] if rest else "-a"))
    s.say("".join("%s on %s type %s (%s)\n" % m for m in procfs.MOUNTS))
    return 0


def _free_value(kb, unit, human):
    if human:
        value, suffixes = float(kb * 1024), "BKMGT"
        for suffix in suffixes:
            if value < 1024 or suffix == "T":
                return ("%d%s" % (value, suffix)) if suffix == "B" else ("%.1f%s" % (value, suffix))
            value /= 1024
    return str(kb * 1024 // UNITS[unit])


@reports_usage
def sh_free(s, args):
    """free [-bkmgth]: memory and swap in bytes (or the unit asked for)."""
    flags, rest = parse_options("free", args, "bkmgth")
    if rest:
        raise Usage("free", "Max 0 arguments")
    units = [u for u in "bkmgt" if u in flags]
    unit = units[-1] if units else "b"
    mem = procfs.memory(s.dev)
    total, free, buffers, shared = mem["MemTotal"], mem["MemFree"], mem["Buffers"], mem["Shmem"]
    cached = mem["Cached"]
    used = total - free

    def v(kb):
        return _free_value(kb, unit, "h" in flags)
    s.say("\t\ttotal        used        free      shared     buffers\n")
    s.say("Mem:%17s%12s%12s%12s%12s\n" % (v(total), v(used), v(free), v(shared), v(buffers)))
    s.say("-/+ buffers/cache:%15s%12s\n" % (v(used - buffers - cached), v(free + buffers + cached)))
    s.say("Swap:%16s%12s%12s\n" % (v(mem["SwapTotal"]), v(mem["SwapTotal"] - mem["SwapFree"]), v(mem["SwapFree"])))
    return 0


def _size(kb):
    if kb >= 10 * 1024 * 1024:
        return "%dG" % (kb // (1024 * 1024))
    if kb >= 10 * 1024:
        return "%dM" % (kb // 1024)
    return "%dK" % kb


@reports_usage
def sh_top(s, args):
    """top [-b] [-n N] [-d SECONDS] [-p PID,...] [-m LINES]: N frames of the process table (one
    without -n), each as toybox's top prints it in batch mode."""
    found, rest = parse_options("top", args, "bHq", "ndpmsouk")
    if rest:
        raise Usage("top", "Unknown argument '%s'" % rest[0])
    frames, only, most = 1, None, None
    for letter in "nm":
        if letter in found:
            number = whole_number(last(found, letter), 1, 10000)
            if number is None:
                raise Usage("top", "bad -%s '%s'" % (letter, last(found, letter)))
            frames, most = (number, most) if letter == "n" else (frames, number)
    if "p" in found:
        pids = [whole_number(p) for p in last(found, "p").split(",")]
        if None in pids:
            raise Usage("top", "bad -p '%s'" % last(found, "p"))
        only = set(pids)
    if "d" in found and not DELAY.match(last(found, "d")):
        raise Usage("top", "bad -d '%s'" % last(found, "d"))
    for _ in range(frames):
        _frame(s, only, most)
    return 0


def _frame(s, only, most):
    processes = [p for p in s.dev.processes.all() if only is None or p.pid in only]
    mem = procfs.memory(s.dev)
    total, free = mem["MemTotal"], mem["MemFree"]
    s.say("Tasks: %d total,   1 running, %3d sleeping,   0 stopped,   0 zombie\n" % (
        len(processes) + 1, len(processes)))
    s.say("  Mem: %9dK total, %9dK used, %9dK free, %8dK buffers\n" % (total, total - free, free, mem["Buffers"]))
    s.say(" Swap: %9dK total, %9dK used, %9dK free, %8dK cached\n" % (
        mem["SwapTotal"], 0, mem["SwapFree"], mem["Cached"]))
    s.say("%d%%cpu   2%%user   0%%nice   3%%sys %3d%%idle   0%%iow   0%%irq   0%%sirq   0%%host\n" % (
        procfs.CPUS * 100, procfs.CPUS * 100 - 5))
    s.say(TOP_COLUMNS % ("PID", "USER", "PR", "NI", "VIRT", "RES", "SHR", "S", "[%CPU]", "%MEM", "TIME+", "ARGS"))
    me = s.dev.processes.spare_pid()
    rows = [(me, USER, 2048, "R", "top")] + [
        (p.pid, p.uid, procfs.resident_kb(p), "S", p.name) for p in processes]
    for pid, user, res, state, name in rows[:most]:
        cpu_seconds = 0 if pid == me else pid % 997 / 100.0     # steady for a process
        s.say(TOP_COLUMNS % (pid, user[:8], 20, 0, _size(res * 9), _size(res), _size(res // 3), state,
                             "0.0", "%.1f" % (res * 100.0 / total), "0:%05.2f" % cpu_seconds, name))


COMMANDS = {"id": sh_id, "whoami": sh_whoami, "kill": sh_kill, "mount": sh_mount, "free": sh_free, "top": sh_top}
