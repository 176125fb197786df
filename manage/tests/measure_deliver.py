"""The figure: vesk-manage deliver against the same delivery by hand, as docs/delivery.md writes it.

Both deliver a fresh file of random bytes (and a clip with its playlist.ini) to one register of
the end-to-end test's kind (its account, an sshd on loopback, rsync), in alternating order, and
are timed from the start until the register plays the delivery:

- by hand: xxhsum -H1 for TF, rsync of the media, rsync of TF again while it answers 23, then
  `cat .../work_dir/TF` over ssh every 0.1 s until it is the TF just sent;
- vesk-manage deliver: the same, with its checks of the content, over one ssh connection,
  looking at the played TF four times a second and at the status once a second.

    cmake --build build-rel --target vesk-service vesk-status vesk-sshgate vesk-manage
    VESK_SERVICE=build-rel/bin/vesk-service VESK_MANAGE=build-rel/bin/vesk-manage \\
      PYTHONPATH=tests/lib python3 -B manage/tests/measure_deliver.py --size-mib 100

prints each pair and the median ratio (root needed: the register runs in a mount namespace). The
register's helpers, vesk-sshgate and vesk-status, are taken from beside vesk-service.
"""

import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import time

from vesktest import scratch as scratch_space
from vesktest.manage import PLAYLIST, Manager, start_register
from vesktest.peers import write_random
from vesktest.register import RSYNC_PARTIAL
from vesktest.service import make_clip, wait_until


def by_hand(manager, ssh_options, catalog, content):
    """The delivery of docs/delivery.md, typed as a script; returns the seconds it took."""
    port = ssh_options[ssh_options.index("--ssh-port") + 1]
    options = [item for option in ssh_options[3::2] for item in ("-o", option)]
    ssh = ["ssh", "-i", manager.key, "-p", port, "-o", "BatchMode=yes", *options, "-l", "vesk"]
    shell = " ".join(ssh)
    started = time.monotonic()
    names = sorted(os.path.relpath(os.path.join(d, f), content)
                   for d, _, files in os.walk(content) for f in files if f != "TF")
    tf = subprocess.run(["xxhsum", "-H1", *names], cwd=content, capture_output=True,
                        check=True).stdout
    with open(os.path.join(content, "TF"), "wb") as f:
        f.write(tf)
    remote = f"vesk@127.0.0.1:{catalog}/"
    subprocess.run(["rsync", "-rt", "--delete", "--exclude=/TF", "-e", shell, content + "/",
                    remote], check=True, capture_output=True)
    for pause in (1, 2, 4, 8, 15, 30, 60):
        sent = subprocess.run(["rsync", "-t", "--checksum", "-e", shell,
                               os.path.join(content, "TF"), remote + "TF"], capture_output=True)
        if sent.returncode != RSYNC_PARTIAL:
            break
        time.sleep(pause)
    home = os.path.dirname(catalog)
    wait_until(lambda: subprocess.run([*ssh, "127.0.0.1", f"cat {home}/work_dir/TF"],
                                      capture_output=True).stdout == tf,
               600, "the register playing the hand-made delivery", interval=0.1)
    return time.monotonic() - started


def with_manage(manager, ssh_options, content):
    started = time.monotonic()
    result = manager.run("deliver", "figure", content, *ssh_options, timeout=600)
    if result.returncode != 0:
        raise RuntimeError(f"deliver failed ({result.returncode}): {result.stderr}")
    return time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=100)
    parser.add_argument("--runs", type=int, default=5, help="pairs of deliveries")
    options = parser.parse_args()
    scratch = scratch_space.directory("manage-figure-")
    with contextlib.ExitStack() as stack:
        stack.callback(shutil.rmtree, scratch, ignore_errors=True)
        manager = Manager(scratch)
        service, ssh_options = start_register(scratch, "figure", stack.callback)
        paired = manager.run("pair", f"127.0.0.1:{service.port}", "--ssh-key",
                             manager.key + ".pub", "--listen", "127.0.0.1:9", "--name", "figure")
        if paired.returncode != 0:
            raise RuntimeError(paired.stderr)
        catalog = paired.stdout.split("delivers into ")[1].split(" ")[0]
        content = os.path.join(scratch, "content")
        make_clip(os.path.join(content, "video/red.mp4"), "red")
        with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
            f.write(PLAYLIST)
        ratios = []
        for run in range(options.runs):
            seconds = {}
            ways = [("hand", lambda: by_hand(manager, ssh_options, catalog, content)),
                    ("manage", lambda: with_manage(manager, ssh_options, content))]
            for name, way in ways if run % 2 == 0 else reversed(ways):
                write_random(os.path.join(content, "big.bin"), options.size_mib << 20)
                seconds[name] = way()
            ratios.append(seconds["manage"] / seconds["hand"])
            print(f"pair {run + 1}: by hand {seconds['hand']:.2f} s, vesk-manage "
                  f"{seconds['manage']:.2f} s, ratio {ratios[-1]:.2f}", flush=True)
        print(f"{options.size_mib} MiB: median ratio {statistics.median(ratios):.2f} "
              f"(min {min(ratios):.2f}, max {max(ratios):.2f})")


if __name__ == "__main__":
    main()
