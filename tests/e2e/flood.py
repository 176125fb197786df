"""The register on a hostile shop network: a figure, and a short variant for CI.

Against the real vesk-service and a real vesk-display, for SECONDS (default 20):
- 300 new connections a second from 127.0.0.2, each left silent until the service lets go of it;
- 32 peers that trickle a request body and 32 that trickle a request head from 127.0.0.3, one
  byte every 0.8 s, each coming back 0.8 s after the service dropped or refused it;
- meanwhile a display's legitimate "stream/connect" from 127.0.0.1 every second, and a
  vesk-display receiving the stream.
It prints the slowest legitimate answer, the service's CPU during the flood, the growth of its
log, its descriptors before the flood and after it, and the longest gap between two packets the
display received during the flood.

Run as root in a network namespace of its own, against the build to measure:

    VESK_SERVICE=build-rel/bin/vesk-service VESK_DISPLAY=build-rel/bin/vesk-display \\
        unshare --net -- /usr/bin/python3 -B tests/e2e/flood.py [SECONDS]

CTest runs FloodTest, a short variant that checks only what does not depend on the machine's
speed: every legitimate request answered, the descriptors back where they were, the log's growth
bounded, packets received while the flood lasted.
"""

import os
import resource
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "display", "tests"))

from measure_stream_cpu import cpu_seconds  # noqa: E402
from stream_e2e import Display  # noqa: E402
from vesk_e2e import Delivery, Peer, Service, UdpListener, make_clip, wait_until  # noqa: E402

FLOOD_FROM = "127.0.0.2"
SLOW_FROM = "127.0.0.3"
NEW_CONNECTIONS_PER_SECOND = 300
SLOW_PEERS = 32
TRICKLE_SECONDS = 0.8
PLAYLIST = """[flood]
name = flood
days = all
[flood.1]
url = clip.mp4
timeplay = 3600
"""


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def log_size(service):
    directory = os.path.dirname(service.log_path)
    return sum(os.path.getsize(os.path.join(directory, name)) for name in os.listdir(directory))


def connect_from(address, port, blocking=True):
    peer = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    peer.bind((address, 0))
    if blocking:
        peer.connect(("127.0.0.1", port))
    else:
        peer.setblocking(False)
        peer.connect_ex(("127.0.0.1", port))
    return peer


class Connector(threading.Thread):
    """New connections at a steady rate, each silent; closed when the service answers or
    closes it."""

    def __init__(self, port, seconds):
        super().__init__(daemon=True)
        self.port, self.seconds = port, seconds
        self.opened = self.refused = 0

    def run(self):
        selector = selectors.DefaultSelector()
        start = time.monotonic()
        while time.monotonic() - start < self.seconds:
            while self.opened <= (time.monotonic() - start) * NEW_CONNECTIONS_PER_SECOND:
                selector.register(connect_from(FLOOD_FROM, self.port, blocking=False),
                                  selectors.EVENT_READ)
                self.opened += 1
            for key, _ in selector.select(1 / NEW_CONNECTIONS_PER_SECOND):
                self.close(selector, key.fileobj)
        for key in list(selector.get_map().values()):
            self.close(selector, key.fileobj)

    def close(self, selector, peer):
        try:
            if peer.recv(64).startswith(b"HTTP/1.1 503"):
                self.refused += 1
        except OSError:
            pass
        selector.unregister(peer)
        peer.close()


class Tricklers(threading.Thread):
    """Peers that send a request one byte at a time, as slowly as the service's waits allow."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.stop = threading.Event()
        body_head = (b"POST /v1/stream/connect HTTP/1.1\r\nContent-Type: application/json\r\n"
                     b"Content-Length: 1048576\r\n\r\n")
        head_start = b"POST /v1/stream/connect HTTP/1.1\r\nX-Slow: "
        self.peers = ([{"opening": body_head, "socket": None, "due": 0.0}
                       for _ in range(SLOW_PEERS)]
                      + [{"opening": head_start, "socket": None, "due": 0.0}
                         for _ in range(SLOW_PEERS)])
        self.dropped = 0

    def run(self):
        while not self.stop.is_set():
            now = time.monotonic()
            for peer in self.peers:
                if peer["due"] <= now:
                    self.step(peer, now)
            self.stop.wait(max(0.0, min(peer["due"] for peer in self.peers) - time.monotonic()))
        for peer in self.peers:
            if peer["socket"]:
                peer["socket"].close()

    def step(self, peer, now):
        peer["due"] = now + TRICKLE_SECONDS
        try:
            if peer["socket"] is None:
                peer["socket"] = connect_from(SLOW_FROM, self.port)
                peer["socket"].sendall(peer["opening"])
                peer["socket"].setblocking(False)
                return
            peer["socket"].send(b"a")
            # Anything from the service (a 503, the end of the connection) means dropped.
            peer["socket"].recv(64)
        except BlockingIOError:
            return
        except OSError:
            pass
        if peer["socket"]:
            peer["socket"].close()
        peer["socket"] = None
        self.dropped += 1


def run_flood(seconds):
    """Runs the whole scenario; returns the figures and the service (still running)."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    scratch = tempfile.mkdtemp(prefix="flood-", dir=os.environ.get("VESK_E2E_TMP"))
    destination = UdpListener()
    stream_port = destination.port
    destination.close()
    service = Service(name="flood", send_to=f"127.0.0.1:{stream_port}")
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:9")
        clip = make_clip(os.path.join(scratch, "clip.mp4"), "green")
        delivery = Delivery(os.path.join(scratch, "delivery"),
                            {"clip.mp4": clip, "playlist.ini": PLAYLIST.encode()})
        mark = service.log_mark()
        delivery.copy_into(service.path("sync_dir"))
        service.wait_log("  плейлист применен", since=mark)
        display = Display(os.environ["VESK_DISPLAY"], service.port, seconds + 600)
        wait_until(lambda: display.lines, 60, "packets at the display", service.diagnostics)
        service.stream_connect(Peer())

        pid = service.process.pid
        stat = f"/proc/{pid}/stat"
        before = {"descriptors": descriptors(pid), "log": log_size(service),
                  "cpu": cpu_seconds(stat), "time": time.time()}
        connector = Connector(service.port, seconds)
        tricklers = Tricklers(service.port)
        connector.start()
        tricklers.start()
        answers = []
        while connector.is_alive():
            started = time.monotonic()
            answer, _, response = service.stream_connect(Peer())
            answers.append((response.seconds, len(answer["master"])))
            time.sleep(max(0.0, started + 1 - time.monotonic()))
        tricklers.stop.set()
        tricklers.join()
        end = time.time()
        cpu = (cpu_seconds(stat) - before["cpu"]) / (end - before["time"])
        during = [t for t, line in list(display.lines)
                  if line.startswith("dts=") and before["time"] <= t <= end]
        settled = wait_until(lambda: descriptors(pid) <= before["descriptors"] and descriptors(pid),
                             60, "the descriptors back at their count before the flood",
                             service.diagnostics)
        display.process.send_signal(signal.SIGINT)
        status, errors = display.wait(60)
        figures = {
            "legitimate answers": len(answers),
            "slowest legitimate answer s": max(seconds for seconds, _ in answers),
            "cpu of a core during the flood": cpu,
            "log growth bytes": log_size(service) - before["log"],
            "descriptors before": before["descriptors"],
            "descriptors after": settled,
            "connections opened": connector.opened,
            "connections refused with 503": connector.refused,
            "slow peers dropped or refused": tricklers.dropped,
            "packets during the flood": len(during),
            "longest packet gap s": max((b - a for a, b in zip(during, during[1:])), default=None),
            "display status": status,
        }
        return figures, service, errors
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
        self.assertGreater(figures["legitimate answers"], 0)
        self.assertLessEqual(figures["descriptors after"], figures["descriptors before"])
        self.assertLess(figures["log growth bytes"], 1_000_000)
        self.assertGreater(figures["connections refused with 503"], 0)
        self.assertGreater(figures["packets during the flood"], 0)
        self.assertEqual(figures["display status"], 0, errors)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
    figures, service, _ = run_flood(seconds)
    service.close()
    for name, value in figures.items():
        print(f"{name}: {value:.3f}" if isinstance(value, float) else f"{name}: {value}")


if __name__ == "__main__":
    main()
