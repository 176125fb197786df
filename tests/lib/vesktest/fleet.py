"""A chain's registers for vesk-manage: each a real vesk-service as its own account, with its own
home, sshd and address, and vesk-manage where a chain's office would run it.

Every register lives in a network and mount namespace of its own (see register.RegisterHost
for the mount side: the home, the account files, /run), reached through a veth pair from a hub
network namespace that holds a bridge at 10.77.0.1; the registers are 10.77.0.11 and up. vesk-manage
runs in the hub, so nothing of the host's network is used or seen: the registers' sshd listen on
their own port 22, their APIs on their own port 49152. The test process itself stays outside and
enters the namespaces by their holders' /proc entries.

build_fleet() is what the tests use: it returns a Fleet whose registers can each be stopped,
started, cut off and reconnected, and a Manager paired with all of them. Every register sends
its heartbeat to HUB_ADDRESS:HEARTBEAT_PORT, where `Manager.start("listen", ...)` receives them.
"""

import concurrent.futures
import os
import shutil
import subprocess

from . import manage, scratch
from .register import NAMESPACE_SCRIPT, RegisterHost
from .service import REQUEST_TIMEOUT, Service, die_with_parent

MANAGE = os.environ.get("VESK_MANAGE", "")
SUBNET = "10.77.0"
HUB_ADDRESS = f"{SUBNET}.1"
FIRST_HOST = 11
API_PORT = 49152
HEARTBEAT_PORT = 5000

# The hub: a network namespace with a bridge, held open until standard input closes.
HUB_SCRIPT = f"""set -e
ip link set lo up
ip link add br0 type bridge
ip addr add {HUB_ADDRESS}/24 dev br0
ip link set br0 up
echo ready
exec cat >/dev/null
"""


def _hold(command, what):
    """A process that prepares a namespace, says "ready" and holds it while its stdin is open."""
    holder = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=die_with_parent)
    if holder.stdout.readline() != b"ready\n":
        holder.kill()
        raise RuntimeError(f"cannot prepare {what}: "
                           + holder.stderr.read().decode(errors="replace"))
    return holder


def _end(process):
    if process.poll() is None:
        process.kill()
    process.wait()
    for pipe in (process.stdin, process.stdout, process.stderr):
        if pipe is not None:
            pipe.close()


class Hub:
    def __init__(self):
        self.holder = _hold(["unshare", "--net", "--", "/bin/sh", "-c", HUB_SCRIPT], "the hub")

    def enter(self):
        return ["nsenter", f"--net=/proc/{self.holder.pid}/ns/net", "--"]

    def ip(self, *arguments):
        subprocess.run(self.enter() + ["ip", *arguments], check=True, capture_output=True)

    def close(self):
        _end(self.holder)


class FleetService(Service):
    """A service whose API listens on its register's own address."""

    def __init__(self, address, name):
        self.address = address
        super().__init__(sync_repeat=2, name=name)

    def write_config(self):
        self.port = API_PORT
        lines = ["[Logger]", f"path={self.log_path}", f"level={self.log_level}", "", "[Main]",
                 f"listen={self.address}:{self.port}", f"syncRepeat={self.sync_repeat}", ""]
        with open(os.path.join(self.bin_dir, "config.ini"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines))


class FleetHost(RegisterHost):
    """The register's side in a network namespace of its own as well, wired into the hub."""

    def __init__(self, service, hub, index):
        self.hub = hub
        self.index = index
        self.address = service.address
        super().__init__(service)

    def _enter_namespace(self):
        self.holder = _hold(["unshare", "--mount", "--net", "--propagation", "private", "--",
                             "/bin/sh", "-c", NAMESPACE_SCRIPT, "vesk-e2e", "/var/lib/morlen-vesk",
                             self.service.home, self.root], "the register's namespace")
        link = f"vr{self.index}"
        self.hub.ip("link", "add", link, "type", "veth", "peer", "name", "eth0", "netns",
                    str(self.holder.pid))
        self.hub.ip("link", "set", link, "master", "br0", "up")
        for command in (["ip", "link", "set", "lo", "up"],
                        ["ip", "addr", "add", f"{self.address}/24", "dev", "eth0"],
                        ["ip", "link", "set", "eth0", "up"]):
            subprocess.run(self.enter() + command, check=True, capture_output=True)

    def enter(self, as_account=False):
        prefix = super().enter(as_account)
        prefix.insert(1, f"--net=/proc/{self.holder.pid}/ns/net")
        return prefix

    def start_sshd(self, port=22):
        return super().start_sshd(port, self.address)

    def link(self, up):
        """Cuts the register off the hub (a dead line: nothing answers) or connects it again."""
        self.hub.ip("link", "set", f"vr{self.index}", "up" if up else "down")


class Register:
    """One register of the fleet: its name as paired, its address, its service and its host."""

    def __init__(self, name, address, service, host):
        self.name = name
        self.address = address
        self.service = service
        self.host = host

    def stop(self):
        self.service.stop()

    def start(self):
        self.service.start()

    def cut(self):
        self.host.link(False)

    def reconnect(self):
        self.host.link(True)


class Manager(manage.Manager):
    """vesk-manage in the hub with a key, a home and pairings of its own."""

    def __init__(self, scratch, hub, known_hosts):
        super().__init__(scratch)
        self.hub = hub
        self.ssh = ["--ssh-option", f"UserKnownHostsFile={known_hosts}",
                    "--ssh-option", "GlobalKnownHostsFile=/dev/null",
                    "--ssh-option", "StrictHostKeyChecking=yes"]

    def command(self, *arguments):
        return self.hub.enter() + super().command(*arguments)

    def run(self, *arguments, timeout=REQUEST_TIMEOUT * 8):
        return super().run(*arguments, timeout=timeout)

    def pair(self, register):
        paired = self.run("pair", f"{register.address}:{API_PORT}", "--ssh-key", self.key + ".pub",
                          "--listen", f"{HUB_ADDRESS}:{HEARTBEAT_PORT}", "--name", register.name)
        if paired.returncode != 0:
            raise AssertionError(f"pairing {register.name}: {paired.stderr}")


class Fleet:
    def __init__(self, hub, registers, manager):
        self.hub = hub
        self.registers = registers
        self.manager = manager

    def register(self, name):
        return next(register for register in self.registers if register.name == name)


def build_fleet(count, scratch, cleanup, prefix="shop"):
    """`count` registers named prefix-01, ... started, each paired with a Manager in the hub;
    `cleanup` takes what undoes each step (unittest's addCleanup), last first."""
    if not os.path.isfile(MANAGE):
        raise RuntimeError("VESK_MANAGE must name the built vesk-manage")
    hub = Hub()
    cleanup(hub.close)

    def make(index):
        name = f"{prefix}-{index + 1:02d}"
        address = f"{SUBNET}.{FIRST_HOST + index}"
        service = FleetService(address, name)
        host = FleetHost(service, hub, index)
        return Register(name, address, service, host)

    registers = [make(index) for index in range(count)]
    for register in registers:
        cleanup(register.service.close)
        cleanup(register.host.close)

    # From this thread: a child started from a worker thread would die with that thread (its
    # parent-death signal follows the thread). The services drop that signal as they change to
    # their account, and start side by side: a sanitizer build takes seconds to start.
    lines = [register.host.start_sshd() for register in registers]
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        list(pool.map(lambda register: register.service.start(), registers))
    known_hosts = os.path.join(scratch, "known_hosts")
    with open(known_hosts, "w", encoding="ascii") as f:
        f.writelines(lines)
    manager = Manager(scratch, hub, known_hosts)
    for register in registers:
        manager.pair(register)
    return Fleet(hub, registers, manager)


def scratch_directory(cleanup):
    """A fresh directory below the scratch space, removed by `cleanup` (addCleanup)."""
    made = scratch.directory("fleet-")
    cleanup(shutil.rmtree, made, ignore_errors=True)
    return made
