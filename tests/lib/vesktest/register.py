"""A register as a management server meets it: its own account, an sshd and rsync over ssh.

The register side runs in one private mount namespace that holds the service's home, copies of
/etc/passwd and /etc/group with the service's system account in them, and a /run of its own for
sshd's privilege separation directory. There, sshd (with a host key and configuration of this
module's own, on a loopback port) and vesk-service (as the account, with CAP_LINUX_IMMUTABLE as
its only capability) run side by side. The management server is rsync over ssh outside the
namespace, with a key pair made for the run and paired through POST /v1/command/connect. Nothing
of the host's users or SSH configuration is read for a secret or changed.

Run as a module, it measures what a management server sees (root and VESK_SERVICE needed; a
release build gives the figures that matter):

    VESK_SERVICE=build/bin/vesk-service PYTHONPATH=tests/lib python3 -m vesktest.register \
        --size-mib 100 --runs 5

prints, per delivery of a fresh file of that size, the seconds of the content's rsync, from the
end of the TF rsync to the switch of the link `work_dir`, and how often rsync was refused with
status 23 on the way. --gate PATH delivers through that vesk-sshgate (another build's); --rules
measures the register's rsync under a rules file instead (gate.py).
"""

import argparse
import collections
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
import uuid

from . import scratch as scratch_space
from .peers import seal, write_random
from .service import (HOME, REQUEST_TIMEOUT, Peer, Service, die_with_parent, free_tcp_port,
                      make_clip, wait_until)

ACCOUNT = "vesk"
# As the package's maintainer scripts create it: a system account, home the service's fixed
# home, a shell through which sshd can start rsync.
ACCOUNT_HOME = HOME
ACCOUNT_SHELL = "/bin/sh"

# rsync's status for "some files/attrs were not transferred": what a management server gets when
# the register holds TF immutable while it verifies a delivery.
RSYNC_PARTIAL = 23

# Runs as root in a new mount namespace: the service's home, the account files (the shadow file
# holds the account alone) and a /run of the namespace's own (sshd insists on /run/sshd, which
# only its init script or unit would create), then holds the namespace open until its standard
# input closes. The home's mount point is made on the host when missing; nothing is ever written
# into the host's own directories.
NAMESPACE_SCRIPT = """set -e
mkdir -p "$1"
mount --bind "$2" "$1"
mount --bind "$3/passwd" /etc/passwd
mount --bind "$3/group" /etc/group
mount --bind "$3/shadow" /etc/shadow
mount -t tmpfs -o mode=0755,size=1m vesk-e2e-run /run
mkdir -m 0755 /run/sshd
echo ready
exec cat >/dev/null
"""

# Who may log in and how is the test's; what a login may do (ptys, forwarding of every kind) is
# left as a stock sshd has it, so that only the paired key's own line can take it away. DEBUG1
# logs what the key's line granted.
SSHD_CONFIG = """ListenAddress {address}:{port}
HostKey {host_key}
PidFile none
LogLevel DEBUG1
AllowUsers {account}
AuthorizedKeysFile .ssh/authorized_keys
StrictModes yes
PubkeyAuthentication yes
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
HostbasedAuthentication no
PermitRootLogin no
PermitEmptyPasswords no
UsePAM no
X11Forwarding yes
PrintMotd no
PrintLastLog no
UseDNS no
"""


def _free_id(used, first=100, last=999):
    # adduser's range of system ids.
    for candidate in range(last, first - 1, -1):
        if candidate not in used:
            return candidate
    raise RuntimeError("no free system id")


def _account_files(directory):
    """Copies of the host's passwd and group with the service's account (and sshd's privilege
    separation user, where the host lacks it) in place of any of that name, and a shadow file
    of the account's own."""
    with open("/etc/passwd", encoding="utf-8") as f:
        passwd = [line for line in f.read().splitlines()
                  if line and not line.startswith(ACCOUNT + ":")]
    with open("/etc/group", encoding="utf-8") as f:
        group = [line for line in f.read().splitlines()
                 if line and not line.startswith(ACCOUNT + ":")]
    uids = {int(line.split(":")[2]) for line in passwd}
    gids = {int(line.split(":")[2]) for line in group}
    uid = _free_id(uids | gids)
    gid = uid
    if not any(line.startswith("sshd:") for line in passwd):
        passwd.append(f"sshd:x:{_free_id(uids | {uid})}:65534::/run/sshd:/usr/sbin/nologin")
    passwd.append(f"{ACCOUNT}:x:{uid}:{gid}:vesk service:{ACCOUNT_HOME}:{ACCOUNT_SHELL}")
    group.append(f"{ACCOUNT}:x:{gid}:")
    # "*": no password, yet not locked. useradd leaves "!", and sshd without PAM refuses a locked
    # account even the key it would accept.
    shadow = [f"{ACCOUNT}:*:{int(time.time()) // 86400}:0:99999:7:::"]
    for name, lines, mode in (("passwd", passwd, 0o644), ("group", group, 0o644),
                              ("shadow", shadow, 0o600)):
        with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(os.path.join(directory, name), mode)
    return uid, gid


class RegisterHost:
    """The register's side: namespace, account, sshd, and the service set to run as the account
    (made before the service starts)."""

    def __init__(self, service):
        self.service = service
        self.root = scratch_space.directory("register-", parent=os.path.dirname(service.root))
        self.uid, self.gid = _account_files(self.root)
        self.holder = None
        self.sshd = None
        self.sshd_log = os.path.join(self.root, "sshd.log")
        self.port = None
        self._hand_over(service)
        self._enter_namespace()
        service.enter = self.enter(as_account=True) + [
            "env", f"HOME={ACCOUNT_HOME}", f"USER={ACCOUNT}", f"LOGNAME={ACCOUNT}"]

    def _hand_over(self, service):
        # What the package leaves behind: a home owned by the account, mode 0755 (StrictModes
        # refuses a home that others can write), and a log directory the account can write.
        os.chown(service.home, self.uid, self.gid)
        os.chmod(service.home, 0o755)
        log_dir = os.path.dirname(service.log_path)
        os.makedirs(log_dir, exist_ok=True)
        os.chown(log_dir, self.uid, self.gid)
        # The program and its config.ini are read through this directory.
        os.chmod(service.root, 0o755)

    def _enter_namespace(self):
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
             NAMESPACE_SCRIPT, "vesk-e2e", HOME, self.service.home, self.root],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=die_with_parent)
        line = self.holder.stdout.readline()
        if line != b"ready\n":
            self.holder.kill()
            raise RuntimeError("cannot prepare the register's namespace: "
                               + self.holder.stderr.read().decode(errors="replace"))

    def enter(self, as_account=False):
        """The command prefix that runs a program in the namespace, as root or as the account
        with CAP_LINUX_IMMUTABLE alone (inherited and ambient, so it survives exec as a
        non-root user; every other capability is dropped from the bounding set)."""
        prefix = ["nsenter", f"--mount=/proc/{self.holder.pid}/ns/mnt", "--"]
        if as_account:
            prefix += ["setpriv", f"--reuid={self.uid}", f"--regid={self.gid}",
                       "--clear-groups", "--inh-caps=-all,+linux_immutable",
                       "--ambient-caps=-all,+linux_immutable",
                       "--bounding-set=-all,+linux_immutable", "--"]
        return prefix

    def run(self, command):
        """Runs a command in the namespace as root."""
        return subprocess.run(self.enter() + command, capture_output=True,
                              timeout=REQUEST_TIMEOUT, check=False)

    def start_sshd(self, port, address="127.0.0.1"):
        """sshd for the account on ADDRESS:PORT; returns its known_hosts line."""
        self.port = port
        host_key = os.path.join(self.root, "ssh_host_ed25519_key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "register",
                        "-f", host_key], check=True)
        config = os.path.join(self.root, "sshd_config")
        with open(config, "w", encoding="utf-8") as f:
            f.write(SSHD_CONFIG.format(address=address, port=port, host_key=host_key,
                                       account=ACCOUNT))
        checked = self.run(["/usr/sbin/sshd", "-t", "-f", config])
        if checked.returncode != 0:
            raise RuntimeError("sshd refuses its configuration: " + checked.stderr.decode())
        # sshd re-executes itself for each connection, which needs its absolute path.
        self.sshd = subprocess.Popen(
            self.enter() + ["/usr/sbin/sshd", "-D", "-f", config, "-E", self.sshd_log],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        wait_until(lambda: f"Server listening on {address} port {port}." in self.sshd_lines()
                   or self.sshd.poll() is not None, REQUEST_TIMEOUT, "sshd listening")
        if self.sshd.poll() is not None:
            raise RuntimeError("sshd exited:\n" + "\n".join(self.sshd_lines()))
        with open(host_key + ".pub", encoding="ascii") as f:
            host = address if port == 22 else f"[{address}]:{port}"
            return f"{host} {f.read().strip()}\n"

    def sshd_lines(self):
        try:
            with open(self.sshd_log, encoding="utf-8", errors="replace") as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def close(self):
        for process in (self.sshd, self.holder):
            if process is not None and process.poll() is None:
                process.kill()
            if process is not None:
                process.wait()
                for pipe in (process.stdin, process.stdout, process.stderr):
                    if pipe is not None:
                        pipe.close()
        shutil.rmtree(self.root, ignore_errors=True)


class ManagementServer:
    """rsync over ssh with a key pair of its own; keeps a tally of rsync's exit statuses."""

    def __init__(self, scratch, ssh_port, known_hosts):
        self.root = scratch_space.directory("management-", parent=scratch)
        self.key = os.path.join(self.root, "id_ed25519")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "management@e2e",
                        "-f", self.key], check=True)
        # Sent at pairing as read, line end included, as a management server does.
        with open(self.key + ".pub", encoding="ascii") as f:
            self.public_key_file = f.read()
        self.public_key = self.public_key_file.strip()
        fingerprint = subprocess.run(["ssh-keygen", "-l", "-f", self.key + ".pub"],
                                     capture_output=True, text=True, check=True).stdout
        self.fingerprint = fingerprint.split()[1]
        known = os.path.join(self.root, "known_hosts")
        with open(known, "w", encoding="ascii") as f:
            f.write(known_hosts)
        # No configuration, agent or key of the machine's own may take part.
        self.ssh = (f"ssh -F /dev/null -p {ssh_port} -i {self.key} -o IdentitiesOnly=yes "
                    f"-o BatchMode=yes -o StrictHostKeyChecking=yes "
                    f"-o UserKnownHostsFile={known} -o GlobalKnownHostsFile=/dev/null")
        self.environment = {key: value for key, value in os.environ.items()
                            if not key.startswith("SSH_")}
        self.catalog = None
        self.statuses = collections.Counter()
        self.calls = 0

    def pair(self, service):
        answer, _ = service.pair(Peer(), uuid.uuid4(), "127.0.0.1:5000",
                                 client_key=self.public_key_file)
        self.catalog = answer["catalog"]
        return answer

    def rsync(self, *arguments):
        result = subprocess.run(["rsync", "-e", self.ssh, *arguments], capture_output=True,
                                text=True, timeout=REQUEST_TIMEOUT * 4, env=self.environment,
                                check=False)
        self.calls += 1
        self.statuses[result.returncode] += 1
        return result

    def ssh_run(self, command, *options, stdin=subprocess.DEVNULL):
        """`command` (None: a login) run over ssh with the paired key, as a management server
        reads with it."""
        return subprocess.run(self.ssh.split() + list(options) + [f"{ACCOUNT}@127.0.0.1"]
                              + ([command] if command is not None else []),
                              stdin=stdin, capture_output=True, timeout=REQUEST_TIMEOUT,
                              env=self.environment, check=False)

    def destination(self, name="", relative=False):
        """Below the sync directory: by the absolute path the pairing answered, or relative to
        the login's home."""
        return f"{ACCOUNT}@127.0.0.1:{'sync_dir' if relative else self.catalog}/{name}"

    def send_content(self, content, relative=False):
        """Everything but TF, and removes from the register what the content no longer has;
        the register's TF is left alone, so it goes on naming the content it played."""
        return self.rsync("-rt", "--delete", "--exclude=/TF", content + "/",
                          self.destination(relative=relative))

    def send_transaction_file(self, content, relative=False):
        return self.rsync("-t", "--checksum", os.path.join(content, "TF"),
                          self.destination("TF", relative))

    def send_transaction_file_until_taken(self, content, timeout=REQUEST_TIMEOUT, relative=False):
        """TF again and again while the register answers 23, as a management server should."""
        def taken():
            result = self.send_transaction_file(content, relative)
            if result.returncode not in (0, RSYNC_PARTIAL):
                raise AssertionError(f"rsync of TF failed ({result.returncode}): "
                                     f"{result.stderr}")
            return result.returncode == 0
        wait_until(taken, timeout, "TF taken by the register")

    def deliver(self, content, relative=False):
        result = self.send_content(content, relative)
        if result.returncode != 0:
            raise AssertionError(f"rsync failed ({result.returncode}): {result.stderr}")
        self.send_transaction_file_until_taken(content, relative=relative)


def accepted_logins(lines):
    """sshd's "Accepted <method> for <user>" lines, as (method, user, rest)."""
    found = []
    for line in lines:
        match = re.search(r"Accepted (\S+) for (\S+) from 127\.0\.0\.1 port \d+ ssh2(.*)$", line)
        if match:
            found.append(match.groups())
    return found


def start_register(service, scratch):
    """Service, sshd and management server wired together and paired; the service runs."""
    host = RegisterHost(service)
    try:
        known_hosts = host.start_sshd(free_tcp_port())
        server = ManagementServer(scratch, host.port, known_hosts)
        service.start()
        server.pair(service)
    except BaseException:
        host.close()
        raise
    return host, server


# The steps of the run that switched a delivery in, as the service logs them.
STEPS = (("verify", "  грязная директория "), ("copy", "  копирование файлов "),
         ("verify copy", "  переключение чистой и грязной директорий"),
         ("", "  синхронизация завершена"))


def _steps(service, mark):
    """Seconds per step of the last run since the mark that switched a delivery in."""
    stamps = {}
    for record in service.log_records(mark):
        for name, start in STEPS:
            if record["message"].startswith(start):
                stamps[name] = time.mktime(time.strptime(record["time"][:19],
                                                         "%Y-%m-%dT%H:%M:%S"))
                stamps[name] += float(record["time"][19:])
    if len(stamps) != len(STEPS):
        return "steps not logged: " + ",".join(n for n, _ in STEPS if n not in stamps)
    return ", ".join(f"{name} {stamps[following] - stamps[name]:.3f} s"
                     for (name, _), (following, _) in zip(STEPS, STEPS[1:]))


def use_gate(service, gate):
    """Puts `gate` where the paired key's forced command runs it."""
    os.remove(os.path.join(service.bin_dir, "vesk-sshgate"))
    shutil.copy2(gate, os.path.join(service.bin_dir, "vesk-sshgate"))


def measure(size, runs, sync_repeat, gate=None, rules=False):
    """Deliveries of a fresh file of `size` bytes; per delivery the seconds of the content's
    rsync, from the end of the TF rsync to the link switch, and the 23s the server met."""
    scratch = scratch_space.directory("rsync-figure-")
    service = Service(sync_repeat=sync_repeat, name="rsync-figure")
    host = None
    try:
        if gate:
            use_gate(service, gate)
        host, server = start_register(service, scratch)
        if rules:
            from .gate import rules_figure
            print(rules_figure(host, server, scratch))
            return
        content = os.path.join(scratch, "content")
        os.makedirs(content)
        make_clip(os.path.join(content, "clip.mp4"), "gray")
        with open(os.path.join(content, "playlist.ini"), "w", encoding="utf-8") as f:
            f.write("[figure]\nname = figure\ndays = all\n[figure.1]\nurl = clip.mp4\n"
                    "timeplay = 2\n")
        results, sending = [], []
        for run in range(runs):
            write_random(os.path.join(content, "big.bin"), size)
            seal(content)
            before = os.readlink(service.path("work_dir"))
            mark = service.log_mark()
            refused = server.statuses[RSYNC_PARTIAL]
            started = time.monotonic()
            result = server.send_content(content)
            sending.append(time.monotonic() - started)
            if result.returncode != 0:
                raise RuntimeError(f"rsync failed ({result.returncode}): {result.stderr}")
            server.send_transaction_file_until_taken(content)
            ended = time.monotonic()
            wait_until(lambda: os.readlink(service.path("work_dir")) != before, 600,
                       "link switch", service.diagnostics)
            switched = time.monotonic() - ended
            results.append(switched)
            print(f"delivery {run + 1}: {size / (1 << 20):.0f} MiB, content rsync "
                  f"{sending[-1]:.2f} s, TF rsync end to link "
                  f"switch {switched:.3f} s ({_steps(service, mark)}), status 23 refusals "
                  f"{server.statuses[RSYNC_PARTIAL] - refused}", flush=True)
        print(f"median {statistics.median(results):.3f} s, max {max(results):.3f} s; content "
              f"rsync median {statistics.median(sending):.2f} s; "
              f"rsync calls {server.calls}, statuses {dict(server.statuses)}")
    finally:
        service.close()
        if host is not None:
            host.close()
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=100)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sync-repeat", type=int, default=2, help="Main/syncRepeat, seconds")
    parser.add_argument("--gate", help="a vesk-sshgate (another build's) to deliver through")
    parser.add_argument("--rules", action="store_true", help="the rules figure instead")
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: the register runs in a mount namespace of its own")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    measure(options.size_mib << 20, options.runs, options.sync_repeat, options.gate,
            options.rules)


if __name__ == "__main__":
    main()
