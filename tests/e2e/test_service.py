"""The real vesk-service against peers that are not ours; one class per scenario, one CTest test
per class (see CMakeLists.txt)."""

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
import sys
import threading
import time
import unittest
import uuid

from vesktest.cases import PLAYLIST, SECOND_PLAYLIST, ServiceTestCase, read
from vesktest.register import ACCOUNT, RSYNC_PARTIAL, accepted_logins, start_register
from vesktest.peers import files_under, is_immutable, seal, write_random
from vesktest.service import (HOME, ISO_WITH_MS_AND_OFFSET, ISO_WITH_OFFSET, REQUEST_TIMEOUT,
                              SYNC_DIR, Delivery, Peer, UdpListener, curl, decrypt,
                              delivery_name, enter_private_mount_namespace, make_clip,
                              open_encrypted, post_json, raw_exchange, wait_until,
                              write_replacing)
from vesktest.wire import TAG_LENGTH, open_heartbeat

CLIENT_KEY = ("ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 "
              "management@e2e")


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def logTime(record):
    return datetime.datetime.fromisoformat(record["time"]).timestamp()


class StartUpTest(ServiceTestCase):
    """Scenario 1: the listener on the configured address, the bare 404 and 415."""

    def test_start_up(self):
        service = self.service()
        service.start()
        listener = service.find_log(f"creating new listener at 127.0.0.1 with port {service.port}",
                                    logger="vesk.server")
        self.assertEqual(len(listener), 1, service.diagnostics())
        self.assertEqual(listener[0]["level"], "INFO")
        # The person who started it reads where to look (written once the Core has started).
        start_line = re.compile(rf"^vesk-service \S+: listening on 127\.0\.0\.1:{service.port}, "
                                rf"home {HOME}, log {re.escape(service.log_path)}\n")
        wait_until(lambda: start_line.search(service.stderr()), 30, "start line on stderr",
                   service.diagnostics)

        response = curl(service.port, "/v1/command/connect", method="GET")
        self.assertEqual(response.raw, b"HTTP/1.1 404 Not Found\r\n\r\n")
        service.wait_log(r"requested path GET /v1/command/connect from connection \d+ is not found",
                         logger="vesk.server", pattern=True)

        response = curl(service.port, "/v1/command/connect", body=b"{}",
                        headers=("Content-Type: text/plain",))
        self.assertEqual(response.raw, b"HTTP/1.1 415 Unsupported Media Type\r\n\r\n")
        response = curl(service.port, "/v1/stream/connect", body=b"{}",
                        headers=("Content-Type: application/json; charset=utf-8",))
        self.assertEqual(response.raw, b"HTTP/1.1 415 Unsupported Media Type\r\n\r\n")
        response = curl(service.port, "/v1/stream/connect", body=b"{}",
                        headers=("Content-Type: application/json", "Accept: text/html"))
        self.assertEqual(response.raw, b"HTTP/1.1 406 Not Acceptable\r\n\r\n")
        self.assertTrue(service.running())


class PairingTest(ServiceTestCase):
    """Scenario 2: a management server pairs and decrypts the answer on its own."""

    def test_pairing(self):
        service = self.service()
        service.start()
        server = Peer()
        token = uuid.uuid4()
        response = post_json(service.port, "/v1/command/connect",
                             {"type": "file-rsync", "keyToken": str(token),
                              "serverKey": server.public_base64(), "clientKey": CLIENT_KEY,
                              "server": "127.0.0.1:5000"})
        answer, key, _ = open_encrypted(server, response)
        self.assertEqual(len(response.body), len(json.dumps(answer, separators=(",", ":")))
                         + TAG_LENGTH)
        self.assertEqual(set(answer), {"catalog", "datetime"})
        self.assertEqual(answer["catalog"], SYNC_DIR)
        self.assertRegex(answer["datetime"], ISO_WITH_OFFSET)
        self.assertRecent(answer["datetime"])

        # The key may only run the forced command beside the program.
        gate = os.path.join(os.path.realpath(service.bin_dir), "vesk-sshgate")
        self.assertEqual(read(service.path(".ssh/authorized_keys")),
                         f'restrict,command="{gate}" {CLIENT_KEY}\n'.encode())
        self.assertEqual(read(service.path("token")), token.bytes)
        self.assertEqual(read(service.path("address")), b"127.0.0.1:5000")
        self.assertEqual(read(service.path("shared.key")), key)
        self.assertEqual(mode(service.path(".ssh/authorized_keys")), 0o600)
        self.assertEqual(mode(service.path("token")), 0o644)
        self.assertEqual(mode(service.path("address")), 0o644)
        self.assertEqual(mode(service.path("shared.key")), 0o600)  # a secret, never 0644
        self.assertEqual(mode(service.path(".ssh")), 0o700)
        for name in ("sync_dir", "work_dir_a", "work_dir_b"):
            self.assertTrue(os.path.isdir(service.path(name)), name)
            self.assertEqual(mode(service.path(name)), 0o755, name)
        self.assertTrue(os.path.islink(service.path("work_dir")))
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_a")

        # A second pairing replaces the files and keeps the link.
        second = Peer()
        second_token = uuid.uuid4()
        answer, second_key = service.pair(second, second_token, "127.0.0.1:6000")
        self.assertEqual(answer["catalog"], SYNC_DIR)
        self.assertNotEqual(second_key, key)
        self.assertEqual(read(service.path("shared.key")), second_key)
        self.assertEqual(read(service.path("token")), second_token.bytes)
        self.assertEqual(read(service.path("address")), b"127.0.0.1:6000")
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_a")

        # A refused pairing answers with its reason and changes nothing.
        response = post_json(service.port, "/v1/command/connect",
                             {"type": "file-rsync", "keyToken": str(uuid.uuid4()),
                              "serverKey": server.public_base64(), "clientKey": CLIENT_KEY,
                              "server": "management.example:5000"})
        self.assertEqual((response.status, response.reason), (400, "Bad Request"))
        self.assertEqual(json.loads(response.body),
                         {"reason": "cannot parse server address and port"})
        self.assertEqual(read(service.path("address")), b"127.0.0.1:6000")


class HeartbeatTest(ServiceTestCase):
    """Scenario 3: the paired register's datagram, split and decrypted by the server."""

    def test_heartbeat(self):
        udp = UdpListener()
        self.addCleanup(udp.close)
        service = self.service()
        mark = service.start()
        # Unpaired, the first beat only says why it skips.
        service.wait_log("Отправка состояния кассы", since=mark)
        service.wait_log("  адрес не настроен - пропуск", since=mark)

        server = Peer()
        token = uuid.uuid4()
        _, key = service.pair(server, token, f"127.0.0.1:{udp.port}")
        # The first beat is queued at start-up: a restart brings it without a minute's wait.
        mark = service.restart()
        sealed, iv = self.checkBeat(udp.receive(65, service.diagnostics), token, key)
        service.wait_log("  готово", since=mark)

        # A tampered datagram does not decrypt: the tag is really checked on our side too.
        tampered = bytearray(sealed)
        tampered[0] ^= 1
        with self.assertRaises(Exception):
            decrypt(key, iv, bytes(tampered))

        # Paired anew without a restart: the timer's next beat, a minute after start-up, goes to
        # the new server under the new key.
        moved = UdpListener()
        self.addCleanup(moved.close)
        new_token = uuid.uuid4()
        _, new_key = service.pair(Peer(), new_token, f"127.0.0.1:{moved.port}")
        self.checkBeat(moved.receive(75, service.diagnostics), new_token, new_key)

    def checkBeat(self, datagram, token, key):
        """Opens a datagram as the server does; returns the sealed part and the IV."""
        received_at = time.time()
        beat = open_heartbeat(datagram, key)
        self.assertEqual(beat.token, token)
        self.assertEqual(set(beat.state), {"datetime"})
        self.assertEqual(beat.plaintext, json.dumps(beat.state, separators=(",", ":")).encode())
        self.assertRegex(beat.state["datetime"], ISO_WITH_MS_AND_OFFSET)
        stamp = datetime.datetime.fromisoformat(beat.state["datetime"])
        self.assertLess(abs(stamp.timestamp() - received_at), 120)
        return beat.sealed, beat.iv


class DeliveryTest(ServiceTestCase):
    """Scenario 4: deliveries switched in, a damaged one held back, retried and completed; the
    status file and vesk-status tell each step."""

    def test_delivery(self):
        scratch = self.scratch()
        service = self.service(sync_repeat=2)
        service.start()
        status = service.wait_status(lambda s: s["sync"] and s["heartbeat"], "a first look")
        self.assertIsNone(status["pairing"])
        self.assertEqual(status["sync"]["outcome"], "no delivery")
        self.assertEqual(status["heartbeat"]["outcome"], "not paired: no server address")
        token = uuid.uuid4()
        service.pair(Peer(), token, "127.0.0.1:5000")

        first = self.makeFirstDelivery(scratch)
        # Paired just now, without a restart: the service must already watch its sync directory.
        self.deliverAndWait(service, first, "work_dir_b")
        for name, data in first.files.items():
            self.assertEqual(read(service.path("work_dir_b/" + name)), data, name)
        self.assertEqual(read(service.path("work_dir_b/TF")), first.transaction_file)
        status = service.wait_status(lambda s: s["playing"]["workDir"] == "work_dir_b"
                                 and s["playing"]["now"], "the first delivery playing")
        self.assertEqual(status["pairing"], {"server": "127.0.0.1:5000"})
        went_in = {"outcome": "switched", "files": len(first.files),
                   "bytes": sum(len(data) for data in first.files.values())}
        self.assertEqual({key: status["lastSwitch"][key] for key in went_in}, went_in)
        self.assertEqual(status["playing"]["playlists"], ["e2e"])
        now = status["playing"]["now"]
        self.assertEqual((now["playlist"], now["idle"]), ("e2e", False))
        self.assertIn((now["file"], now["url"]), {("1", "video/red.mp4"), ("2", "blue.mp4")})

        files = dict(first.files)
        del files["blue.mp4"]
        files["green.mp4"] = make_clip(os.path.join(scratch, "clips", "green.mp4"), "green")
        files["playlist.ini"] = SECOND_PLAYLIST.encode()
        second = Delivery(os.path.join(scratch, "second"), files)

        mark = service.log_mark()
        second.copy_into(service.path("sync_dir"), corrupt="green.mp4")
        mismatch = "  хеш сумма для файла green.mp4 не совпадает с эталонной"
        first_failure = logTime(service.wait_log(mismatch, since=mark)[0])
        # Retried by the timer, Main/syncRepeat (2 s) later; the watcher's own runs come at once.
        retry = service.wait_log(
            mismatch, since=mark, count=2, timeout=30,
            accept=lambda record: logTime(record) - first_failure >= 1.5)
        self.assertTrue(retry)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_b")
        self.assertEqual(read(service.path("work_dir_b/playlist.ini")), PLAYLIST.encode())
        self.assertFalse(service.find_log("  синхронизация завершена", since=mark))
        refused = service.wait_status(lambda s: s["sync"]["outcome"] == "refused",
                                  "the refused delivery")["sync"]
        self.assertEqual((refused["reason"], refused["retryPending"], refused["delivery"]),
                         ("a file does not match its checksum in TF", True,
                          delivery_name(second.transaction_file)))
        display = Peer()
        answer, _, _ = service.stream_connect(display)
        status = service.wait_status(lambda s: s["stream"]["displaysJoined"] == 1,
                                 "the display that joined")
        self.assertEqual(status["playing"]["workDir"], "work_dir_b")
        self.assertEqual({key: status["lastSwitch"][key] for key in went_in}, went_in)
        self.assertGreaterEqual(status["api"]["answered"]["200"], 2)
        # vesk-status tells a person the same, and --json hands on the file as it is.
        shown = self.vesk_status(service)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        for fact in ("Paired:     with 127.0.0.1:5000", "refused: a file does not match its "
                     "checksum in TF", f"Went in:    {status['lastSwitch']['time'][:10]}",
                     "switched: 3 files", "1 displays joined", "Plays from: work_dir_b, playlists "
                     f"e2e; TF {delivery_name(first.transaction_file)} applied"):
            self.assertIn(fact, shown.stdout)
        shown = self.vesk_status(service, "--json")
        self.assertEqual(json.loads(shown.stdout)["pid"], status["pid"])
        # Only the server's address: never the token, the keys or the stream key.
        with open(service.path("status.json"), "rb") as f:
            written = f.read()
        secrets = [str(token).encode(), token.hex.encode(), answer["master"].encode(), b"ssh-",
                   read(service.path("shared.key")), base64.b64encode(read(service.path("shared.key")))]
        for secret in secrets:
            self.assertNotIn(secret, written)

        # Repaired in place, TF untouched: the retry timer alone completes the delivery.
        mark = service.log_mark()
        with open(service.path("sync_dir/green.mp4"), "wb") as f:
            f.write(files["green.mp4"])
        service.wait_log("  синхронизация завершена", since=mark)
        service.wait_applied(second.transaction_file)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_a")
        for name, data in files.items():
            self.assertEqual(read(service.path("work_dir_a/" + name)), data, name)
        self.assertEqual(read(service.path("work_dir_a/TF")), second.transaction_file)
        # The played content was never touched by the failed runs.
        for name, data in first.files.items():
            self.assertEqual(read(service.path("work_dir_b/" + name)), data, name)

        # A clean stop is the file's last word, and vesk-status says the service is not running.
        service.stop()
        self.assertIsNotNone(service.wait_status(lambda s: True, "the file")["stopped"])
        shown = self.vesk_status(service)
        self.assertEqual(shown.returncode, 3)
        self.assertIn("STOPPED at", shown.stdout)


class RsyncDeliveryTest(ServiceTestCase):
    """Scenario 10: a management server delivers with rsync over ssh, as the register's sshd and
    the service's own account (CAP_LINUX_IMMUTABLE only, no root) let it."""

    BIG = 32 << 20  # long enough a verification to be caught while it holds TF

    def test_rsync_delivery(self):
        scratch = self.scratch()
        service = self.service(sync_repeat=2)
        host, server = start_register(service, scratch)
        self.addCleanup(host.close)
        status = read(f"/proc/{service.process.pid}/status").decode()
        self.assertRegex(status, rf"\nUid:\t{host.uid}\t{host.uid}\t{host.uid}\t")
        self.assertRegex(status, r"\nCapEff:\t0000000000000200\n")  # CAP_LINUX_IMMUTABLE
        content = os.path.join(scratch, "content")
        clips = os.path.join(scratch, "clips")

        def write(name, data):
            os.makedirs(os.path.dirname(os.path.join(content, name)), exist_ok=True)
            with open(os.path.join(content, name), "wb") as f:
                f.write(data)

        def played(expected_link):
            self.assertEqual(os.readlink(service.path("work_dir")), expected_link)
            directory = service.path(expected_link)
            self.assertEqual(files_under(directory), files_under(content))
            for name in files_under(content):
                self.assertEqual(read(os.path.join(directory, name)),
                                 read(os.path.join(content, name)), name)

        # First delivery: media and playlist.ini, then TF in a call of its own.
        write("video/red.mp4", make_clip(os.path.join(clips, "red.mp4"), "red"))
        write("blue.mp4", make_clip(os.path.join(clips, "blue.mp4"), "blue"))
        write("playlist.ini", PLAYLIST.encode())
        seal(content)
        mark = service.log_mark()
        server.deliver(content)
        service.wait_log("  синхронизация завершена", since=mark)
        played("work_dir_b")

        # Second delivery: playlist.ini changes, blue.mp4 goes (--delete), green.mp4 and a big
        # file come. While its verification holds TF, the server starts a third delivery that
        # only adds a file: its TF is refused with status 23. The service is held still in that
        # window (SIGSTOP), so the refusal does not depend on the machine's speed.
        os.remove(os.path.join(content, "blue.mp4"))
        write("green.mp4", make_clip(os.path.join(clips, "green.mp4"), "green"))
        write("playlist.ini", SECOND_PLAYLIST.encode())
        write_random(os.path.join(content, "big.bin"), self.BIG)
        second_tf = seal(content)
        yellow = make_clip(os.path.join(clips, "yellow.mp4"), "yellow")
        mark = service.log_mark()
        sync_tf = service.path("sync_dir/TF")
        # The attribute is set only while a new delivery is verified, which may take a few
        # milliseconds: watch for it while the server delivers, not after.
        failures = []

        def deliver():
            try:
                server.deliver(content)
            except Exception as error:  # reported below, on the test's own thread
                failures.append(error)

        delivering = threading.Thread(target=deliver)
        delivering.start()
        try:
            wait_until(lambda: is_immutable(sync_tf), 60, "verification of the second delivery",
                       service.diagnostics, interval=0.0002)
            service.process.send_signal(signal.SIGSTOP)
        finally:
            delivering.join(REQUEST_TIMEOUT)
        self.assertFalse(delivering.is_alive(), "the second delivery's rsync did not end")
        self.assertEqual(failures, [])
        try:
            wait_until(lambda: read(f"/proc/{service.process.pid}/stat").split()[2] == b"T",
                       10, "the service stopped")
            self.assertTrue(is_immutable(sync_tf), "the verification ended too soon")
            self.assertFalse(service.find_log("  синхронизация завершена", since=mark))
            write("yellow.mp4", yellow)
            third_tf = seal(content)
            self.assertEqual(server.send_content(content).returncode, 0)
            refused = server.send_transaction_file(content)
            self.assertEqual(refused.returncode, RSYNC_PARTIAL, refused.stderr)
            self.assertRegex(refused.stderr, r"rename .*\.TF\.\w+\" -> \"TF\": Operation not "
                                             r"permitted")
            self.assertEqual(read(sync_tf), second_tf)
            self.assertEqual([name for name in os.listdir(service.path("sync_dir"))
                              if name.startswith(".")], [])  # rsync took its temporary file
        finally:
            service.process.send_signal(signal.SIGCONT)
        service.wait_log("  синхронизация завершена", since=mark)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_a")
        self.assertFalse(os.path.exists(service.path("sync_dir/blue.mp4")))
        self.assertEqual(read(service.path("work_dir_a/TF")), second_tf)
        self.assertFalse(os.path.exists(service.path("work_dir_a/yellow.mp4")))

        # The server retries TF a moment later, and the third delivery goes in; blue.mp4, which
        # this directory held for the first delivery, is gone from it.
        mark = service.log_mark()
        server.send_transaction_file_until_taken(content)
        service.wait_log("  синхронизация завершена", since=mark)
        played("work_dir_b")
        self.assertEqual(read(service.path("work_dir_b/TF")), third_tf)

        # Every login was the paired key, read from the file the service wrote.
        logins = accepted_logins(host.sshd_lines())
        self.assertEqual(len(logins), server.calls, "\n".join(host.sshd_lines()))
        for method, user, rest in logins:
            self.assertEqual((method, user, rest), ("publickey", ACCOUNT,
                                                    f": ED25519 {server.fingerprint}"))
        self.assertIn(f"Accepted key ED25519 {server.fingerprint} found at "
                      f"/var/lib/morlen-vesk/.ssh/authorized_keys:1", host.sshd_lines())
        print(f"\nrsync calls {server.calls}, exit statuses {dict(server.statuses)}",
              file=sys.stderr)


class ApiDuringDeliveryTest(ServiceTestCase):
    """Scenario 11: a display joins while a large delivery is being verified and copied."""

    def test_stream_connect_during_delivery(self):
        # Lasts seconds in the sanitizer build; the figure for 1 GiB: VESK_E2E_DELIVERY_MIB=1024.
        mebibytes = int(os.environ.get("VESK_E2E_DELIVERY_MIB", "768"))
        service = self.service()
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
        service.stream_connect(Peer())  # first-use costs are not what is measured
        big, block = os.path.join(self.scratch(), "big.bin"), os.urandom(1 << 20)
        with open(big, "wb") as f:
            for _ in range(mebibytes):
                f.write(block)
        os.link(big, service.path("sync_dir/big.bin"))  # not copied: the service reads it alike
        with open(service.path("sync_dir/playlist.ini"), "w") as f:
            f.write(PLAYLIST)
        transaction_file = subprocess.run(["xxhsum", "-H1", "big.bin", "playlist.ini"],
                                          cwd=service.path("sync_dir"), capture_output=True,
                                          check=True).stdout
        mark = service.log_mark()
        write_replacing(service.path("sync_dir/TF"), transaction_file)

        # The main thread is now verifying the delivery; the API is served all the same.
        service.wait_log(r"  грязная директория .*", since=mark, pattern=True)
        answer, _, response = service.stream_connect(Peer())
        done = service.find_log("  синхронизация завершена", since=mark)
        self.assertEqual(len(base64.b64decode(answer["master"])), 32)
        self.assertFalse(done, "the answer waited for the end of the synchronisation")
        print(f"stream/connect during a {mebibytes} MiB delivery: {response.seconds:.3f} s")
        service.wait_log("  синхронизация завершена", since=mark, timeout=600)


class StreamConnectTest(ServiceTestCase):
    """Scenario 5: two displays join the stream and learn the same stream and key."""

    def test_stream_connect(self):
        destination = UdpListener()
        self.addCleanup(destination.close)
        send_to = f"127.0.0.1:{destination.port}"
        service = self.service(send_to=send_to)
        service.start()

        first, first_service_key, first_response = service.stream_connect(Peer())
        second, second_service_key, second_response = service.stream_connect(Peer())
        for answer in (first, second):
            # "key" once the first key is out, "next" in a chain's last minute.
            self.assertEqual(set(answer) - {"key"}, {"stream", "listen", "master", "datetime",
                                                    "signer", "protocol", "clock", "anchor"})
            self.assertEqual(answer["protocol"], 3)
            self.assertEqual(len(base64.b64decode(answer["anchor"], validate=True)), 124)
            self.assertIsInstance(answer["clock"], int)
            self.assertIsInstance(answer["stream"], int)
            self.assertNotIsInstance(answer["stream"], bool)
            self.assertTrue(0 <= answer["stream"] <= 0xFFFFFFFF)
            self.assertEqual(answer["listen"], send_to)
            self.assertEqual(len(base64.b64decode(answer["master"], validate=True)), 32)
            self.assertRegex(answer["datetime"], ISO_WITH_OFFSET)
            self.assertRecent(answer["datetime"])
        self.assertEqual(first["stream"], second["stream"])
        self.assertEqual(first["master"], second["master"])
        # One stream clock: the second display joined later in it.
        self.assertLessEqual(first["clock"], second["clock"])
        # Each exchange has a key pair of its own.
        self.assertNotEqual(first_service_key, second_service_key)
        self.assertNotEqual(first_response.header("X-IV"), second_response.header("X-IV"))

        # A display whose key is no key is refused with a reason, not a crash.
        response = post_json(service.port, "/v1/stream/connect", {"pk": "bm90IGEga2V5"})
        self.assertEqual((response.status, response.reason), (500, "Internal Server Error"))
        self.assertIn("reason", json.loads(response.body))
        third, _, _ = service.stream_connect(Peer())
        self.assertEqual(third["master"], first["master"])


    def test_multicast_destination(self):
        # A group as destination: displays are told the group, which they join to listen.
        service = self.service(send_to="239.255.42.7:5004")
        service.start()
        answer, _, _ = service.stream_connect(Peer())
        self.assertEqual(answer["listen"], "239.255.42.7:5004")


class RestartTest(ServiceTestCase):
    """Scenario 6: stop right after serving, start again on the same port; nothing is lost."""

    def test_restart(self):
        scratch = self.scratch()
        service = self.service()
        service.start()
        server = Peer()
        service.pair(server, uuid.uuid4(), "127.0.0.1:5000")
        delivery = self.makeFirstDelivery(scratch)
        self.deliverAndWait(service, delivery, "work_dir_b")
        paired = self.pairFiles(service)

        for _ in range(3):
            service.stream_connect(Peer())
            self.assertEqual(curl(service.port, "/", method="GET").status, 404)
        # The connections just served sit in TIME_WAIT on the service's port.
        mark = service.restart()
        self.assertFalse(service.find_log(r"cannot bind socket address: .*", logger="vesk.server",
                                          since=mark, pattern=True))
        self.assertEqual(self.pairFiles(service), paired)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_b")
        for name, data in delivery.files.items():
            self.assertEqual(read(service.path("work_dir_b/" + name)), data, name)
        # The content is found up to date and played again at once.
        service.wait_log(" данные актуальны - синхронизация не требуется", since=mark)
        service.wait_applied(delivery.transaction_file)
        answer, _, _ = service.stream_connect(Peer())
        self.assertEqual(answer["listen"], "0.0.0.0:8554")

        # And once more, straight after a request, with no time in between.
        self.assertEqual(curl(service.port, "/v1/command/connect", method="GET").status, 404)
        service.restart()
        self.assertEqual(self.pairFiles(service), paired)
        service.stream_connect(Peer())

        # Stopped while a large delivery is being copied: the played directory is whole (every
        # file matches its TF, as xxhsum checks it) and the delivery is in after the restart.
        files = dict(delivery.files, **{"large.bin": os.urandom(32 << 20)})
        large = Delivery(os.path.join(scratch, "large"), files)
        mark = service.log_mark()
        large.copy_into(service.path("sync_dir"))
        service.wait_log(r"  копирование файлов .*large\.bin.*", since=mark, pattern=True)
        service.stop()
        subprocess.run(["xxhsum", "-c", "TF"], cwd=service.path("work_dir"), check=True,
                       capture_output=True)
        service.start()
        service.wait_log(r"  синхронизация завершена| данные актуальны.*", since=mark,
                         pattern=True)
        self.assertEqual(read(service.path("work_dir/TF")), large.transaction_file)
        self.assertEqual(read(service.path("work_dir/large.bin")), files["large.bin"])


class BadInputTest(ServiceTestCase):
    """Scenario 7: malformed and hostile requests get their answers; the service stays up."""

    def connect_head(self, content_length, extra=b""):
        return (b"POST /v1/command/connect HTTP/1.1\r\nHost: register\r\n"
                b"Content-Type: application/json\r\nContent-Length: " + content_length + b"\r\n"
                + extra + b"\r\n")

    def test_bad_input(self):
        service = self.service()
        service.start()

        response = curl(service.port, "/v1/command/connect", body=b'{"type": "file-rsync",',
                        headers=("Content-Type: application/json",))
        self.assertEqual(response.raw, b"HTTP/1.1 400 Bad Request\r\n\r\n")

        # Refused before any of the body is read: a server that waited for the body would drop
        # the connection at its deadline without an answer.
        answer = raw_exchange(service.port, self.connect_head(b"2000000000") + b'{"a"')
        self.assertEqual(answer, b"HTTP/1.1 413 Payload Too Large\r\n\r\n")
        answer = raw_exchange(service.port, self.connect_head(b"-1") + b"{}")
        self.assertEqual(answer, b"HTTP/1.1 400 Bad Request\r\n\r\n")

        headers = os.path.join(service.root, "headers.txt")
        with open(headers, "w") as f:
            f.writelines(f"X-Filler-{i}: {i}\n" for i in range(200))
        response = curl(service.port, "/v1/stream/connect", body=b"{}",
                        headers=("Content-Type: application/json",), header_file=headers)
        self.assertEqual(response.raw, b"HTTP/1.1 431 Request Header Fields Too Large\r\n\r\n")
        # Few lines, but too many bytes in all.
        big = b"".join(b"X-Big-%d: %s\r\n" % (i, b"b" * 1000) for i in range(80))
        answer = raw_exchange(service.port, self.connect_head(b"2", big) + b"{}")
        self.assertEqual(answer, b"HTTP/1.1 431 Request Header Fields Too Large\r\n\r\n")
        # A field hidden in the tail of an over-long line is never read as a field of its own.
        padded = b"X-Pad: " + b"p" * 1016 + b"Content-Type: application/json\r\n"
        answer = raw_exchange(service.port, b"POST /v1/stream/connect HTTP/1.1\r\n" + padded
                              + b"Content-Length: 2\r\n\r\n{}")
        self.assertEqual(answer, b"HTTP/1.1 431 Request Header Fields Too Large\r\n\r\n")

        # Eight peers that trickle their heads, a byte every half second (as many as one address
        # may hold), are held until the deadline of their requests; a real request from another
        # address is answered while they are still held, not after them.
        mark = service.log_mark()
        slow = [socket.create_connection(("127.0.0.1", service.port),
                                         source_address=("127.0.0.2", 0)) for _ in range(8)]
        stop = threading.Event()

        def trickle():
            for byte in b"POST /v1/stream/connect HTTP/1.1\r\nX-Slow: " + b"s" * 100:
                if stop.wait(0.5):
                    return
                for peer in slow:
                    try:
                        peer.send(bytes([byte]))
                    except OSError:
                        pass
        trickler = threading.Thread(target=trickle)
        trickler.start()
        try:
            accepted = r"starting thread for accepted connection \d+ from 127\.0\.0\.2 \.\.\."
            service.wait_log(accepted, logger="vesk.server", since=mark, pattern=True, count=8)
            answer, _, _ = service.stream_connect(Peer())
            self.assertEqual(len(base64.b64decode(answer["master"])), 32)
            for peer in slow:
                peer.setblocking(False)
                with self.assertRaises(BlockingIOError, msg="a slow peer was dropped before the "
                                       "real request was answered"):
                    peer.recv(1024, socket.MSG_PEEK)
            # Each slow peer is dropped at the deadline without an answer.
            for peer in slow:
                peer.setblocking(True)
                peer.settimeout(30)
                self.assertEqual(peer.recv(1024), b"")
        finally:
            stop.set()
            trickler.join()
            for peer in slow:
                peer.close()

        self.assertTrue(service.running())
        answer, _, _ = service.stream_connect(Peer())
        self.assertEqual(len(base64.b64decode(answer["master"])), 32)
        self.assertEqual(curl(service.port, "/nothing", method="GET").raw,
                         b"HTTP/1.1 404 Not Found\r\n\r\n")


FINISHED = "  синхронизация завершена"


def remove_entry(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


class HostileDeliveryTest(ServiceTestCase):
    """Scenario 8: a shop's bad day: names that switch between file and directory, setuid modes,
    a link planted where a work directory belongs, a slow TF writer, an empty TF, a linked .ssh."""

    def deliver(self, service, scratch, name, files, modes=None):
        delivery = Delivery(os.path.join(scratch, name), files)
        sync_dir = service.path("sync_dir")
        for entry in os.listdir(sync_dir):
            if entry != "TF" and entry not in {path.split("/")[0] for path in files}:
                remove_entry(os.path.join(sync_dir, entry))
        for path, data in files.items():
            remove_entry(os.path.join(sync_dir, path.split("/")[0]))
            write_replacing(os.path.join(sync_dir, path), data)
            os.chmod(os.path.join(sync_dir, path), (modes or {}).get(path, 0o644))
        return delivery

    def assertPlayed(self, service, delivery):
        played = service.path(os.readlink(service.path("work_dir")))
        self.assertEqual(subprocess.run(["xxhsum", "-c", "TF"], cwd=played, capture_output=True)
                         .returncode, 0)
        for root, directories, names in os.walk(played):
            for name in names:
                self.assertEqual(mode(os.path.join(root, name)), 0o644, name)
            for name in directories:
                self.assertEqual(mode(os.path.join(root, name)), 0o755, name)
        self.assertEqual(read(os.path.join(played, "TF")), delivery.transaction_file)

    def test_hostile_deliveries(self):
        scratch = self.scratch()
        service = self.service(sync_repeat=1)
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
        sync_tf = service.path("sync_dir/TF")
        # "video" as directory, directory, file, file, directory: the dirty directory, which holds
        # the delivery of two rounds ago, meets both switches.
        for number, shape in enumerate(["video/clip.mp4"] * 2 + ["video"] * 2 + ["video/clip.mp4"]):
            files = {"playlist.ini": PLAYLIST.encode(), shape: os.urandom(4096),
                     "setuid.mp4": b"%d" % number, "shared.mp4": b"world-writable"}
            delivery = self.deliver(service, scratch, str(number), files,
                                    {"setuid.mp4": 0o4755, "shared.mp4": 0o2777})
            mark = service.log_mark()
            write_replacing(sync_tf, delivery.transaction_file)
            service.wait_log(FINISHED, since=mark)
            self.assertPlayed(service, delivery)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_b")

        # A link where the dirty work directory belongs is refused, and what it names untouched.
        outside = os.path.join(scratch, "outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "keep"), "wb") as f:
            f.write(b"not the service's")
        shutil.rmtree(service.path("work_dir_a"))
        os.symlink(outside, service.path("work_dir_a"))
        files = {"playlist.ini": PLAYLIST.encode(), "a.mp4": os.urandom(4096)}
        delivery = self.deliver(service, scratch, "linked", files)
        mark = service.log_mark()
        write_replacing(sync_tf, delivery.transaction_file)
        service.wait_log("  директория /var/lib/morlen-vesk/work_dir_a не может быть использована: "
                         "Too many levels of symbolic links - пропускаем синхронизацию", since=mark)
        self.assertEqual(os.listdir(outside), ["keep"])
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_b")
        mark = service.log_mark()
        os.remove(service.path("work_dir_a"))
        os.mkdir(service.path("work_dir_a"))
        service.wait_log(FINISHED, since=mark)
        self.assertPlayed(service, delivery)

        # TF written in place in small pieces, as a slow cp does: never taken while it is written.
        files["a.mp4"] = os.urandom(4096)
        delivery = self.deliver(service, scratch, "slow", files)
        mark = service.log_mark()
        with open(sync_tf, "wb") as f:
            for start in range(0, len(delivery.transaction_file), 16):
                f.write(delivery.transaction_file[start:start + 16])
                f.flush()
                time.sleep(0.25)  # the writer's pace, not a wait for the service
        written = service.log_mark()
        service.wait_log(FINISHED, since=mark)
        while_written = service.log_bytes()[mark:written].decode()
        self.assertIn("используется другим процессом - пропускаем синхронизацию", while_written)
        self.assertNotIn(FINISHED, while_written)
        self.assertPlayed(service, delivery)

        # An empty TF is an incomplete delivery: the played content stays.
        mark = service.log_mark()
        write_replacing(sync_tf, b"")
        service.wait_log("  файл транзакции не содержит ни одного файла - доставка неполная",
                         since=mark)
        self.assertPlayed(service, delivery)

        # TF lines that waste or cannot be taken: a name listed again (3,000 times here) is taken
        # once; a name listed with two checksums, or one that is not UTF-8, refuses the TF with
        # its reason and no retry; a name of 254 bytes goes in. A url longer than a path is
        # refused with a line that names its playlist and file. However a name is written
        # ("./a.mp4" or "a.mp4"), an unchanged file is linked from the played directory, never
        # copied: the same inode in both work directories.
        files = {"playlist.ini": (PLAYLIST + "[e2e.3]\nurl=" + "x" * 4097 + "\n").encode(),
                 "a.mp4": os.urandom(4096)}
        listed = self.deliver(service, scratch, "listed", files)
        count = listed.transaction_file.count(b"\n")
        again = listed.transaction_file.splitlines(True)[0].replace(b"  ", b"  ./", 1)
        dotted = listed.transaction_file.replace(b"  ", b"  ./")
        cases = [(listed.transaction_file + again * 3000, None, False),
                 (dotted, None, True),
                 (listed.transaction_file, None, True),
                 (listed.transaction_file + b"0123456789abcdef  a.mp4\n",
                  f"line {count + 1} lists a.mp4 again with another checksum", None),
                 (listed.transaction_file + b"0000000000000000  \xff.mp4\n",
                  f"line {count + 1}: the name is not UTF-8", None)]
        for tf, refused, shared in cases:
            mark = service.log_mark()
            write_replacing(sync_tf, tf)
            if refused is None:
                status = service.wait_applied(tf)
                service.wait_log("  файл 3 плейлиста e2e отклонен: url длиннее 4096 байт",
                                 logger="vesk.playlist.parser", since=mark)
                self.assertEqual(read(service.path("work_dir/TF")), tf)
                self.assertEqual(read(service.path("work_dir/a.mp4")), files["a.mp4"])
                went_in = status["lastSwitch"]
                self.assertEqual((went_in["delivery"], went_in["files"], went_in["bytes"]),
                                 (delivery_name(tf), 2, sum(map(len, files.values()))))
                inodes = {os.stat(service.path(work + "/a.mp4")).st_ino
                          for work in ("work_dir_a", "work_dir_b")}
                self.assertEqual(len(inodes) == 1, shared, tf[:40])
                continue
            service.wait_log("  файл транзакции отклонен: " + refused, since=mark)
            sync = service.wait_status(lambda s: s["sync"].get("reason") == refused,
                                   "the refusal")["sync"]
            self.assertEqual((sync["outcome"], sync["retryPending"], sync["delivery"]),
                             ("refused", False, delivery_name(tf)))
        long_name = "l" * 250 + ".mp4"
        files = {"playlist.ini": PLAYLIST.encode(), long_name: os.urandom(4096)}
        self.deliver(service, scratch, "short", {"playlist.ini": files["playlist.ini"]})
        delivery = Delivery(os.path.join(scratch, "long"), files)
        # Written in place: a temporary name of the writer's own would not fit either.
        with open(os.path.join(service.path("sync_dir"), long_name), "wb") as f:
            f.write(files[long_name])
        mark = service.log_mark()
        write_replacing(sync_tf, delivery.transaction_file)
        service.wait_log(FINISHED, since=mark)
        self.assertPlayed(service, delivery)

        # A linked .ssh: pairing fails with its reason, and the directory it names is untouched.
        shutil.rmtree(service.path(".ssh"))
        os.chmod(outside, 0o777)
        os.symlink(outside, service.path(".ssh"))
        response = post_json(service.port, "/v1/command/connect",
                             {"type": "file-rsync", "keyToken": str(uuid.uuid4()),
                              "serverKey": Peer().public_base64(), "clientKey": CLIENT_KEY,
                              "server": "127.0.0.1:5000"})
        self.assertEqual(response.status, 500)
        self.assertIn("Too many levels of symbolic links", json.loads(response.body)["reason"])
        self.assertEqual((os.listdir(outside), mode(outside)), (["keep"], 0o777))


class FullDiskTest(ServiceTestCase):
    """Scenario 9: a delivery larger than the free space of a small home."""

    def test_full_disk(self):
        enter_private_mount_namespace()
        service = self.service(sync_repeat=1)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48m", "tmpfs", service.home],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", service.home], check=False)
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000")
        scratch = self.scratch()
        first = Delivery(os.path.join(scratch, "first"),
                         {"playlist.ini": PLAYLIST.encode(), "blue.mp4": os.urandom(4 << 20)})
        self.deliverAndWait(service, first, "work_dir_b")

        filler = service.path("filler")
        with open(filler, "wb") as f:
            f.write(bytes(20 << 20))
        big = Delivery(os.path.join(scratch, "big"),
                       {"playlist.ini": SECOND_PLAYLIST.encode(), "red.mp4": os.urandom(14 << 20)})
        mark = service.log_mark()
        big.copy_into(service.path("sync_dir"))
        service.wait_log(r"  ошибка копирования файлов: .*No space left on device.*", since=mark,
                         pattern=True)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_b")
        self.assertEqual(read(service.path("work_dir_b/blue.mp4")), first.files["blue.mp4"])

        mark = service.log_mark()
        os.remove(filler)
        service.wait_log(FINISHED, since=mark)
        self.assertEqual(os.readlink(service.path("work_dir")), "work_dir_a")
        self.assertEqual(read(service.path("work_dir_a/red.mp4")), big.files["red.mp4"])



class QuietStatusTest(ServiceTestCase):
    """Scenario 11: the status on the runtime directory's tmpfs, replaced without a flush; a stale
    one in the home removed; vesk-status finds either without being told where."""

    FLUSHES = ("fsync", "fdatasync", "sync", "syncfs", "sync_file_range", "msync")

    def vesk_status_in(self, mounts, *options):
        """vesk-status without --file, in a mount namespace where /run is empty but for the
        directories bound into it; nothing is mounted on the host."""
        script = "mount -t tmpfs tmpfs /run && " + " && ".join(
            f'mkdir -p "{target}" && mount --bind "{source}" "{target}"'
            for source, target in mounts) + ' && exec "$0" "$@"'
        return subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "/bin/sh",
                               "-c", script, os.environ["VESK_STATUS"], *options],
                              capture_output=True, text=True, timeout=30)

    def test_quiet_status(self):
        scratch = self.scratch()
        runtime = os.path.join(scratch, "run")
        os.makedirs(runtime)
        service = self.service()
        service.environment["RUNTIME_DIRECTORY"] = f"{runtime}:{scratch}/second"
        with open(service.path("status.json"), "w") as f:
            f.write('{"updated": "2020-01-01T00:00:00.000+00:00", "stopped": null}')
        service.start()
        status_path = os.path.join(runtime, "status.json")
        self.assertEqual(service.status_path(), status_path)
        status = service.status
        first = service.wait_status(lambda _: True, "status.json in the runtime directory")
        wait_until(lambda: not os.path.lexists(service.path("status.json")), 30,
                   "the stale status in the home removed", service.diagnostics)
        for key in ("started", "updated"):
            self.assertRegex(first[key], ISO_WITH_MS_AND_OFFSET)

        # Idle, from the attach to the next rewrite of the status (the 30-second one, or the
        # minute's heartbeat): a rename, and no flush of any kind.
        trace = os.path.join(scratch, "strace.txt")
        messages = os.path.join(scratch, "strace.err")
        with open(messages, "w") as err:
            strace = subprocess.Popen(
                ["strace", "-f", "-c", "-o", trace, "-e", "trace=" + ",".join(
                    self.FLUSHES + ("rename", "renameat", "renameat2")),
                 "-p", str(service.process.pid)], stderr=err)
        wait_until(lambda: "attached" in read(messages).decode(), 30, "strace attached",
                   service.diagnostics)
        before = status()["updated"]
        wait_until(lambda: (status() or {}).get("updated", before) != before, 90,
                   "a rewrite of the idle status", service.diagnostics)
        strace.send_signal(signal.SIGINT)
        strace.wait(30)
        calls = {}
        with open(trace) as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 5 and fields[-1].isidentifier() and fields[3].isdigit():
                    calls[fields[-1]] = int(fields[3])
        self.assertGreaterEqual(calls.get("rename", 0) + calls.get("renameat", 0)
                                + calls.get("renameat2", 0), 1, calls)
        self.assertEqual({name: calls.get(name, 0) for name in self.FLUSHES},
                         dict.fromkeys(self.FLUSHES, 0))

        shown = self.vesk_status_in([(runtime, "/run/vesk")])
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("running since", shown.stdout)

        # Without a runtime directory, the home's file: here a stopped service's last word.
        service.stop()
        home = os.path.join(scratch, "home")
        os.makedirs(home)
        shutil.copy(status_path, home)
        shown = self.vesk_status_in([(home, HOME)])
        self.assertEqual(shown.returncode, 3, shown.stderr)
        self.assertIn("STOPPED at", shown.stdout)

if __name__ == "__main__":
    unittest.main()
