"""file send / file recv: copies between a host path and a path on the device.

Replies: progress texts for large files, then one terminal text — "FileTransfer
finish, …" or "[Fail]…". Progress texts never contain a path or the words the
client stops at, so that the terminal reply is always the last one it reads.
"""

import os
import stat
import time

from .confine import FsError, regular_or_close

FLAGS = {"-a": "hold_timestamp", "-sync": "sync_mode", "-z": "compress", "-m": "mode_sync", "-b": "bundle"}
CHUNK = 256 * 1024
PROGRESS_FROM = 1024 * 1024      # files at least this large get progress replies
PROGRESS_STEPS = 4


class TransferError(Exception):
    pass


class Request:
    def __init__(self, sending, flags, source, dest):
        self.sending = sending      # host -> device
        self.flags = flags
        self.source = source
        self.dest = dest


def parse(words_text, sending, device_fs):
    """Flags and the two paths. Paths arrive unquoted, so a path with spaces is found
    by trying every split point and taking the first whose source exists."""
    words = words_text.split(" ")
    flags = set()
    while words and words[0] in FLAGS:
        flags.add(FLAGS[words.pop(0)])
    if len(words) < 2:
        raise TransferError("Two paths are needed: %s" % ("LOCAL REMOTE" if sending else "REMOTE LOCAL"))
    splits = [(" ".join(words[:i]), " ".join(words[i:])) for i in range(1, len(words))]
    for source, dest in splits:
        if _source_exists(source, sending, device_fs):
            return Request(sending, flags, source, dest)
    return Request(sending, flags, *splits[0])


def _source_exists(source, sending, device_fs):
    try:
        host = source if sending else device_fs.resolve(source)[1]
    except FsError:
        return False
    return os.path.exists(host)


async def run(device, req, replies):
    try:
        text = await _copy(device, req, replies)
    except TransferError as e:
        text = "[Fail]%s" % e
    except FsError as e:
        text = "[Fail]Error opening file: %s" % e
    except OSError as e:
        text = "[Fail]Error during transfer: %s" % (e.strerror or e)
    await replies.text(text)
    return text


def _lower(reason):
    """A system error as the connector words it: "permission denied", "no such file or directory"."""
    return reason[:1].lower() + reason[1:]


def _failure(what, e, path):
    return TransferError("%s: %s, path:%s" % (what, _lower(e.strerror or "invalid argument"), path))


def _open_source(device, req):
    try:
        if req.sending:
            host = req.source
            fd = os.open(host, os.O_RDONLY | os.O_NONBLOCK)
            return host, regular_or_close(fd, host)
        _dev, host = device.fs.resolve(req.source)
        return host, device.fs.open_read(host)
    except OSError as e:
        raise TransferError("Error opening file: %s, path:%s" % (e.strerror or e, req.source))


def _dest_path(device, req, source_host):
    name = os.path.basename(source_host)
    if req.sending:
        dev, host = device.fs.resolve(req.dest)
        if req.dest.endswith("/") or os.path.isdir(host):
            try:
                device.fs.makedirs(dev)
            except OSError as e:
                raise TransferError("Error creating directory: %s, path:%s" % (e.strerror or e, req.dest))
            dev, host = device.fs.resolve(name, cwd=dev)
        else:
            try:
                device.fs.makedirs(os.path.dirname(dev))
            except OSError as e:
                raise TransferError("Error creating directory: %s, path:%s" % (e.strerror or e, req.dest))
        return host
    host = req.dest
    if host.endswith("/") or os.path.isdir(host):
        host = os.path.join(host, name)
    return host


def _open_dest(device, req, host):
    try:
        if req.sending:
            return device.fs.open_write(host)
        return regular_or_close(os.open(host, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK, 0o644), host)
    except OSError as e:
        raise TransferError("Error opening file: %s, path:%s" % (e.strerror or e, req.dest))


async def _copy(device, req, replies):
    started = time.monotonic()
    if not req.sending and os.path.isdir(device.fs.resolve(req.source)[1]):
        size, count = _copy_folder(device, req)
        return _finished(device, req, started, size, count)
    source_host, src = _open_source(device, req)
    try:
        st = os.fstat(src)
        dest_host = _dest_path(device, req, source_host)
        if "sync_mode" in req.flags and _up_to_date(dest_host, st):
            return ("[Info]Destination is up to date; nothing copied\n"
                    "FileTransfer finish, Size:0, File count = 0, time:0ms rate:0.00kB/s")
        dst = _open_dest(device, req, dest_host)
        try:
            copied = await _pump(src, dst, st.st_size, replies)
            if "mode_sync" in req.flags:
                os.fchmod(dst, stat.S_IMODE(st.st_mode))
        finally:
            os.close(dst)
        if "hold_timestamp" in req.flags:
            os.utime(dest_host, ns=(st.st_atime_ns, st.st_mtime_ns))
    finally:
        os.close(src)
    return _finished(device, req, started, copied, 1)


def _finished(device, req, started, copied, count):
    ms = max((time.monotonic() - started) * 1000.0, 1.0)
    side = "device" if req.sending else "host"
    device.log.add("I", "C015A0", "hdcd", "file %s finished: %d bytes to the %s" %
                   ("send" if req.sending else "recv", copied, side))
    return "FileTransfer finish, Size:%d, File count = %d, time:%dms rate:%.2fkB/s" % (
        copied, count, round(ms), copied / ms)


def _copy_folder(device, req):
    """Copies a device folder to the host, at the host path or inside it if it is a folder;
    (bytes, files) copied. Links are not followed: a device folder's link leads nowhere on the host."""
    _dev, source = device.fs.resolve(req.source)
    dest = req.dest
    if os.path.isdir(dest):
        dest = os.path.join(dest, os.path.basename(source.rstrip("/")) or "root")
    size = count = 0
    for folder, subfolders, names in os.walk(source):
        subfolders[:] = sorted(d for d in subfolders if not os.path.islink(os.path.join(folder, d)))
        target = os.path.join(dest, os.path.relpath(folder, source))
        try:
            os.makedirs(target, exist_ok=True)
        except OSError as e:
            raise _failure("Error creating directory", e, req.dest) from None
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            try:
                src = device.fs.open_read(path)
            except OSError:
                continue     # unreadable: left out, as the daemon skips what it cannot open
            with os.fdopen(src, "rb") as f:
                data = f.read()
            try:
                with open(os.path.join(target, name), "wb") as out:
                    out.write(data)
            except OSError as e:
                raise _failure("Error opening file", e, req.dest) from None
            size, count = size + len(data), count + 1
    return size, count


def _up_to_date(dest_host, st):
    try:
        return os.stat(dest_host).st_mtime_ns >= st.st_mtime_ns
    except OSError:
        return False


async def _pump(src, dst, size, replies):
    copied = 0
    step = max(size // PROGRESS_STEPS, 1)
    next_report = step if size >= PROGRESS_FROM else None
    while True:
        data = os.read(src, CHUNK)
        if not data:
            return copied
        view = memoryview(data)
        while view:
            n = os.write(dst, view)
            view = view[n:]
        copied += len(data)
        if next_report is not None and copied >= next_report and copied < size:
            await replies.text("[Progress] %d%% %d/%d bytes" % (copied * 100 // size, copied, size))
            next_report += step
