#!/usr/bin/env python3
"""How many registers one `vesk-manage listen` holds: the CPU it takes for a fleet's beats at one
a minute each, and the datagrams a second it takes before it drops any.

    bench/listen_figure.py --build build-release --registers 10000 --out FILE

A Release tree's vesk-manage and vesk_listen_load (bench/manage_listen_load.cpp). The synthetic
registers are paired in a state directory of the script's own; the listener runs with --quiet and
--metrics, and what it took is read from its metrics (beats accepted), what it cost from
/proc/PID/stat. The kernel's UDP receive-buffer errors are shown beside, as the cause of any loss.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def udp_receive_errors():
    with open("/proc/net/snmp") as f:
        lines = [line.split() for line in f if line.startswith("Udp:")]
    return int(dict(zip(lines[0], lines[1]))["RcvbufErrors"])


def metric(port, name):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=30) as answer:
        text = answer.read().decode()
    return float(re.search(rf"^{name} (\S+)$", text, re.M)[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--registers", type=int, default=10000)
    parser.add_argument("--minute", type=int, default=60, help="seconds of the one-a-minute run")
    parser.add_argument("--rates", default="2000,5000,10000,20000,40000,80000,160000")
    parser.add_argument("--out")
    args = parser.parse_args()
    manage = os.path.join(args.build, "bin", "vesk-manage")
    load = os.path.join(args.build, "bin", "vesk_listen_load")
    scratch = tempfile.mkdtemp(prefix="listen-figure-")
    out = []

    def say(line):
        print(line, flush=True)
        out.append(line)

    try:
        state = os.path.join(scratch, "vesk-manage")
        subprocess.run([load, "pair", state, str(args.registers)], check=True,
                       stdout=subprocess.DEVNULL)
        beat_port, metrics_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
        env = dict(os.environ, XDG_STATE_HOME=scratch)
        listener = subprocess.Popen([manage, "listen", "--quiet", "--port", str(beat_port),
                                     "--metrics", str(metrics_port)], env=env,
                                    stderr=subprocess.DEVNULL)
        try:
            for _ in range(600):
                try:
                    if metric(metrics_port, "vesk_manage_registers") == args.registers:
                        break
                except OSError:
                    pass
                time.sleep(0.1)
            say(f"vesk-manage listen with {args.registers} paired registers "
                f"({os.cpu_count()} cores, loopback, load average {os.getloadavg()[0]:.1f} "
                f"at the start)")
            rate = max(1, round(args.registers / 60))
            idle0 = cpu_seconds(listener.pid)
            time.sleep(10)
            idle = (cpu_seconds(listener.pid) - idle0) / 10
            cpu0, took0 = cpu_seconds(listener.pid), metric(metrics_port, "vesk_manage_beats_accepted_total")
            begin = time.monotonic()
            subprocess.run([load, "send", state, str(beat_port), str(rate), str(args.minute)],
                           check=True, stdout=subprocess.DEVNULL)
            time.sleep(1)
            wall = time.monotonic() - begin
            cpu = (cpu_seconds(listener.pid) - cpu0) / wall
            took = metric(metrics_port, "vesk_manage_beats_accepted_total") - took0
            say(f"idle: {idle * 100:.2f} % of a core")
            say(f"one beat a minute each ({rate}/s for {args.minute} s): {cpu * 100:.2f} % of a "
                f"core, {int(took)} of {rate * args.minute} beats taken")
            say("rate/s    sent  taken  dropped  kernel-rcvbuf-errors  cpu%")
            best = 0
            for rate in (int(r) for r in args.rates.split(",")):
                errors0, taken0 = udp_receive_errors(), metric(metrics_port, "vesk_manage_beats_accepted_total")
                cpu0, begin = cpu_seconds(listener.pid), time.monotonic()
                sent = subprocess.run([load, "send", state, str(beat_port), str(rate), "5"],
                                      check=True, capture_output=True, text=True).stdout
                sent = int(re.search(r"sent (\d+)", sent)[1])
                time.sleep(2)
                cpu = (cpu_seconds(listener.pid) - cpu0) / (time.monotonic() - begin)
                taken = int(metric(metrics_port, "vesk_manage_beats_accepted_total") - taken0)
                errors = udp_receive_errors() - errors0
                say(f"{rate:>7} {sent:>7} {taken:>6} {sent - taken:>8} {errors:>21} {cpu * 100:>5.1f}")
                if taken == sent:
                    best = rate
            say(f"load average {os.getloadavg()[0]:.1f} at the end")
            say(f"highest rate without a drop: {best}/s "
                f"(by rate alone, the beats of {best * 60} registers at one a minute)")
        finally:
            listener.terminate()
            listener.wait(30)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if args.out:
        with open(args.out, "w") as f:
            f.write("$ bench/listen_figure.py " + " ".join(
                f"--{k} {v}" for k, v in (("build", args.build), ("registers", args.registers)))
                + "\n" + "\n".join(out) + "\n")


if __name__ == "__main__":
    main()
