"""Plays figure: what the ledger of plays costs the real vesk-service. The service runs paired,
streaming a delivered clip in slots of 10 s to a loopback port, its status on a tmpfs as under
systemd; strace follows its flushes, renames and opens for the given minutes, /proc/<pid>/io's
write_bytes gives the bytes that reach storage per minute and /proc/<pid>/stat its CPU time. Run
once with the ledger and once without it (its directory made unusable: the service then plays
without recording, and says so), side by side. Then the same service with a schedule that plays
nothing for the last minutes: no flush at all. By hand, as root:

    VESK_SERVICE=build-rel/bin/vesk-service /usr/bin/python3 -B tests/e2e/plays_figure.py --minutes 10
"""

import argparse
import os
import re
import signal
import subprocess
import time
import uuid

from vesktest.proc import cpu_seconds, read_text, write_bytes
from vesktest.service import (Delivery, Peer, Service, enter_private_mount_namespace, free_tcp_port,
                      make_clip, wait_until)

PLAYLIST = b"[ads]\ndays=all\n[ads.1]\nurl=clip.mp4\ntimeplay=10\n"
# A playlist of a day that is never today: nothing plays, and there is no placeholder.
NOTHING = b"[never]\ndays=all\nfrom=2001-01-01\nto=2001-01-02\n[never.1]\nurl=clip.mp4\ntimeplay=10\n"
# "1234  09:01:02.123456 fsync(12</var/lib/morlen-vesk/plays/segment-...>) = 0"
CALL = re.compile(r"^(?:\[pid +\d+\] |\d+ +)?(?:\d\d:\d\d:\d\d\.\d+ +)?"
                  r"(fsync|fdatasync|rename|renameat2?|openat)\((.*)$")


def deliver(service, playlist, name):
    clip = make_clip(os.path.join(service.root, "clip.mp4"), "gray", seconds=10)
    delivery = Delivery(os.path.join(service.root, name), {"playlist.ini": playlist, "clip.mp4": clip})
    delivery.copy_into(service.path("sync_dir"))
    service.wait_applied(delivery.transaction_file)


def measure(minutes, ledger, idle_minutes=0):
    """One run: per minute (fsyncs of the ledger, other fsyncs, KiB to storage); CPU seconds."""
    service = Service(name="plays-figure", send_to=f"127.0.0.1:{free_tcp_port()}", log_level="info")
    runtime = os.path.join(service.root, "run")
    os.makedirs(runtime)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0755", "tmpfs", runtime], check=True)
    service.environment["RUNTIME_DIRECTORY"] = runtime
    if not ledger:
        with open(service.path("plays"), "w") as f:
            f.write("not a directory: the service plays without a ledger\n")
    trace = os.path.join(service.root, "strace.txt")
    messages = os.path.join(service.root, "strace.err")
    rows = []
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:9")
        deliver(service, PLAYLIST, "content")
        pid = service.process.pid
        with open(messages, "w") as err:
            strace = subprocess.Popen(["strace", "-f", "-y", "-tt", "-o", trace, "-e",
                                       "trace=fsync,fdatasync,rename,renameat,renameat2,openat",
                                       "-p", str(pid)], stderr=err)
        wait_until(lambda: "attached" in read_text(messages), 30, "strace attached")
        cpu0, started = cpu_seconds(f"/proc/{pid}/stat"), time.monotonic()
        last = write_bytes(pid)
        marks = []
        cpu = None
        for minute in range(minutes + idle_minutes):
            if minute == minutes:
                cpu, wall = cpu_seconds(f"/proc/{pid}/stat") - cpu0, time.monotonic() - started
                deliver(service, NOTHING, "nothing")
            time.sleep(60)  # the figure's window, not a wait for something
            now = write_bytes(pid)
            marks.append((os.path.getsize(trace), (now - last) / 1024))
            last = now
        if cpu is None:
            cpu, wall = cpu_seconds(f"/proc/{pid}/stat") - cpu0, time.monotonic() - started
        strace.send_signal(signal.SIGINT)
        strace.wait(60)
        with open(trace, errors="replace") as f:
            offset = 0
            for size, kib in marks:
                f.seek(offset)
                chunk = f.read(size - offset)
                offset = size
                calls = [CALL.match(line) for line in chunk.splitlines()]
                calls = [c for c in calls if c]
                syncs = [c for c in calls if c.group(1) in ("fsync", "fdatasync")]
                rows.append((sum("/plays/" in c.group(2) for c in syncs),
                             sum("/plays/" not in c.group(2) for c in syncs),
                             sum(c.group(1).startswith("rename") for c in calls), kib))
    finally:
        service.close()
    return rows, cpu, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=int, default=10)
    parser.add_argument("--idle-minutes", type=int, default=3)
    args = parser.parse_args()
    enter_private_mount_namespace()
    with_rows, with_cpu, with_wall = measure(args.minutes, True, args.idle_minutes)
    without_rows, without_cpu, without_wall = measure(args.minutes, False)
    print("minute  with the ledger: fsyncs(ledger/other) renames KiB  |  without: fsyncs renames KiB")
    for minute in range(args.minutes + args.idle_minutes):
        w = with_rows[minute]
        o = without_rows[minute] if minute < len(without_rows) else None
        idle = " (nothing plays)" if minute >= args.minutes else ""
        other = f"{o[0] + o[1]:3d} {o[2]:3d} {o[3]:7.1f}" if o else "  -"
        print(f"{minute + 1:4d}    {w[0]:3d}/{w[1]:<3d} {w[2]:3d} {w[3]:7.1f}{idle:17s} |  {other}")
    playing = with_rows[:args.minutes]
    print(f"playing {args.minutes} min: ledger fsyncs {sum(r[0] for r in playing)} "
          f"(at most {max(r[0] for r in playing)} in a minute), other fsyncs "
          f"{sum(r[1] for r in playing)}; KiB to storage {sum(r[3] for r in playing):.1f} with, "
          f"{sum(r[3] for r in without_rows):.1f} without")
    print(f"nothing playing {args.idle_minutes} min (after the first): fsyncs "
          f"{sum(r[0] + r[1] for r in with_rows[args.minutes + 1:])}")
    print(f"service CPU while playing (strace attached to both): {with_cpu:.2f} s in "
          f"{with_wall:.0f} s with the ledger, {without_cpu:.2f} s in {without_wall:.0f} s without")


if __name__ == "__main__":
    raise SystemExit(main())
