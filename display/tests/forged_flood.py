"""Forged manifests against a display: a figure, and the harness of its test.

Against the real vesk-service streaming a 720p 4 Mbit/s clip (25 pictures a second) and a real
vesk-display, a flood of forged manifests at RATE a second: 112-byte manifests of the stream with
fresh counters, the register's clock of the moment as send time (so that the display finds each
one safe, keeps it waiting and checks its MAC when the key comes) and a random MAC. It comes from
another address (127.0.0.2), or with the register's own source address and port, forged through
a raw socket. For each of 0, 16,000 and 32,000 a second (or the RATEs given), both ways, it
prints the packets the display keeps a second and their share of the 25 the register sends, the
display's CPU and peak memory, and its counts by cause:

    VESK_SERVICE=build-rel/bin/vesk-service VESK_DISPLAY=build-rel/bin/vesk-display \\
        unshare --net -- /usr/bin/python3 -B display/tests/forged_flood.py [SECONDS] [RATE ...]

Run it as root, from a Release build. ForgedFloodTest in stream_e2e.py runs a short flood of each
kind and checks only what does not depend on the machine's speed.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))

import measure_stream_cpu  # noqa: E402
from measure_stream_cpu import cpu_seconds  # noqa: E402
from vesk_e2e import Peer, UdpListener, wait_until  # noqa: E402

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


def run(clip, seconds, rate, forge_source):
    """One service and one display, flooded for `seconds` once the display receives: the packets
    it kept during the flood, the share of those sent, its CPU, and its counts by cause."""
    from stream_e2e import Display, peak_kb, summary  # the tests' harness imports this module
    port = UdpListener()
    stream_port = port.port
    port.close()
    scratch = tempfile.mkdtemp(prefix="forged-", dir=os.environ.get("VESK_E2E_TMP"))
    service, heartbeat = measure_stream_cpu.serve(scratch, clip,
                                                  send_to=f"127.0.0.1:{stream_port}")
    flood = None
    try:
        display = Display(os.environ["VESK_DISPLAY"], service.port, 600,
                          os.path.join(scratch, "received.ts"))
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
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
    rates = [int(rate) for rate in sys.argv[2:]] or [16000, 32000]
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    scratch = tempfile.mkdtemp(prefix="forged-clip-", dir=os.environ.get("VESK_E2E_TMP"))
    try:
        clip = measure_stream_cpu.make_clip(os.path.join(scratch, "clip.mp4"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{'forged a second':>16} {'from':>18} {'packets/s':>10} {'kept':>6} {'cpu':>7} "
          f"{'peak MB':>8}  counts")
    for rate, forge in [(0, False)] + [(r, f) for r in rates for f in (False, True)]:
        figures = run(clip, seconds, rate, forge)
        counts = figures["counts"]
        shown = ", ".join(f"{counts.get(name, 0)} {name}" for name in (
            "complete", "dropped", "forged", "crowded out", "unsafe", "future", "unclaimed",
            "replayed") if counts.get(name))
        print(f"{rate:16d} {'the register' if forge else 'another address':>18} "
              f"{figures['packets a second']:10.2f} {figures['share kept']:6.1%} "
              f"{figures['display cpu']:7.1%} {figures['peak kB'] / 1024:8.1f}  {shown}",
              flush=True)


if __name__ == "__main__":
    main()
