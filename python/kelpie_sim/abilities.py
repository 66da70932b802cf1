"""aa, the ability assistant: starting an installed application's ability and stopping
its process. The process it starts is the one `ps` and `pidof` show."""

from .devices import SYSTEM_BUNDLES
from .shell_args import Usage, reports_usage

# An application's own lines, logged under its pid as the project template's ability logs them.
APP_DOMAIN, APP_TAG = "A00000", "testTag"
APP_STARTS = ("Ability onCreate", "Ability onWindowStageCreate")
APP_FOREGROUND = ("Ability onForeground",)
START_FAILED = "error: failed to start ability.\n"
STOP_FAILED = "error: failed to force stop process.\n"
ERROR_INFO = "Error Code:%d  Error Message:%s\n"
NO_ABILITY = (10104001, "The specified ability does not exist.")
NO_IMPLICIT_MATCH = (10103101, "Failed to find a matching application for implicit launch.")
SCREEN_LOCKED = (10106102, "The device screen is locked during the application launch.")
# aa start's options: those taking a value, those taking two (key and value), and switches.
START_VALUES = {"-a", "-b", "-m", "-d", "-U", "-A", "-e", "-t", "-p", "--psn", "--wl", "--wt", "--wh", "--ww"}
START_PAIRS = {"--pi", "--pb", "--ps"}
START_SWITCHES = {"-D", "-R", "-S", "-W", "-N", "-C"}
AA_USAGE = ("usage: aa <command> <options>\n"
            "These are common aa commands list:\n"
            "  help                        list available commands\n"
            "  start                       start ability with options\n"
            "  force-stop                  force stop the process with bundle name\n")


def is_installed(device, bundle):
    return bundle in SYSTEM_BUNDLES or bundle in device.installed()


class BadOption(Exception):
    pass


def _start_options(args):
    found, i = {}, 0
    while i < len(args):
        a = args[i]
        width = 1 if a in START_VALUES else 2 if a in START_PAIRS else 0 if a in START_SWITCHES else None
        if width is None:
            raise BadOption("fail: unknown option.\n" + AA_USAGE)
        if width and i + width >= len(args):
            raise BadOption("fail: option %s needs a value.\n" % a)
        found[a] = args[i + 1] if width == 1 else tuple(args[i + 1:i + 1 + width]) if width else True
        i += 1 + width
    return found


def aa_start(s, args):
    try:
        opts = _start_options(args)
    except BadOption as e:
        s.say(str(e))
        return 1
    bundle, ability = opts.get("-b"), opts.get("-a")
    if not bundle:
        return _start_failed(s, NO_IMPLICIT_MATCH)
    if not ability or not is_installed(s.dev, bundle):
        return _start_failed(s, NO_ABILITY)
    if not s.dev.power["awake"]:
        return _start_failed(s, SCREEN_LOCKED)
    running = s.dev.processes.pids(bundle)
    pid = s.dev.processes.start(bundle, ability, opts.get("-m") or "entry")
    s.dev.log.add("I", "C01300", "AbilityManagerService", "start ability %s/%s" % (bundle, ability))
    for message in (APP_STARTS if not running else ()) + APP_FOREGROUND:
        s.dev.log.add("I", APP_DOMAIN, APP_TAG, message, pid=pid)
    s.say("start ability successfully.\n")
    return 0


def _start_failed(s, info):
    s.say(START_FAILED + ERROR_INFO % info)
    return 1


def aa_force_stop(s, args):
    bundle = next((a for a in args if not a.startswith("-")), None)
    if bundle is None or not is_installed(s.dev, bundle):
        s.say(STOP_FAILED)
        return 1
    if s.dev.processes.stop(bundle):
        s.dev.log.add("I", "C01300", "AbilityManagerService", "force stop process %s" % bundle)
    s.say("force stop process successfully.\n")
    return 0


def aa_help(s, _args):
    s.say(AA_USAGE)
    return 0


AA_COMMANDS = {"start": aa_start, "force-stop": aa_force_stop, "help": aa_help, "-h": aa_help}


@reports_usage
def sh_aa(s, args):
    command = AA_COMMANDS.get(args[0]) if args else aa_help
    if command is None:
        raise Usage("aa", "'%s' is not a valid aa command. See 'aa help'." % args[0])
    return command(s, args[1:])
