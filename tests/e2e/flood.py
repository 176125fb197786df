"""The register on a hostile shop network: a figure, and a short variant for CI.

For SECONDS (default 20), against the real vesk-service: 300 new silent connections a second
from 127.0.0.2; 32 peers trickling a request body and 32 trickling a head from 127.0.0.3 (a byte
every 0.8 s, back 0.8 s after being dropped); a legitimate "stream/connect" from 127.0.0.1 every
second, and a vesk-display receiving the stream. Prints the slowest legitimate answer, the
service's CPU, its log's growth, its descriptors before and after, the longest packet gap.

    VESK_SERVICE=build-rel/bin/vesk-service VESK_DISPLAY=build-rel/bin/vesk-display \\
        PYTHONPATH=tests/lib unshare --net -- /usr/bin/python3 -B tests/e2e/flood.py [SECONDS]

FloodTest, run by CTest, is a short variant that checks only what does not depend on the
machine's speed.
"""

import os
import resource
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest
import uuid

from vesktest import scratch as scratch_space
from vesktest.display import Display
from vesktest.proc import cpu_seconds, descriptors
from vesktest.service import Delivery, Peer, Service, UdpListener, make_clip, wait_until

RATE = 300  # new connections a second
TRICKLE = 0.8  # seconds between two bytes of a slow peer
PLAYLIST = b"[flood]\nname = flood\ndays = all\n[flood.1]\nurl = clip.mp4\ntimeplay = 3600\n"
SLOW_OPENINGS = [b"POST /v1/stream/connect HTTP/1.1\r\nContent-Type: application/json\r\n"
                 b"Content-Length: 1048576\r\n\r\n", b"POST /v1/stream/connect HTTP/1.1\r\nX: "]


def log_size(service):
    directory = os.path.dirname(service.log_path)
    return sum(os.path.getsize(os.path.join(directory, name)) for name in os.listdir(directory))


def connect_from(address, port):
    peer = socket.socket()
    peer.bind((address, 0))
    peer.setblocking(False)
    peer.connect_ex(("127.0.0.1", port))
    return peer


class Flood(threading.Thread):
    """The silent connections and the slow peers; anything from the service (a 503, the end of
    the connection) ends a connection on this side too."""

    def __init__(self, port, seconds):
        super().__init__(daemon=True)
        self.port, self.seconds = port, seconds
        self.opened = self.refused = self.dropped = 0
        self.slow = [{"opening": SLOW_OPENINGS[i % 2], "socket": None, "due": 0.0}
                     for i in range(64)]

    def run(self):
        selector = selectors.DefaultSelector()
        start = time.monotonic()
        while (now := time.monotonic()) - start < self.seconds:
            while self.opened <= (now - start) * RATE:
                selector.register(connect_from("127.0.0.2", self.port), selectors.EVENT_READ)
                self.opened += 1
            for peer in self.slow:
                if peer["due"] <= now:
                    self.trickle(peer, now)
            for key, _ in selector.select(1 / RATE):
                self.refused += self.answer(key.fileobj).startswith(b"HTTP/1.1 503")
                selector.unregister(key.fileobj)
                key.fileobj.close()
        for socket_ in [key.fileobj for key in selector.get_map().values()] + [
                peer["socket"] for peer in self.slow if peer["socket"]]:
            socket_.close()

    @staticmethod
    def answer(peer):
        try:
            return peer.recv(64)
        except OSError:
            return b""

    def trickle(self, peer, now):
        peer["due"] = now + TRICKLE
        try:
            if peer["socket"] is None:
                peer["socket"] = socket.create_connection(("127.0.0.1", self.port),
                                                          source_address=("127.0.0.3", 0))
                peer["socket"].sendall(peer["opening"])
                peer["socket"].setblocking(False)
                return
            peer["socket"].send(b"a")
            peer["socket"].recv(64)
        except BlockingIOError:
            return  # nothing from the service: still held
        except OSError:
            pass
        if peer["socket"]:
            peer["socket"].close()
        peer["socket"] = None
        self.dropped += 1


def run_flood(seconds):
    """The whole scenario; returns the figures, the running service and the display's errors."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    scratch = scratch_space.directory("flood-")
    stream = UdpListener()
    stream.close()
    service = Service(name="flood", send_to=f"127.0.0.1:{stream.port}")
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:9")
        clip = make_clip(os.path.join(scratch, "clip.mp4"), "green")
        delivery = Delivery(os.path.join(scratch, "delivery"),
                            {"clip.mp4": clip, "playlist.ini": PLAYLIST})
        delivery.copy_into(service.path("sync_dir"))
        service.wait_applied(delivery.transaction_file)
        display = Display(os.environ["VESK_DISPLAY"], service.port, seconds + 600,
                          os.path.join(scratch, "received.mp4"))
        wait_until(lambda: display.lines, 60, "packets at the display", service.diagnostics)
        service.stream_connect(Peer())

        pid = service.process.pid
        stat = f"/proc/{pid}/stat"
        fds, log, cpu, start = descriptors(pid), log_size(service), cpu_seconds(stat), time.time()
        flood = Flood(service.port, seconds)
        flood.start()
        answers = []
        while flood.is_alive():
            answers.append(service.stream_connect(Peer())[2].seconds)
            time.sleep(max(0.0, 1 - answers[-1]))  # pacing, one request a second
        end = time.time()
        cpu = (cpu_seconds(stat) - cpu) / (end - start)
        arrivals = [t for t, line in list(display.lines) if line.startswith("dts=") and t >= start]
        after = wait_until(lambda: descriptors(pid) <= fds and descriptors(pid), 60,
                           "the descriptors back at their count before the flood")
        display.process.send_signal(signal.SIGINT)
        status, errors = display.wait(60)
        return {
            "legitimate answers": len(answers), "slowest legitimate answer s": max(answers),
            "cpu of a core during the flood": cpu, "log growth bytes": log_size(service) - log,
            "descriptors before": fds, "descriptors after": after,
            "connections opened": flood.opened, "refused with 503": flood.refused,
            "slow peers dropped or refused": flood.dropped,
            "packets during the flood": len([t for t in arrivals if t <= end]),
            "longest packet gap s": max(b - a for a, b in zip(arrivals, arrivals[1:])),
            "display status": status,
        }, service, errors
    except BaseException:
        service.close()
        raise
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


class FloodTest(unittest.TestCase):
    def test_short_flood(self):
        if os.environ.get("VESK_FLOOD_NETNS") != "1":
            self.skipTest("needs a network namespace of its own: run through CTest")
        figures, service, errors = run_flood(float(os.environ.get("VESK_FLOOD_SECONDS", "4")))
        self.addCleanup(service.close)
        print(figures)
        self.assertTrue(service.running())
        self.assertLessEqual(figures["descriptors after"], figures["descriptors before"])
        self.assertLess(figures["log growth bytes"], 1_000_000)
        self.assertGreater(figures["refused with 503"], 0)
        self.assertGreater(figures["packets during the flood"], 0)
        self.assertEqual(figures["display status"], 0, errors)


if __name__ == "__main__":
    figures, service, _ = run_flood(float(sys.argv[1]) if len(sys.argv) > 1 else 20.0)
    service.close()
    for name, value in figures.items():
        print(f"{name}: {value:.3f}" if isinstance(value, float) else f"{name}: {value}")
