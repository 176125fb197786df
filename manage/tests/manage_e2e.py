"""vesk-manage against the real service as its own account, a stock sshd and rsync.

One register runs as in vesktest.register (its account, CAP_LINUX_IMMUTABLE only, a
stock sshd of the test's own on loopback, the paired key behind the register's SSH gate);
vesk-manage pairs with it, delivers to it, reads its status and listens to its heartbeats; a second register, in a mount namespace of its own, joins the
same listener. Nothing of the host's home or SSH configuration is used: the pairings live in the
test's scratch directory, the register's host key in a known_hosts file of the test's own.
"""

import base64
import datetime
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import unittest
import uuid

from vesktest import scratch
from vesktest.cases import read
from vesktest.manage import MANAGE, PLAYLIST, Lines, Manager, start_register
from vesktest.peers import files_under
from vesktest.service import (REQUEST_TIMEOUT, SANITIZER_REPORT, Service, free_tcp_port,
                              make_clip, wait_until)
from vesktest.wire import seal_heartbeat

def write(directory, name, data):
    path = os.path.join(directory, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def played_line(content):
    """What deliver prints when the register plays the content."""
    names = [name for name in files_under(content) if name != "TF"]
    size = sum(os.path.getsize(os.path.join(content, name)) for name in names)
    return f"played: {len(names)} files, {size} bytes\n"


class ManageTest(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(MANAGE):
            self.skipTest("VESK_MANAGE must name the built program")
        self.scratch = scratch.directory("manage-", self)
        self.manager = Manager(self.scratch)
        self.heartbeat_port = free_tcp_port()

    def manage(self, *arguments):
        return self.manager.run(*arguments)

    def start_manage(self, *arguments):
        process = self.manager.start(*arguments)

        def end():
            if process.poll() is None:
                process.kill()
            process.wait()
            for pipe in (process.stdout, process.stderr):
                if not pipe.closed:
                    pipe.close()
        self.addCleanup(end)
        return process

    def pair(self, service, name):
        paired = self.manage("pair", f"127.0.0.1:{service.port}", "--ssh-key",
                             self.manager.key + ".pub",
                             "--listen", f"127.0.0.1:{self.heartbeat_port}", "--name", name)
        self.assertEqual(paired.returncode, 0, paired.stderr)
        # The key as the register keeps it: behind its gate, which lets it deliver and read.
        with open(self.manager.key + ".pub", encoding="ascii") as f:
            self.assertRegex(read(service.path(".ssh/authorized_keys")).decode(),
                             rf'^restrict,command="[^"]*/vesk-sshgate" {re.escape(f.read())}$')
        kept = os.path.join(self.scratch, "state", "vesk-manage", name)
        self.assertEqual(stat.S_IMODE(os.stat(kept).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(kept)).st_mode), 0o700)

    def deliver(self, service, ssh, content, *options, status=0):
        result = self.manage("deliver", "shop", content, *ssh, *options)
        self.assertEqual(result.returncode, status,
                         f"{result.stdout}\n{result.stderr}\n{service.diagnostics()}")
        return result

    def assertPlays(self, service, content):
        played = service.path(os.readlink(service.path("work_dir")))
        self.assertEqual(files_under(played), files_under(content))
        for name in files_under(content):
            self.assertEqual(read(os.path.join(played, name)), read(os.path.join(content, name)))

    def test_pair_deliver_status_and_listen(self):
        service, ssh = start_register(self.scratch, "shop", self.addCleanup)
        self.pair(service, "shop")
        listener = self.start_manage("listen", "--port", str(self.heartbeat_port), "--json")
        beats = Lines(listener.stdout)
        listening = Lines(listener.stderr)
        listening.wait_for(lambda line: "listening on UDP port" in line, REQUEST_TIMEOUT,
                           "vesk-manage listening")
        # A register beats once at start and then every minute: a restart brings the first beat.
        service.restart()
        beats.wait_for(lambda line: '"register":"shop"' in line, REQUEST_TIMEOUT, "a beat")

        content = os.path.join(self.scratch, "content")
        clips = os.path.join(self.scratch, "clips")
        write(content, "video/red.mp4", make_clip(os.path.join(clips, "red.mp4"), "red"))
        write(content, "blue.mp4", make_clip(os.path.join(clips, "blue.mp4"), "blue"))
        write(content, "playlist.ini", (PLAYLIST + "[shop.2]\nurl = blue.mp4\n").encode())
        first = self.deliver(service, ssh, content)
        self.assertEqual(first.stdout, played_line(content))
        self.assertIn("media: ", first.stderr)
        self.assertPlays(service, content)

        # One file changed, one removed.
        write(content, "video/red.mp4", make_clip(os.path.join(clips, "green.mp4"), "green"))
        os.remove(os.path.join(content, "blue.mp4"))
        write(content, "playlist.ini", PLAYLIST.encode())
        self.deliver(service, ssh, content)
        self.assertPlays(service, content)
        self.assertFalse(os.path.exists(service.path("sync_dir/blue.mp4")))

        # A file damaged on the register with the size and time of ours: rsync's quick check
        # keeps it, and the register refuses the delivery with its reason.
        played = os.readlink(service.path("work_dir"))
        yellow = make_clip(os.path.join(clips, "yellow.mp4"), "yellow")
        write(content, "yellow.mp4", yellow)
        write(content, "playlist.ini", (PLAYLIST + "[shop.3]\nurl = yellow.mp4\n").encode())
        damaged = service.path("sync_dir/yellow.mp4")
        write(service.path("sync_dir"), "yellow.mp4", bytes([yellow[0] ^ 1]) + yellow[1:])
        shutil.copystat(os.path.join(content, "yellow.mp4"), damaged)
        os.chown(damaged, *[os.stat(service.path("sync_dir"))[i] for i in (4, 5)])
        refused = self.deliver(service, ssh, content, status=1)
        self.assertEqual(refused.stdout, "refused: a file does not match its checksum in TF\n")
        self.assertEqual(os.readlink(service.path("work_dir")), played)
        shown = self.manage("status", "shop", *ssh)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertRegex(shown.stdout, r"Delivery: +\S+ \S+, refused: a file does not match")
        self.deliver(service, ssh, content, "--checksum")
        self.assertPlays(service, content)

        # The register's plays, collected through its gate with the real vesk-plays: one row per
        # record, and the register told it may forget what the store committed.
        ledger = service.path("plays")
        plays_tool = os.path.join(os.path.dirname(MANAGE), "vesk-plays")

        def read_out():
            out = subprocess.run([plays_tool, "--after", "0", "--dir", ledger], capture_output=True,
                                 text=True, check=True).stdout.splitlines()
            return [json.loads(line) for line in out]
        wait_until(lambda: read_out()[0]["last"] > 0, REQUEST_TIMEOUT, "a play in the ledger",
                   interval=0.5)
        collected = self.manage("plays", "shop", *ssh)
        self.assertEqual(collected.returncode, 0, collected.stderr)
        store = os.path.join(self.scratch, "state", "vesk-manage", "plays.sqlite")
        rows = subprocess.run(["sqlite3", store, "SELECT COUNT(*), COUNT(DISTINCT seq), "
                               "MAX(seq) FROM plays"], capture_output=True, text=True,
                              check=True).stdout.strip().split("|")
        count, distinct, highest = (int(n) for n in rows)
        head = read_out()[0]
        self.assertEqual((count, distinct), (highest, highest))
        self.assertGreater(highest, 0)
        self.assertEqual(head["acked"], highest)

        # The register holds TF while it verifies; the service is held still around a hold of
        # our own, so that no run of it ends the hold before deliver has met it.
        tf = service.path("sync_dir/TF")
        service.process.send_signal(signal.SIGSTOP)
        try:
            subprocess.run(["chattr", "+i", tf], check=True)
            write(content, "playlist.ini", (PLAYLIST + "[shop.4]\nurl = yellow.mp4\n").encode())
            held = self.start_manage("deliver", "shop", content, *ssh)
            notes = Lines(held.stderr)
            notes.wait_for(lambda line: "TF held by the register" in line, REQUEST_TIMEOUT * 2,
                           "deliver meeting the held TF")
        finally:
            subprocess.run(["chattr", "-i", tf], check=True)
            service.process.send_signal(signal.SIGCONT)
        self.assertEqual(held.wait(REQUEST_TIMEOUT * 4), 0, "\n".join(notes.seen))
        notes.close()
        self.assertEqual(held.stdout.read(), played_line(content))
        self.assertPlays(service, content)

        # A second register, paired while the listener runs, joins the same table.
        second = Service(sync_repeat=2, name="second")
        self.addCleanup(second.close)
        second.start()
        self.pair(second, "second-shop")
        second.restart()
        beats.wait_for(lambda line: '"register":"second-shop"' in line, REQUEST_TIMEOUT,
                       "the second register's beat")
        listener.send_signal(signal.SIGTERM)
        self.assertEqual(listener.wait(REQUEST_TIMEOUT), 0)
        beats.close()
        listening.close()
        self.assertFalse(any(SANITIZER_REPORT.search(line) for line in listening.seen))

    def test_listen_table_shows_how_far_a_clock_is_off(self):
        """The CLOCK column of the table for registers whose beats are behind, ahead, on time."""
        service = Service(sync_repeat=2, name="clocks")
        self.addCleanup(service.close)
        service.start()
        offsets = {"behind": -90.25, "ahead": 90.25, "on-time": 0.0}
        keys = {}
        for name in offsets:
            # The register's own beats go elsewhere: only the sealed ones below reach the table.
            paired = self.manage("pair", f"127.0.0.1:{service.port}", "--ssh-key",
                                 self.manager.key + ".pub", "--listen",
                                 f"127.0.0.1:{free_tcp_port()}", "--name", name)
            self.assertEqual(paired.returncode, 0, paired.stderr)
            kept = json.loads(read(os.path.join(self.scratch, "state", "vesk-manage", name)))
            keys[name] = (uuid.UUID(kept["token"]).bytes, base64.b64decode(kept["sharedKey"]))
        listener = self.start_manage("listen", "--port", str(self.heartbeat_port))
        table = Lines(listener.stdout)
        Lines(listener.stderr).wait_for(lambda line: "listening on UDP port" in line,
                                        REQUEST_TIMEOUT, "vesk-manage listening")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for name, offset in offsets.items():
                token, key = keys[name]
                moment = datetime.datetime.now().astimezone() + datetime.timedelta(seconds=offset)
                sealed = b'{"datetime":"%s"}' % moment.isoformat(timespec="milliseconds").encode()
                sender.sendto(seal_heartbeat(token, key, sealed), ("127.0.0.1", self.heartbeat_port))
        for name, offset in offsets.items():
            row = re.compile(rf"^{re.escape(name)} .* (?P<clock>\S+) s +1 +\d+$")
            shown = row.match(table.wait_for(row.match, REQUEST_TIMEOUT, f"the row of {name}"))
            # Signed, and as far off as sealed, but for the beat's way through loopback.
            self.assertRegex(shown["clock"], r"^[+-]\d+\.\d{3}$", name)
            self.assertLess(abs(float(shown["clock"]) - offset), 1.0, shown["clock"])


if __name__ == "__main__":
    unittest.main()
