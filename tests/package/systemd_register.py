"""The Debian package on a register with a real systemd: a Debian 12 root booted with
systemd-nspawn (systemd as PID 1, cgroup v2, a private network), the .deb installed with apt.

What a register's owner does with it, in order, each step checked from the outside:
  install           apt installs the .deb; the unit is enabled and active
  journal           the start line in the journal; the register's log directory is missing, so
                    the service says so there and logs to the journal
  exposure          systemd-analyze security of the loaded unit, at most 2.0
  log directory     the register grants the account its log directory; after a restart the log
                    file is there, the account's
  pairing           POST /v1/command/connect, the answer decrypted
  delivery          rsync over SSH as the account, TF last; the played TF read back over SSH
  stop              systemctl stop: status 0, "stopped by SIGTERM"
  heartbeat         started again, the first beat comes at once, sealed with the pairing's key
  kill -9           the main process killed; systemd starts it again
  journal           no start left libgcrypt's "Warning: using insecure memory!" in it
  remove, purge     the account and home stay on remove and go on purge; purge says nothing

The root is made with mmdebstrap from the package mirror once and kept as a tarball in a cache
directory (VESK_NSPAWN_CACHE, default /var/cache/vesk-nspawn), named by the list of packages in
it; a new dependency of the package makes a new root. Clients (curl, Python's cryptography, ssh,
rsync) are the host's, run in the container's network namespace, so the root needs none of them.

    python3 tests/package/systemd_register.py --source . --release build/package-release

Exits 77 (skipped) where the root cannot be made or nspawn cannot boot it, with the reason.
"""

import argparse
import ctypes
import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid

from vesktest import scratch as scratch_space
from vesktest.peers import seal
from vesktest.register import ManagementServer
from vesktest.service import (ISO_WITH_MS_AND_OFFSET, Peer, UdpListener, make_clip,
                              open_encrypted, pairing_body, post_json, wait_until)
from vesktest.wire import open_heartbeat

SKIPPED = 77
SUITE = "bookworm"
MIRROR = os.environ.get("VESK_NSPAWN_MIRROR", "http://deb.debian.org/debian")
# A register as the package meets it, besides the package's own dependencies: systemd as PID 1,
# the SSH server and rsync through which content arrives. No cron: a purge must be quiet there.
REGISTER_PACKAGES = ["systemd", "systemd-sysv", "dbus", "openssh-server", "rsync", "e2fsprogs",
                     "adduser", "passwd"]
CONTAINER_PATH = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
LOG_DIRECTORY = "/tillhost/logs/current"
LOG_FILE = LOG_DIRECTORY + "/morlen-vesk.log"
START_LINE = re.compile(r"vesk-service \S+: listening on 0\.0\.0\.0:49152, home "
                        r"/var/lib/morlen-vesk, log " + re.escape(LOG_FILE))
# What libgcrypt writes where it cannot lock its secure memory (libavformat loads it through
# libssh, and the unit's system-call filter refuses mlock).
INSECURE_MEMORY = "Warning: using insecure memory!"
API_PORT = 49152
STEP_TIMEOUT = 120
CLONE_NEWNET = 0x40000000


class Skip(Exception):
    pass


def run(command, timeout=STEP_TIMEOUT, check=True, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                            check=False, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError(f"{' '.join(command)} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result


def package_names(depends):
    """The first alternative of each entry of a Depends field, without its version."""
    names = []
    for entry in depends.split(","):
        name = entry.split("|")[0].strip().split(" ")[0].split("(")[0]
        if name:
            names.append(name)
    return names


def build_package(source, release):
    if not os.path.exists(os.path.join(release, "CMakeCache.txt")):
        run(["cmake", "-S", source, "-B", release, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DVESK_BUILD_TESTS=OFF", "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON"], timeout=600)
    run(["cmake", "--build", release, "--target", "package"], timeout=3600)
    debs = sorted(glob.glob(os.path.join(release, "vesk_*_amd64.deb")), key=os.path.getmtime)
    if not debs:
        raise AssertionError(f"no package in {release}")
    return debs[-1]


def root_tarball(cache, packages):
    """The cached root for these packages, made with mmdebstrap when missing. Roots of other
    package lists are removed: the cache holds one root."""
    key = hashlib.sha256("\n".join([SUITE, MIRROR, *sorted(packages)]).encode()).hexdigest()[:16]
    tarball = os.path.join(cache, f"{SUITE}-{key}.tar")
    if os.path.exists(tarball):
        return tarball, "warm"
    if not shutil.which("mmdebstrap"):
        raise Skip("mmdebstrap is not installed (scripts/install-deps.sh installs it)")
    os.makedirs(cache, exist_ok=True)
    partial = tarball + ".partial"
    result = subprocess.run(
        ["mmdebstrap", "--quiet", "--variant=apt", "--include=" + ",".join(sorted(packages)),
         "--format=tar", SUITE, partial, MIRROR],
        capture_output=True, text=True, timeout=3600, check=False)
    if result.returncode != 0:
        if os.path.exists(partial):
            os.remove(partial)
        raise Skip(f"mmdebstrap cannot make the root from {MIRROR}:\n{result.stderr[-2000:]}")
    for old in glob.glob(os.path.join(cache, f"{SUITE}-*.tar")):
        os.remove(old)
    os.rename(partial, tarball)
    return tarball, "cold"


def descendants(pid):
    children = {}
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(status, encoding="utf-8") as f:
                fields = dict(line.split(":\t", 1) for line in f.read().splitlines()
                              if ":\t" in line)
        except OSError:
            continue
        children.setdefault(int(fields.get("PPid", "0")), []).append(
            (int(status.split("/")[2]), fields.get("NSpid", "").split()))
    found, todo = [], [pid]
    while todo:
        for child, nspid in children.get(todo.pop(), []):
            found.append((child, nspid))
            todo.append(child)
    return found


class Register:
    """A root directory booted with systemd-nspawn; commands run inside through nsenter."""

    def __init__(self, root, console):
        self.root = root
        self.console = console
        self.nspawn = None
        self.leader = None

    def boot(self):
        environment = dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1")
        with open(self.console, "wb") as out:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "--quiet", "--directory", self.root, "--boot",
                 "--register=no", "--keep-unit", "--private-network", "--machine=register",
                 "--console=passive"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=environment,
                start_new_session=True)

        def leader():
            if self.nspawn.poll() is not None:
                raise Skip(f"systemd-nspawn ended with {self.nspawn.returncode}:\n"
                           f"{self.console_text()}")
            return next((pid for pid, nspid in descendants(self.nspawn.pid)
                         if len(nspid) == 2 and nspid[1] == "1"), None)

        self.leader = wait_until(leader, STEP_TIMEOUT, "container's PID 1")

        # "offline" until PID 1 is systemd and listens; "starting" until the boot is done.
        def booted():
            state = self.run(["systemctl", "is-system-running"], check=False).stdout.strip()
            return state if state in ("running", "degraded") else None
        try:
            wait_until(booted, STEP_TIMEOUT, "booted system", interval=0.5)
        except AssertionError as failure:
            raise Skip(f"systemd in the container does not come up: {failure}\n"
                       f"{self.console_text()}") from None
        if self.run(["stat", "-fc", "%T", "/sys/fs/cgroup"]).stdout.strip() != "cgroup2fs":
            raise AssertionError("the container did not get cgroup v2")

    def console_text(self):
        with open(self.console, encoding="utf-8", errors="replace") as f:
            return f.read()[-3000:]

    def run(self, command, check=True, timeout=STEP_TIMEOUT, input=None):
        return run(["nsenter", "--target", str(self.leader), "--all", "--", "env", "-i",
                    CONTAINER_PATH, "LANG=C.UTF-8", "DEBIAN_FRONTEND=noninteractive", *command],
                   check=check, timeout=timeout, input=input)

    def enter_network(self):
        """Moves this process into the container's network namespace, so that the clients it
        starts reach the register on its loopback."""
        fd = os.open(f"/proc/{self.leader}/ns/net", os.O_RDONLY)
        try:
            if ctypes.CDLL("libc.so.6", use_errno=True).setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns into the container's network failed")
        finally:
            os.close(fd)

    def unit(self, *properties):
        shown = self.run(["systemctl", "show", "vesk", "-p", ",".join(properties)]).stdout
        return dict(line.split("=", 1) for line in shown.splitlines() if "=" in line)

    def journal(self, since_cursor=None):
        command = ["journalctl", "-u", "vesk", "-o", "cat", "--no-pager"]
        if since_cursor:
            command += ["--after-cursor", since_cursor]
        return self.run(command).stdout.splitlines()

    def cursor(self):
        shown = self.run(["journalctl", "-u", "vesk", "-n", "1", "--show-cursor", "-q",
                          "--no-pager"], check=False).stdout
        match = re.search(r"-- cursor: (\S+)", shown)
        return match.group(1) if match else None

    def wait_active(self, what, old_pid=None):
        def active():
            state = self.unit("ActiveState", "MainPID", "NRestarts")
            if state["ActiveState"] == "active" and state["MainPID"] not in ("0", old_pid):
                return state
            return None
        return wait_until(active, STEP_TIMEOUT, what)

    def power_off(self):
        if self.nspawn is None or self.nspawn.poll() is not None:
            return
        if self.leader:
            self.run(["systemctl", "poweroff", "--no-block"], check=False)
        try:
            self.nspawn.wait(STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(self.nspawn.pid, signal.SIGKILL)
            self.nspawn.wait()


class Steps:
    """Prints each step with its seconds: the test's output is the run's record."""

    def __init__(self):
        self.started = time.monotonic()
        self.last = self.started

    def done(self, name, detail=""):
        now = time.monotonic()
        print(f"{now - self.last:7.1f} s  {name}{'  ' + detail if detail else ''}", flush=True)
        self.last = now


def contents(scratch):
    """A delivery: a clip, a playlist that plays it all day and a TF made by xxhsum."""
    content = os.path.join(scratch, "content")
    make_clip(os.path.join(content, "media", "clip.mp4"), "green")
    with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
        f.write("[main]\nname = Main\n[main.clip]\nurl = media/clip.mp4\ntimeplay = 2\n")
    return content, seal(content)


def check_heartbeat(datagram, token, key):
    beat = open_heartbeat(datagram, key)
    if beat.token != token:
        raise AssertionError(f"the beat begins {beat.token.hex}, not the token's digits "
                             f"{token.hex}")
    state = beat.state
    if not ISO_WITH_MS_AND_OFFSET.match(state.get("datetime", "")):
        raise AssertionError(f"heartbeat {state}")
    return state["datetime"]


def quiet(output, what):
    """apt's and the maintainer scripts' output must hold no warning."""
    noisy = [line for line in output.splitlines()
             if re.search(r"warn|crontab|error", line, re.IGNORECASE)]
    if noisy:
        raise AssertionError(f"{what} is not quiet:\n" + "\n".join(noisy))


class Owner:
    """What a register's owner and its management server do, step by step; each step checks what
    it did from the outside and passes on what the next one needs."""

    def __init__(self, register, scratch, steps):
        self.register = register
        self.scratch = scratch
        self.steps = steps

    def run_all(self, deb):
        first = self.install(deb)
        self.journal_without_log_directory()
        self.exposure()
        self.log_directory(first)
        self.register.enter_network()
        udp, token, key, management = self.pair()
        self.deliver(management)
        self.stop()
        self.start_and_beat(udp, token, key)
        self.kill_and_restart()
        self.journal_is_clean()
        self.remove_and_purge()

    def install(self, deb):
        register = self.register
        shutil.copy(deb, os.path.join(register.root, "root", "vesk.deb"))
        installed = register.run(["apt-get", "install", "-y", "-q", "/root/vesk.deb"],
                                 timeout=600)
        quiet(installed.stdout + installed.stderr, "apt-get install")
        first = register.wait_active("vesk active after the installation")
        enabled = register.run(["systemctl", "is-enabled", "vesk"]).stdout.strip()
        self.steps.done("install", f"enabled {enabled}, main process {first['MainPID']}")
        return first

    def journal_without_log_directory(self):
        """The register's log directory is missing: the start line and what the service said
        about its log are in the journal."""
        def started():
            lines = self.register.journal()
            return lines if any(START_LINE.search(line) for line in lines) else None
        lines = wait_until(started, STEP_TIMEOUT, "start line in the journal")
        self.steps.done("journal", "with the log directory missing, journalctl -u vesk -o cat:")
        for line in lines[:12]:
            print(f"             | {line}")
        if len(lines) > 12:
            print(f"             | ... {len(lines) - 12} more lines")
        # Said once, naming the directory, however many lines follow; the start line, which the
        # log itself now writes into the journal, once too.
        complaints = [line for line in lines if line.startswith("логгер: ")]
        if len(complaints) != 1 or LOG_DIRECTORY not in complaints[0]:
            raise AssertionError(f"not one line about the log file: {complaints}")
        starts = [line for line in lines if START_LINE.search(line)]
        if len(starts) != 1:
            raise AssertionError(f"the start line {len(starts)} times: {starts}")
        # The status file is first written a moment after the start line.
        def running():
            status = self.register.run(["vesk-status"], check=False)
            return status if status.returncode == 0 else None
        wait_until(running, STEP_TIMEOUT, "vesk-status saying the service runs",
                   diagnostics=lambda: self.register.run(["vesk-status"], check=False).stderr)

    def exposure(self):
        shown = self.register.run(["systemd-analyze", "security", "vesk", "--no-pager"]).stdout
        level = re.search(r"Overall exposure level for vesk\.service: (\d+\.\d+)", shown)
        if not level or float(level.group(1)) > 2.0:
            raise AssertionError(f"exposure above 2.0:\n{shown[-800:]}")
        self.steps.done("exposure", level.group(0))

    def log_directory(self, first):
        """The register grants the account its log directory, as its log collection would."""
        register = self.register
        register.run(["install", "-d", "-m", "3775", "-g", "vesk", LOG_DIRECTORY])
        register.run(["systemctl", "restart", "vesk"])
        register.wait_active("vesk active after the restart", first["MainPID"])
        wait_until(lambda: START_LINE.search(register.run(["cat", LOG_FILE], check=False).stdout),
                   STEP_TIMEOUT, f"start line in {LOG_FILE}")
        owner = register.run(["stat", "-c", "%U %a", LOG_FILE]).stdout.strip()
        if not owner.startswith("vesk "):
            raise AssertionError(f"{LOG_FILE} is {owner}")
        self.steps.done("log directory", f"{LOG_FILE} ({owner}) holds the start line")

    def pair(self):
        udp = UdpListener()
        server = Peer()
        token = uuid.uuid4()
        with open(os.path.join(self.register.root, "etc", "ssh", "ssh_host_ed25519_key.pub"),
                  encoding="ascii") as f:
            host_key = " ".join(f.read().split()[:2])
        management = ManagementServer(self.scratch, 22, f"127.0.0.1 {host_key}\n")
        response = post_json(API_PORT, "/v1/command/connect",
                             pairing_body(server, token, f"127.0.0.1:{udp.port}",
                                          management.public_key))
        answer, key, _ = open_encrypted(server, response)
        if answer.get("catalog") != "/var/lib/morlen-vesk/sync_dir":
            raise AssertionError(f"connect answered {answer}")
        management.catalog = answer["catalog"]
        self.steps.done("pairing", f"catalog {answer['catalog']}, datetime {answer['datetime']}")
        return udp, token, key, management

    def deliver(self, management):
        content, transaction_file = contents(self.scratch)
        management.deliver(content)

        def played():
            shown = subprocess.run(
                management.ssh.split() + ["vesk@127.0.0.1", "cat /var/lib/morlen-vesk/work_dir/TF"],
                capture_output=True, timeout=STEP_TIMEOUT, check=False, env=management.environment)
            return shown.returncode == 0 and shown.stdout == transaction_file
        wait_until(played, STEP_TIMEOUT, "the delivered TF played", interval=1)
        self.steps.done("delivery", f"rsync over SSH as vesk, {len(transaction_file.splitlines())} "
                                    "files; work_dir/TF read back over SSH")

    def stop(self):
        register = self.register
        cursor = register.cursor()
        register.run(["systemctl", "stop", "vesk"])
        stopped = register.unit("ActiveState", "Result", "ExecMainStatus")
        said = register.journal(cursor)
        last = [line for line in said if "stopped by SIGTERM" in line]
        if (stopped["ExecMainStatus"], stopped["Result"]) != ("0", "success") or not last:
            raise AssertionError(f"stop: {stopped}\n" + "\n".join(said[-10:]))
        self.steps.done("stop", f"status {stopped['ExecMainStatus']}, result "
                                f"{stopped['Result']}, {last[-1]!r}")

    def start_and_beat(self, udp, token, key):
        self.register.run(["systemctl", "start", "vesk"])
        self.register.wait_active("vesk active after the start")
        beat = check_heartbeat(udp.receive(STEP_TIMEOUT), token, key)
        self.steps.done("heartbeat", "token bytes = UUID digits in order, sealed with the "
                                     f"pairing's key, datetime {beat}")

    def kill_and_restart(self):
        started = self.register.unit("MainPID")
        self.register.run(["kill", "-KILL", started["MainPID"]])
        again = self.register.wait_active("vesk started again after kill -9", started["MainPID"])
        if again["NRestarts"] != "1":
            raise AssertionError(f"after kill -9: {again}")
        self.steps.done("kill -9", f"main process {started['MainPID']} -> {again['MainPID']}, "
                                   f"restarts {again['NRestarts']}")

    def journal_is_clean(self):
        """No start, of all those above, left a line of a library's own in the journal."""
        lines = self.register.journal()
        foreign = [line for line in lines if INSECURE_MEMORY in line]
        if foreign:
            raise AssertionError(f"{len(foreign)} times in the journal: {foreign[0]!r}")
        starts = sum(1 for line in lines if START_LINE.search(line))
        self.steps.done("journal", f"{starts} start lines, no {INSECURE_MEMORY!r}")

    def remove_and_purge(self):
        register = self.register
        removed = register.run(["apt-get", "remove", "-y", "-q", "vesk"], timeout=300)
        quiet(removed.stdout + removed.stderr, "apt-get remove")
        if register.unit("ActiveState")["ActiveState"] == "active":
            raise AssertionError("vesk still runs after apt-get remove")
        register.run(["getent", "passwd", "vesk"])
        register.run(["test", "-f", "/var/lib/morlen-vesk/work_dir/TF"])
        self.steps.done("remove", "stopped; account and home kept")

        purged = register.run(["apt-get", "purge", "-y", "-q", "vesk"], timeout=300)
        quiet(purged.stdout + purged.stderr, "apt-get purge")
        left = [path for path in ("/var/lib/morlen-vesk", "/run/vesk", "/etc/vesk")
                if register.run(["test", "-e", path], check=False).returncode == 0]
        if left or register.run(["getent", "passwd", "vesk"], check=False).returncode == 0:
            raise AssertionError(f"after purge: account or {left} left")
        self.steps.done("purge", "quiet; account, home, /run/vesk and /etc/vesk gone")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--release", required=True, help="the Release tree that builds the .deb")
    parser.add_argument("--work", default=None, help="scratch directory (default: a temporary)")
    parser.add_argument("--keep", action="store_true", help="keep the booted root afterwards")
    arguments = parser.parse_args()

    steps = Steps()
    try:
        if os.geteuid() != 0:
            raise Skip("needs root")
        for tool in ("systemd-nspawn", "nsenter"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (scripts/install-deps.sh installs it)")
        deb = build_package(arguments.source, arguments.release)
        depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
        packages = sorted(set(REGISTER_PACKAGES + package_names(depends)))
        cache = os.environ.get("VESK_NSPAWN_CACHE", "/var/cache/vesk-nspawn")
        tarball, temperature = root_tarball(cache, packages)
        steps.done("root", f"{temperature}: {tarball}, {len(packages)} packages")
    except Skip as reason:
        print(f"SKIPPED: {reason}", flush=True)
        return SKIPPED

    scratch = scratch_space.directory("register-", parent=arguments.work)
    root = os.path.join(scratch, "root")
    os.makedirs(root)
    register = Register(root, os.path.join(scratch, "console.txt"))
    try:
        run(["tar", "-C", root, "--numeric-owner", "-xf", tarball], timeout=600)
        register.boot()
        steps.done("boot", f"systemd is PID 1 on cgroup v2, leader {register.leader}")
        Owner(register, scratch, steps).run_all(deb)
    except Skip as reason:
        print(f"SKIPPED: {reason}", flush=True)
        return SKIPPED
    finally:
        register.power_off()
        if not arguments.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    print(f"package.systemd passed in {time.monotonic() - steps.started:.0f} s "
          f"({temperature} root)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
