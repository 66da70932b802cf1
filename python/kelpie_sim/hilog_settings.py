"""hilog's settings: the lowest level recorded (-b, globally or per domain or tag), buffer
sizes (-g, -G), privacy (-p), kernel log storage (-k), flow control (-Q), statistics (-s, -S)
and log-to-file jobs (-w). Each prints what the device's hilog prints; -b changes which lines
the device keeps from then on, as on a device, where Debug lines are dropped until `hilog -b D`.
"""

from .shell_args import whole_number

LEVELS = "DIWEF"
RANK = {level: n for n, level in enumerate(LEVELS)}
LEVEL_NAMES = {"DEBUG": "D", "INFO": "I", "WARN": "W", "WARNING": "W", "ERROR": "E", "FATAL": "F"}
BUFFER_TYPES = ("app", "init", "core", "only_prerelease")
DEFAULT_BUFFER = 256 * 1024
MIN_BUFFER, MAX_BUFFER = 64 * 1024, 16 * 1024 * 1024
SIZE_UNITS = {"": 1, "B": 1, "K": 1024, "M": 1024 * 1024, "G": 1024 * 1024 * 1024}
FLOW_CONTROL = {"pidon": ("process", "enabled"), "pidoff": ("process", "disabled"),
                "domainon": ("domain", "enabled"), "domainoff": ("domain", "disabled")}
WRITE_ACTIONS = ("query", "start", "stop", "refresh", "clear")
DEFAULT_FILE_NUM, DEFAULT_FILE_SIZE = 10, 4194304
NO_TASK = "No running persistent task [CODE: -63]\n"


class SettingsError(ValueError):
    """Settings the tool refuses: the message says why."""


class LogSettings:
    """What hilogd keeps, as the settings commands left it."""

    def __init__(self):
        self.level = "I"            # the device's default: Debug lines are not recorded
        self.domain_levels = {}     # domain number -> lowest level kept
        self.tag_levels = {}
        self.buffer_sizes = dict.fromkeys(BUFFER_TYPES, DEFAULT_BUFFER)
        self.privacy = True
        self.kmsg = False
        self.flow_control = {"process": False, "domain": False}
        self.jobs = {}              # job id -> (file count, file size)

    def keeps(self, level, domain, tag):
        """Whether a line of this level, domain (as "C01510") and tag is recorded."""
        lowest = self.level
        if self.tag_levels or self.domain_levels:
            lowest = self.tag_levels.get(tag) or self.domain_levels.get(int(domain[1:], 16)) or lowest
        return RANK[level] >= RANK[lowest]


def _level(text):
    level = LEVEL_NAMES.get(text.upper(), text.upper())
    if len(level) != 1 or level not in LEVELS:
        raise SettingsError("invalid log level '%s' (one of D, I, W, E, F)" % text)
    return level


def _on_off(option, text):
    if text not in ("on", "off"):
        raise SettingsError("invalid value '%s' for option -%s (on or off)" % (text, option))
    return text == "on"


def size_bytes(text):
    """Bytes of a size such as 64K, 16M or 262144."""
    number, unit = (text[:-1], text[-1].upper()) if text[-1:].upper() in SIZE_UNITS else (text, "")
    if not number or len(number) > 12 or not set(number) <= set("0123456789.") or number.count(".") > 1 \
            or number == ".":
        return None
    return int(float(number) * SIZE_UNITS[unit])


def size_text(size):
    return "%.1fM" % (size / 1048576.0) if size >= 1048576 else "%.1fK" % (size / 1024.0)


def check(q):
    """Refuses settings that cannot go together or values the tool does not take."""
    s = q.settings
    chosen = [k for k in ("b", "G", "g", "p", "k", "Q", "s", "S", "w") if k in s]
    if len(chosen) > 1:
        raise SettingsError("options -%s cannot be used together" % " -".join(chosen))
    if not chosen:
        raise SettingsError("option %s needs %s" % next(
            ("--persist", "-b") if k == "persist" else ("-" + k, "-w") for k in s))
    if "b" in s:
        _level(s["b"])
    if "p" in s:
        _on_off("p", s["p"])
    if "k" in s:
        _on_off("k", s["k"])
    if "Q" in s and s["Q"] not in FLOW_CONTROL:
        raise SettingsError("invalid value '%s' for option -Q (pidon, pidoff, domainon or domainoff)" % s["Q"])
    if "G" in s:
        size = size_bytes(s["G"])
        if size is None or not MIN_BUFFER <= size <= MAX_BUFFER:
            raise SettingsError("invalid buffer size '%s': from 64K to 16M" % s["G"])
    if "w" in s and s["w"] not in WRITE_ACTIONS:
        raise SettingsError("invalid value '%s' for option -w (%s)" % (s["w"], ", ".join(WRITE_ACTIONS)))
    for option, low, high in (("n", 2, 1000), ("j", 1, 2 ** 31 - 1)):
        if option in s and whole_number(s[option], low, high) is None:
            raise SettingsError("invalid value '%s' for option -%s (%d to %d)" % (s[option], option, low, high))
    if "l" in s and size_bytes(s["l"]) is None:
        raise SettingsError("invalid file size '%s' for option -l" % s["l"])


def apply(log, q):
    """Carries out the settings of the query on the log; what hilog prints."""
    settings, s = log.settings, q.settings
    if "b" in s:
        level = _level(s["b"])
        if q.domains_written or q.tags:
            lines = []
            for text, number in q.domains_written:
                settings.domain_levels[number] = level
                lines.append("Set domain %s log level to %s successfully\n" % (text, level))
            for tag in sorted(q.tags):
                settings.tag_levels[tag] = level
                lines.append("Set tag %s log level to %s successfully\n" % (tag, level))
            return "".join(lines)
        settings.level = level
        return "Set global log level to %s successfully\n" % level
    types = [t for t in BUFFER_TYPES if q.types is None or t in q.types]
    if "g" in s:
        return "".join("Log type %s buffer size is %s\n" % (t, size_text(settings.buffer_sizes[t])) for t in types)
    if "G" in s:
        size = size_bytes(s["G"])
        for t in types:
            settings.buffer_sizes[t] = size
        return "".join("Set log type %s buffer size to %s successfully\n" % (t, size_text(size)) for t in types)
    if "p" in s:
        settings.privacy = s["p"] == "on"
        return "Set hilog privacy format %s successfully\n" % s["p"]
    if "k" in s:
        settings.kmsg = s["k"] == "on"
        return "Set hilogd storing kmsg log %s successfully\n" % s["k"]
    if "Q" in s:
        by, state = FLOW_CONTROL[s["Q"]]
        settings.flow_control[by] = state == "enabled"
        return "Set flow control by %s to %s successfully\n" % (by, state)
    if "S" in s:
        return "Statistic info clear successfully\n"
    if "s" in s:
        # Statistics need persist.sys.hilog.stats and a reboot, which the simulated device never had.
        return "Statistic info query failed\nStatistic is not enabled, set persist.sys.hilog.stats true and reboot\n"
    return _write(settings, s)


def _write(settings, s):
    action = s["w"]
    if action == "start":
        job = int(s.get("j", 0)) or max(settings.jobs, default=0) + 1
        if job in settings.jobs:
            return "Persist task start failed\nPersist task [jobid:%d] is running\n" % job
        count = int(s.get("n", DEFAULT_FILE_NUM))
        size = size_bytes(s["l"]) if "l" in s else DEFAULT_FILE_SIZE
        settings.jobs[job] = (count, size)
        return "Persist task [jobid:%d][fileNum:%d][fileSize:%d] start successfully\n" % (job, count, size)
    if not settings.jobs and action in ("query", "stop", "refresh"):
        return "Persist task %s failed\n%s" % (action, NO_TASK)
    if action == "query":
        return "".join("Persist task [jobid:%d][fileNum:%d][fileSize:%d] is running\n" % ((job,) + settings.jobs[job])
                       for job in sorted(settings.jobs))
    if action == "stop":
        jobs = [int(s["j"])] if "j" in s else sorted(settings.jobs)
        if any(job not in settings.jobs for job in jobs):
            return "Persist task stop failed\n%s" % NO_TASK
        for job in jobs:
            del settings.jobs[job]
        return "".join("Persist task [jobid:%d] stop successfully\n" % job for job in jobs)
    return "Persist task %s successfully\n" % action
