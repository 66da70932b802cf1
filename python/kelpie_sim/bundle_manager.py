"""bm, the bundle manager on the device: the installed bundles, their details, the device's
UDID, and installing or uninstalling a package already on the device. It shares its state
with the host's install and uninstall (bundles.py)."""

import hashlib
import json
import os

from . import bundles
from .devices import SYSTEM_BUNDLES
from .shell_args import Usage, options, reports_usage

INSTALL_FAILED = "error: failed to install bundle.\n"
UNINSTALL_FAILED = "error: failed to uninstall bundle.\n"
FAILURE = "code:%d\nerror: %s\n"
PATH_INVALID = (9568269, "install file path invalid.")
SIGN_INCONSISTENT = (9568332, "install sign info inconsistent.")
NOT_INSTALLED = (9568386, "uninstall missing installed bundle.")
NO_INFO = "error: failed to get information and the parameters may be wrong.\n"
SYSTEM_VERSION = "4.1.0.0"


def udid(device):
    """The device's UDID: 64 hex digits, fixed for a device identifier."""
    return hashlib.sha256(("udid:" + device.id).encode()).hexdigest().upper()


def bm_dump(s, args):
    opts, _rest = options(args, {"n", "u", "d"}, "bm")
    if "a" in opts:
        s.say("ID: 100:\n")
        for name in sorted(set(SYSTEM_BUNDLES) | set(s.dev.installed())):
            s.say("\t%s\n" % name)
        return 0
    name = opts.get("n")
    if not isinstance(name, str) or not (name in SYSTEM_BUNDLES or name in s.dev.installed()):
        s.say(NO_INFO)
        return 1
    s.say(json.dumps(bundle_info(s.dev, name), indent=4, ensure_ascii=False) + "\n")
    return 0


def bundle_info(device, name):
    """What `bm dump -n` tells of a bundle, in the keys a device uses."""
    system = name in SYSTEM_BUNDLES
    ability = "MainAbility" if system else "EntryAbility"
    try:
        installed_ms = int(os.stat(device.bundle_host_dir(name)).st_mtime * 1000)
    except OSError:
        installed_ms = 0
    return {
        "appId": "%s_%s" % (name, hashlib.sha256(name.encode()).hexdigest()[:40].upper()),
        "appIndex": 0,
        "appProvisionType": "release" if system else "debug",
        "applicationInfo": {
            "bundleName": name,
            "debug": not system,
            "isSystemApp": system,
            "vendor": "kelpie" if system else "example",
            "profileable": True,
        },
        "bundleName": name,
        "compatibleVersion": 11,
        "hapModuleInfos": [{
            "moduleName": "entry",
            "abilityInfos": [{"bundleName": name, "moduleName": "entry", "name": ability}],
            "mainAbility": ability,
        }],
        "installTime": installed_ms,
        "isPreInstallApp": system,
        "targetVersion": 11,
        "versionCode": 1000000,
        "versionName": SYSTEM_VERSION if system else "1.0.0",
    }


def bm_get(s, args):
    if args not in (["-u"], ["--udid"]):
        raise Usage("bm", "get: only -u (the device's UDID) is simulated")
    s.say("udid of current device is:\n%s\n" % udid(s.dev))
    return 0


def bm_install(s, args):
    """bm install -p PATH... [-r] [-u USER] [-w SECONDS]: packages already on the device,
    files or folders of them. An installed bundle is updated in place."""
    paths = _install_paths(args)
    if not paths:
        raise Usage("bm", "install: -p PATH is required")
    plan = []
    for path in paths:
        failure = _check(s, path, plan)
        if failure is not None:
            s.say(INSTALL_FAILED + FAILURE % failure)
            return 1
    for host, name in plan:
        bundles.record(s.dev, host, name)
    s.say("install bundle successfully.\n")
    return 0


def _install_paths(args):
    paths, i = [], 0
    while i < len(args):
        if args[i] in ("-p", "-u", "-w", "-s"):
            if i + 1 >= len(args):
                raise Usage("bm", "install: option %s needs a value" % args[i])
            if args[i] in ("-p", "-s"):
                paths.append(args[i + 1])
            i += 2
        elif args[i] == "-r":
            i += 1
        else:
            raise Usage("bm", "install: unknown option %s" % args[i])
    return paths


def _check(s, path, plan):
    """Adds the packages `path` names to `plan` as (host path, bundle name); the failure, if any."""
    _dev, host = s.resolve(path)
    found = [os.path.join(host, n) for n in sorted(os.listdir(host))] if os.path.isdir(host) else [host]
    found = [f for f in found if f.lower().endswith(bundles.PACKAGE_EXTS) and os.path.isfile(f)]
    if not found:
        return PATH_INVALID
    for f in found:
        try:
            name = bundles.bundle_name(f)
        except bundles.BundleError:
            return PATH_INVALID
        if name in SYSTEM_BUNDLES:
            return SIGN_INCONSISTENT
        plan.append((f, name))
    return None


def bm_uninstall(s, args):
    opts, _rest = options(args, {"n", "m", "u"}, "bm")
    name = opts.get("n")
    if not isinstance(name, str):
        raise Usage("bm", "uninstall: -n BUNDLE is required")
    if name not in s.dev.installed():
        s.say(UNINSTALL_FAILED + FAILURE % NOT_INSTALLED)
        return 1
    bundles.remove(s.dev, name, keep_data="k" in opts)
    s.say("uninstall bundle successfully.\n")
    return 0


def bm_help(s, _args):
    s.say("usage: bm <command> <options>\n"
          "These are common bm commands list:\n"
          "  help         list available commands\n"
          "  install      install a bundle with options\n"
          "  uninstall    uninstall a bundle with options\n"
          "  dump         dump the bundle info\n"
          "  get          obtain device udid\n")
    return 0


BM_COMMANDS = {"dump": bm_dump, "get": bm_get, "install": bm_install, "uninstall": bm_uninstall, "help": bm_help}


@reports_usage
def sh_bm(s, args):
    command = BM_COMMANDS.get(args[0]) if args else bm_help
    if command is None:
        raise Usage("bm", "'%s' is not a valid bm command. See 'bm help'." % args[0])
    return command(s, args[1:])
