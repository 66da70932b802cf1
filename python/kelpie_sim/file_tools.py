"""toybox's file tools: cp, mv, du, df, stat, md5sum, sha256sum, basename, dirname.

Every path is resolved inside the device folder; every write is checked first with the
device's write rules (`check_write`), so a refused one leaves nothing behind. Messages
name device paths only."""

import hashlib
import os
import posixpath
import shutil
import stat
import time

from .confine import FsError
from .linefilter import each_input, reason
from .shell_args import Usage, number, reports_usage
from .toybox_options import last, parse_options

COPY_CHUNK = 1 << 20
# The device's file systems, as df lists them: (source, mount point, type, 1K blocks, used).
MOUNTS = (
    ("/dev/block/dm-0", "/", "ext4", 2097152, 1843212),
    ("tmpfs", "/dev", "tmpfs", 3921460, 712),
    ("/dev/block/dm-1", "/vendor", "ext4", 524288, 417804),
    ("/dev/block/dm-2", "/sys_prod", "ext4", 65536, 12400),
    ("/dev/block/by-name/userdata", "/data", "f2fs", 115343360, 11534336),
)
STAT_FORMAT = ("  File: %N\n  Size: %s\t Blocks: %b\t IO Blocks: %o\t%F\n"
               "Device: %Dh/%dd\t Inode: %i\t Links: %h\n"
               "Access: (%04a/%A)\tUid: (%5u/%8U)\tGid: (%5g/%8G)\n"
               "Access: %x\nModify: %y\nChange: %z\n")


def write_file(s, cmd, path, data):
    """Writes `data` to the device file `path` after the write check; the status."""
    try:
        dev, host = s.resolve(path)
        s.fs.check_write(dev)
        fd = s.fs.open_write(host)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
    except (OSError, FsError) as e:
        return s.err(cmd, "%s: %s" % (path, reason(e)))
    return 0


def _lstat(host):
    try:
        return os.lstat(host)
    except OSError:
        return None


def _inside(dev, parent):
    return dev == parent or dev.startswith(parent.rstrip("/") + "/")


# cp ---------------------------------------------------------------------------------------

class CopyError(Exception):
    pass


def _copy_file(s, src_host, dst_dev, dst_host, flags):
    st = os.stat(src_host)
    if "n" in flags and _lstat(dst_host) is not None:
        return
    s.fs.check_write(dst_dev)
    existing = _lstat(dst_host)
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(21, "Is a directory")
    if existing is not None and stat.S_ISLNK(existing.st_mode):
        os.unlink(dst_host)       # cp replaces a link rather than writing through it
    fd = s.fs.open_read(src_host)
    with os.fdopen(fd, "rb") as source:
        out = s.fs.open_write(dst_host)
        with os.fdopen(out, "wb") as target:
            shutil.copyfileobj(source, target, COPY_CHUNK)
    if flags & {"p", "a"}:
        os.chmod(dst_host, stat.S_IMODE(st.st_mode))
        os.utime(dst_host, ns=(st.st_atime_ns, st.st_mtime_ns))


def _copy_tree(s, src_dev, src_host, dst_dev, dst_host, flags):
    """A directory copied entry by entry; links are copied as links, never followed."""
    if _lstat(dst_host) is None:
        s.fs.check_write(dst_dev)
        os.mkdir(dst_host)
    elif not os.path.isdir(dst_host) or os.path.islink(dst_host):
        raise NotADirectoryError(20, "Not a directory")
    for entry in sorted(os.scandir(src_host), key=lambda e: e.name):
        child_src_dev = posixpath.join(src_dev, entry.name)
        child_dst_dev = posixpath.join(dst_dev, entry.name)
        child_dst_host = os.path.join(dst_host, entry.name)
        if entry.is_symlink():
            s.fs.check_write(child_dst_dev)
            if _lstat(child_dst_host) is not None and not os.path.isdir(child_dst_host):
                os.unlink(child_dst_host)
            os.symlink(os.readlink(entry.path), child_dst_host)
        elif entry.is_dir(follow_symlinks=False):
            _copy_tree(s, child_src_dev, entry.path, child_dst_dev, child_dst_host, flags)
        elif entry.is_file(follow_symlinks=False):
            _copy_file(s, entry.path, child_dst_dev, child_dst_host, flags)
    if flags & {"p", "a"}:
        st = os.stat(src_host)
        os.chmod(dst_host, stat.S_IMODE(st.st_mode))


def _destination(s, target, source_path, many, follow_last=True):
    """(device path, host path) a source goes to: into DEST when it is a directory."""
    dev, host = s.resolve(target)
    if os.path.isdir(host):
        name = posixpath.basename(source_path.rstrip("/")) or "/"
        return s.resolve(posixpath.join(dev, name), follow_last)
    if not follow_last:
        dev, host = s.resolve(target, follow_last=False)
    if many:
        raise CopyError("'%s' not directory" % target)
    return dev, host


@reports_usage
def sh_cp(s, args):
    flags, paths = parse_options("cp", args, "rRfpnaPLHvidlsuFT")
    flags = set(flags)
    if "a" in flags or "R" in flags:
        flags.add("r")
    if len(paths) < 2:
        raise Usage("cp", "Needs 2 arguments")
    *sources, target = paths
    status = 0
    for src in sources:
        dst_dev = None    # once known, a failure is the destination's
        try:
            src_dev, src_host = s.resolve(src)
            st = _lstat(src_host)
            if st is None:
                raise FileNotFoundError(2, "No such file or directory")
            dst_dev, dst_host = _destination(s, target, src_dev, len(sources) > 1)
            if stat.S_ISDIR(st.st_mode):
                if "r" not in flags:
                    status = s.err("cp", "Skipped dir '%s'" % src)
                    continue
                if _inside(dst_dev, src_dev):
                    status = s.err("cp", "can't copy '%s' into itself" % src)
                    continue
                _copy_tree(s, src_dev, src_host, dst_dev, dst_host, flags)
            else:
                if dst_dev == src_dev:
                    status = s.err("cp", "'%s' and '%s' are the same file" % (src, dst_dev))
                    continue
                _copy_file(s, src_host, dst_dev, dst_host, flags)
        except CopyError as e:
            return s.err("cp", str(e))
        except (OSError, FsError) as e:
            status = s.err("cp", "%s: %s" % (src if dst_dev is None else dst_dev, reason(e)))
    return status


@reports_usage
def sh_mv(s, args):
    flags, paths = parse_options("mv", args, "fivnT")
    if len(paths) < 2:
        raise Usage("mv", "Needs 2 arguments")
    *sources, target = paths
    status = 0
    for src in sources:
        dst_dev = None
        try:
            src_dev, src_host = s.resolve(src, follow_last=False)
            if _lstat(src_host) is None:
                raise FileNotFoundError(2, "No such file or directory")
            if src_dev == "/":
                status = s.err("mv", "can't move the root")
                continue
            dst_dev, dst_host = _destination(s, target, src_dev, len(sources) > 1, follow_last=False)
            if dst_dev == src_dev:
                continue
            if _inside(dst_dev, src_dev):
                status = s.err("mv", "can't move '%s' into itself" % src)
                continue
            if "n" in flags and _lstat(dst_host) is not None:
                continue
            s.fs.check_write(src_dev)
            s.fs.check_write(dst_dev)
            os.rename(src_host, dst_host)
        except CopyError as e:
            return s.err("mv", str(e))
        except (OSError, FsError) as e:
            status = s.err("mv", "%s: %s" % (src if dst_dev is None else dst_dev, reason(e)))
    return status


# du and df --------------------------------------------------------------------------------

def human(value):
    """toybox's human-readable size: 512, 4.0K, 12K, 1.5M."""
    if value < 1024:
        return "%d" % value
    for unit in "KMGTPE":
        value /= 1024.0
        if value < 1023.95 or unit == "E":
            return ("%.1f%s" % (value, unit)) if value < 9.95 else ("%d%s" % (int(value + 0.5), unit))
    return "%d" % value


def _usage_of(host):
    st = _lstat(host)
    return 0 if st is None else st.st_blocks * 512


@reports_usage
def sh_du(s, args):
    found, paths = parse_options("du", args, "askhmcxlLHK", "d")
    depth_limit = number("du", last(found, "d")) if "d" in found else None
    if "s" in found:
        depth_limit = 0
    status, total = 0, 0

    def show(size, path):
        if "h" in found:
            s.say("%s\t%s\n" % (human(size), path))
        else:
            unit = 1024 * 1024 if "m" in found else 1024
            s.say("%d\t%s\n" % ((size + unit - 1) // unit, path))

    def walk(host, path, depth):
        st = _lstat(host)
        size = st.st_blocks * 512
        if stat.S_ISDIR(st.st_mode):
            try:
                entries = sorted(os.scandir(host), key=lambda e: e.name)
            except OSError:
                entries = []
            for entry in entries:
                child = path.rstrip("/") + "/" + entry.name if path != "/" else "/" + entry.name
                size += walk(entry.path, child, depth + 1)
            if depth_limit is None or depth <= depth_limit:
                show(size, path)
        elif depth == 0 or ("a" in found and (depth_limit is None or depth <= depth_limit)):
            show(size, path)
        return size

    for path in paths or ["."]:
        _dev, host = s.resolve(path, follow_last=False)
        if _lstat(host) is None:
            status = s.err("du", "%s: No such file or directory" % path)
            continue
        total += walk(host, path, 0)
    if "c" in found:
        show(total, "total")
    return status


def _folder_size(host):
    size = 0
    for folder, _dirs, names in os.walk(host):
        for name in names:
            st = _lstat(os.path.join(folder, name))
            size += st.st_blocks * 512 if st else 0
    return size


def _mount_of(dev):
    best = MOUNTS[0]
    for mount in MOUNTS:
        if _inside(dev, mount[1]) and len(mount[1]) >= len(best[1]):
            best = mount
    return best


@reports_usage
def sh_df(s, args):
    found, paths = parse_options("df", args, "ahHkPi", "t")
    mounts = list(MOUNTS)
    status = 0
    if paths:
        mounts = []
        for path in paths:
            dev, host = s.resolve(path)
            if _lstat(host) is None:
                status = s.err("df", "%s: No such file or directory" % path)
                continue
            mounts.append(_mount_of(dev))
    rows = []
    for source, point, _kind, blocks, used in mounts:
        if point == "/data":
            used += _folder_size(s.resolve("/data")[1]) // 1024
        free = blocks - used
        percent = (used * 100 + blocks - 1) // blocks if blocks else 0
        if "h" in found or "H" in found:
            rows.append((source, human(blocks * 1024), human(used * 1024), human(free * 1024), "%d%%" % percent, point))
        else:
            rows.append((source, str(blocks), str(used), str(free), "%d%%" % percent, point))
    head = ("Filesystem", "Size" if "h" in found or "H" in found else "1K-blocks", "Used",
            "Avail" if "h" in found or "H" in found else "Available", "Use%", "Mounted on")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(5)]
    for r in [head] + rows:
        s.say("%-*s %*s %*s %*s %*s %s\n" % (widths[0], r[0], widths[1], r[1], widths[2], r[2],
                                             widths[3], r[3], widths[4], r[4], r[5]))
    return status


# stat -------------------------------------------------------------------------------------

def _kind_text(st):
    mode = st.st_mode
    if stat.S_ISREG(mode):
        return "regular empty file" if st.st_size == 0 else "regular file"
    return ("directory" if stat.S_ISDIR(mode) else "symbolic link" if stat.S_ISLNK(mode) else
            "fifo" if stat.S_ISFIFO(mode) else "socket" if stat.S_ISSOCK(mode) else
            "character special file" if stat.S_ISCHR(mode) else "block special file" if stat.S_ISBLK(mode) else
            "unknown")


def _mode_text(mode):
    kind = ("d" if stat.S_ISDIR(mode) else "l" if stat.S_ISLNK(mode) else "p" if stat.S_ISFIFO(mode) else
            "s" if stat.S_ISSOCK(mode) else "c" if stat.S_ISCHR(mode) else "b" if stat.S_ISBLK(mode) else "-")
    bits = "".join(ch if mode & (1 << (8 - i)) else "-" for i, ch in enumerate("rwxrwxrwx"))
    return kind + bits


def _stamp(seconds, nanos):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds)) + ".%09d" % (nanos % 10 ** 9) + \
        time.strftime(" %z", time.localtime(seconds))


def _stat_field(conv, path, dev, host, st):
    mount = _mount_of(dev)
    device = MOUNTS.index(mount) + 0xfd00
    values = {
        "n": path, "s": st.st_size, "b": st.st_blocks, "B": 512, "o": 4096, "f": "%x" % st.st_mode,
        "F": _kind_text(st), "a": "%o" % stat.S_IMODE(st.st_mode), "A": _mode_text(st.st_mode),
        "u": 0, "U": "root", "g": 0, "G": "root", "h": st.st_nlink, "i": st.st_ino,
        "d": device, "D": "%x" % device, "t": "0", "T": "0", "m": mount[1],
        "x": _stamp(int(st.st_atime), st.st_atime_ns), "X": int(st.st_atime),
        "y": _stamp(int(st.st_mtime), st.st_mtime_ns), "Y": int(st.st_mtime),
        "z": _stamp(int(st.st_ctime), st.st_ctime_ns), "Z": int(st.st_ctime),
        "w": "-", "W": 0,
    }
    if conv == "N":
        text = "'%s'" % path
        if stat.S_ISLNK(st.st_mode):
            text += " -> '%s'" % os.readlink(host)
        return text
    return values.get(conv)


def _stat_text(fmt, path, dev, host, st):
    out, i = [], 0
    while i < len(fmt):
        ch = fmt[i]
        if ch == "\\" and i + 1 < len(fmt) and fmt[i + 1] in "nt\\":
            out.append({"n": "\n", "t": "\t", "\\": "\\"}[fmt[i + 1]])
            i += 2
            continue
        if ch != "%" or i + 1 >= len(fmt):
            out.append(ch)
            i += 1
            continue
        j = i + 1
        while j < len(fmt) and (fmt[j].isdigit() or fmt[j] in "-"):
            j += 1
        width = fmt[i + 1:j]
        conv = fmt[j] if j < len(fmt) else ""
        if conv == "%":
            out.append("%")
        else:
            value = _stat_field(conv, path, dev, host, st)
            if value is None:
                raise Usage("stat", "bad -c '%s'" % fmt)
            if len(width) > 6:
                width = width[:1] + "999" if width.startswith("-") else "999"
            if width.startswith("0") and len(width) > 1:
                out.append(str(value).rjust(int(width), "0"))
            else:
                out.append(("%" + width + "s") % value if width else str(value))
        i = j + 1
    return "".join(out)


@reports_usage
def sh_stat(s, args):
    found, paths = parse_options("stat", args, "Lft", "c")
    if not paths:
        raise Usage("stat", "Needs 1 argument")
    fmt = last(found, "c")
    fmt = STAT_FORMAT if fmt is None else fmt + "\n"
    status = 0
    for path in paths:
        try:
            dev, host = s.resolve(path, follow_last="L" in found)
            st = os.lstat(host)
        except (OSError, FsError) as e:
            status = s.err("stat", "%s: %s" % (path, reason(e)))
            continue
        s.say(_stat_text(fmt, path, dev, host, st))
    return status


# checksums --------------------------------------------------------------------------------

def _checksum(name, algorithm):
    @reports_usage
    def handler(s, args):
        found, paths = parse_options(name, args, "bcs")
        if "c" in found:
            return _check(s, name, algorithm, paths or ["-"], "s" in found)
        status = 0
        for path, data in each_input(s, name, paths or ["-"]):
            if path is None:
                return max(status, data)
            s.say("%s  %s\n" % (hashlib.new(algorithm, data).hexdigest(), path))
        return status
    return handler


def _check(s, name, algorithm, lists, quiet):
    status, failed = 0, 0
    for path, data in each_input(s, name, lists):
        if path is None:
            status = max(status, data)
            break
        for line in data.decode("utf-8", "surrogateescape").splitlines():
            digest, _, target = line.partition("  ")
            if not target:
                digest, _, target = line.partition(" *")
            if not target or len(digest) != hashlib.new(algorithm).digest_size * 2:
                continue
            try:
                _dev, host = s.resolve(target)
                fd = s.fs.open_read(host)
                with os.fdopen(fd, "rb") as f:
                    ok = hashlib.new(algorithm, f.read()).hexdigest() == digest.lower()
            except (OSError, FsError) as e:
                s.err(name, "%s: %s" % (target, reason(e)))
                ok = False
            if not ok:
                failed += 1
            if not quiet:
                s.say("%s: %s\n" % (target, "OK" if ok else "FAILED"))
    return 1 if failed else status


# basename and dirname ---------------------------------------------------------------------

def _basename(path, suffix):
    if path == "":
        return ""
    stripped = path.rstrip("/")
    if not stripped:
        return "/"
    name = stripped.rsplit("/", 1)[-1]
    if suffix and name != suffix and name.endswith(suffix):
        name = name[:-len(suffix)]
    return name


@reports_usage
def sh_basename(s, args):
    found, names = parse_options("basename", args, "a", "s")
    suffix = last(found, "s")
    if not names:
        raise Usage("basename", "Needs 1 argument")
    if "a" not in found and suffix is None:
        if len(names) > 2:
            raise Usage("basename", "Max 2 arguments")
        suffix = names[1] if len(names) == 2 else None
        names = names[:1]
    for name in names:
        s.say(_basename(name, suffix) + "\n")
    return 0


def _dirname(path):
    stripped = path.rstrip("/")
    if not stripped:
        return "/" if path else "."
    if "/" not in stripped:
        return "."
    head = stripped.rsplit("/", 1)[0].rstrip("/")
    return head or "/"


@reports_usage
def sh_dirname(s, args):
    _found, names = parse_options("dirname", args, "")
    if not names:
        raise Usage("dirname", "Needs 1 argument")
    for name in names:
        s.say(_dirname(name) + "\n")
    return 0


COMMANDS = {
    "cp": sh_cp, "mv": sh_mv, "du": sh_du, "df": sh_df, "stat": sh_stat,
    "md5sum": _checksum("md5sum", "md5"), "sha256sum": _checksum("sha256sum", "sha256"),
    "sha1sum": _checksum("sha1sum", "sha1"), "basename": sh_basename, "dirname": sh_dirname,
}
