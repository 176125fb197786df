"""Pairing figures against the real vesk-service.

  rounds N [--width W]  N rounds of W pairings sent at the same moment; after each round the
                        stored set must be one request's, whole, and every caller answered 200.
  kills M               M runs in which a pairing is sent and the service killed (SIGKILL) at a
                        random moment of it, then started again; right after the kill the home
                        must hold one whole set or a staging directory, and after the start the
                        previous set or the new one, whole.
  logflood N            N pairings whose "type" is a megabyte long, with a log capped at 3 MB
                        (three files of 1 MB); prints the log's size afterwards.

Each prints one line per round or run and a summary, and exits non-zero when a set was mixed. By
hand, as root, for the figures (a release build gives the figures that matter):

    export VESK_SERVICE=build-rel/bin/vesk-service PYTHONPATH=tests/lib
    python3 -B -m vesktest.pairing rounds 20
    python3 -B -m vesktest.pairing kills 100
    python3 -B -m vesktest.pairing logflood 60

CI runs a few of each (tests/e2e/test_pairing.py).
"""

import argparse
import glob
import json
import os
import random
import statistics
import sys
import threading
import time
import uuid

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .service import Peer, Service, open_encrypted, pairing_body, parse_response, raw_exchange

# The heartbeat's first line: the Core runs it after init(), so after the start settled the pairing.
FIRST_BEAT = "Отправка состояния кассы"


class Request:
    """One management server's pairing, every value its own."""

    def __init__(self, number):
        self.peer = Peer()
        self.token = uuid.uuid4()
        self.server = f"127.0.0.{1 + number % 200}:{5000 + number % 60000}"
        public = ed25519.Ed25519PrivateKey.generate().public_key()
        self.client_key = public.public_bytes(serialization.Encoding.OpenSSH,
                                              serialization.PublicFormat.OpenSSH).decode()
        self.client_key += f" harness{number}"
        # The agreed key, once the answer has come, and how long the answer took.
        self.key = None
        self.status = None
        self.seconds = None

    def http(self):
        body = json.dumps(pairing_body(self.peer, self.token, self.server,
                                       self.client_key + "\n")).encode()
        return (b"POST /v1/command/connect HTTP/1.1\r\nContent-Type: application/json\r\n"
                b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)

    def send(self, port):
        """Sends the pairing and reads the answer; a connection cut by a kill leaves no status."""
        started = time.monotonic()
        try:
            raw = raw_exchange(port, self.http())
            self.seconds = time.monotonic() - started
            response = parse_response(raw)
        except (OSError, AssertionError):
            return
        self.status = response.status
        if response.status == 200:
            _, self.key, _ = open_encrypted(self.peer, response)

    def owns(self, stored):
        """Whether the stored set is this request's, whole: the key line, token and address are
        its own, and the shared key is the one it agreed (when the answer came)."""
        line, token, address, shared = stored
        return (line.endswith(b"\" " + self.client_key.encode() + b"\n")
                and token == self.token.bytes and address == self.server.encode()
                and len(shared) == 32 and (self.key is None or shared == self.key))


PAIRING_FILES = (".ssh/authorized_keys", "token", "address", "shared.key")


def stored_set(service):
    files = []
    for name in PAIRING_FILES:
        try:
            with open(service.path(name), "rb") as f:
                files.append(f.read())
        except FileNotFoundError:
            files.append(b"")
    return files


def staging(service):
    return sorted(name for name in os.listdir(service.home) if name.startswith(".pairing"))


def owner(service, requests):
    """The one request whose set is stored, or None for a set that is no request's whole.
    A shared key no answer told is still checked against every other request's."""
    stored = stored_set(service)
    owners = [r for r in requests if r.owns(stored)]
    known = [r.key for r in requests if r.key is not None and r not in owners]
    if len(owners) != 1 or stored[3] in known:
        return None
    return owners[0]


def concurrent_round(service, width, first):
    requests = [Request(first + i) for i in range(width)]
    start = threading.Barrier(width)

    def send(request):
        start.wait()
        request.send(service.port)

    threads = [threading.Thread(target=send, args=(r,)) for r in requests]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stored = owner(service, requests)
    statuses = sorted(r.status or 0 for r in requests)
    whole = stored is not None and statuses == [200] * width and not staging(service)
    return whole, statuses, requests.index(stored) if stored else None


def rounds(service, count, width, out=sys.stdout):
    """`count` rounds of `width` pairings at once; returns the number of mixed rounds."""
    mixed = 0
    for number in range(count):
        whole, statuses, stored = concurrent_round(service, width, number * width)
        mixed += not whole
        print(f"round {number + 1}: statuses {statuses}, stored set "
              f"{'request ' + str(stored) if whole else 'MIXED'}", file=out, flush=True)
    print(f"rounds {count} of {width} concurrent pairings, mixed sets {mixed}", file=out)
    return mixed


def paired(service, request):
    request.send(service.port)
    if request.status != 200:
        raise AssertionError(f"pairing answered {request.status}\n{service.diagnostics()}")


def kill_run(service, number, window):
    """One pairing killed at a random moment; returns (what the kill left, what the start made
    of it, whether both were whole)."""
    before = Request(2 * number)
    paired(service, before)
    racing = Request(2 * number + 1)
    sending = threading.Thread(target=racing.send, args=(service.port,))
    sending.start()
    time.sleep(random.uniform(0, window))
    service.kill()
    sending.join()
    left = staging(service)
    found = owner(service, [before, racing])
    at_kill = ("staged " + ",".join(left)) if left else \
        "old" if found is before else "new" if found is racing else "MIXED"
    mark = service.start()
    service.wait_log(FIRST_BEAT, since=mark)
    found = owner(service, [before, racing])
    after = "old" if found is before else "new" if found is racing else "MIXED"
    good = after != "MIXED" and at_kill != "MIXED" and not staging(service)
    return at_kill, after, good


def kills(service, count, out=sys.stdout):
    """`count` pairings killed at random moments; returns the number of bad runs."""
    # The window: a little longer than the quickest pairing here, so that kills fall before,
    # inside and after one.
    latencies = []
    for number in range(5):
        request = Request(10**6 + number)
        paired(service, request)
        latencies.append(request.seconds)
    window = 1.2 * min(latencies)
    bad = 0
    tally = {}
    for number in range(count):
        at_kill, after, good = kill_run(service, number, window)
        bad += not good
        tally[after] = tally.get(after, 0) + 1
        print(f"run {number + 1}: at the kill {at_kill}, after the start {after}, "
              f"{'ok' if good else 'BAD'}", file=out, flush=True)
    print(f"runs {count} (window {window * 1000:.0f} ms, one pairing "
          f"{statistics.median(latencies) * 1000:.0f} ms), sets after the start {tally}, "
          f"bad runs {bad}", file=out)
    return bad


class CappedLogService(Service):
    """A service whose log keeps three files of 1 MB: a cap of 3 MB."""

    def write_config(self):
        super().write_config()
        path = os.path.join(self.bin_dir, "config.ini")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace("[Logger]\n", "[Logger]\nmaxFileSize=1000\nmaxFiles=3\n", 1))

    def log_files_size(self):
        return sum(os.path.getsize(p) for p in glob.glob(self.log_path + "*"))


def type_flood(service, count, size=1000 * 1000):
    """`count` pairings with a type of `size` characters; returns their statuses and the
    lengths of the reasons answered."""
    answers = []
    for number in range(count):
        request = Request(number)
        body = dict(pairing_body(request.peer, request.token, request.server,
                                 request.client_key), type="A" * size)
        data = json.dumps(body).encode()
        response = parse_response(raw_exchange(
            service.port, b"POST /v1/command/connect HTTP/1.1\r\nContent-Type: "
            b"application/json\r\nContent-Length: " + str(len(data)).encode() + b"\r\n\r\n" + data))
        answers.append((response.status, len(json.loads(response.body)["reason"])))
    return answers


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("figure", choices=("rounds", "kills", "logflood"))
    parser.add_argument("count", type=int)
    parser.add_argument("--width", type=int, default=8)
    parser.add_argument("--seed", type=int, default=None)
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: the service runs in a mount namespace of its own")
    random.seed(options.seed)
    service = (CappedLogService if options.figure == "logflood" else Service)(
        name="pairing-figure")
    try:
        service.start()
        if options.figure == "rounds":
            failed = rounds(service, options.count, options.width)
        elif options.figure == "kills":
            failed = kills(service, options.count)
        else:
            before = service.log_files_size()
            answers = type_flood(service, options.count)
            print(f"{options.count} pairings with a 1 MB type: statuses "
                  f"{sorted(set(a for a, _ in answers))}, reasons of "
                  f"{min(b for _, b in answers)} characters answered; log files "
                  f"{before} bytes before, {service.log_files_size()} bytes after (cap 3,000,000)")
            failed = 0
    finally:
        service.close()
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
