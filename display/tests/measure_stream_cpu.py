"""Measures the CPU time of the stream engine and of the display while a 4 Mbit/s H.264 clip
streams: the register sealing every datagram, MACing one manifest per message and disclosing a
key every tenth of a second, the display checking, opening and putting them together.

Not a pass/fail test: run it by hand as root, from a build of your choice:

    VESK_SERVICE=build-rel/bin/vesk-service VESK_DISPLAY=build-rel/bin/vesk-display \\
        PYTHONPATH=tests/lib unshare --net -- /usr/bin/python3 -B \\
        display/tests/measure_stream_cpu.py [SECONDS] [--runs 3]

It delivers one clip (made with ffmpeg: 1280x720, 25 fps, 4 Mbit/s; with --sound also a 128 kbit/s
AAC stereo track) with a playlist that plays it all day, lets a vesk-display receive the stream on
loopback, and reads the CPU time (user + system) of the service's engine thread ("vesk-stream"), of
the whole service and of the display from /proc/<pid>/task/<tid>/stat before and after SECONDS
(default 60). With --runs N it does so N times, each with a fresh service and display, and prints
the medians. Goals: the whole service at most 1.5 % and the whole display at most 2.0 % of one
core. It also reports the stream's bytes per second, from the service's status.json; --url-bytes N
names the clip in the playlist by a url of N bytes (a legal name padded with "./"), which rides in
every message.

With --soak INTERVAL it samples the resident memory and open descriptors of the service and the
display every INTERVAL seconds instead, and fails when descriptors grow, when the display
receives nothing for an interval, or (with --memory-goal) when either grows by 1 MB or more from
the first sample to the last. The hour by hand: `... measure_stream_cpu.py 3600 --soak 60
--memory-goal` from a Release build; CTest runs one minute in the sanitizer build, where memory
is reported but not judged (the sanitizers' quarantine grows by itself).
"""

import argparse
import datetime
import os
import statistics
import shutil
import subprocess
import time

from vesktest import scratch
from vesktest.display import make_stream_clip, serve
from vesktest.proc import cpu_seconds, descriptors, status_kib

def padded_url(name, length):
    """`name` padded in front with "./" to `length` bytes (or as it is when that is shorter)."""
    pad = max(0, length - len(name)) // 2
    return "./" * pad + name


def stream_bytes(service):
    """The bytes the stream has sent and when status.json said so (seconds since the epoch)."""
    status = service.status()
    updated = datetime.datetime.fromisoformat(status["updated"]).timestamp()
    return status["stream"]["bytes"], updated


def service_pid(service):
    # unshare execs the shell, which execs the service: the Popen pid is the service itself.
    return service.process.pid


def usage(pid):
    """Resident memory in kB and open descriptors."""
    return status_kib(pid, "VmRSS"), descriptors(pid)


def soak(seconds, interval, processes, packets, memory_goal):
    samples, received, started = [], 0, time.monotonic()
    print("minute " + "".join(f"{name:>12} kB  fds" for name in processes) + "  packets")
    while time.monotonic() - started < seconds:
        time.sleep(interval)
        samples.append({name: usage(pid) for name, pid in processes.items()})
        with open(packets) as f:
            now = sum(1 for line in f if line.startswith("dts="))
        print(f"{(time.monotonic() - started) / 60:6.1f} " + "".join(
            f"{memory:15d} {fds:4d}" for memory, fds in samples[-1].values()) + f"  {now:7d}",
            flush=True)
        if now <= received:
            raise AssertionError("the display received nothing in the last interval")
        received = now
    failures = []
    for name in processes:
        memory, fds = (samples[-1][name][i] - samples[0][name][i] for i in (0, 1))
        print(f"{name}: resident memory {memory:+d} kB, descriptors {fds:+d} from the first "
              "sample to the last")
        if fds > 0 or (memory_goal and memory >= 1024):
            failures.append(f"{name}: {memory:+d} kB, {fds:+d} descriptors")
    if failures:
        raise AssertionError("; ".join(failures))


def measure(service, pid, display, seconds):
    """CPU shares (percent of one core) of the engine thread, the service and the display."""
    time.sleep(3)
    engine = None
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            if f.read().strip() == "vesk-stream":
                engine = f"/proc/{pid}/task/{tid}/stat"
    if engine is None:
        raise RuntimeError("no vesk-stream thread in the service")
    stats = (engine, f"/proc/{pid}/stat", f"/proc/{display.pid}/stat")
    before, wall0 = [cpu_seconds(stat) for stat in stats], time.monotonic()
    bytes0 = stream_bytes(service)
    time.sleep(seconds)
    after, wall1 = [cpu_seconds(stat) for stat in stats], time.monotonic()
    bytes1 = stream_bytes(service)
    if bytes1[1] > bytes0[1]:
        print(f"stream: {(bytes1[0] - bytes0[0]) / (bytes1[1] - bytes0[1]):,.0f} bytes/s over "
              f"{bytes1[1] - bytes0[1]:.0f} s between two writes of status.json")
    return [100 * (b - a) / (wall1 - wall0) for a, b in zip(before, after)]


def run(options, scratch, data):
    """One service and one display; the shares measured, or nothing for a soak."""
    service, heartbeat = serve(scratch, data, padded_url("clip.mp4", options.url_bytes))
    try:
        pid = service_pid(service)
        packets = os.path.join(scratch, "packets.txt")
        with open(packets, "w") as out:
            display = subprocess.Popen(
                [os.environ["VESK_DISPLAY"], "--register", f"127.0.0.1:{service.port}",
                 "--packets", "--seconds", str(options.seconds + 5)],
                stdout=out, stderr=subprocess.PIPE, text=True)
        if options.soak:
            soak(options.seconds, options.soak, {"service": pid, "display": display.pid},
                 packets, options.memory_goal)
            _, errors = display.communicate(timeout=60)
            print(errors.strip())
            if " 0 rejected" not in errors:
                raise AssertionError("the display rejected datagrams")
            return None
        shares = measure(service, pid, display, options.seconds)
        _, errors = display.communicate(timeout=60)
        print(f"engine thread {shares[0]:.2f} %, whole service {shares[1]:.2f} %, display "
              f"{shares[2]:.2f} % of one core", flush=True)
        print(errors.strip(), flush=True)
        return shares
    finally:
        service.close()
        heartbeat.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("seconds", type=float, nargs="?", default=60.0)
    parser.add_argument("--soak", type=float, metavar="INTERVAL")
    parser.add_argument("--memory-goal", action="store_true")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--sound", action="store_true")
    parser.add_argument("--url-bytes", type=int, default=0)
    options = parser.parse_args()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    directory = scratch.directory("stream-cpu-")
    try:
        data = make_stream_clip(os.path.join(directory, "clip.mp4"), options.sound)
        results = [run(options, directory, data)
                   for _ in range(1 if options.soak else options.runs)]
        if options.runs > 1 and not options.soak:
            medians = [statistics.median(shares[i] for shares in results) for i in range(3)]
            print(f"medians of {options.runs} runs of {options.seconds:.0f} s: engine thread "
                  f"{medians[0]:.2f} %, whole service {medians[1]:.2f} % (goal 1.5 %), display "
                  f"{medians[2]:.2f} % (goal 2.0 %)")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
