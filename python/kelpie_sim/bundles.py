"""install / uninstall: application bundles recorded in the device folder.

Each command gets exactly one reply, because the client stops at the first reply
that reports success or failure: a later "AppMod finish" sent apart would be read
as the next command's reply, so it goes in the same text.
"""

import os
import re
import shutil

from .devices import DATA_DIR, SYSTEM_BUNDLES

PACKAGE_EXTS = (".hap", ".hsp")
INSTALL_FLAGS = {"-r": "replace", "-s": "shared"}
UNINSTALL_FLAGS = {"-k": "keep_data", "-s": "shared"}
BUNDLE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}\Z")


class BundleError(Exception):
    pass


def _flags(words, known):
    flags = set()
    while words and words[0].startswith("-"):
        if words[0] not in known:
            raise BundleError("unknown option %s" % words[0])
        flags.add(known[words.pop(0)])
    return flags


def split_packages(words):
    """Package paths from the space-separated words; a path with spaces (sent unquoted)
    is put back together up to the word that ends in a package extension."""
    paths, current = [], []
    for w in words:
        current.append(w)
        if w.lower().endswith(PACKAGE_EXTS):
            paths.append(" ".join(current))
            current = []
    if current:
        paths.append(" ".join(current))
    return [p for p in paths if p]


def bundle_name(path):
    base = os.path.basename(path)
    stem = base[: -len(".hap")] if base.lower().endswith(PACKAGE_EXTS) else base
    if not BUNDLE_NAME.match(stem) or stem.startswith("."):
        raise BundleError("no valid bundle name in the file name %s" % base)
    return stem


def install(device, args_text):
    try:
        words = args_text.split(" ") if args_text else []
        flags = _flags(words, INSTALL_FLAGS)
        paths = split_packages(words)
        if not paths:
            raise BundleError("Not any installation package was found")
        plan = [_check_package(device, p, flags) for p in paths]
    except BundleError as e:
        return "[Fail]Error while Deploying HAP: %s\nAppMod finish\n" % e
    lines = []
    for path, name in plan:
        record(device, path, name)
        lines.append("[Info]App install path:%s, msg:install bundle successfully.\n" % path)
    return "".join(lines) + "AppMod finish\n"


def _check_package(device, path, flags):
    if not path.lower().endswith(PACKAGE_EXTS):
        raise BundleError("not a .hap or .hsp package: %s" % path)
    if not os.path.isfile(path):
        raise BundleError("package file not found: %s" % path)
    name = bundle_name(path)
    if name in SYSTEM_BUNDLES:
        raise BundleError("%s is a system bundle" % name)
    if name in device.installed() and "replace" not in flags:
        raise BundleError("bundle %s is already installed (install with replace to update it)" % name)
    return path, name


def record(device, path, name):
    """Installs the package at host path `path` as bundle `name`, replacing what it had;
    a running process of the bundle ends, as an update stops the application."""
    with open(path, "rb") as f:    # read first: the package may be the installed copy itself
        package = f.read()
    device.processes.stop(name)
    target = device.bundle_host_dir(name)
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    with open(os.path.join(target, os.path.basename(path)), "wb") as f:
        f.write(package)
    os.makedirs(os.path.join(device.data_host_dir(name), "cache"), exist_ok=True)
    device.log.add("I", "C01120", "BundleMgrService", "install bundle %s succeeded" % name)


def remove(device, name, keep_data=False):
    """Uninstalls the bundle `name`, ending its process."""
    device.processes.stop(name)
    shutil.rmtree(device.bundle_host_dir(name))
    if not keep_data:
        shutil.rmtree(device.data_host_dir(name), ignore_errors=True)
    device.log.add("I", "C01120", "BundleMgrService", "uninstall bundle %s succeeded%s" %
                   (name, ", data kept in %s/%s" % (DATA_DIR, name) if keep_data else ""))


def uninstall(device, args_text):
    words = args_text.split(" ") if args_text else []
    try:
        flags = _flags(words, UNINSTALL_FLAGS)
        name = " ".join(words)
        if not name:
            raise BundleError("no bundle name given")
        if name in SYSTEM_BUNDLES:
            raise BundleError("%s is a system bundle and cannot be removed" % name)
        if not BUNDLE_NAME.match(name) or name not in device.installed():
            raise BundleError("bundle %s is not installed" % name)
        if "shared" in flags and not _is_shared(device, name):
            raise BundleError("bundle %s is not a shared bundle" % name)
    except BundleError as e:
        return "[Fail]uninstall bundle failed: %s\nAppMod finish\n" % e
    remove(device, name, "keep_data" in flags)
    return "[Info]App uninstall path:%s, msg:uninstall bundle successfully.\nAppMod finish\n" % name


def _is_shared(device, name):
    return any(f.lower().endswith(".hsp") for f in os.listdir(device.bundle_host_dir(name)))
