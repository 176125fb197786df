"""Forged manifests against a display: a figure (its harness, which the test shares, is
vesktest.display.forged_flood).

Against the real vesk-service streaming a 720p 4 Mbit/s clip (25 pictures a second) and a real
vesk-display, a flood of forged manifests at RATE a second: 112-byte manifests of the stream with
fresh counters, the register's clock of the moment as send time (so that the display finds each
one safe, keeps it waiting and checks its MAC when the key comes) and a random MAC. It comes from
another address (127.0.0.2), or with the register's own source address and port, forged through
a raw socket. For each of 0, 16,000 and 32,000 a second (or the RATEs given), both ways, it
prints the packets the display keeps a second and their share of the 25 the register sends, the
display's CPU and peak memory, and its counts by cause:

    VESK_SERVICE=build-rel/bin/vesk-service VESK_DISPLAY=build-rel/bin/vesk-display \\
        PYTHONPATH=tests/lib unshare --net -- /usr/bin/python3 -B display/tests/forged_flood.py \\
        [SECONDS] [RATE ...]

Run it as root, from a Release build. ForgedFloodTest in stream_e2e.py runs a short flood of each
kind and checks only what does not depend on the machine's speed.
"""

import os
import shutil
import subprocess
import sys

from vesktest import scratch
from vesktest.display import forged_flood, make_stream_clip


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
    rates = [int(rate) for rate in sys.argv[2:]] or [16000, 32000]
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    directory = scratch.directory("forged-clip-")
    try:
        clip = make_stream_clip(os.path.join(directory, "clip.mp4"))
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print(f"{'forged a second':>16} {'from':>18} {'packets/s':>10} {'kept':>6} {'cpu':>7} "
          f"{'peak MB':>8}  counts")
    for rate, forge in [(0, False)] + [(r, f) for r in rates for f in (False, True)]:
        figures = forged_flood(clip, seconds, rate, forge)
        counts = figures["counts"]
        shown = ", ".join(f"{counts.get(name, 0)} {name}" for name in (
            "complete", "dropped", "forged", "crowded out", "unsafe", "future", "unclaimed",
            "replayed") if counts.get(name))
        print(f"{rate:16d} {'the register' if forge else 'another address':>18} "
              f"{figures['packets a second']:10.2f} {figures['share kept']:6.1%} "
              f"{figures['display cpu']:7.1%} {figures['peak kB'] / 1024:8.1f}  {shown}",
              flush=True)


if __name__ == "__main__":
    main()
