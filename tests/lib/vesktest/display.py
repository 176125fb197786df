"""vesk-display as the tests drive it, the service that streams to it, and a flood of forged
manifests against both (display/tests/forged_flood.py prints its figure)."""

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import uuid

from . import scratch
from .peers import UdpListener
from .proc import cpu_seconds, status_kib
from .service import Delivery, Peer, Service, wait_until

PLAYLIST = """[bench]
name = 4 Mbit/s
days = all
[bench.1]
url = {url}
timeplay = 3600
"""
def parse_fields(line):
    return dict(item.split("=", 1) for item in line.split(" ") if "=" in item)


class Display:
    """vesk-display --packets, its lines stamped with the time they arrived."""

    def __init__(self, program, register_port, seconds, out, extra=()):
        self.lines, self.error_lines = [], []
        self.process = subprocess.Popen(
            [program, "--register", f"127.0.0.1:{register_port}", "--packets", "--seconds",
             str(seconds), "--out", out, *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        self.readers = [threading.Thread(target=self._read, args=(pipe, lines), daemon=True)
                        for pipe, lines in ((self.process.stdout, self.lines),
                                            (self.process.stderr, self.error_lines))]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _read(pipe, lines):
        for line in pipe:
            lines.append((time.time(), line.rstrip("\n")))

    def wait(self, timeout):
        self.process.wait(timeout)
        for reader in self.readers:
            reader.join(10)
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode, "".join(line + "\n" for _, line in self.error_lines)

    def said(self, text):
        return any(text in line for _, line in self.error_lines)

    def sections(self, track="video"):
        """One (arrival, codec fields, [packet fields]) per codec configuration received of a
        track."""
        sections = []
        for arrival, line in self.lines:
            fields = parse_fields(line)
            if fields.get("track") != track:
                continue
            if line.startswith("codec="):
                sections.append((arrival, fields, []))
            elif line.startswith("dts=") and sections:
                sections[-1][2].append(fields)
        return sections


def summary(errors):
    """The display's last line: the count of each cause, by name."""
    line = errors.strip().splitlines()[-1]
    return {name: int(number) for number, name in re.findall(
        r"(\d+) (packets|accepted|rejected|other version|malformed|other stream|oversized|future"
        r"|forged|unsealed|inconsistent|replayed|unsafe|late|unanchored|unchecked|unclaimed"
        r"|crowded out|complete|dropped)", line)}


def peak_kb(pid):
    return status_kib(pid, "VmHWM")


def make_stream_clip(path, sound=False):
    """Twenty seconds of 720p H.264 at 25 fps and 4 Mbit/s (with `sound`, AAC stereo too), played
    in a loop: the same stream for any length of measurement. The bytes."""
    audio = (["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=20", "-ac",
              "2", "-c:a", "aac", "-b:a", "128k"] if sound else [])
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1280x720:rate=25:duration=20", *audio,
                    "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M", "-maxrate", "4M",
                    "-bufsize", "8M", "-g", "50", "-pix_fmt", "yuv420p", path], check=True)
    with open(path, "rb") as f:
        return f.read()


def serve(scratch, data, url="clip.mp4", send_to="127.0.0.1:8555"):
    """A paired vesk-service that plays the clip `data` all day, sending to `send_to`, and the
    heartbeat listener it beats to; the caller closes both."""
    heartbeat = UdpListener()
    service = Service(name="stream-cpu", send_to=send_to)
    try:
        service.start()
        service.pair(Peer(), uuid.uuid4(), f"127.0.0.1:{heartbeat.port}")
        delivery = Delivery(os.path.join(scratch, f"delivery-{uuid.uuid4()}"),
                            {"clip.mp4": data, "playlist.ini": PLAYLIST.format(url=url).encode()})
        delivery.copy_into(service.path("sync_dir"))
        service.wait_applied(delivery.transaction_file)
    except BaseException:
        service.close()
        heartbeat.close()
        raise
    return service, heartbeat


PICTURES_A_SECOND = 25

# The flood: RATE manifests a second to 127.0.0.1:PORT, the register's clock CLOCK read at
# monotonic time BASE, from 127.0.0.2 or, with SOURCE, as ADDRESS:PORT through a raw socket.
FLOOD = r"""
import os, socket, struct, sys, time
rate, stream, port, clock, base = (int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]),
                                   int(sys.argv[4]), float(sys.argv[5]))
if len(sys.argv) > 6:
    address, source = sys.argv[6].split(":")
    out = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + 8 + 112, 0, 0, 64, 17, 0,
                     socket.inet_aton(address), socket.inet_aton("127.0.0.1"))
    head = ip + struct.pack("!HHHH", int(source), port, 8 + 112, 0)
    send = lambda payload: out.sendto(head + payload, ("127.0.0.1", 0))
else:
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.bind(("127.0.0.2", 0))
    head = b""
    send = lambda payload: out.sendto(payload, ("127.0.0.1", port))
macs = [os.urandom(16) for _ in range(1024)]
counter, sent, start = 1 << 40, 0, time.monotonic()
while True:
    now = time.monotonic()
    due = int((now - start) * rate)
    if sent >= due:
        time.sleep(0.0005)
        continue
    at, batch = clock + int((now - base) * 1000), min(due - sent, 512)
    for _ in range(batch):
        counter += 1
        send(struct.pack("<BBHIQIHHQ", 3, 1, 0, stream, counter, counter & 0xFFFFFFFF, 4, 4, at)
             + bytes(64) + macs[counter & 1023])
    sent += batch
"""


def register_source(stream_port):
    """The register's stream socket as the kernel sees it: "address:port" of the UDP socket
    connected to 127.0.0.1:stream_port (in /proc/net/udp, "0100007F:1F90")."""
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            local, remote = line.split()[1:3]
            if remote == f"0100007F:{stream_port:04X}":
                address, port = local.split(":")
                return f"{'.'.join(str(b) for b in bytes.fromhex(address)[::-1])}:{int(port, 16)}"
    raise RuntimeError(f"no socket sends to port {stream_port}")


def forged_flood(clip, seconds, rate, forge_source):
    """One service and one display, flooded for `seconds` once the display receives: the packets
    it kept during the flood, the share of those sent, its CPU, and its counts by cause."""
    port = UdpListener()
    stream_port = port.port
    port.close()
    scratch_dir = scratch.directory("forged-")
    service, heartbeat = serve(scratch_dir, clip, send_to=f"127.0.0.1:{stream_port}")
    flood = None
    try:
        display = Display(os.environ["VESK_DISPLAY"], service.port, 600,
                          os.path.join(scratch_dir, "received.ts"))
        wait_until(lambda: any(line.startswith("dts=") for _, line in display.lines), 60,
                   "packets at the display", service.diagnostics)
        answer, _, _ = service.stream_connect(Peer())
        base = time.monotonic()
        arguments = [str(rate), str(answer["stream"]), str(stream_port), str(answer["clock"]),
                     repr(base)] + ([register_source(stream_port)] if forge_source else [])
        if rate:
            flood = subprocess.Popen([sys.executable, "-c", FLOOD, *arguments])
        stat = f"/proc/{display.process.pid}/stat"
        cpu, start = cpu_seconds(stat), time.time()
        time.sleep(seconds)
        cpu, end = (cpu_seconds(stat) - cpu) / (time.time() - start), time.time()
        kept = sum(1 for at, line in list(display.lines)
                   if line.startswith("dts=") and start <= at <= end)
        if flood:
            flood.kill()
            flood.wait()
        memory = peak_kb(display.process.pid)
        display.process.send_signal(signal.SIGINT)
        status, errors = display.wait(60)
        return {"packets a second": kept / (end - start),
                "share kept": kept / (end - start) / PICTURES_A_SECOND,
                "display cpu": cpu, "peak kB": memory, "status": status,
                "packets during the flood": kept, "counts": summary(errors), "errors": errors}
    finally:
        if flood and flood.poll() is None:
            flood.kill()
            flood.wait()
        service.close()
        heartbeat.close()
        shutil.rmtree(scratch_dir, ignore_errors=True)
