"""What the paired key's rsync costs the register, through the real vesk-sshgate, sshd and rsync.

  rules                 the register's rsync under a delivered filter-rules file of 20 MB in each
                        of two directories, merged with --filter="dir-merge .rules": its exit
                        status and its peak resident memory (the largest VmHWM of the account's
                        rsync processes, read from /proc every few milliseconds)
  deliver [--mib N]     a genuine delivery of a fresh N MiB file (rsync -rt --delete), timed, with
    [--runs R]          its median over R runs
  trickle COMMAND...    runs COMMAND (ssh) and feeds it what comes on standard input a byte at a
                        time, 20 a second: rsync's -e for a peer on a slow line

--gate PATH measures with that build of vesk-sshgate in place of the one beside VESK_SERVICE (an
earlier one, for the figure before a change). By hand, as root, from a release build:

    VESK_SERVICE=build-rel/bin/vesk-service python3 -B tests/e2e/gate_harness.py rules
    VESK_SERVICE=build-rel/bin/vesk-service python3 -B tests/e2e/gate_harness.py deliver --runs 5

test_pairing.SshGateLimitsTest runs the same attacks as tests.
"""

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

# A filter-rules file of 20 MB: 2.3 million exclusions of names nothing has.
RULES_SIZE = 20 * 1000 * 1000


def write_rules(path, size=RULES_SIZE):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lines, total, number = [], 0, 0
    while total < size:
        line = "- %x\n" % number
        lines.append(line)
        total += len(line)
        number += 1
    with open(path, "w", encoding="ascii") as f:
        f.write("".join(lines))


def rules_attack(server, scratch, name="rules/"):
    """Delivers the rules file into two directories below `name` in the sync directory, then runs
    rsync --delete merging it there; returns the second rsync's result."""
    rules = os.path.join(scratch, "rules-tree")
    for directory in ("", "sub"):
        write_rules(os.path.join(rules, directory, ".rules"))
    delivered = server.rsync("-rt", rules + "/", server.destination(name))
    if delivered.returncode != 0:
        raise AssertionError(f"the rules were not delivered: {delivered.stderr}")
    empty = os.path.join(scratch, "rules-empty")
    os.makedirs(os.path.join(empty, "sub"), exist_ok=True)
    return server.rsync("-rt", "--delete", "--filter=dir-merge .rules", empty + "/",
                        server.destination(name))


def account_rsyncs(uid):
    """VmHWM in KiB of every rsync process of the account, by pid."""
    found = {}
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(status, encoding="ascii", errors="replace") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if fields.get("Name", "").strip() == "rsync" and fields["Uid"].split()[0] == str(uid) \
                and "VmHWM" in fields:
            found[status.split("/")[2]] = int(fields["VmHWM"].split()[0])
    return found


def peak_memory(uid, work):
    """Runs `work` while reading the account's rsync processes; returns its result and the
    largest VmHWM seen, in KiB."""
    peak, done = [0], threading.Event()

    def watch():
        while not done.is_set():
            peak[0] = max([peak[0], *account_rsyncs(uid).values()])
            time.sleep(0.005)
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        return work(), peak[0]
    finally:
        done.set()
        watcher.join()


def use_gate(service, gate):
    """Puts `gate` where the paired key's forced command runs it."""
    target = os.path.join(service.bin_dir, "vesk-sshgate")
    os.remove(target)
    shutil.copy2(gate, target)


def trickle(command):
    """Feeds `command` our standard input a byte at a time; its output goes straight out."""
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


def measure(figure, options):
    from rsync_delivery import figure_register, write_random
    prepare = (lambda service: use_gate(service, options.gate)) if options.gate else None
    with figure_register("gate-figure", prepare=prepare) as (_, host, server, scratch):
        if figure == "rules":
            result, peak = peak_memory(host.uid, lambda: rules_attack(server, scratch))
            print(f"rules of 20 MB in two directories: rsync status {result.returncode}, "
                  f"register's rsync peak {peak / 1024:.0f} MiB resident")
            print(result.stderr.strip())
            return 0
        content = os.path.join(scratch, "content")
        times = []
        for run in range(options.runs):
            write_random(os.path.join(content, "big.bin"), options.mib << 20)
            started = time.monotonic()
            result = server.rsync("-rt", "--delete", content + "/", server.destination("figure/"))
            times.append(time.monotonic() - started)
            if result.returncode != 0:
                raise RuntimeError(f"rsync failed ({result.returncode}): {result.stderr}")
            print(f"delivery {run + 1}: {options.mib} MiB in {times[-1]:.2f} s", flush=True)
        print(f"median {statistics.median(times):.2f} s over {options.runs} deliveries")
        return 0


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "trickle":
        return trickle(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("figure", choices=("rules", "deliver"))
    parser.add_argument("--mib", type=int, default=100)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--gate", help="a vesk-sshgate to measure instead")
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: the register runs in a mount namespace of its own")
    return measure(options.figure, options)


if __name__ == "__main__":
    raise SystemExit(main())
