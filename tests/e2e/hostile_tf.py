"""Hostile transaction files against the real vesk-service: a check for CI, and the figure of the
service's peak memory while it refuses the worst TF it reads (64 MiB at most).

Whoever holds the paired key writes the sync directory's TF, and with Main/connectFrom unset
anyone on the network can pair. Each TF here costs memory the service must not run out of: one
line of megabytes, names 2,000 directories deep, millions of lines, a name that is a file and a
directory. HostileTransactionFileTest, run by CTest, checks that the service stays up, that its
peak resident memory (VmHWM, reset before each TF) stays within a bound far below what parsing
them naively takes, that the status says each refusal and why, that a TF refused for itself is
not parsed again while it stands unchanged, and that a genuine delivery still goes in after them.

By hand, as root, against a Release build, it prints the figure: the idle peak and the peak
while each of the worst TFs is refused.

    VESK_SERVICE=build-rel/bin/vesk-service /usr/bin/python3 -B tests/e2e/hostile_tf.py
"""

import json
import os
import sys
import unittest
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vesk_e2e import Delivery, Peer, Service, wait_until, write_replacing  # noqa: E402

MAX_TF = 64 << 20
# Of the service's peak while it refuses one of the test's TFs (a few MiB each), over its
# resident memory before: parsing the deepest of them as sets of directories takes gigabytes.
# Generous for the sanitizers' own bookkeeping.
BOUND_KIB = 384 * 1024

MISSING = "a file TF lists is missing or unreadable"


def line(checksum, name):
    return b"%016x  %s\n" % (checksum, name)


def deep(number, depth):
    """A name `depth` components deep, each of one letter but the first."""
    return b"d%06d" % number + b"/a" * (depth - 1)


def hostile_tfs(scale=1):
    """(what, TF, outcome, reason, parsed once): the TFs of the test, or at scale 0 the worst
    within 64 MiB, one of each kind."""
    if scale == 0:
        short = MAX_TF // 20 - 1
        unique = [b"%x" % n for n in range(MAX_TF // 25)]
        longest = 4095 // 2
        return [
            ("one line of 64 MiB", b"0" * 16 + b"  " + b"a" * (MAX_TF - 18), "refused",
             "line 1: the name is longer than 4095 bytes", True),
            (f"{short} lines of one name, the last with another checksum",
             line(1, b"a") * short + line(2, b"a"), "refused",
             f"line {short + 1} lists a again with another checksum", True),
            (f"{len(unique)} names, all missing", b"".join(line(1, n) for n in unique),
             "refused", MISSING, False),
            (f"{MAX_TF // 4114 - 1} names of 4095 bytes, one a file and a directory",
             b"".join(line(1, deep(n, longest)) for n in range(MAX_TF // 4114 - 1))
             + line(1, b"d000000/a"), "refused",
             "d000000/a is listed as a file and as a directory", True),
        ]
    lines = 300000 * scale
    return [
        ("one line of 4 MiB", b"0" * 16 + b"  " + b"a" * (4 << 20), "refused",
         "line 1: the name is longer than 4095 bytes", True),
        ("250 names 2,000 deep", b"".join(line(1, deep(n, 2000)) for n in range(250)),
         "refused", MISSING, False),
        (f"{lines} lines of one name, the last with another checksum",
         line(1, b"a") * lines + line(2, b"a"), "refused",
         f"line {lines + 1} lists a again with another checksum", True),
        ("250 names 2,000 deep and one of their directories",
         b"".join(line(1, deep(n, 2000)) for n in range(250)) + line(1, b"d000000/a/a"),
         "refused", "d000000/a/a is listed as a file and as a directory", True),
    ]


def kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        return next(int(entry.split()[1]) for entry in f if entry.startswith(field + ":"))


def reset_peak(pid):
    """VmHWM starts again from the resident memory of now."""
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def status_of(service):
    try:
        with open(service.path("status.json"), "rb") as f:
            return json.loads(f.read())
    except (OSError, ValueError):
        return None


def next_look(service, accept, what):
    """The status's look at the sync directory once `accept` takes it; the service must live."""
    def look():
        if not service.running():
            raise AssertionError(f"the service died\n{service.diagnostics()}")
        status = status_of(service)
        sync = status and status["sync"]
        return sync if sync and accept(sync) else None
    return wait_until(look, 120, what, service.diagnostics)


def refuse(service, tf, reason):
    """Writes TF as a delivery does; the service's peak (kB) until the status says it was refused
    for `reason`, and that look."""
    pid = service.process.pid
    reset_peak(pid)
    write_replacing(service.path("sync_dir/TF"), tf)
    sync = next_look(service, lambda sync: sync.get("reason") == reason, f"the refusal '{reason}'")
    return kib(pid, "VmHWM"), sync


class HostileTransactionFileTest(unittest.TestCase):
    def test_hostile_transaction_files(self):
        service = Service(name="hostile-tf", sync_repeat=1)
        self.addCleanup(service.close)
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
        pid = service.process.pid
        for what, tf, outcome, reason, parsed_once in hostile_tfs():
            with self.subTest(what):
                before = kib(pid, "VmRSS")
                peak, sync = refuse(service, tf, reason)
                self.assertEqual((sync["outcome"], sync["retryPending"]),
                                 (outcome, not parsed_once))
                self.assertLess(peak - before, BOUND_KIB, f"{what}: peak {peak} kB")
                if not parsed_once:
                    continue
                # Another look at the same TF (its mode changed, which the watcher reports):
                # refused as before, without being parsed again.
                os.chmod(service.path("sync_dir/TF"), 0o600)
                again = next_look(service, lambda look: look["time"] != sync["time"],
                                  "another look at the same TF")
                self.assertEqual((again["outcome"], again["reason"], again["refusedSince"]),
                                 (outcome, reason, sync["refusedSince"]))
        # A genuine delivery after them all still goes in.
        files = {"playlist.ini": b"[e2e]\ndays=all\n[e2e.1]\nurl=a.mp4\ntimeplay=2\n",
                 "a.mp4": os.urandom(4096)}
        delivery = Delivery(os.path.join(service.root, "genuine"), files)
        mark = service.log_mark()
        delivery.copy_into(service.path("sync_dir"))
        service.wait_log("  синхронизация завершена", since=mark)
        with open(service.path("work_dir/TF"), "rb") as f:
            self.assertEqual(f.read(), delivery.transaction_file)


if __name__ == "__main__":
    figure_service = Service(name="hostile-tf-figure", sync_repeat=3600, log_level="info")
    try:
        figure_service.start()
        figure_service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
        wait_until(lambda: status_of(figure_service), 30, "the status")
        print(f"idle: VmHWM {kib(figure_service.process.pid, 'VmHWM') / 1024:.1f} MiB")
        for figure_what, figure_tf, _, figure_reason, _ in hostile_tfs(scale=0):
            figure_peak, _ = refuse(figure_service, figure_tf, figure_reason)
            print(f"{figure_what} ({len(figure_tf) / 2**20:.1f} MiB): VmHWM "
                  f"{figure_peak / 1024:.1f} MiB")
    finally:
        figure_service.close()
