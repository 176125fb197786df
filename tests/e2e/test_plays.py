"""The ledger of plays against the real vesk-service: short slots played from a delivery, read
out with vesk-plays over the paired key (the real sshd, the gate, the account vesk) while the
service plays, acknowledged, and a SIGKILL in the middle of a play, which the next start records
as interrupted, no seq handed out twice."""

import json
import os
import subprocess
import unittest

from vesktest.register import seal, start_register
from vesktest.cases import ServiceTestCase
from vesktest.service import delivery_name, free_tcp_port, make_clip, wait_until

# Slots of two seconds: clips of one second play whole; "missing.mp4" is not delivered, so its
# slot fails and the placeholder stands in.
PLAYLIST = """[ads]
name = ads
days = all
[ads.1]
url = a.mp4
timeplay = 2
[ads.2]
url = video/b.mp4
timeplay = 2
[ads.3]
url = missing.mp4
timeplay = 2
[placeholder]
url = idle.mp4
"""
OUTCOMES = {"played", "cut", "failed", "interrupted"}
READ_TIMEOUT = 120


def xxh64(path):
    return subprocess.run(["xxhsum", "-H1", path], capture_output=True, check=True,
                          text=True).stdout[:16]


class PlaysTest(ServiceTestCase):
    def read_out(self, server, after, limit=None):
        """vesk-plays --after over the paired key: (ledger line, play and gap lines, end line)."""
        command = f"vesk-plays --after {after}" + (f" --limit {limit}" if limit else "")
        result = server.ssh_run(command)
        self.assertEqual((result.returncode, result.stderr), (0, b""), command)
        lines = [json.loads(line) for line in result.stdout.decode("utf-8").splitlines()]
        self.assertTrue(result.stdout.endswith(b"\n"))
        self.assertEqual(lines[0]["type"], "ledger")
        self.assertEqual(lines[-1]["type"], "end")
        return lines[0], lines[1:-1], lines[-1]

    def plays_after(self, server, after, accept):
        """Waits until the read-out after `after` satisfies accept(plays); returns the read-out."""
        def ready():
            head, items, end = self.read_out(server, after)
            return (head, items, end) if accept([i for i in items if i["type"] == "play"]) else None
        return wait_until(ready, READ_TIMEOUT, "plays in the ledger", interval=0.5)

    def test_plays_read_out_acknowledged_and_interrupted(self):
        scratch = self.scratch()
        service = self.service(sync_repeat=2, send_to=f"127.0.0.1:{free_tcp_port()}")
        host, server = start_register(service, scratch)
        self.addCleanup(host.close)
        content = os.path.join(scratch, "content")
        for name, colour in (("a.mp4", "red"), ("video/b.mp4", "blue"), ("idle.mp4", "gray")):
            make_clip(os.path.join(content, name), colour, seconds=1)
        with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
            f.write(PLAYLIST)
        tf = seal(content)
        server.deliver(content)
        service.wait_applied(tf)

        def a_round(plays):
            return {p["url"] for p in plays if p["delivery"] == delivery_name(tf)} \
                >= {"a.mp4", "video/b.mp4", "missing.mp4"}
        head, items, end = self.plays_after(server, 0, a_round)
        plays = [item for item in items if item["type"] == "play"]
        ledger = head["ledger"]
        self.assertRegex(ledger, r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
        self.assertEqual(head["acked"], 0)
        self.assertEqual(head["last"], plays[-1]["seq"])
        self.assertEqual([p["seq"] for p in plays], list(range(1, len(plays) + 1)))
        self.assertFalse(end["more"])
        checksums = {name: xxh64(os.path.join(content, name)) for name in ("a.mp4", "video/b.mp4")}
        for play in plays:
            self.assertEqual(play["ledger"], ledger)
            self.assertIn(play["outcome"], OUTCOMES)
            for key in ("scheduledStart", "scheduledEnd", "start", "end"):
                self.assertRegex(play[key], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+03:00$")
            if play["delivery"] != delivery_name(tf):
                continue
            if play["url"] in checksums:
                self.assertEqual((play["playlist"], play["checksum"], play["placeholder"]),
                                 ("ads", checksums[play["url"]], False), play)
            if play["url"] == "missing.mp4":
                # The placeholder stood in for the file that is not there.
                self.assertEqual((play["outcome"], play["placeholder"], play["checksum"],
                                  play["file"]), ("failed", True, "", "3"), play)
        self.assertIn("played", {p["outcome"] for p in plays if p["url"] in checksums})

        # A limit of one: one line, and more to come.
        _, limited, more = self.read_out(server, 0, limit=1)
        self.assertEqual((len(limited), more["more"]), (1, True))

        # Acknowledgement: refusals with status 1 and a reason, then the ack itself.
        last = head["last"]
        for command, reason in ((f"vesk-plays --ack {ledger} {last + 1000}", b"beyond the last seq"),
                                (f"vesk-plays --ack 00000000-0000-4000-8000-000000000000 1",
                                 b"another ledger")):
            refused = server.ssh_run(command)
            self.assertEqual(refused.returncode, 1, command)
            self.assertIn(reason, refused.stderr, command)
        acked = server.ssh_run(f"vesk-plays --ack {ledger} {last}")
        self.assertEqual(acked.returncode, 0, acked.stderr)
        self.assertEqual(json.loads(acked.stdout), {"type": "acked", "ledger": ledger,
                                                    "acked": last})
        self.assertIn(b"not a command this key may run",
                      server.ssh_run("vesk-plays --after 0 --dir /tmp").stderr)

        # Killed in the middle of a play: the next start records it as interrupted, and the seqs
        # go on after it.
        def playing(plays):
            return any(p["seq"] > last for p in plays)
        head, items, _ = self.plays_after(server, last, playing)
        self.assertEqual(head["acked"], last)
        seen = max(p["seq"] for p in items if p["type"] == "play")
        service.kill()
        service.start()

        def interrupted(plays):
            return any(p["outcome"] == "interrupted" for p in plays) and \
                any(p["seq"] > seen + 1 for p in plays)
        head, items, _ = self.plays_after(server, last, interrupted)
        self.assertEqual(head["ledger"], ledger)
        seqs = [p["seq"] for p in items if p["type"] == "play"]
        self.assertEqual(seqs, list(range(last + 1, last + 1 + len(seqs))))
        stopped = [p for p in items if p.get("outcome") == "interrupted"]
        self.assertEqual(len(stopped), 1)
        self.assertEqual(stopped[0]["end"], stopped[0]["start"])
        self.assertEqual([i for i in items if i["type"] == "gap"], [])


if __name__ == "__main__":
    unittest.main()
