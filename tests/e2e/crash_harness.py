"""Crash figure: the real vesk-service is killed with SIGKILL at a random moment of a delivery and
started again. After each crash `work_dir` must name one whole delivery, old or new (every file
matches that directory's own TF and nothing else is there), and the new one once the restarted
service has synchronised. Prints one line per run and the count of bad runs; exits non-zero when
there was one. By hand, as root, for the figure:

    VESK_SERVICE=build/bin/vesk-service PYTHONPATH=tests/lib /usr/bin/python3 \
        tests/e2e/crash_harness.py --runs 100

CI runs a handful of small runs (see CMakeLists.txt).
"""

import argparse
import os
import random
import subprocess
import time
import uuid

from vesktest.service import Delivery, Peer, Service, write_replacing
from vesktest.wire import read_tf

SETTLED = r"  синхронизация завершена| данные актуальны - синхронизация не требуется"


def played_transaction_file(service):
    """The TF of the directory the link names when that directory is one whole delivery."""
    directory = service.path(os.readlink(service.path("work_dir")))
    with open(os.path.join(directory, "TF"), "rb") as f:
        tf = f.read()
    listed = {name for _, name in read_tf(tf)} | {"TF"}
    present = {os.path.relpath(os.path.join(root, name), directory)
               for root, _, names in os.walk(directory) for name in names}
    checked = subprocess.run(["xxhsum", "-c", "TF"], cwd=directory, capture_output=True)
    return tf if present == listed and checked.returncode == 0 else None


def deliveries(scratch, mib):
    """Two deliveries of four files that share two: a run copies half and links half."""
    size = (mib << 20) // 4
    shared = {f"media/shared{i}.mp4": os.urandom(size) for i in range(2)}
    return [Delivery(os.path.join(scratch, str(k)),
                     {**shared, "playlist.ini": b"[placeholder]\nurl=idle.png\n",
                      **{f"media/own{i}.mp4": os.urandom(size) for i in range(2)}})
            for k in range(2)]


def deliver(service, delivery):
    """The files a delivery changes, then TF, each renamed into place as rsync does it."""
    for name, data in delivery.files.items():
        write_replacing(service.path("sync_dir/" + name), data)
    write_replacing(service.path("sync_dir/TF"), delivery.transaction_file)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--mib", type=int, default=256, help="size of one delivery")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    random.seed(args.seed)
    service = Service(sync_repeat=2, name="crash")
    bad = 0
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
        pair = deliveries(os.path.join(service.root, "scratch"), args.mib)
        mark = service.log_mark()
        deliver(service, pair[0])
        started = time.monotonic()
        service.wait_log(SETTLED, since=mark, pattern=True, timeout=600)
        window = time.monotonic() - started
        for run in range(args.runs):
            old, new = pair[run % 2], pair[(run + 1) % 2]
            deliver(service, new)
            delay = random.uniform(0, window)
            time.sleep(delay)  # the crash comes at a random moment of the synchronisation
            service.kill()
            after_crash = played_transaction_file(service)
            mark = service.start()
            service.wait_log(SETTLED, since=mark, pattern=True, timeout=600)
            after_restart = played_transaction_file(service)
            good = after_crash in (old.transaction_file, new.transaction_file) \
                and after_restart == new.transaction_file
            bad += not good
            crashed_on = "new" if after_crash == new.transaction_file else \
                "old" if after_crash == old.transaction_file else "MIXED"
            print(f"run {run + 1}: killed {delay:.2f} s after TF, played {crashed_on}, "
                  f"{'ok' if good else 'BAD'}", flush=True)
    finally:
        service.close()
    print(f"runs {args.runs}, delivery {args.mib} MiB, bad runs {bad}")
    return 1 if bad else 0


if __name__ == "__main__":
    raise SystemExit(main())
