"""vesk-manage and a chain of twenty registers, each a real service as its own account with its
own home, sshd and address (vesktest.fleet): one delivery to all, then one in which a register
is cut off, one refuses a damaged file and one holds its TF, each told as such while the others
play; then status over all of them.
"""

import json
import os
import shutil
import signal
import subprocess
import unittest

from manage_e2e import write
from vesktest.cases import read
from vesktest.fleet import build_fleet, scratch_directory
from vesktest.manage import PLAYLIST, Lines
from vesktest.peers import make_clip
from vesktest.service import REQUEST_TIMEOUT, wait_until

COUNT = 20


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


class FleetTest(unittest.TestCase):
    def test_deliver_to_a_fleet_and_its_status(self):
        scratch = scratch_directory(self.addCleanup)
        fleet = build_fleet(COUNT, scratch, self.addCleanup)
        manager = fleet.manager
        names = [register.name for register in fleet.registers]

        content = os.path.join(scratch, "content")
        clips = os.path.join(scratch, "clips")
        write(content, "video/red.mp4", make_clip(os.path.join(clips, "red.mp4"), "red"))
        write(content, "playlist.ini", PLAYLIST.encode())
        first = manager.run("deliver", "--all", content, "--parallel", "8", *manager.ssh)
        self.assertEqual(first.returncode, 0, first.stdout + first.stderr)
        self.assertEqual(first.stdout.splitlines()[-1],
                         f"{COUNT} registers: {COUNT} played, 0 refused, 0 unreachable, "
                         "0 still retrying")
        tf = read(os.path.join(content, "TF"))
        for register in fleet.registers:
            register.service.wait_applied(tf)

        # The next week: a register cut off, one with a damaged copy of the new file (the size and
        # time of ours, so rsync's quick check keeps it), one holding its TF.
        dark, damaged, holding = fleet.registers[3], fleet.registers[7], fleet.registers[11]
        yellow = make_clip(os.path.join(clips, "yellow.mp4"), "yellow")
        write(content, "yellow.mp4", yellow)
        write(content, "playlist.ini", (PLAYLIST + "[shop.2]\nurl = yellow.mp4\n").encode())
        sync_dir = damaged.service.path("sync_dir")
        write(sync_dir, "yellow.mp4", bytes([yellow[0] ^ 1]) + yellow[1:])
        shutil.copystat(os.path.join(content, "yellow.mp4"), os.path.join(sync_dir, "yellow.mp4"))
        os.chown(os.path.join(sync_dir, "yellow.mp4"), *[os.stat(sync_dir)[i] for i in (4, 5)])
        dark.cut()
        # Held still around a hold of our own, so that no run of the service ends it early.
        held_tf = holding.service.path("sync_dir/TF")
        holding.service.process.send_signal(signal.SIGSTOP)
        released = False
        try:
            subprocess.run(["chattr", "+i", held_tf], check=True)
            run = manager.start("deliver", "--all", content, "--parallel", "4", "--json",
                                *manager.ssh)
            self.addCleanup(lambda: run.poll() is None and run.kill())
            changes = Lines(run.stdout)
            notes = Lines(run.stderr)
            last = {}

            def others_settled():
                changes._take()
                last.clear()
                for line in changes.seen:
                    event = json.loads(line)
                    if "register" in event:
                        last[event["register"]] = event["stage"]
                others = [name for name in names if name != holding.name]
                return (all(last.get(name) in ("played", "refused", "unreachable")
                            for name in others)
                        and last.get(holding.name) == "TF held")
            wait_until(others_settled, REQUEST_TIMEOUT * 6, "the others settled, one held",
                       lambda: "\n".join(changes.seen[-30:] + notes.seen[-10:]))
            self.assertEqual(last[dark.name], "unreachable")
            self.assertEqual(last[damaged.name], "refused")
            self.assertEqual(sorted(name for name, stage in last.items() if stage == "played"),
                             [name for name in names
                              if name not in (dark.name, damaged.name, holding.name)])
        finally:
            subprocess.run(["chattr", "-i", held_tf], check=True)
            holding.service.process.send_signal(signal.SIGCONT)
            released = True
        self.assertTrue(released)
        self.assertEqual(run.wait(REQUEST_TIMEOUT * 4), 3, "\n".join(notes.seen))
        changes.close()
        notes.close()
        events = [json.loads(line) for line in changes.seen]
        self.assertEqual(events[-1]["summary"],
                         {"played": COUNT - 2, "refused": 1, "unreachable": 1,
                          "stillRetrying": 0, "failed": 0, "exitStatus": 3})
        refusal = [e for e in events if e.get("register") == damaged.name][-1]
        self.assertEqual(refusal["text"], "refused: a file does not match its checksum in TF")
        new_tf = read(os.path.join(content, "TF"))
        for register in fleet.registers:
            if register not in (dark, damaged):
                register.service.wait_applied(new_tf)

        # Status over all: the dark one unreadable, the refusing one on last week's delivery.
        shown = manager.run("status", "--all", "--json", *manager.ssh)
        self.assertEqual(shown.returncode, 3, shown.stderr)
        rows = json_lines(shown.stdout)
        by_name = {row["register"]: row for row in rows[:-1]}
        self.assertEqual(sorted(by_name), names)
        self.assertIsNotNone(by_name[dark.name]["unreadable"])
        self.assertTrue(by_name[damaged.name]["sync"].startswith("refused: a file does not"))
        self.assertEqual(by_name[damaged.name]["directory"], content)
        self.assertEqual(rows[-1]["notOnLatest"], sorted([dark.name, damaged.name]))
        on_latest = by_name[names[0]]
        self.assertEqual((on_latest["directory"], on_latest["running"], on_latest["onLatest"]),
                         (content, True, True))

        # Back on the line and mended: both by name, the damaged file compared by content.
        dark.reconnect()
        mended = manager.run("deliver", dark.name, damaged.name, content, "--checksum",
                             *manager.ssh)
        self.assertEqual(mended.returncode, 0, mended.stdout + mended.stderr)
        damaged.service.wait_applied(new_tf)
        dark.service.wait_applied(new_tf)
        table = manager.run("status", "shop-*", *manager.ssh)
        self.assertEqual(table.returncode, 0, table.stderr)
        self.assertEqual(len(table.stdout.splitlines()), COUNT + 1)
        self.assertTrue(table.stdout.splitlines()[-1].startswith("all on the latest delivery"),
                        table.stdout)


if __name__ == "__main__":
    unittest.main()
