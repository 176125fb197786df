"""The paired key's rsync under hostile filter rules and on a slow line (tests/e2e/test_pairing.py's
SshGateLimitsTest); the rules figure is `python3 -m vesktest.register --rules`. As
`gate.py trickle COMMAND...` it runs COMMAND (ssh) fed its standard input at 20 bytes a second:
rsync's -e for a peer on a slow line. It imports nothing of the package, so that it runs as a
script of its own.
"""

import glob
import os
import subprocess
import sys
import threading
import time


def rules_attack(server, scratch, name="rules/"):
    """Delivers 20 MB of exclusions (2.3 million names nothing has) as .rules into two
    directories below `name`, then runs rsync --delete merging them; returns its result."""
    for directory in ("rules/sub", "empty/sub"):
        os.makedirs(os.path.join(scratch, directory), exist_ok=True)
    rules = "".join("- %x\n" % number for number in range(2346498))
    for directory in ("rules", "rules/sub"):
        with open(os.path.join(scratch, directory, ".rules"), "w", encoding="ascii") as f:
            f.write(rules)
    if server.rsync("-rt", os.path.join(scratch, "rules/"), server.destination(name)).returncode:
        raise AssertionError("the rules were not delivered")
    return server.rsync("-rt", "--delete", "--filter=dir-merge .rules",
                        os.path.join(scratch, "empty/"), server.destination(name))


def account_rsyncs(uid):
    """VmHWM in KiB of every rsync process of the account."""
    found = []
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(status, encoding="ascii", errors="replace") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if fields.get("Name", "").strip() == "rsync" and "VmHWM" in fields \
                and fields["Uid"].split()[0] == str(uid):
            found.append(int(fields["VmHWM"].split()[0]))
    return found


def rules_figure(host, server, scratch):
    """rsync's status under the rules attack, and the largest VmHWM of the account's rsyncs
    meanwhile (read every 5 ms)."""
    peak, done = [0], threading.Event()

    def watch():
        while not done.wait(0.005):
            peak[0] = max([peak[0], *account_rsyncs(host.uid)])
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        result = rules_attack(server, scratch)
    finally:
        done.set()
        watcher.join()
    return (f"rules of 20 MB in two directories: rsync status {result.returncode}, the "
            f"register's rsync peak {peak[0] / 1024:.0f} MiB resident\n{result.stderr.strip()}")


def trickle(command):
    child = subprocess.Popen(command, stdin=subprocess.PIPE)
    try:
        while data := os.read(0, 64):
            for byte in data:
                child.stdin.write(bytes([byte]))
                child.stdin.flush()
                time.sleep(0.05)
        child.stdin.close()
    except BrokenPipeError:
        pass
    return child.wait()


if __name__ == "__main__" and sys.argv[1:2] == ["trickle"]:
    raise SystemExit(trickle(sys.argv[2:]))
