"""Device paths resolved inside a device's folder, as if the folder were the root.

Every path a device command touches goes through `DeviceFs.resolve`: `..` stops at
the device root, absolute paths start at it, and symbolic links are followed one
component at a time with their targets read the same way, so no path names
anything outside the folder.
"""

import os
import stat

MAX_LINKS = 40
# Where the shell user (uid 2000) may create, change and remove files: its scratch folder and
# the user's public files, as the platform's docs send files to. Each is writable below itself
# only: the folder itself belongs to root.
SHELL_WRITABLE = ("/data/local/tmp", "/storage/media/100/local/files")
# Mounted read-only; the root folder is the system image's root, read-only too.
READ_ONLY = ("/system", "/vendor", "/sys_prod", "/chip_prod")
MOUNTED = ("/data", "/dev", "/proc", "/sys", "/storage", "/mnt", "/tmp", "/config")
WRITABLE_DEVICES = ("/dev/null", "/dev/zero")
READ_ONLY_FS = "Read-only file system"
PERMISSION_DENIED = "Permission denied"
NO_SUCH_FILE = "No such file or directory"
NOT_A_FOLDER = "Not a directory"


class FsError(Exception):
    """A device path that cannot be used; the text reads like the device's own."""


def split_parts(path):
    return [p for p in path.split("/") if p not in ("", ".")]


class DeviceFs:
    def __init__(self, folder):
        self.root = os.path.realpath(folder)
        self.refresh_proc = None    # writes /proc afresh before a path under it is used

    def host(self, parts):
        return os.path.join(self.root, *parts)

    def resolve(self, path, cwd="/", follow_last=True):
        """(device path, host path) for `path`; the host path is inside the folder."""
        if "\x00" in path:
            raise FsError("%s: Invalid argument" % path.replace("\x00", "\\0"))
        parts = [] if path.startswith("/") else split_parts(cwd)
        todo = split_parts(path)
        links = 0
        while todo:
            name = todo.pop(0)
            if name == "..":
                if parts:
                    parts.pop()
                continue
            candidate = self.host(parts + [name])
            if todo or follow_last:
                try:
                    st = os.lstat(candidate)
                except OSError:
                    st = None
                if st is not None and stat.S_ISLNK(st.st_mode):
                    links += 1
                    if links > MAX_LINKS:
                        raise FsError("%s: Too many levels of symbolic links" % path)
                    target = os.readlink(candidate)
                    if target.startswith("/"):
                        parts = []
                    todo = split_parts(target) + todo
                    continue
            parts.append(name)
        if parts[:1] == ["proc"] and self.refresh_proc is not None:
            self.refresh_proc()
        return "/" + "/".join(parts), self.host(parts)

    def check_write(self, dev_path):
        """Raises FsError with the device's own text where the shell user may not create,
        change or remove `dev_path` (a resolved device path). Every command that writes
        calls it first, so a refused write leaves nothing behind."""
        reason = write_refusal(dev_path)
        if reason is not None:
            # The path's folder is looked up first: a missing one is the error, whoever may write.
            parent = os.path.dirname(dev_path)
            if not os.path.isdir(self.host(split_parts(parent))):
                raise FsError(NOT_A_FOLDER if os.path.lexists(self.host(split_parts(parent))) else NO_SUCH_FILE)
            raise FsError(reason)

    def makedirs(self, path, cwd="/"):
        """Create a device directory and its parents, each resolved inside the folder. Each
        folder to create is checked before the first is made, so a refusal leaves none behind."""
        missing = []
        dev, host = self.resolve(path, cwd)
        while not os.path.isdir(host):
            missing.append(dev)
            parent = os.path.dirname(dev)
            if parent == dev:
                break
            dev, host = self.resolve(parent)
        for dev in reversed(missing):    # outermost first: its folder is there
            self.check_write(dev)
        for dev in reversed(missing):
            # The parent exists by now; the new name is created where it resolves to.
            os.mkdir(self.resolve(dev)[1])
        return self.resolve(path, cwd)[1]

    def open_read(self, host_path):
        """A regular file opened for reading; never blocks on a FIFO or follows a last link."""
        fd = os.open(host_path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
        return regular_or_close(fd, host_path)

    def open_write(self, host_path, append=False):
        flags = os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK
        flags |= os.O_APPEND if append else os.O_TRUNC
        fd = os.open(host_path, flags, 0o644)
        return regular_or_close(fd, host_path)


def _within(path, folder):
    return path == folder or path.startswith(folder + "/")


def write_refusal(dev_path):
    """The device's error text for a write to `dev_path` by the shell user, or None if allowed."""
    if dev_path in WRITABLE_DEVICES:
        return None
    if any(dev_path.startswith(folder + "/") for folder in SHELL_WRITABLE):
        return None
    if any(_within(dev_path, folder) for folder in READ_ONLY):
        return READ_ONLY_FS
    if dev_path == "/" or (dev_path.count("/") == 1 and dev_path not in MOUNTED):
        return READ_ONLY_FS
    return PERMISSION_DENIED


def regular_or_close(fd, path):
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(21, "Is a directory", path)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(22, "Not a regular file", path)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd
