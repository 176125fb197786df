"""vesk-manage as a management server runs it, against registers of the end-to-end kind (their
account, an sshd on loopback, rsync)."""

import os
import queue
import subprocess
import threading

from .peers import free_tcp_port
from .register import RegisterHost
from .service import REQUEST_TIMEOUT, SANITIZER_REPORT, Service, wait_until

MANAGE = os.environ.get("VESK_MANAGE", "")

# A playlist that plays the one clip video/red.mp4 all day.
PLAYLIST = "[shop]\nname = shop\ndays = all\n[shop.1]\nurl = video/red.mp4\ntimeplay = 2\n"


class Lines:
    """A stream of a running program, line by line, read on a thread of its own."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        self.stream = stream
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _pump(self):
        for line in self.stream:
            self.queue.put(line.rstrip("\n"))

    def close(self):
        """After the program ended: the rest of the stream is read into `seen`, and closed."""
        self.thread.join(REQUEST_TIMEOUT)
        self.stream.close()
        self._take()

    def _take(self):
        while not self.queue.empty():
            self.seen.append(self.queue.get())

    def wait_for(self, predicate, timeout, what):
        """The first line (seen before or arriving within the time-out) that predicate takes."""
        def found():
            self._take()
            return next((line for line in self.seen if predicate(line)), None)
        return wait_until(found, timeout, what, lambda: "\n".join(self.seen[-20:]))


class Manager:
    """vesk-manage as a management server runs it: a key, a home and pairings of its own in the
    scratch directory."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.key = os.path.join(scratch, "register_key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "manage@e2e",
                        "-f", self.key], check=True)
        self.environment = {key: value for key, value in os.environ.items()
                            if not key.startswith("SSH_")}
        self.environment.update(HOME=scratch, XDG_STATE_HOME=os.path.join(scratch, "state"))

    def command(self, *arguments):
        return [MANAGE, *arguments]

    def run(self, *arguments, timeout=REQUEST_TIMEOUT * 4):
        result = subprocess.run(self.command(*arguments), capture_output=True, text=True,
                                env=self.environment, timeout=timeout, check=False)
        if SANITIZER_REPORT.search(result.stderr):
            raise AssertionError("vesk-manage reported a sanitizer error:\n" + result.stderr)
        return result

    def start(self, *arguments):
        return subprocess.Popen(self.command(*arguments), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=self.environment)


def start_register(scratch, name, cleanup):
    """A register as its account with its own sshd; returns the service and the ssh options that
    reach it."""
    service = Service(sync_repeat=2, name=name)
    cleanup(service.close)
    host = RegisterHost(service)
    cleanup(host.close)
    known_hosts = os.path.join(scratch, f"known_hosts_{name}")
    with open(known_hosts, "w", encoding="ascii") as f:
        f.write(host.start_sshd(free_tcp_port()))
    service.start()
    return service, ["--ssh-port", str(host.port),
                     "--ssh-option", f"UserKnownHostsFile={known_hosts}",
                     "--ssh-option", "GlobalKnownHostsFile=/dev/null",
                     "--ssh-option", "StrictHostKeyChecking=yes"]
