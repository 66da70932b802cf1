"""System tools of the device shell: hidumper (system abilities), power-shell and date."""

import re
import time

from . import bundle_manager, procfs
from .shell_args import Usage, reports_usage, whole_number

COLUMN = 33
PROCESS_COLUMNS = "%-12s %5s %5s %5s %4s %-5s %-8s %8s %s\n"     # ps -efT, as hidumper -p shows it
MEMORY_COLUMNS = "%-10s %-28s %-12s %-12s %-12s %s\n"
PROCESS_MEMORY = "%12s %12s %12s %12s %12s\n"
CPU_COLUMNS = "    %-8s%-15s%-15s%-15s%s\n"
HIDUMPER_USAGE = ("usage:\n"
                  "  -h                          |help text for the tool\n"
                  "  -ls                         |a list of system abilities\n"
                  "  -s [SA0 SA1] [-a \"ARGS\"]    |the system abilities and their information\n"
                  "  -p [pid]                    |the processes, or one\n"
                  "  --cpuusage [pid]            |the CPU usage of the processes, or of one\n"
                  "  --mem [pid]                 |the memory of the processes, or of one\n")
# (name, id) of the system abilities `hidumper -ls` lists; -s takes either.
SYSTEM_ABILITIES = (
    ("RenderService", 10), ("AbilityManagerService", 180), ("DataObserverMgr", 182), ("AccountMgr", 200),
    ("BundleMgr", 401), ("FormMgr", 403), ("WifiDevice", 1120), ("NetConnManager", 1151),
    ("HiviewService", 1201), ("DistributedKvData", 1301), ("BackgroundTaskManager", 1903),
    ("WorkSchedule", 1904), ("CameraService", 3008), ("MultimodalInput", 3101),
    ("CommonEventService", 3299), ("PowerManagerService", 3301), ("BatteryService", 3302),
    ("ThermalService", 3303), ("DisplayPowerManagerService", 3308), ("TimeService", 3702),
    ("InputMethodService", 3703), ("WindowManagerService", 4606), ("AccessibilityManagerService", 4702),
)
POWER_MODES = {600: "normal", 601: "power saving", 602: "performance", 603: "extreme power saving"}


def ability_text(device, name):
    """What a system ability tells about itself."""
    if name == "AbilityManagerService":
        lines = ["User ID #100", "  current mission lists:{"]
        for n, (bundle, ability, module) in enumerate(reversed(device.processes.front or [device.processes.foreground()]), 1):
            lines += ["    Mission ID #%d  mission name #[#%s:%s:%s]  lockedState #0" % (n, bundle, module, ability),
                      "      AbilityRecord ID #%d" % n, "        app name [%s]" % bundle,
                      "        main name [%s]" % ability, "        bundle name [%s]" % bundle,
                      "        state #%s" % ("FOREGROUND" if n == 1 else "BACKGROUND")]
        return "\n".join(lines + ["  }"]) + "\n"
    if name == "BundleMgr":
        return "".join("%s\n" % b for b in sorted(device.installed())) + "udid: %s\n" % bundle_manager.udid(device)
    if name == "PowerManagerService":
        power = device.power
        return ("POWER STATE DUMP:\nCurrent State: %s\nPower Mode: %d (%s)\nScreen Off Time: %d ms\n" % (
            "AWAKE" if power["awake"] else "SLEEP", power["mode"], POWER_MODES[power["mode"]], power["timeout_ms"]))
    if name == "BatteryService":
        return "capacity: 87\nchargingStatus: CHARGING\npluggedType: USB\nhealthState: GOOD\ntemperature: 312\n"
    return "%s: running\n" % name


def _find_ability(word):
    for name, ident in SYSTEM_ABILITIES:
        if word == name or word == str(ident):
            return name
    return None


def hidumper_list(s):
    s.say("System ability list:\n")
    names = sorted(name for name, _ident in SYSTEM_ABILITIES)
    for start in range(0, len(names), 3):
        s.say("".join(n.ljust(COLUMN) for n in names[start:start + 3]).rstrip() + "\n")
    return 0


def hidumper_abilities(s, words):
    names = []
    for word in words:
        name = _find_ability(word)
        if name is None:
            raise Usage("hidumper", "no such system ability: %s" % word)
        names.append(name)
    s.say("\n" + _section("ability"))
    for name in names:
        s.say("\n\n" + "-" * 34 + name + "-" * 34 + "\n" + ability_text(s.dev, name))
    return 0


def _section(name):
    return "-" * 31 + "[%s]" % name + "-" * 31 + "\n"


def _process(s, word):
    """The running process of pid `word`; a Usage error if there is none."""
    pid = whole_number(word)
    found = [p for p in s.dev.processes.all() if p.pid == pid]
    if not found:
        raise Usage("hidumper", "no such process: %s" % word)
    return found[0]


def hidumper_processes(s, pid=None):
    shown = [_process(s, pid)] if pid is not None else s.dev.processes.all()
    s.say(_section("processes") + "cmd is: ps -efT%s\n" % ("" if pid is None else " -p %s" % pid))
    s.say(PROCESS_COLUMNS % ("UID", "PID", "TID", "PPID", "TCNT", "STIME", "TTY", "TIME", "CMD"))
    for p in shown:
        s.say(PROCESS_COLUMNS % (p.uid, p.pid, p.pid, p.ppid, 1 + p.pid % 23,
                                 time.strftime("%H:%M", time.localtime(p.started)), "?", "00:00:00", p.name))
    return 0


def hidumper_memory(s, pid=None):
    if pid is not None:
        p = _process(s, pid)
        s.say(_section("memory"))
        rss = procfs.resident_kb(p)
        pss = rss - 4096
        s.say("Process: %s (pid %d)\n" % (p.name, p.pid))
        s.say(PROCESS_MEMORY % ("Pss Total", "Rss Total", "Vss Total", "Uss Total", "Swap Total"))
        s.say(PROCESS_MEMORY % (pss, rss, pss * 9, pss * 3 // 4, 0))
        return 0
    s.say(_section("memory") + "Total Memory Usage by PID:\n")
    s.say(MEMORY_COLUMNS % ("PID", "Total Pss(xxx in SwapPss)", "Total Vss", "Total Rss", "Total Uss", "Name"))
    for p in s.dev.processes.all():
        rss = procfs.resident_kb(p)     # as /proc/PID/status and top show it
        pss = rss - 4096
        s.say(MEMORY_COLUMNS % (p.pid, "%d(0 in SwapPss) kB" % pss, "%d kB" % (pss * 9), "%d kB" % rss,
                                "%d kB" % (pss * 3 // 4), p.name))
    mem = procfs.memory(s.dev)
    s.say("\nTotal RAM:%d kB\nFree RAM:%d kB\n" % (mem["MemTotal"], mem["MemFree"]))
    return 0


def hidumper_cpu(s, pid=None):
    shown = [_process(s, pid)] if pid is not None else s.dev.processes.all()
    s.say(_section("cpuusage"))
    s.say("Load average: 2.06 / 1.96 / 1.92; the cpu load average in 1 min, 5 min and 15 min\n")
    s.say("Total: 5.00%; User Space: 2.00%; Kernel Space: 3.00%; iowait: 0.00%; irq: 0.00%; idle: 95.00%\n")
    s.say("Details of Processes:\n")
    s.say(CPU_COLUMNS % ("PID", "Total Usage", "User Space", "Kernel Space", "Name"))
    for p in shown:
        s.say(CPU_COLUMNS % (p.pid, "0.00%", "0.00%", "0.00%", p.name))
    return 0


def hidumper_help(s):
    s.say(HIDUMPER_USAGE)
    return 0


@reports_usage
def sh_hidumper(s, args):
    """hidumper -h | -ls | -s NAME|ID... [-a "ARGS"] | -p [PID] | --mem [PID] | --cpuusage [PID]"""
    if args == ["-ls"]:
        return hidumper_list(s)
    if args in (["-h"], []):
        return hidumper_help(s)
    per_process = {"-p": hidumper_processes, "--mem": hidumper_memory, "--cpuusage": hidumper_cpu}
    if args[:1] and args[0] in per_process and len(args) <= 2:
        return per_process[args[0]](s, *args[1:])
    if args[:1] == ["-s"] and len(args) > 1:
        words = args[1:]
        if "-a" in words:
            words = words[:words.index("-a")]
        if words:
            return hidumper_abilities(s, words)
    raise Usage("hidumper", "option '%s' is not known; hidumper -h lists them" % _shown(" ".join(args)))


def power_wakeup(s, args):
    s.dev.power["awake"] = True
    s.say("WakeupDevice is called\n")
    return 0


def power_suspend(s, args):
    s.dev.power["awake"] = False
    s.say("SuspendDevice is called\n")
    return 0


def power_setmode(s, args):
    mode = whole_number(args[0]) if len(args) == 1 else None
    if mode not in POWER_MODES:
        raise Usage("power-shell", "setmode needs one of %s" % ", ".join(map(str, POWER_MODES)))
    s.dev.power["mode"] = mode
    s.say("Set Mode: %d\nSet Mode Success!\n" % mode)
    return 0


def power_timeout(s, args):
    if args == ["-r"]:
        s.dev.power["timeout_ms"] = 30000
        s.say("Restore screen off time\n")
        return 0
    if len(args) == 2 and args[0] == "-o" and whole_number(args[1], 1, 2 ** 31 - 1) is not None:
        s.dev.power["timeout_ms"] = whole_number(args[1])
        s.say("Override screen off time to %s\n" % args[1])
        return 0
    raise Usage("power-shell", "timeout needs -o MILLISECONDS or -r")


def power_help(s, args):
    s.say(POWER_USAGE)
    return 0


POWER_USAGE = ("usage: power-shell <command> [<options>]\n"
               "command list:\n"
               "  setmode :    Set power mode: 600 normal, 601 power saving, 602 performance, 603 ultra power saving\n"
               "  wakeup  :    Wakeup system and turn screen on\n"
               "  suspend :    Suspend system and turn screen off\n"
               "  timeout :    Override or restore screen off time: -o MILLISECONDS | -r\n"
               "  help    :    Show this help menu\n")
POWER_COMMANDS = {"wakeup": power_wakeup, "suspend": power_suspend, "setmode": power_setmode,
                  "timeout": power_timeout, "help": power_help}


@reports_usage
def sh_power_shell(s, args):
    command = POWER_COMMANDS.get(args[0]) if args else None
    if command is None:
        raise Usage("power-shell", "usage: power-shell wakeup | suspend | setmode 600|601|602|603 | "
                                   "timeout -o MILLISECONDS | timeout -r")
    s.dev.log.add("I", "C02D06", "PowerMgr", "power-shell %s" % " ".join(args))
    return command(s, args[1:])


def strftime(fmt, when, utc):
    """`fmt` as date formats it: strftime's directives, %N for nanoseconds, %s for seconds."""
    moment = time.gmtime(when) if utc else time.localtime(when)
    out, i = [], 0
    while i < len(fmt):
        if fmt[i] == "%" and i + 1 < len(fmt):
            code = fmt[i + 1]
            if code == "N":
                out.append("%09d" % int(when % 1 * 1e9))
            elif code == "s":
                out.append("%d" % int(when))
            elif code == "Z" and utc:
                out.append("UTC")    # toybox's name for it; a C library may say GMT
            else:
                out.append(time.strftime("%" + code, moment))
            i += 2
        else:
            out.append(fmt[i])
            i += 1
    return "".join(out)


@reports_usage
def sh_date(s, args):
    """date [-u] [-d @SECONDS] [+FORMAT]"""
    when, utc, fmt = time.time(), False, "%a %b %e %H:%M:%S %Z %Y"
    i = 0
    while i < len(args):
        a = args[i]
        if a == "-u":
            utc = True
        elif a == "-d" and i + 1 < len(args) and args[i + 1].startswith("@"):
            when = _seconds(args[i + 1])
            i += 1
        elif a.startswith("+"):
            fmt = a[1:]
        else:
            raise Usage("date", "bad argument '%s' (simulated: -u, -d @SECONDS, +FORMAT)" % a)
        i += 1
    try:
        s.say(strftime(fmt, when, utc) + "\n")
    except (ValueError, OverflowError, OSError):   # past the years the C library can show
        raise Usage("date", "bad date '%s'" % _shown(args[args.index("-d") + 1])) from None
    return 0


SECONDS = re.compile(r"@-?[0-9]{1,19}(\.[0-9]{1,9})?\Z", re.ASCII)


def _shown(text, most=40):
    return text if len(text) <= most else text[:most] + "..."


def _seconds(text):
    """Seconds since the epoch of "@SECONDS" (decimals allowed, ASCII digits only: no nan, inf or 1e300)."""
    if not SECONDS.match(text):
        raise Usage("date", "bad date '%s'" % _shown(text))
    return float(text[1:])
