"""What /proc says of a process under test: its descriptors, memory and CPU time."""

import os

TICKS = os.sysconf("SC_CLK_TCK")


def descriptors(pid):
    """How many descriptors the process holds open."""
    return len(os.listdir(f"/proc/{pid}/fd"))


def status_kib(pid, field):
    """A memory figure of /proc/PID/status in KiB: "VmHWM" (the peak resident), "VmRSS"."""
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def cpu_seconds(stat_path):
    """User and system time of /proc/PID/stat (or of a thread's /proc/PID/task/TID/stat)."""
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def write_bytes(pid):
    """What the process has sent towards storage (/proc/PID/io write_bytes: the block layer's count)."""
    with open(f"/proc/{pid}/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("write_bytes:"))


def read_text(path):
    with open(path) as f:
        return f.read()
