"""The pairing and what it grants, against the real vesk-service: the paired key over a stock sshd
(it delivers and reads what plays, nothing else), pairings at the same time and killed half-way,
and a peer's text in the log. One class per scenario, one CTest test per class (see
CMakeLists.txt)."""

import hashlib
import json
import os
import signal
import socket
import stat
import subprocess
import sys
import unittest

from vesktest import gate
from vesktest.cases import PLAYLIST, SECOND_PLAYLIST, ServiceTestCase, read
from vesktest.gate import account_rsyncs, rules_attack
from vesktest.pairing import CappedLogService, kills, rounds, type_flood
from vesktest.peers import files_under, seal
from vesktest.register import ACCOUNT, start_register, use_gate
from vesktest.service import HOME, REQUEST_TIMEOUT, free_tcp_port, make_clip, post_json, wait_until

SYNCED = "  синхронизация завершена"


def snapshot(home):
    """Every entry of the home outside the sync directory, with what it holds; the status file
    and the ledger of plays, which the service rewrites by itself, left out."""
    entries = {}
    for parent, directories, files in os.walk(home):
        relative = os.path.relpath(parent, home)
        if relative == ".":
            # The ledger of plays changes by itself while the service plays.
            directories[:] = [d for d in directories if d not in ("sync_dir", "plays")]
        for name in directories + files:
            path = os.path.join(parent, name)
            if relative == "." and "status.json" in name:
                continue
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                held = os.readlink(path)
            elif stat.S_ISREG(info.st_mode):
                held = hashlib.sha256(read(path)).hexdigest()
            else:
                held = None
            entries[os.path.join(relative, name)] = (stat.S_IFMT(info.st_mode),
                                                     stat.S_IMODE(info.st_mode), held)
    return entries


class SshGateTest(ServiceTestCase):
    """The paired key over an sshd that allows what a stock one does: rsync receiving into the
    sync directory by both of its names, and the two documented reads, go through; every other
    use of the key is refused and changes nothing outside the sync directory."""

    def test_key_delivers_and_reads_and_nothing_else(self):
        scratch = self.scratch()
        service = self.service(sync_repeat=2)
        host, server = start_register(service, scratch)
        self.addCleanup(host.close)
        content = os.path.join(scratch, "content")
        os.makedirs(os.path.join(content, "video"))
        make_clip(os.path.join(content, "video", "red.mp4"), "red")
        make_clip(os.path.join(content, "blue.mp4"), "blue")
        with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
            f.write(PLAYLIST)

        # By the absolute path the pairing answered, then by the name below the home.
        for relative, link, playlist in ((False, "work_dir_b", PLAYLIST),
                                         (True, "work_dir_a", SECOND_PLAYLIST)):
            with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
                f.write(playlist)
            tf = seal(content)
            mark = service.log_mark()
            server.deliver(content, relative=relative)
            service.wait_log(SYNCED, since=mark)
            self.assertEqual(os.readlink(service.path("work_dir")), link)
            played = server.ssh_run(f"cat {HOME}/work_dir/TF")
            self.assertEqual((played.returncode, played.stdout, played.stderr), (0, tf, b""))
        for command in ("vesk-status --json", f"cat {HOME}/status.json"):
            shown = server.ssh_run(command)
            self.assertEqual(shown.stderr, b"", command)
            self.assertEqual(json.loads(shown.stdout)["pid"], service.process.pid, command)

        before = snapshot(service.home)
        self.refusals(service, host, server, scratch)
        self.assertEqual(snapshot(service.home), before)
        lines = host.sshd_lines()
        # What sshd granted the key: the forced command, and no pty, forwarding or rc file.
        self.assertEqual({line.split(": key options: ")[1] for line in lines
                          if ": key options: " in line}, {"command"}, "\n".join(lines))
        for line in ("session_auth_agent_req: agent forwarding disabled",
                     "refused local port forward: originator 127.0.0.1"):
            self.assertTrue(any(line in entry for entry in lines), line)

        # A register paired by an earlier version holds the key bare: the next start puts it
        # behind the forced command, the key unchanged, and the shell is gone without a pairing.
        service.stop()
        with open(service.path(".ssh/authorized_keys"), "w", encoding="ascii") as f:
            f.write(server.public_key_file)
        mark = service.start()
        service.wait_log("Ключ управляющего сервера ограничен: .*", since=mark, pattern=True)
        self.assertTrue(read(service.path(".ssh/authorized_keys")).endswith(
            b'/vesk-sshgate" ' + server.public_key_file.encode()))
        self.assertIn(b"vesk-sshgate: refused: ", server.ssh_run("id").stderr)

    def refusals(self, service, host, server, scratch):
        """The table of what else the key may try; each row: how, and what the peer is told
        (None: checked by what follows)."""
        evil = os.path.join(scratch, "evil")
        os.makedirs(os.path.join(evil, "planted"))
        with open(os.path.join(evil, "planted", "authorized_keys"), "w") as f:
            f.write(server.public_key + "\n")
        os.symlink("/etc/passwd", os.path.join(evil, "link"))
        stolen = os.path.join(scratch, "stolen")
        # Left by an earlier login with a shell: a link in the sync directory to `.ssh`.
        os.symlink("../.ssh", service.path("sync_dir/planted"))
        upload = os.path.join(evil, "planted", "authorized_keys")
        refused = "vesk-sshgate: refused: "
        table = [
            ("a shell command", lambda: server.ssh_run("id"),
             refused + "not a command this key may run"),
            ("a secret read", lambda: server.ssh_run(f"cat {HOME}/shared.key"),
             refused + "not a command this key may run"),
            ("a login shell with a pty", lambda: server.ssh_run(None, "-tt"),
             "PTY allocation request failed"),
            ("stdio forwarding to the API", lambda: server.ssh_run(
                None, "-W", f"127.0.0.1:{service.port}", stdin=subprocess.PIPE),
             "administratively prohibited"),
            ("remote forwarding", lambda: server.ssh_run(
                "vesk-status --json", "-o", "ExitOnForwardFailure=yes", "-R", "0:127.0.0.1:9"),
             "remote port forwarding failed"),
            ("local forwarding to the API", lambda: self.forward_locally(service, server), None),
            # The read goes through; what sshd did with the agent is in its log, checked below.
            # ssh-agent runs ssh with an agent of its own, and ends with it.
            ("agent forwarding", lambda: subprocess.run(
                ["ssh-agent"] + server.ssh.split() + ["-A", f"{ACCOUNT}@127.0.0.1",
                                                      "vesk-status --json"],
                stdin=subprocess.DEVNULL, capture_output=True, timeout=REQUEST_TIMEOUT,
                env=server.environment, check=True), None),
            ("rsync reading the token", lambda: server.rsync(
                f"{ACCOUNT}@127.0.0.1:{HOME}/token", stolen),
             refused + "the option --sender is not allowed"),
            ("rsync into .ssh", lambda: server.rsync(
                "-t", upload, f"{ACCOUNT}@127.0.0.1:{HOME}/.ssh/"),
             refused + "the destination is outside the sync directory"),
            ("rsync into a work directory", lambda: server.rsync(
                "-t", upload, f"{ACCOUNT}@127.0.0.1:{HOME}/work_dir_a/"),
             refused + "the destination is outside the sync directory"),
            ("rsync out of sync_dir by ..", lambda: server.rsync(
                "-t", upload, f"{ACCOUNT}@127.0.0.1:sync_dir/../.ssh/"),
             refused + "the destination is outside the sync directory"),
            ("rsync with a temporary directory", lambda: server.rsync(
                "-rt", "-T", "/tmp", evil + "/", server.destination()),
             refused + "the option --temp-dir is not allowed"),
            ("rsync through a planted link", lambda: server.rsync(
                "-t", upload, server.destination("planted/")),
             refused + "the destination passes a link"),
            ("rsync of links", lambda: server.rsync("-rtl", evil + "/", server.destination()),
             refused + "the flag 'l' is not allowed"),
            ("rsync keeping links to directories", lambda: server.rsync(
                "-rtK", evil + "/", server.destination()),
             refused + "the flag 'K' is not allowed"),
            ("rsync naming paths over the protocol", lambda: server.rsync(
                "-rt", "--protect-args", evil + "/", server.destination()),
             refused + "the flag 's' is not allowed"),
        ]
        for name, attempt, told in table:
            with self.subTest(name):
                result = attempt()
                if told is not None:
                    self.assertNotEqual(result.returncode, 0)
                    self.assertIn(told, result.stderr if isinstance(result.stderr, str)
                                  else result.stderr.decode(errors="replace"))
                    self.assertIn(result.stdout, ("", b""))
        self.assertFalse(os.path.exists(stolen))
        # A last name that rsync would read as an option is a name like any other.
        for name, relative in (("--sender", False), ("--daemon", True)):
            result = server.rsync("-t", upload, server.destination(name, relative=relative))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(stat.S_ISREG(os.lstat(service.path("sync_dir/" + name)).st_mode))
        # A tree that holds the planted name goes in: rsync replaces the link with a directory
        # inside the sync directory and writes nothing through it.
        result = server.rsync("-rt", os.path.join(evil, "planted"), server.destination())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(stat.S_ISDIR(os.lstat(service.path("sync_dir/planted")).st_mode))

    def forward_locally(self, service, server):
        """ssh -L to the register's own API: the tunnel opens on our side, the register refuses
        the channel, and the request gets no answer."""
        port = free_tcp_port()
        tunnel = subprocess.Popen(
            server.ssh.split() + ["-N", "-L", f"{port}:127.0.0.1:{service.port}",
                                  f"{ACCOUNT}@127.0.0.1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=server.environment)
        try:
            def connected():
                try:
                    return socket.create_connection(("127.0.0.1", port), timeout=REQUEST_TIMEOUT)
                except ConnectionRefusedError:
                    return None
            connection = wait_until(connected, REQUEST_TIMEOUT, "the tunnel's local end")
            with connection:
                connection.sendall(b"POST /v1/stream/connect HTTP/1.1\r\n\r\n")
                try:
                    answer = connection.recv(4096)
                except ConnectionResetError:  # as good as the close: no answer
                    answer = b""
                self.assertEqual(answer, b"")
        finally:
            tunnel.send_signal(signal.SIGTERM)
            tunnel.wait(REQUEST_TIMEOUT)


class SshGateLimitsTest(ServiceTestCase):
    """What the paired key's rsync can reach and spend, after a documented delivery: no filter
    rule makes it open a file outside the sync directory, memory and time are bounded, the peer
    is told which bound ended it, and nothing outside the sync directory changes."""

    def test_rsync_confined_and_bounded(self):
        scratch = self.scratch()
        service = self.service(sync_repeat=2)
        host, server = start_register(service, scratch)
        self.addCleanup(host.close)
        content, probe, slow = (os.path.join(scratch, name) for name in ("content", "probe", "slow"))
        make_clip(os.path.join(content, "blue.mp4"), "blue")
        make_clip(os.path.join(slow, "red.mp4"), "red")
        with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
            f.write(PLAYLIST)
        seal(content)
        mark = service.log_mark()
        server.deliver(content)
        service.wait_log(SYNCED, since=mark)
        os.makedirs(os.path.join(probe, "sub"))
        with open(os.path.join(probe, ".rules"), "w", encoding="ascii") as f:
            f.write("merge,- /etc/passwd\n")
        before = snapshot(service.home)
        ended = "vesk-sshgate: ended by the "
        trickler = f"{sys.executable} -B {gate.__file__} trickle {server.ssh}"
        # Rows: how, rsync's status, what its output holds and must not (rsync's own last words
        # race its client's close); the last two through a gate built with 3 seconds without
        # data and 8 in all as its bounds.
        table = [
            ("a delivered rules file of 20 MB in two directories",
             lambda: rules_attack(server, scratch), 22, "", None),
            # The dir-merge's parent scan opens the home's shared.key: the open fails (rsync
            # calls that "not found") and no rule is read from it.
            ("a dir-merge naming the shared key", lambda: server.rsync(
                "-rtvvv", "--delete", f"--filter=dir-merge,- {HOME}/shared.key", probe + "/",
                server.destination("probe/")), 0,
             f"parse_filter_file({HOME}/shared.key,e00,4) [not found]", "[generator] add_rule("),
            ("a delivered rules file merging /etc/passwd", lambda: server.rsync(
                "-rtvvv", "--delete", "--filter=dir-merge .rules", probe + "/",
                server.destination("probe/")), 11,
             f"parse_filter_file(<rule from {HOME}/sync_dir/probe/.rules line 1>",
             "[generator] add_rule("),
            ("a peer that sends nothing", lambda: self.silent(server), 30,
             ended + "time limit: no data came for 3 seconds", None),
            ("a peer that sends 20 bytes a second", lambda: server.rsync(
                "-rt", "-e", trickler, slow + "/", server.destination("slow/")), 20,
             ended + "time limit: the session lasted longer than 8 seconds", None),
        ]
        for number, (name, attempt, status, holds, lacks) in enumerate(table):
            if number == len(table) - 2:
                use_gate(service, os.environ["VESK_SSHGATE_SHORT_TIMES"])
            with self.subTest(name):
                result = attempt()
                output = result.stdout + result.stderr
                self.assertEqual(result.returncode, status, output[-3000:])
                self.assertIn(holds, output)
                self.assertNotIn(lacks or "\0", output)
                self.assertNotIn("vesk-sshgate: warning", output)
        # Nothing is left of the sessions the bounds ended: no rsync, no temporary file.
        wait_until(lambda: not account_rsyncs(host.uid), REQUEST_TIMEOUT, "the rsyncs' end")
        self.assertEqual(files_under(service.path("sync_dir/slow")), [])
        self.assertEqual(snapshot(service.home), before)

    def silent(self, server):
        """rsync started on the register by a peer that then sends nothing."""
        with subprocess.Popen(
                server.ssh.split() + [f"{ACCOUNT}@127.0.0.1", "rsync --server -tre.iLsfxCIvu . "
                                      "sync_dir/slow/"], stdin=subprocess.PIPE,
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                env=server.environment) as peer:
            peer.wait(REQUEST_TIMEOUT)
            return subprocess.CompletedProcess(peer.args, peer.returncode, "", peer.stderr.read())


class ConcurrentPairingTest(ServiceTestCase):
    """Rounds of eight pairings at the same moment: each round stores one request's set, whole,
    and answers every caller."""

    def test_concurrent_pairings(self):
        service = self.service()
        service.start()
        with open(os.devnull, "w") as quiet:
            self.assertEqual(rounds(service, 5, 8, out=quiet), 0)


class PairingCrashTest(ServiceTestCase):
    """Pairings killed at random moments: the start finds one whole set, the old or the new."""

    def test_pairings_killed_at_random(self):
        service = self.service()
        service.start()
        with open(os.devnull, "w") as quiet:
            self.assertEqual(kills(service, 5, out=quiet), 0)


class PeerTextInLogTest(ServiceTestCase):
    """A type a megabyte long is answered whole but logged cut; a type with a line feed writes no
    line of the peer's making."""

    def test_peer_text_in_the_log(self):
        service = CappedLogService(name=self.id().split(".")[-1])
        self.addCleanup(service.close)
        service.start()
        mark = service.log_mark()
        answers = type_flood(service, 3)
        self.assertEqual(answers, [(400, len('unknown type "" for command "connect"') + 10**6)] * 3)
        forged = "x\n2027-01-01T00:00:00.000   INFO vesk.core - paired"
        self.assertEqual(post_json(service.port, "/v1/command/connect", {"type": forged}).status,
                         400)
        lines = service.log_bytes()[mark:].decode().splitlines()
        refusals = [line for line in lines if "unknown type" in line]
        self.assertEqual(len(refusals), 4, "\n".join(lines))
        for line in refusals[:3]:
            self.assertLess(len(line), 300)
            self.assertTrue(line.endswith("…[cut: 1000037 characters]"), line)
        self.assertTrue(refusals[3].endswith('unknown type "x\\n2027-01-01T00:00:00.000   INFO '
                                             'vesk.core - paired" for command "connect"'))
        self.assertFalse(any(line.startswith("2027-01-01") for line in lines))


if __name__ == "__main__":
    unittest.main()
