"""The same delivery to a fleet with `deliver --all --parallel N` and with a loop of single
`deliver` calls, side by side (root; a release build gives the figures that matter):

    PYTHONPATH=tests/lib:manage/tests VESK_SERVICE=build-release/bin/vesk-service \\
        VESK_MANAGE=build-release/bin/vesk-manage python3 manage/tests/fleet_figure.py \\
        --registers 20 --parallel 8 --size-mib 4

Each way delivers fresh content (a clip and SIZE MiB of random bytes) to every register of the
fleet (vesktest.fleet), and is timed from the start of the first command to the end of the
last, every register having played.
"""

import argparse
import os
import sys
import time
import unittest

from manage_e2e import write
from vesktest.cases import read
from vesktest.fleet import build_fleet, scratch_directory
from vesktest.manage import PLAYLIST
from vesktest.peers import make_clip, write_random


def fresh_content(directory, clip, size):
    write(directory, "video/red.mp4", clip)
    write(directory, "playlist.ini", PLAYLIST.encode())
    write_random(os.path.join(directory, "data.bin"), size)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--registers", type=int, default=20)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--size-mib", type=int, default=4)
    options = parser.parse_args()
    cleanups = unittest.TestCase()
    try:
        scratch = scratch_directory(cleanups.addCleanup)
        started = time.monotonic()
        fleet = build_fleet(options.registers, scratch, cleanups.addCleanup)
        print(f"fleet of {options.registers} built and paired in "
              f"{time.monotonic() - started:.1f} s", file=sys.stderr)
        manager = fleet.manager
        clip = make_clip(os.path.join(scratch, "clips", "red.mp4"), "red")
        rows = []

        content = os.path.join(scratch, "parallel")
        fresh_content(content, clip, options.size_mib << 20)
        command = ["deliver", "--all", content, "--parallel", str(options.parallel)]
        started = time.monotonic()
        result = manager.run(*command, *manager.ssh, timeout=3600)
        parallel_seconds = time.monotonic() - started
        if result.returncode != 0:
            raise SystemExit(result.stdout + result.stderr)
        rows.append((f"--parallel {options.parallel}", f"vesk-manage {' '.join(command)}",
                     parallel_seconds))

        content = os.path.join(scratch, "loop")
        fresh_content(content, clip, options.size_mib << 20)
        started = time.monotonic()
        for register in fleet.registers:
            result = manager.run("deliver", register.name, content, *manager.ssh, timeout=3600)
            if result.returncode != 0:
                raise SystemExit(result.stdout + result.stderr)
        loop_seconds = time.monotonic() - started
        rows.append(("loop", f"for r in shop-01 ... shop-{options.registers:02d}; do vesk-manage "
                     f"deliver $r {content}; done", loop_seconds))
        for register in fleet.registers:
            register.service.wait_applied(read(os.path.join(content, "TF")))

        size = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(content)
                   for f in files if f != "TF")
        print(f"{options.registers} registers, each a vesk-service with its own sshd in a "
              f"network namespace; {size} bytes of media per register; 2 shared cores")
        print(f"load average at the end: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
        for way, command, _ in rows:
            print(f"  {way}: {command}")
        print(f"{'way':<14} {'wall s':>8} {'s/register':>10}")
        for way, _, seconds in rows:
            print(f"{way:<14} {seconds:8.1f} {seconds / options.registers:10.2f}")
        print(f"ratio loop / --parallel {options.parallel}: {loop_seconds / parallel_seconds:.2f}")
    finally:
        cleanups.doCleanups()


if __name__ == "__main__":
    main()
