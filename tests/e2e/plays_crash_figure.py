"""Crash figure of the ledger of plays: the real vesk-service, playing slots of 2 s, is killed
with SIGKILL at a random moment, N times, and started again. Before each kill the ledger is read
out (what had ended by then); after the next start it must hold every one of those records
exactly once and unchanged, the play that was going on as "interrupted" (at most one per kill),
seqs that follow on without a repeat, and whole lines only. By hand, as root:

    VESK_SERVICE=build-rel/bin/vesk-service VESK_PLAYS=build-rel/bin/vesk-plays \
        /usr/bin/python3 -B tests/e2e/plays_crash_figure.py --runs 100
"""

import argparse
import json
import os
import random
import subprocess
import time
import uuid

from vesktest.service import (Delivery, Peer, Service, enter_private_mount_namespace, free_tcp_port,
                      make_clip, wait_until)

PLAYLIST = b"[ads]\ndays=all\n[ads.1]\nurl=a.mp4\ntimeplay=2\n[ads.2]\nurl=b.mp4\ntimeplay=2\n"


def read_out(service):
    program = os.environ.get("VESK_PLAYS") or os.path.join(
        os.path.dirname(os.environ["VESK_SERVICE"]), "vesk-plays")
    result = subprocess.run([program, "--dir", service.path("plays"), "--after", "0", "--limit",
                             "10000"], capture_output=True, check=True, text=True)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert lines[0]["type"] == "ledger" and lines[-1] == {"type": "end", "more": False}, lines[-1]
    return lines[0], lines[1:-1]


def status_pid(service):
    try:
        with open(service.path("status.json"), "rb") as f:
            return json.loads(f.read()).get("pid")
    except (OSError, ValueError):
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    random.seed(args.seed)
    enter_private_mount_namespace()
    service = Service(name="plays-crash", send_to=f"127.0.0.1:{free_tcp_port()}", log_level="info")
    failures = []
    interrupted = 0
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), "127.0.0.1:9")
        files = {"playlist.ini": PLAYLIST,
                 "a.mp4": make_clip(os.path.join(service.root, "a.mp4"), "red", seconds=1),
                 "b.mp4": make_clip(os.path.join(service.root, "b.mp4"), "blue", seconds=1)}
        delivery = Delivery(os.path.join(service.root, "content"), files)
        delivery.copy_into(service.path("sync_dir"))
        service.wait_applied(delivery.transaction_file)
        for run in range(args.runs):
            head, _ = read_out(service)
            wait_until(lambda: read_out(service)[0]["last"] > head["last"], 60, "a new record")
            time.sleep(random.uniform(0, 2.5))  # a random moment of a slot, not a wait
            _, before = read_out(service)
            time.sleep(random.uniform(0, 0.3))
            service.kill()
            service.start()
            # The ledger is recovered before the first status of the new process is written.
            wait_until(lambda: status_pid(service) == service.process.pid, 60, "the new status")
            _, after = read_out(service)
            plays = [item for item in after if item["type"] == "play"]
            seqs = [p["seq"] for p in plays]
            problems = []
            if len(seqs) != len(set(seqs)) or seqs != sorted(seqs):
                problems.append("a seq twice or out of order")
            if [i for i in after if i["type"] == "gap"]:
                problems.append("a gap")
            by_seq = {p["seq"]: p for p in plays}
            for record in before:
                if by_seq.get(record["seq"]) != record:
                    problems.append(f"record {record['seq']} changed or missing")
            fresh = [p for p in plays if p["seq"] > max((r["seq"] for r in before), default=0)]
            stopped = [p for p in fresh if p["outcome"] == "interrupted"]
            if len(stopped) > 1:
                problems.append("more than one play interrupted by one kill")
            interrupted += len(stopped)
            if problems:
                failures.append((run + 1, problems))
            print(f"run {run + 1}: {len(before)} records before the kill, {len(plays)} after, "
                  f"{len(stopped)} interrupted{'; ' + '; '.join(problems) if problems else ''}",
                  flush=True)
        _, final = read_out(service)
        total = sum(1 for i in final if i["type"] == "play")
    finally:
        service.close()
    print(f"{args.runs} kills: {total} records, {interrupted} interrupted, "
          f"{len(failures)} runs with a fault")
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
