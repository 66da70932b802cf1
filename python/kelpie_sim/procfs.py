"""/proc as a device shows it, made from the simulated device's state: memory (meminfo,
which free and top print too), CPUs, uptime, the kernel version, mounts, and a folder with
a status file for each simulated process, so that `cat /proc/PID/status` agrees with `ps`.

The files are written into the device folder afresh whenever a command resolves a path
under /proc, so every reader (cat, grep, ls, file recv) sees them as they are now.
"""

import os
import shutil
import time

KB = 1024
MEM_TOTAL = 11718676          # kB: a 12 GB phone, less what the kernel keeps
SWAP_TOTAL = 4194300
BUFFERS = 5120
KERNEL_USED = 1843200         # kB held by the kernel and services the process table leaves out
CPUS = 8
KERNEL = "5.10.184"
BUILD = "#1 SMP PREEMPT Fri Mar 8 10:00:00 CST 2024"
VERSION = "Linux version %s (builder@kelpie) (clang version 15.0.4, LLD 15.0.4) %s\n" % (KERNEL, BUILD)
UIDS = {"root": 0, "system": 1000, "shell": 2000}
# What `mount` lists: (device, mount point, type, options). The shell user's write rules follow them.
MOUNTS = (
    ("/dev/root", "/", "ext4", "ro,seclabel,relatime"),
    ("tmpfs", "/dev", "tmpfs", "rw,seclabel,nosuid,relatime,mode=755"),
    ("proc", "/proc", "proc", "rw,relatime"),
    ("sysfs", "/sys", "sysfs", "rw,seclabel,relatime"),
    ("/dev/block/by-name/vendor", "/vendor", "ext4", "ro,seclabel,relatime"),
    ("/dev/block/by-name/sys_prod", "/sys_prod", "ext4", "ro,seclabel,relatime"),
    ("/dev/block/by-name/chip_prod", "/chip_prod", "ext4", "ro,seclabel,relatime"),
    ("/dev/block/by-name/userdata", "/data", "f2fs", "rw,seclabel,nosuid,nodev,noatime,background_gc=on"),
    ("tmpfs", "/storage", "tmpfs", "rw,seclabel,nosuid,nodev,noexec,relatime,mode=755"),
)
CPU_ROW = ("processor\t: %d\nBogoMIPS\t: 38.40\nFeatures\t: fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics "
           "fphp asimdhp cpuid asimdrdm lrcpc dcpop asimddp\nCPU implementer\t: 0x41\nCPU architecture: 8\n"
           "CPU variant\t: 0x%d\nCPU part\t: 0x%s\nCPU revision\t: 0\n\n")


def uid_number(uid):
    return UIDS[uid] if uid in UIDS else int(uid)


def comm(name):
    """The process name the kernel keeps: the program's file name, at most 15 characters."""
    return name.split(" ")[0].rsplit("/", 1)[-1][:15]


def resident_kb(process):
    """Resident memory of a process, steady for its pid (hidumper --mem shows the same)."""
    return 2048 + process.pid * 37 % 90000 + 4096


def threads(process):
    return 1 + process.pid % 23


def memory(device):
    """kB figures of /proc/meminfo, from the processes running now. The shell's own short
    commands are left out, so two commands that read the figures agree (cat /proc/meminfo, free)."""
    used = KERNEL_USED + sum(resident_kb(p) for p in device.processes.all() if p.uid != "shell")
    cached = 3276800
    free = MEM_TOTAL - used - cached - BUFFERS
    return {"MemTotal": MEM_TOTAL, "MemFree": free, "MemAvailable": free + cached * 3 // 4 + BUFFERS,
            "Buffers": BUFFERS, "Cached": cached, "SwapCached": 0, "Active": used // 2,
            "Inactive": cached // 2, "SwapTotal": SWAP_TOTAL, "SwapFree": SWAP_TOTAL, "Dirty": 128,
            "AnonPages": used - KERNEL_USED, "Mapped": cached // 4, "Shmem": 16384, "Slab": 262144,
            "KernelStack": 32768, "PageTables": 65536, "VmallocTotal": 263061440}


def uptime(device):
    return max(time.time() - device.processes.boot, 0.0)


def meminfo_text(device):
    return "".join("%-16s%8d kB\n" % (name + ":", kb) for name, kb in memory(device).items())


def cpuinfo_text():
    # Four little cores and four big ones, as a phone's SoC has them.
    return "".join(CPU_ROW % (n, 1 if n < 4 else 3, "d05" if n < 4 else "d41") for n in range(CPUS)) + (
        "Hardware\t: kelpie simulated board\n")


def uptime_text(device):
    up = uptime(device)
    return "%.2f %.2f\n" % (up, up * CPUS * 0.93)


def mounts_text():
    return "".join("%s %s %s %s 0 0\n" % m for m in MOUNTS)


def status_text(process):
    uid = uid_number(process.uid)
    return ("Name:\t%s\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t%d\nNgid:\t0\nPid:\t%d\nPPid:\t%d\n"
            "TracerPid:\t0\nUid:\t%d\t%d\t%d\t%d\nGid:\t%d\t%d\t%d\t%d\nFDSize:\t128\n"
            "VmRSS:\t%8d kB\nThreads:\t%d\n") % (
        comm(process.name), process.pid, process.pid, process.ppid, uid, uid, uid, uid, uid, uid, uid, uid,
        resident_kb(process), threads(process))


def cmdline_bytes(process):
    return process.name.replace(" ", "\0").encode() + b"\0"


def refresh(fs, device):
    """Writes /proc into the device folder as it is now; folders of ended processes go."""
    root = fs.host(["proc"])
    os.makedirs(root, exist_ok=True)
    files = {"meminfo": meminfo_text(device), "cpuinfo": cpuinfo_text(), "uptime": uptime_text(device),
             "version": VERSION, "mounts": mounts_text()}
    for name, text in files.items():
        _put(os.path.join(root, name), text.encode())
    running = {str(p.pid): p for p in device.processes.all()}
    for name in os.listdir(root):
        if name.isdigit() and name not in running:
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
    for pid, process in running.items():
        folder = os.path.join(root, pid)
        os.makedirs(folder, exist_ok=True)
        _put(os.path.join(folder, "status"), status_text(process).encode())
        _put(os.path.join(folder, "cmdline"), cmdline_bytes(process))


def _put(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644)   # the host user rewrites it
    with os.fdopen(fd, "wb") as f:
        f.write(data)
