"""uitest and snapshot_display: input the device accepts and logs, and the screen as files
under /data/local/tmp (a JSON layout, PNG and JPEG screenshots) that file recv brings back.

The screen shows the foreground ability (the last one `aa start` started, else the
launcher): the layout names its bundle, and the screenshot's colour is the bundle's own.
"""

import functools
import hashlib
import json
import os
import time

from . import images
from .devices import SYSTEM_BUNDLES
from .confine import FsError
from .shell_args import Usage, options, reports_usage, whole_number

DISPLAY = (1260, 2720)       # as the boot log tells
BAR = 96                     # rows of the status bar and of the navigation bar
TMP = "/data/local/tmp"
LOG_DOMAIN, LOG_TAG = "C03100", "UiTestKit"
KEYS = {"Back": 2, "Home": 1, "Power": 18}
POINT_ACTIONS = ("click", "doubleClick", "longClick")
DRAG_ACTIONS = ("swipe", "drag", "fling")


def _number(word, what, low=0, high=100000):
    value = whole_number(str(word), low, high)
    if value is None:
        raise Usage("uitest", "invalid %s: %s" % (what, word))
    return value


def _input_args(action, args):
    """The arguments checked as uitest checks them; a Usage error if they do not fit."""
    if action in POINT_ACTIONS:
        if len(args) != 2:
            raise Usage("uitest", "%s needs X Y" % action)
        for a in args:
            _number(a, "coordinate")
    elif action in DRAG_ACTIONS:
        if not 4 <= len(args) <= (6 if action == "fling" else 5):
            raise Usage("uitest", "%s needs FROM_X FROM_Y TO_X TO_Y [SPEED]" % action)
        for a in args[:4]:
            _number(a, "coordinate")
        if len(args) > 4:
            _number(args[4], "speed (200-40000 px/s)", 200, 40000)
    elif action == "dircFling":
        if args:
            _number(args[0], "direction (0 left, 1 right, 2 up, 3 down)", 0, 3)
    elif action == "inputText":
        if len(args) < 3:
            raise Usage("uitest", "inputText needs X Y TEXT")
        _number(args[0], "coordinate")
        _number(args[1], "coordinate")
    elif action == "text":
        if not args:
            raise Usage("uitest", "text needs TEXT")
    elif action == "keyEvent":
        if not 1 <= len(args) <= 3:
            raise Usage("uitest", "keyEvent needs 1 to 3 keys")
        for k in args:
            if k not in KEYS:
                _number(k, "key (Back, Home, Power or a key code)", 0, 5000)
    else:
        raise Usage("uitest", "unknown uiInput action %s" % action)


def ui_input(s, args):
    if not args or args[0] == "help":
        s.say("usage: uitest uiInput click|doubleClick|longClick X Y | swipe|drag|fling FX FY TX TY [SPEED] | "
              "dircFling [DIRECTION] [SPEED] | inputText X Y TEXT | text TEXT | keyEvent KEY [KEY [KEY]]\n")
        return 0
    action, rest = args[0], args[1:]
    _input_args(action, rest)
    if action == "keyEvent" and rest == ["Home"]:
        s.dev.processes.start("com.ohos.launcher", "MainAbility", "entry")
    elif action == "keyEvent" and rest == ["Power"]:
        s.dev.power["awake"] = not s.dev.power["awake"]
    s.dev.log.add("I", LOG_DOMAIN, LOG_TAG, "uiInput %s %s" % (action, " ".join(rest)))
    return 0


def _target(s, path, default_name):
    """(device path, host path) where a uitest file goes: `path`, or a timestamped name, under /data/local/tmp."""
    dev, host = s.resolve(path if path is not None else "%s/%s" % (TMP, default_name))
    if not dev.startswith(TMP + "/"):
        raise Usage("uitest", "the file must be under %s/, not %s" % (TMP, path))
    return dev, host


class WriteFailed(Exception):
    """A file the tool could not write: "PATH: REASON" in device terms."""


def _write(s, dev, host, data):
    """Writes the file as the shell user would; a WriteFailed names the device path only."""
    try:
        if os.path.isdir(host):
            raise IsADirectoryError(21, "Is a directory")
        s.fs.check_write(dev)
        fd = s.fs.open_write(host)
    except FsError as e:
        raise WriteFailed("%s: %s" % (dev, e)) from None
    except OSError as e:
        raise WriteFailed("%s: %s" % (dev, e.strerror or "Invalid argument")) from None
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def dump_layout(s, args):
    opts, _rest = options(args, {"p", "b", "w", "m", "d"}, "uitest")
    dev, host = _target(s, opts.get("p"), "layout_%d.json" % int(time.time() * 1000))
    try:
        _write(s, dev, host, json.dumps(layout(s.dev), ensure_ascii=False).encode("utf-8"))
    except WriteFailed as e:
        raise Usage("uitest", "DumpLayout failed: %s" % e) from None
    s.say("DumpLayout saved to:%s\n" % dev)
    return 0


def screen_cap(s, args):
    opts, _rest = options(args, {"p", "d"}, "uitest")
    dev, host = _target(s, opts.get("p"), "screenCap_%d.png" % int(time.time() * 1000))
    try:
        _write(s, dev, host, drawn("png", DISPLAY[0], DISPLAY[1], screen_bands(s.dev)))
    except WriteFailed as e:
        raise Usage("uitest", "ScreenCap failed: %s" % e) from None
    s.say("ScreenCap saved to:%s\n" % dev)
    return 0


def uitest_help(s, _args):
    s.say(UITEST_USAGE)
    return 0


def uitest_version(s, _args):
    s.say(UITEST_VERSION + "\n")
    return 0


UITEST_VERSION = "4.1.4.7"
UITEST_USAGE = ("   help,                                            print help messages\n"
                "   screenCap,                                       -p FILE: save the screen as a PNG file\n"
                "   dumpLayout,                                      -p FILE: save the layout as a JSON file\n"
                "   uiInput,                                         click, swipe, keyEvent and more; "
                "uiInput help lists them\n"
                "   --version,                                       print current tool version\n")
UITEST_COMMANDS = {"uiInput": ui_input, "dumpLayout": dump_layout, "screenCap": screen_cap, "help": uitest_help,
                   "--version": uitest_version}


@reports_usage
def sh_uitest(s, args):
    command = UITEST_COMMANDS.get(args[0]) if args else None
    if command is None:
        raise Usage("uitest", "usage: uitest uiInput|dumpLayout|screenCap ...")
    return command(s, args[1:])


@reports_usage
def sh_snapshot_display(s, args):
    """snapshot_display [-f FILE] [-i DISPLAY] [-w WIDTH] [-h HEIGHT] [-t png|jpeg]: a JPEG
    unless the type or the file's extension says PNG; prints where it went."""
    opts, _rest = options(args, {"f", "i", "w", "h", "t"}, "snapshot_display")
    if "m" in opts:
        s.say("usage: snapshot_display [-i displayId] [-f output_file] [-w width] [-h height] [-t type] [-m]\n")
        return 0
    kind = opts.get("t") or ("png" if str(opts.get("f", "")).lower().endswith(".png") else "jpeg")
    if kind not in ("png", "jpeg"):
        raise Usage("snapshot_display", "invalid type %s (png or jpeg)" % kind)
    width = _number(opts.get("w", DISPLAY[0]), "width", 1, 8192)
    height = _number(opts.get("h", DISPLAY[1]), "height", 1, 8192)
    display = opts.get("i", "0")
    default = "%s/snapshot_%s.%s" % (TMP, time.strftime("%Y-%m-%d_%H-%M-%S"), kind)
    dev, host = s.resolve(opts.get("f") or default)
    bands = tuple((rows * height // DISPLAY[1], colour) for rows, colour in screen_bands(s.dev))
    s.say("process: set filename to %s\n" % dev)
    try:
        _write(s, dev, host, drawn(kind, width, height, bands))
    except WriteFailed as e:
        reason = str(e).rsplit(": ", 1)[-1]
        s.say("error: snapshot display %s , write to %s as %s failed: %s\n" % (display, dev, kind, reason))
        return 1
    s.say("process: display %s: width %d, height %d\n" % (display, DISPLAY[0], DISPLAY[1]))
    s.say("success: snapshot display %s , write to %s as %s, width %d, height %d\n" % (
        display, dev, kind, width, height))
    return 0


@functools.lru_cache(maxsize=16)
def drawn(kind, width, height, bands):
    """The image file's bytes. A screen seldom changes between two screenshots, and a full
    PNG takes tens of milliseconds to deflate, which the whole simulator would wait for."""
    return (images.png if kind == "png" else images.jpeg)(width, height, bands)


def _colour(name):
    digest = hashlib.sha256(name.encode()).digest()
    return tuple(96 + b % 144 for b in digest[:3])


def screen_bands(device):
    """The screen from the top: status bar, the foreground ability, navigation bar."""
    if not device.power["awake"]:
        return ((DISPLAY[1], (0, 0, 0)),)
    bundle = device.processes.foreground()[0]
    return ((BAR, (24, 24, 28)), (DISPLAY[1] - 2 * BAR, _colour(bundle)), (BAR, (24, 24, 28)))


def _node(kind, bounds, children=(), **attributes):
    attrs = {
        "accessibilityId": "", "bounds": "[%d,%d][%d,%d]" % bounds, "bundleName": "", "checkable": "false",
        "checked": "false", "clickable": "false", "description": "", "enabled": "true", "focused": "false",
        "id": "", "key": "", "longClickable": "false", "scrollable": "false", "selected": "false", "text": "",
        "type": kind, "visible": "true",
    }
    attrs.update(attributes)
    return {"attributes": attrs, "children": list(children)}


def layout(device):
    """The screen's component tree, as uitest dumpLayout writes it."""
    width, height = DISPLAY
    bundle, ability, _module = device.processes.foreground()
    if bundle == "com.ohos.launcher":
        apps = sorted(set(SYSTEM_BUNDLES) - {"com.ohos.launcher"} | set(device.installed()))
        content = [_node("Grid", (0, BAR, width, height - BAR), [
            _node("Text", (40 + 300 * (i % 4), BAR + 40 + 320 * (i // 4), 300 + 300 * (i % 4), BAR + 320 * (i // 4 + 1)),
                  text=app, clickable="true", bundleName=bundle, id="app_" + app)
            for i, app in enumerate(apps)], bundleName=bundle, scrollable="true")]
    else:
        content = [_node("Column", (0, BAR, width, height - BAR), [
            _node("Text", (40, BAR + 40, width - 40, BAR + 160), text=bundle, bundleName=bundle, id="title"),
            _node("Text", (40, BAR + 200, width - 40, BAR + 320), text="你好，世界 👋", bundleName=bundle, id="greeting"),
            _node("Button", (430, height - 400, 830, height - 280), text="Start", clickable="true",
                  bundleName=bundle, id="start"),
        ], bundleName=bundle)]
    window = _node("Window", (0, 0, width, height), content, bundleName=bundle, abilityName=ability,
                   pagePath="pages/Index")
    status = _node("Window", (0, 0, width, BAR), [
        _node("Text", (24, 12, 240, 84), text=time.strftime("%H:%M"), bundleName="com.ohos.systemui", id="clock"),
    ], bundleName="com.ohos.systemui", abilityName="StatusBar")
    return _node("root", (0, 0, width, height), [window, status])
