"""Idle figure: what the real vesk-service does to the register's storage while nothing happens.
The service runs paired, streaming a delivered clip to a loopback port, logging at the packaged
level (info), with its status in a runtime directory on a tmpfs as systemd's RuntimeDirectory=
gives it; strace counts its flushes, writes and renames for the given minutes, and
/proc/<pid>/io's write_bytes (what reaches the block layer) gives the bytes written to storage
each minute. The clip plays in slots, so the ledger of plays (docs/plays.md) records them and
flushes at most once a minute: those flushes are counted apart. Prints one line per minute and
the totals; exits non-zero when there was a flush outside the ledger, more ledger flushes than
minutes (and one), or a minute over 64 KiB. By hand, as root:

    VESK_SERVICE=build-rel/bin/vesk-service PYTHONPATH=tests/lib /usr/bin/python3 -B \
        tests/e2e/idle_figure.py --minutes 60
"""

import argparse
import os
import re
import signal
import subprocess
import time
import uuid

from vesktest.proc import read_text, write_bytes
from vesktest.service import (Delivery, Peer, Service, enter_private_mount_namespace,
                              free_tcp_port, make_clip, wait_until)

FLUSHES = ("fsync", "fdatasync", "sync", "syncfs", "sync_file_range", "msync")
OTHERS = ("write", "pwrite64", "rename", "renameat", "renameat2")
GOAL_KIB_PER_MINUTE = 64

PLAYLIST = b"[idle]\ndays=all\n[idle.1]\nurl=clip.mp4\ntimeplay=10\n"


def syscall_counts(path):
    """Calls by system call in strace's output, the flushes of the ledger's files apart (as
    "ledger")."""
    calls = {}
    with open(path, errors="replace") as f:
        for line in f:
            match = re.match(r"^(?:\[pid +\d+\] |\d+ +)?(\w+)\((.*)", line)
            if not match or "resumed>" in line:
                continue
            name = match.group(1)
            if name in FLUSHES and "/plays/" in match.group(2):
                name = "ledger"
            calls[name] = calls.get(name, 0) + 1
    return calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=int, default=60)
    args = parser.parse_args()
    enter_private_mount_namespace()
    service = Service(name="idle", send_to=f"127.0.0.1:{free_tcp_port()}", log_level="info")
    runtime = os.path.join(service.root, "run")
    os.makedirs(runtime)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0755", "tmpfs", runtime],
                   check=True)
    service.environment["RUNTIME_DIRECTORY"] = runtime
    trace = os.path.join(service.root, "strace.txt")
    messages = os.path.join(service.root, "strace.err")
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:9")
        clip = make_clip(os.path.join(service.root, "clip.mp4"), "gray", seconds=10)
        delivery = Delivery(os.path.join(service.root, "content"),
                            {"playlist.ini": PLAYLIST, "clip.mp4": clip})
        delivery.copy_into(service.path("sync_dir"))
        service.wait_applied(delivery.transaction_file)
        pid = service.process.pid
        with open(messages, "w") as err:
            strace = subprocess.Popen(["strace", "-f", "-y", "-o", trace, "-e",
                                       "trace=" + ",".join(FLUSHES + OTHERS), "-p", str(pid)],
                                      stderr=err)
        wait_until(lambda: "attached" in read_text(messages), 30, "strace attached")
        last = write_bytes(pid)
        per_minute = []
        for minute in range(args.minutes):
            time.sleep(60)  # the figure's window, not a wait for something
            now = write_bytes(pid)
            per_minute.append((now - last) / 1024)
            last = now
            print(f"minute {minute + 1}: {per_minute[-1]:.1f} KiB written to storage", flush=True)
        strace.send_signal(signal.SIGINT)
        strace.wait(60)
        calls = syscall_counts(trace)
        status = os.path.join(runtime, "status.json")
        print(f"status file {status}: {'present' if os.path.exists(status) else 'MISSING'}")
    finally:
        service.close()
    flushes = sum(calls.get(name, 0) for name in FLUSHES)
    per_minute.sort()
    ledger = calls.get("ledger", 0)
    print(f"{args.minutes} idle minutes: flushes {flushes}, of the ledger of plays {ledger} "
          f"({', '.join(f'{n} {calls.get(n, 0)}' for n in FLUSHES)}); "
          f"renames {sum(calls.get(n, 0) for n in OTHERS[2:])}, "
          f"writes {calls.get('write', 0) + calls.get('pwrite64', 0)}; "
          f"KiB written to storage per minute: median {per_minute[len(per_minute) // 2]:.1f}, "
          f"max {per_minute[-1]:.1f}, total {sum(per_minute):.1f}")
    return 1 if flushes or ledger > args.minutes + 1 or per_minute[-1] > GOAL_KIB_PER_MINUTE else 0


if __name__ == "__main__":
    raise SystemExit(main())
