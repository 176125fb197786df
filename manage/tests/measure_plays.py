"""The figures of the plays' collection, against a stand-in register: tests/data/vesk-plays serves
a generated ledger, and an `ssh` of this script's own runs the gate's command line locally (no
sshd, no register service: the figures are about the collection and the store).

    cmake --build build-release --target vesk-manage
    python3 -B manage/tests/measure_plays.py --manage build-release/bin/vesk-manage kill --runs 100
    python3 -B manage/tests/measure_plays.py --manage build-release/bin/vesk-manage collect
    python3 -B manage/tests/measure_plays.py --manage build-release/bin/vesk-manage report

kill: the register keeps playing (its ledger grows by 300 records a run, 200 a read-out) while
`vesk-manage plays` is killed at a random moment of each run, its children with it; then one run
to the end. Every acknowledgement is checked by the stand-in against the store as it comes.
collect: 1 M records from one register, then the same records into the same schema by the
sqlite3 tool (.import of CSV, which only stores). report: a store of 10 M plays made by the
sqlite3 tool, `vesk-manage report` on it, and the same query by the sqlite3 tool.
"""

import argparse
import base64
import json
import os
import random
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LEDGER = "6f1e0c3a-2b4d-4e5f-8a9b-0c1d2e3f4a5b"
FAKE_SSH = """#!/bin/sh
# ssh's options and the destination come first, the command line last; -N (the shared
# connection) runs nothing.
for a; do last=$a; done
case " $* " in *" -N "*) exit 0;; esac
exec /bin/sh -c "$last"
"""


class Shop:
    def __init__(self, directory, manage):
        self.directory, self.manage = directory, manage
        self.state = os.path.join(directory, "ledger.json")
        self.store = os.path.join(directory, "vesk-manage", "plays.sqlite")
        bin_dir = os.path.join(directory, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "ssh"), "w") as f:
            f.write(FAKE_SSH)
        os.chmod(os.path.join(bin_dir, "ssh"), 0o755)
        os.makedirs(os.path.join(directory, "vesk-manage"))
        pairing = {"register": "127.0.0.1:49152", "token": "0f8e4b1c-5d2a-4e3f-9a6b-7c8d9e0f1a2b",
                   "sharedKey": base64.b64encode(bytes(32)).decode(), "catalog": "/c",
                   "sshKey": "/nonexistent", "heartbeat": "127.0.0.1:5000",
                   "paired": "2026-12-09T10:00:00.000+03:00", "clockOffsetMs": 0}
        with open(os.path.join(directory, "vesk-manage", "kasse-1"), "w") as f:
            json.dump(pairing, f)
        self.env = dict(os.environ, PATH="%s:%s/data:%s" % (bin_dir, HERE, os.environ["PATH"]),
                        XDG_STATE_HOME=directory, VESK_PLAYS_STATE=self.state)
        self.set_ledger(0)

    def set_ledger(self, last, gaps=None):
        state = {"ledger": LEDGER, "last": last, "gaps": [], "acked": 0}
        if os.path.exists(self.state):
            state = dict(json.load(open(self.state)), last=last)
        if gaps is not None:
            state["gaps"] = gaps
        with open(self.state, "w") as f:
            json.dump(state, f)

    def plays(self, **env):
        return subprocess.Popen([self.manage, "plays"], env=dict(self.env, **env),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)

    def sqlite(self, sql, db=None):
        return subprocess.run(["sqlite3", db or self.store, sql], check=True, capture_output=True,
                              text=True).stdout.strip()


def kill(shop, runs):
    env = {"VESK_PLAYS_CEILING": "200", "VESK_PLAYS_CHECK_STORE": shop.store}
    shop.set_ledger(300, [[1001, 1010, "full"]])
    started = time.monotonic()
    shop.plays(**env).wait()
    whole = time.monotonic() - started
    killed = finished = 0
    last = 300
    for _ in range(runs):
        last += 300
        shop.set_ledger(last)
        process = shop.plays(**env)
        try:
            process.wait(timeout=random.uniform(0, 3 * whole))
            finished += 1
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            killed += 1
    assert shop.plays(**env).wait() == 0
    expected = [s for s in range(1, last + 1) if not 1001 <= s <= 1010]
    row = shop.sqlite("SELECT COUNT(*), COUNT(DISTINCT seq), MIN(seq), MAX(seq), SUM(seq) FROM plays")
    gap_rows = shop.sqlite("SELECT seq_from, seq_to, count FROM gaps")
    state = json.load(open(shop.state))
    violations = shop.state + ".violations"
    violations = open(violations).read().split("\n")[:-1] if os.path.exists(violations) else []
    print("runs: %d killed at random (0 to %.2f s in), %d ended by themselves, then one to the end"
          % (killed, 3 * whole, finished))
    print("ledger: seqs 1..%d, 1001..1010 a gap; expected %d plays, seq sum %d"
          % (last, len(expected), sum(expected)))
    print("store (sqlite3): count, distinct seqs, min, max, sum = %s; gaps %s" % (row, gap_rows))
    print("acknowledgements: %d, last %d; found uncommitted at their time: %d"
          % (len(state.get("acks", [])), state["acked"], len(violations)))
    ok = row == "%d|%d|1|%d|%d" % (len(expected), len(expected), last, sum(expected))
    print("every record exactly once:", ok, "; none acknowledged before its commit:", not violations)


def timed(function):
    started = time.monotonic()
    function()
    return time.monotonic() - started


def collect(shop, records):
    shop.set_ledger(records)
    seconds = timed(lambda: shop.plays().wait())
    count = shop.sqlite("SELECT COUNT(*) FROM plays")
    print("vesk-manage plays: %s records in %.1f s (%.0f records/s), %d read-outs"
          % (count, seconds, int(count) / seconds, len(json.load(open(shop.state))["acks"])))
    # The same records, as the stand-in printed them, into the same schema by the sqlite3 tool.
    csv = os.path.join(shop.directory, "plays.csv")
    lines = subprocess.run(
        "for a in $(seq 0 10000 %d); do vesk-plays --after $a --limit 10000; done" % (records - 1),
        shell=True, env=shop.env, check=True, capture_output=True, text=True).stdout
    serve = timed(lambda: subprocess.run(
        "for a in $(seq 0 10000 %d); do vesk-plays --after $a --limit 10000; done >/dev/null"
        % (records - 1), shell=True, env=shop.env, check=True))
    with open(csv, "w") as f:
        for line in lines.split("\n"):
            if '"play"' in line:
                p = json.loads(line)
                f.write(",".join(str(v) for v in (
                    p["ledger"], p["seq"], p["start"][:10], p["playlist"], p["file"], p["url"],
                    p["checksum"], p["delivery"], p["scheduledStart"], p["scheduledEnd"],
                    p["start"], p["end"], 30000, p["outcome"], 0)) + "\n")
    db = os.path.join(shop.directory, "copy.sqlite")
    schema = shop.sqlite(".schema plays")
    shop.sqlite(schema, db)
    tool = timed(lambda: subprocess.run(
        ["sqlite3", "-cmd", "PRAGMA journal_mode=WAL", "-cmd", "PRAGMA synchronous=FULL", db,
         ".mode csv", ".import %s plays" % csv], check=True, capture_output=True))
    print("the stand-in alone serving the same %d read-outs: %.1f s" % (records // 10000, serve))
    print("sqlite3 .import of the same records (CSV, one transaction): %.1f s" % tool)


def report(shop, rows):
    shop.set_ledger(1)
    assert shop.plays().wait() == 0
    sql = ("WITH RECURSIVE s(n) AS (SELECT 2 UNION ALL SELECT n + 1 FROM s WHERE n < %d) "
           "INSERT INTO plays SELECT '%s', n, printf('2026-%%02d-%%02d', 1 + n / 2678400 %% 12, "
           "1 + n / 86400 %% 28), 'list' || (n %% 3), 'f' || (n %% 7) || '.mp4', "
           "'https://ads.example/' || (n %% 5), printf('%%016x', n), printf('%%016x', n / 100), "
           "'', '', '', '', 30000 - (n %% 2) * 10000, CASE n %% 2 WHEN 0 THEN 'played' ELSE 'cut' "
           "END, 0 FROM s" % (rows, LEDGER))
    make = timed(lambda: shop.sqlite(sql))
    shop.sqlite("UPDATE ledgers SET stored = %d" % rows)
    by_manage = timed(lambda: subprocess.run([shop.manage, "report", "--by", "day,register"],
                                             env=shop.env, check=True, capture_output=True))
    query = ("SELECT p.day, l.register, COUNT(*), SUM(p.duration_ms), "
             "SUM(CASE WHEN p.outcome = 'played' THEN 1 ELSE 0 END), "
             "SUM(CASE WHEN p.outcome = 'cut' THEN 1 ELSE 0 END), "
             "SUM(CASE WHEN p.outcome = 'failed' THEN 1 ELSE 0 END), "
             "SUM(CASE WHEN p.outcome = 'interrupted' THEN 1 ELSE 0 END), SUM(p.placeholder) "
             "FROM plays p JOIN ledgers l ON l.ledger = p.ledger "
             "WHERE p.day >= '0000-00-00' AND p.day <= '9999-99-99' "
             "GROUP BY p.day, l.register ORDER BY p.day, l.register; "
             "SELECT COUNT(*) FROM plays WHERE ledger = '%s'" % LEDGER)
    by_tool = timed(lambda: shop.sqlite(query))
    print("store of %s plays made by sqlite3 in %.1f s" % (shop.sqlite("SELECT COUNT(*) FROM plays"), make))
    print("vesk-manage report --by day,register: %.1f s" % by_manage)
    print("sqlite3, the same groups and the count per ledger for the gaps: %.1f s" % by_tool)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--manage", required=True)
    parser.add_argument("what", choices=["kill", "collect", "report"])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--records", type=int, default=1000000)
    parser.add_argument("--rows", type=int, default=10000000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        shop = Shop(directory, os.path.abspath(args.manage))
        {"kill": lambda: kill(shop, args.runs), "collect": lambda: collect(shop, args.records),
         "report": lambda: report(shop, args.rows)}[args.what]()


if __name__ == "__main__":
    main()
