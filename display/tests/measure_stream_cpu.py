"""Measures the stream engine's CPU time while it streams a 4 Mbit/s H.264 clip.

Not a pass/fail test: run it by hand as root, from a build of your choice:

    VESK_SERVICE=build/bin/vesk-service VESK_DISPLAY=build/bin/vesk-display \\
        unshare --net -- /usr/bin/python3 -B display/tests/measure_stream_cpu.py [SECONDS]

It delivers one clip (made with ffmpeg: 1280x720, 25 fps, 4 Mbit/s) with a playlist that plays it
all day, lets a vesk-display receive the stream on loopback, and reads the CPU time (user +
system) of the service's engine thread ("vesk-stream") and of the whole service from
/proc/<pid>/task/<tid>/stat before and after SECONDS (default 60).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))

from vesk_e2e import Delivery, Peer, Service, UdpListener  # noqa: E402

PLAYLIST = """[bench]
name = 4 Mbit/s
days = all
[bench.1]
url = clip.mp4
timeplay = 3600
"""
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(stat_path):
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def service_pid(service):
    # unshare execs the shell, which execs the service: the Popen pid is the service itself.
    return service.process.pid


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    scratch = tempfile.mkdtemp(prefix="stream-cpu-")
    try:
        clip = os.path.join(scratch, "clip.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=size=1280x720:rate=25:duration={int(seconds) + 10}",
                        "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M", "-maxrate", "4M",
                        "-bufsize", "8M", "-g", "50", "-pix_fmt", "yuv420p", clip], check=True)
        with open(clip, "rb") as f:
            data = f.read()
        heartbeat = UdpListener()
        service = Service(name="stream-cpu", send_to="127.0.0.1:8555")
        try:
            service.start()
            service.pair(Peer(), uuid.uuid4(), f"127.0.0.1:{heartbeat.port}")
            delivery = Delivery(os.path.join(scratch, "delivery"),
                                {"clip.mp4": data, "playlist.ini": PLAYLIST.encode()})
            mark = service.log_mark()
            delivery.copy_into(service.path("sync_dir"))
            service.wait_log("  плейлист применен", since=mark)
            pid = service_pid(service)
            display = subprocess.Popen(
                [os.environ["VESK_DISPLAY"], "--register", f"127.0.0.1:{service.port}",
                 "--packets", "--seconds", str(seconds + 5)],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            time.sleep(3)
            engine = None
            for tid in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{tid}/comm") as f:
                    if f.read().strip() == "vesk-stream":
                        engine = f"/proc/{pid}/task/{tid}/stat"
            if engine is None:
                raise RuntimeError("no vesk-stream thread in the service")
            process = f"/proc/{pid}/stat"
            engine0, process0, wall0 = cpu_seconds(engine), cpu_seconds(process), time.monotonic()
            time.sleep(seconds)
            engine1, process1, wall1 = cpu_seconds(engine), cpu_seconds(process), time.monotonic()
            _, errors = display.communicate(timeout=60)
            wall = wall1 - wall0
            print(f"wall {wall:.1f} s; engine thread {engine1 - engine0:.2f} s CPU "
                  f"({100 * (engine1 - engine0) / wall:.2f} % of one core); whole service "
                  f"{process1 - process0:.2f} s ({100 * (process1 - process0) / wall:.2f} %)")
            print(errors.strip())
        finally:
            service.close()
            heartbeat.close()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
