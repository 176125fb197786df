"""Runs the real vesk-service: start, stop, pair, deliver, and wait on what it states.

The peers it meets are deliberately not our code (peers.py, wire.py): a fault shared by our own
client and server code cannot hide here. This module also hands out their names, so that a test
needs one import.

Every service runs in a private mount namespace with a temporary directory bound over its fixed
home, so nothing on the host is read or written. Waits poll a condition with a deadline.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import time

from . import scratch
# The names tests have always taken from here, whichever module holds them now.
from .peers import (REQUEST_TIMEOUT, UdpListener, curl, delivery_name, free_tcp_port,
                    make_clip, post_json, raw_exchange, xxhsum)
from .wire import (IV_LENGTH, TAG_LENGTH, TOKEN_LENGTH, Peer, Response, decrypt, open_encrypted,
                   parse_response)

__all__ = [
    "HOME", "ISO_WITH_MS_AND_OFFSET", "ISO_WITH_OFFSET", "IV_LENGTH", "LOG_LINE", "REQUEST_TIMEOUT",
    "SANITIZER_REPORT", "START_TIMEOUT", "STOPPED", "STOP_TIMEOUT", "SYNC_DIR", "TAG_LENGTH",
    "TOKEN_LENGTH", "Delivery", "Peer", "Response", "Service", "UdpListener", "curl", "decrypt",
    "delivery_name", "die_with_parent", "enter_private_mount_namespace", "free_tcp_port",
    "make_clip", "open_encrypted", "pairing_body", "parse_response", "post_json", "raw_exchange",
    "wait_until", "write_replacing"]

HOME = "/var/lib/morlen-vesk"
SYNC_DIR = HOME + "/sync_dir"

# The service is built with the sanitizers in CI: its start-up is several times slower than in
# a release build, so deadlines are generous. They bound a wait; they never pace it.
START_TIMEOUT = 90
STOP_TIMEOUT = 20

LOG_LINE = re.compile(
    r"^(?P<time>\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}) +(?P<level>TRACE|DEBUG|INFO|WARN|ERROR|OFF) "
    r"(?P<logger>\S*) - (?P<message>.*)$"
)
ISO_WITH_OFFSET = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
ISO_WITH_MS_AND_OFFSET = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")
# What the service says on standard error and as its last log line when SIGTERM stops it.
STOPPED = re.compile(r"vesk-service \S+: stopped by SIGTERM")
SANITIZER_REPORT = re.compile(
    r"ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:"
)

# Binds a temporary directory over the home in a mount namespace of the service's own, then
# becomes the service; the mount vanishes with the process. The mount point is created on the
# host when missing, but nothing is ever written into the host's directory itself.
NAMESPACE_SCRIPT = ('mkdir -p "$1" && mount --bind "$2" "$1" && program="$3" && shift 3 && '
                    'exec "$program" "$@"')


def wait_until(predicate, timeout, what, diagnostics=None, interval=0.05):
    """Polls predicate until it returns something true and returns that; fails at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            detail = "\n" + diagnostics() if diagnostics else ""
            raise AssertionError(f"no {what} within {timeout} s{detail}")
        time.sleep(interval)


def die_with_parent():
    # A test runner killed at its time-out must not leave a service behind.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _release_immutable(path):
    # The service marks the delivered TF immutable while it reads it; a service stopped in the
    # middle of that would leave a tree that cannot be removed.
    subprocess.run(["chattr", "-R", "-i", path], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)


def pairing_body(peer, token, server, client_key):
    return {"type": "file-rsync", "keyToken": str(token), "serverKey": peer.public_base64(),
            "clientKey": client_key, "server": server}


class Service:
    """One vesk-service with its own program directory, config.ini, log and home."""

    def __init__(self, *, sync_repeat=2, send_to=None, name="service", log_level="debug"):
        program = os.environ.get("VESK_SERVICE")
        if not program or not os.path.isfile(program):
            raise RuntimeError("VESK_SERVICE must name the built vesk-service")
        self.root = scratch.directory(f"{name}-")
        self.bin_dir = os.path.join(self.root, "bin")
        self.home = os.path.join(self.root, "home")
        self.log_path = os.path.join(self.root, "log", "vesk.log")
        self.stderr_path = os.path.join(self.root, "stderr.txt")
        os.makedirs(self.bin_dir)
        os.makedirs(self.home)
        self.port = free_tcp_port()
        self.sync_repeat = sync_repeat
        self.send_to = send_to
        self.log_level = log_level
        self.process = None
        # Variables added to the service's environment (RUNTIME_DIRECTORY, say).
        self.environment = {}
        # Arguments the program is started with, as a launcher would pass its own.
        self.arguments = []
        # Where the log lines are read from: the log file, or standard error while the test keeps
        # the file from being written.
        self.log_on_stderr = False
        # A command prefix that runs the program somewhere prepared for it (a namespace shared
        # with other peers, an account of its own) instead of a namespace of its own.
        self.enter = None
        self.program = os.path.join(self.bin_dir, "vesk-service")
        # A hard link, not a symbolic one: the program finds config.ini through /proc/self/exe,
        # which names the file a symbolic link points to. Its libraries are found beside it.
        try:
            os.link(program, self.program)
        except OSError:
            shutil.copy2(program, self.program)
        program_dir = os.path.dirname(os.path.realpath(program))
        for entry in os.listdir(program_dir):
            if entry.startswith("lib") and ".so" in entry:
                os.symlink(os.path.join(program_dir, entry), os.path.join(self.bin_dir, entry))
        # The programs the service names by its own directory: the SSH key's forced command, which
        # runs vesk-status and vesk-plays beside itself. Hard links too, so that they find their
        # libraries here.
        for entry in ("vesk-sshgate", "vesk-status", "vesk-plays"):
            source, target = os.path.join(program_dir, entry), os.path.join(self.bin_dir, entry)
            if os.path.isfile(source):
                try:
                    os.link(source, target)
                except OSError:
                    shutil.copy2(source, target)
        self.write_config()

    def write_config(self):
        lines = ["[Logger]", f"path={self.log_path}", f"level={self.log_level}", "", "[Main]",
                 f"listen=127.0.0.1:{self.port}", f"syncRepeat={self.sync_repeat}", ""]
        if self.send_to:
            lines += ["[Stream]", f"sendTo={self.send_to}", ""]
        with open(os.path.join(self.bin_dir, "config.ini"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines))

    def path(self, name):
        """The host path of an entry of the service's home."""
        return os.path.join(self.home, name)

    # ---- process ----

    def start(self):
        if self.process is not None:
            raise RuntimeError("already running")
        mark = self.log_mark()
        environment = dict(os.environ)
        # A zone with a non-zero offset, so that time stamps show whether the offset is right.
        environment.setdefault("TZ", "Europe/Moscow")
        environment.update(self.environment)
        command = ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                   NAMESPACE_SCRIPT, "vesk-e2e", HOME, self.home, self.program, *self.arguments]
        if self.enter:
            command = self.enter + [self.program, *self.arguments]
        with open(self.stderr_path, "ab") as err:
            self.process = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, cwd=self.root,
                env=environment, preexec_fn=die_with_parent)
        self.wait_log("listening...", logger="vesk.server", since=mark, timeout=START_TIMEOUT)
        return mark

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        """SIGTERM, then SIGKILL. Fails if the service had died by itself, ignored SIGTERM, or
        did not end with status 0 and its stop line last in the log."""
        if self.process is None:
            return
        process, self.process = self.process, None
        died_early = process.poll()
        if died_early is not None:
            raise AssertionError(f"the service had exited by itself with status {died_early}\n"
                                 f"{self.diagnostics()}")
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError(f"the service did not stop within {STOP_TIMEOUT} s of "
                                 f"SIGTERM\n{self.diagnostics()}")
        last = self.log_records()[-1:]
        if (process.returncode != 0 or not STOPPED.search(self.stderr())
                or not (last and STOPPED.fullmatch(last[0]["message"]))):
            raise AssertionError(f"SIGTERM ended the service with status {process.returncode}, "
                                 f"not with 0 and its stop line\n{self.diagnostics()}")

    def restart(self):
        self.stop()
        return self.start()

    def kill(self):
        """SIGKILL, as a power cut or the kernel's OOM killer stops it: no handler of its own runs."""
        process, self.process = self.process, None
        process.kill()
        process.wait()

    def close(self):
        """Stops the service, checks its output for sanitizer reports and removes its files."""
        try:
            self.stop()
            report = self.stderr()
            if SANITIZER_REPORT.search(report):
                raise AssertionError("the service reported a sanitizer error:\n" + report[-6000:])
            # The Core's guard logs what escaped a handler: always a fault, never an answer.
            escaped = self.find_log(r"unhandled exception: .*", logger=None, pattern=True)
            if escaped:
                raise AssertionError(f"a handler failed: {escaped[0]['message']}\n"
                                     f"{self.diagnostics()}")
        finally:
            if self.process is not None:
                self.process.kill()
                self.process.wait()
            _release_immutable(self.root)
            shutil.rmtree(self.root, ignore_errors=True)

    # ---- log ----

    def log_bytes(self):
        try:
            with open(self.stderr_path if self.log_on_stderr else self.log_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_mark(self):
        return len(self.log_bytes())

    def log_records(self, since=0):
        text = self.log_bytes()[since:].decode("utf-8", errors="replace")
        records = []
        for line in text.split("\n"):
            match = LOG_LINE.match(line)
            if match:
                records.append(match.groupdict())
        return records

    def find_log(self, message, logger="vesk.core", since=0, pattern=False):
        """Log records after the mark whose message equals the text (or matches the pattern)."""
        found = []
        for record in self.log_records(since):
            if logger is not None and record["logger"] != logger:
                continue
            if pattern:
                if re.fullmatch(message, record["message"]):
                    found.append(record)
            elif record["message"] == message:
                found.append(record)
        return found

    def wait_log(self, message, logger="vesk.core", since=0, timeout=REQUEST_TIMEOUT,
                 pattern=False, count=1, accept=None):
        """Waits for `count` such records, one of which `accept` takes when it is given."""
        def seen():
            if not self.running() and self.process is not None:
                raise AssertionError(f"the service exited while waiting for {message!r}\n"
                                     f"{self.diagnostics()}")
            found = self.find_log(message, logger, since, pattern)
            if accept is not None and not any(accept(record) for record in found):
                return None
            return found if len(found) >= count else None

        return wait_until(seen, timeout, f"log message {message!r} on {logger}",
                          self.diagnostics)

    def status_path(self):
        """Where this service writes status.json: its runtime directory when it is given one,
        else its home."""
        runtime = self.environment.get("RUNTIME_DIRECTORY", "").split(":")[0]
        return os.path.join(runtime or self.home, "status.json")

    def status(self):
        """status.json as it stands, or None while it is missing or half-written."""
        try:
            with open(self.status_path(), "rb") as f:
                return json.loads(f.read())
        except (OSError, ValueError):
            return None

    def wait_status(self, accept, what, timeout=REQUEST_TIMEOUT):
        """status.json once `accept` takes it (the service rewrites it a moment after a change);
        fails when the service exits meanwhile."""
        def current():
            if self.process is not None and not self.running():
                raise AssertionError(f"the service exited while waiting for a status with "
                                     f"{what}\n{self.diagnostics()}")
            status = self.status()
            return status if status is not None and accept(status) else None

        return wait_until(current, timeout, f"status.json with {what}", self.diagnostics)

    def wait_applied(self, transaction_file, timeout=REQUEST_TIMEOUT):
        """Waits until the running service's status.json names the delivery of that TF (its XXH64
        by xxhsum) as the one whose playlist it applied; returns the status."""
        digest = delivery_name(transaction_file)
        if self.process is None:
            raise AssertionError("the service is not running")
        # From this process: a stopped one's file names what it played.
        return self.wait_status(lambda status: status.get("pid") == self.process.pid
                                and status["playing"]["delivery"] == digest,
                                f"delivery {digest} applied", timeout)

    def stderr(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def diagnostics(self):
        log_tail = "\n".join(self.log_bytes().decode("utf-8", errors="replace")
                             .splitlines()[-40:])
        return (f"--- last log lines ({self.log_path}) ---\n{log_tail}\n"
                f"--- standard error ---\n{self.stderr()[-3000:]}")

    # ---- requests ----

    def pair(self, peer, token, server, client_key="ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAwxxOlnb/"
                                                   "cGzD6xN4L1l6UJB/2WQMeAqh97/vngg4II "
                                                   "e2e@management"):
        response = post_json(self.port, "/v1/command/connect",
                             pairing_body(peer, token, server, client_key))
        answer, key, _ = open_encrypted(peer, response)
        return answer, key

    def stream_connect(self, peer):
        response = post_json(self.port, "/v1/stream/connect", {"pk": peer.public_base64()})
        answer, key, service_key = open_encrypted(peer, response)
        return answer, service_key, response


class Delivery:
    """Content as a management server delivers it: media, playlist.ini and a TF by xxhsum."""

    def __init__(self, directory, files):
        self.directory = directory
        self.files = dict(files)  # relative name -> bytes, playlist.ini included
        for name, data in self.files.items():
            target = os.path.join(directory, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
        self.transaction_file = xxhsum(sorted(self.files), directory)

    def copy_into(self, sync_dir, corrupt=None):
        """Copies the files, then TF last, as rsync does it: under a temporary name, renamed
        into place. `corrupt` names a file whose copy gets one byte flipped."""
        for name, data in self.files.items():
            if name == corrupt:
                data = bytes([data[0] ^ 0xFF]) + data[1:]
            write_replacing(os.path.join(sync_dir, name), data)
        write_replacing(os.path.join(sync_dir, "TF"), self.transaction_file)


def write_replacing(path, data, timeout=REQUEST_TIMEOUT):
    """Writes a file under a temporary name and renames it over the target. The service makes the
    sync TF immutable while it reads it, so a replace can be refused for a moment: retry then."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".part")
    with open(temporary, "wb") as f:
        f.write(data)

    def renamed():
        try:
            os.rename(temporary, path)
            return True
        except PermissionError:
            return False

    wait_until(renamed, timeout, f"replacement of {path} (it stayed immutable)")


def enter_private_mount_namespace():
    """Moves this test process into a mount namespace of its own: what it mounts from then on is
    seen by it and the services it starts, never by the host, and vanishes when it exits."""
    clone_newns = 0x00020000
    if ctypes.CDLL("libc.so.6", use_errno=True).unshare(clone_newns) != 0:
        raise OSError(ctypes.get_errno(), "unshare of the mount namespace failed")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
