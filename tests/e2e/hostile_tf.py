"""Transaction files that cost memory, against the real vesk-service. The test (CTest): it stays
up, its peak (VmHWM, reset before each TF) stays far below the gigabytes that keeping every
directory of every name took, the status says why, a TF refused for itself is not parsed again,
a delivery still goes in. By hand, the figure: a fresh service's peak while it refuses each of
the worst TFs within 64 MiB, beside its idle peak.

    VESK_SERVICE=build-rel/bin/vesk-service PYTHONPATH=tests/lib /usr/bin/python3 -B \
        tests/e2e/hostile_tf.py
"""

import os
import unittest
import uuid

from vesktest.proc import status_kib
from vesktest.service import Delivery, Peer, Service, write_replacing
from vesktest.wire import tf_line

BOUND_KIB = 384 << 10  # over the memory before a TF; generous for the sanitizers' quarantine
MISSING = "a file TF lists is missing or unreadable"


def lines(names, checksum=1):
    return b"".join(tf_line(checksum, name) for name in names)


def hostile_tfs(mib):
    """(what, TF, reason, parsed once): the test's TFs, or the worst that fit in `mib` MiB."""
    size, worst = mib << 20, mib == 64
    repeated, depth = (size // 20 - 1, 2045) if worst else (300000, 2000)
    tree = [b"d%06d" % n + b"/a" * (depth - 1) for n in range(size // 4114 - 1 if worst else 250)]
    return [(f"a line of {mib} MiB", b"0" * 18 + b"a" * (size - 18),
             "line 1: the name is longer than 4095 bytes", True),
            (f"{repeated} lines of one name", lines([b"a"] * repeated) + lines([b"a"], 2),
             f"line {repeated + 1} lists a again with another checksum", True),
            (f"{len(tree)} names {depth} deep", lines(tree), MISSING, False),
            (f"{len(tree)} names {depth} deep, one also a file", lines(tree + [b"d000000/a"]),
             "d000000/a is listed as a file and as a directory", True)] + worst * [
            (f"{size // 25} names", lines(b"%x" % n for n in range(size // 25)), MISSING, False)]


def look(service, accept, what, part="sync"):
    """The status's last look at the sync directory (or its last switch) once `accept` takes it."""
    return service.wait_status(lambda status: status[part] and accept(status[part]), what,
                               timeout=120)[part]


def refuse(service, tf, reason):
    """The service's resident memory before TF is written and its peak until the status says why
    it refused TF (kB), and that look."""
    pid = service.process.pid
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")  # VmHWM starts again from now
    before = status_kib(pid, "VmHWM")
    write_replacing(service.path("sync_dir/TF"), tf)
    refused = look(service, lambda s: s.get("reason") == reason, reason)
    return before, status_kib(pid, "VmHWM"), refused


def paired_service(name, **options):
    service = Service(name=name, **options)
    service.start()
    service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
    return service


class HostileTransactionFileTest(unittest.TestCase):
    def test_hostile_transaction_files(self):
        service = paired_service("hostile-tf", sync_repeat=1)
        self.addCleanup(service.close)
        for what, tf, reason, parsed_once in hostile_tfs(4):
            with self.subTest(what):
                before, peak, sync = refuse(service, tf, reason)
                self.assertEqual((sync["outcome"], sync["retryPending"]),
                                 ("refused", not parsed_once))
                self.assertLess(peak - before, BOUND_KIB, f"peak {peak} kB")
                if parsed_once:  # looked at again (the watcher sees its mode change), unparsed
                    os.chmod(service.path("sync_dir/TF"), 0o600)
                    again = look(service, lambda s: s["time"] != sync["time"], "another look")
                    self.assertEqual((again["reason"], again["refusedSince"]),
                                     (reason, sync["refusedSince"]))
        files = {"playlist.ini": b"[e2e]\ndays=all\n[e2e.1]\nurl=a.mp4\n", "a.mp4": b"a" * 4096}
        Delivery(os.path.join(service.root, "genuine"), files).copy_into(service.path("sync_dir"))
        self.assertEqual(look(service, bool, "the delivery", "lastSwitch")["files"], 2)


if __name__ == "__main__":
    for figure_what, figure_tf, figure_reason, _ in hostile_tfs(64):
        figure = paired_service("hostile-tf-figure", sync_repeat=3600, log_level="info")
        try:
            idle, peak, _ = refuse(figure, figure_tf, figure_reason)
            print(f"{figure_what} ({len(figure_tf) / 2**20:.1f} MiB): VmHWM {peak / 1024:.1f} "
                  f"MiB, idle {idle / 1024:.1f} MiB")
        finally:
            figure.close()
