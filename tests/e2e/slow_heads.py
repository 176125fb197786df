"""Slow heads from many addresses against the real vesk-service: a figure, and a check for CI.

64 connections trickle their request heads, 8 from each of 8 addresses (127.0.0.2 to
127.0.0.9): a byte every TRICKLE seconds, a new connection at once when the service ends one.
That is every connection the service takes, and no address over its share. Once the service
holds all 64, a display asks to join the stream 12 times from a ninth address (127.0.0.10).
Prints how many of the 12 were answered within 3 s, the slowest answer, and how many slow
connections the service ended meanwhile (each newcomer, a slow one coming back included, ends
the oldest slow one).

    VESK_SERVICE=build-rel/bin/vesk-service PYTHONPATH=tests/lib python3 -B tests/e2e/slow_heads.py

SlowHeadsTest, run by CTest, checks order instead of time. Its slow peers do not come back, so
that every connection the service ends is one a display's request took: every request is
answered, each at the cost of exactly one slow connection, while all the others still hold
theirs (not once they have been dropped at their deadline).
"""

import selectors
import socket
import threading
import time
import unittest

from vesktest.proc import descriptors
from vesktest.service import REQUEST_TIMEOUT, Peer, Service, parse_response, wait_until

ATTACKERS = [f"127.0.0.{n}" for n in range(2, 10)]
PER_ADDRESS = 8
LEGITIMATE = "127.0.0.10"
REQUESTS = 12
TRICKLE = 0.4  # seconds between two bytes of a slow head; the service waits 1 s for each
OPENING = b"POST /v1/stream/connect HTTP/1.1\r\nContent-Type: application/json\r\n"


class SlowHeads(threading.Thread):
    """The 64 slow peers. Each connection has a serial number, so that a check can tell the
    connections open at one moment from those opened later. A peer whose connection the service
    ends comes back at once, or, without come_back, when refill() asks for it."""

    def __init__(self, port, come_back):
        super().__init__(daemon=True)
        self.port = port
        self.come_back = come_back
        self.stop = threading.Event()
        self.refill_wanted = threading.Event()
        self.refilled = threading.Event()
        self.lock = threading.Lock()
        self.open = set()  # serial numbers of the connections open now
        self.serial = 0
        self.ended = 0  # connections the service ended (a 503, a close)
        self.gone = []  # addresses of the peers waiting for refill()
        self.selector = selectors.DefaultSelector()

    def refill(self):
        """Brings back every peer whose connection the service ended; returns when they are."""
        self.refilled.clear()
        self.refill_wanted.set()
        self.refilled.wait()

    def snapshot(self):
        with self.lock:
            return set(self.open)

    def connect(self, address):
        peer = socket.create_connection(("127.0.0.1", self.port), source_address=(address, 0))
        peer.sendall(OPENING)
        peer.setblocking(False)
        with self.lock:
            self.serial += 1
            self.open.add(self.serial)
        self.selector.register(peer, selectors.EVENT_READ, (address, self.serial))

    def end(self, key):
        self.selector.unregister(key.fileobj)
        key.fileobj.close()
        with self.lock:
            self.open.discard(key.data[1])
            self.ended += 1
        if self.come_back:
            self.connect(key.data[0])
        else:
            self.gone.append(key.data[0])

    def run(self):
        for address in ATTACKERS:
            for _ in range(PER_ADDRESS):
                self.connect(address)
        next_byte = time.monotonic() + TRICKLE
        while not self.stop.is_set():
            if self.refill_wanted.is_set():
                self.refill_wanted.clear()
                while self.gone:
                    self.connect(self.gone.pop())
                self.refilled.set()
            # Anything from the service, an answer or the end, ends the connection here too.
            for key, _ in self.selector.select(min(0.05, max(0.0, next_byte - time.monotonic()))):
                self.end(key)
            if time.monotonic() >= next_byte:
                next_byte += TRICKLE
                for key in list(self.selector.get_map().values()):
                    try:
                        key.fileobj.send(b"x")
                    except OSError:
                        self.end(key)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()


def join_stream(port):
    """One display's stream/connect from the ninth address: the status and the seconds taken."""
    body = ('{"pk": "%s"}' % Peer().public_base64()).encode()
    request = (b"POST /v1/stream/connect HTTP/1.1\r\nContent-Type: application/json\r\n"
               b"Accept: application/json\r\nContent-Length: " + str(len(body)).encode()
               + b"\r\n\r\n" + body)
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=REQUEST_TIMEOUT,
                                  source_address=(LEGITIMATE, 0)) as s:
        s.sendall(request)
        received = b""
        while chunk := s.recv(65536):
            received += chunk
    return parse_response(received).status, time.monotonic() - started


def run_attack(service, come_back):
    """Returns per request: its status, its seconds, and how many of the slow connections open
    before it was sent were still open once its answer and the end it caused had come. Without
    come_back, the slow peers that lost their connections are brought back before each request,
    so that each request finds every slot taken by a slow peer."""
    pid = service.process.pid
    before = descriptors(pid)
    attack = SlowHeads(service.port, come_back)
    attack.start()
    full = before + len(ATTACKERS) * PER_ADDRESS
    try:
        results = []
        for n in range(REQUESTS):
            if not come_back:
                attack.refill()
            wait_until(lambda: descriptors(pid) >= full, 60,
                       "the service holding every slow connection", service.diagnostics)
            held = attack.snapshot()
            status, seconds = join_stream(service.port)
            if not come_back:
                wait_until(lambda: attack.ended > n, 10, "the end of the evicted connection")
            results.append((status, seconds, len(held & attack.snapshot())))
        return results, attack.ended
    finally:
        attack.stop.set()
        attack.join()


class SlowHeadsTest(unittest.TestCase):
    def test_requests_pass_slow_heads(self):
        service = Service(name="slowheads")
        self.addCleanup(service.close)
        service.start()
        results, ended = run_attack(service, come_back=False)
        self.assertEqual([status for status, _, _ in results], [200] * REQUESTS)
        # Each request ended exactly one slow connection; all the others still held their slots
        # when its answer came.
        self.assertEqual(ended, REQUESTS)
        slots = len(ATTACKERS) * PER_ADDRESS
        self.assertEqual([still_held for _, _, still_held in results], [slots - 1] * REQUESTS)


if __name__ == "__main__":
    figure_service = Service(name="slowheads")
    try:
        figure_service.start()
        figure, evicted = run_attack(figure_service, come_back=True)
    finally:
        figure_service.close()
    answered = sum(1 for status, seconds, _ in figure if status == 200 and seconds <= 3)
    print(f"answered within 3 s: {answered} / {REQUESTS}")
    print(f"slowest answer s: {max(seconds for _, seconds, _ in figure):.3f}")
    print(f"slow connections ended by the service: {evicted}")
