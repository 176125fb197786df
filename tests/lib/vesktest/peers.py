"""The peers that talk to a register from outside, deliberately not our code: HTTP through curl
(or a raw socket for what curl would not send), UDP through plain sockets, clips by ffmpeg,
checksums by the xxhsum tool."""

import fcntl
import json
import os
import socket
import struct
import subprocess
import time

from .wire import parse_response

# The programs are built with the sanitizers in CI: every request is several times slower than
# in a release build, so deadlines are generous. They bound a wait; they never pace it.
REQUEST_TIMEOUT = 30

FS_IOC_GETFLAGS = 0x80086601
FS_IMMUTABLE_FL = 0x10


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def curl(port, path, *, method="POST", body=None, headers=(), header_file=None):
    """One request through curl; returns the response exactly as it came over the wire."""
    command = ["curl", "-sS", "-i", "--max-time", str(REQUEST_TIMEOUT), "-X", method,
               "-H", "Expect:"]
    for h in headers:
        command += ["-H", h]
    if header_file:
        command += ["-H", "@" + header_file]
    if body is not None:
        command += ["--data-binary", "@-"]
    command.append(f"http://127.0.0.1:{port}{path}")
    started = time.monotonic()
    result = subprocess.run(command, input=body if body is not None else b"",
                            capture_output=True, timeout=REQUEST_TIMEOUT + 10, check=False)
    seconds = time.monotonic() - started
    if result.returncode != 0:
        raise AssertionError(f"curl failed ({result.returncode}): {result.stderr.decode()}")
    response = parse_response(result.stdout)
    response.seconds = seconds
    return response


def post_json(port, path, document, peer_headers=()):
    body = document if isinstance(document, bytes) else json.dumps(document).encode()
    return curl(port, path, body=body,
                headers=("Content-Type: application/json", "Accept: application/json",
                         *peer_headers))


def raw_exchange(port, data, timeout=REQUEST_TIMEOUT):
    """Sends bytes that curl would not send and reads whatever comes back until the service
    closes. A reset after the answer counts as the close it is."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        received = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            received += chunk
        return received


class UdpListener:
    """A management server's heartbeat socket on loopback."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]

    def receive(self, timeout, diagnostics=None):
        self.socket.settimeout(timeout)
        try:
            return self.socket.recvfrom(65536)[0]
        except socket.timeout:
            detail = "\n" + diagnostics() if diagnostics else ""
            raise AssertionError(f"no datagram within {timeout} s{detail}") from None

    def close(self):
        self.socket.close()


def make_clip(path, colour, seconds=2, encoder="libx264"):
    """A short real clip with B-frames, so that the stream engine has genuine media to read."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    quiet = ["-x265-params", "log-level=error"] if encoder == "libx265" else []
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"color=c={colour}:size=160x120:rate=10:duration={seconds}",
                    "-c:v", encoder, *quiet, "-pix_fmt", "yuv420p", "-g", "10", path], check=True)
    with open(path, "rb") as f:
        return f.read()


def make_clip_with_sound(path, seconds=2, picture="testsrc2"):
    """A clip of H.264 picture and AAC stereo sound, a tone of 440 Hz."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"{picture}=size=160x120:rate=10:duration={seconds}", "-f", "lavfi", "-i",
                    f"sine=frequency=440:sample_rate=48000:duration={seconds}", "-ac", "2",
                    "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "10", "-c:a", "aac",
                    "-b:a", "128k", path], check=True)
    with open(path, "rb") as f:
        return f.read()


def xxhsum(names, directory):
    """TF of the named files, as the xxhsum tool writes it."""
    return subprocess.run(["xxhsum", "-H1", *names], cwd=directory, capture_output=True,
                          check=True).stdout


def delivery_name(transaction_file):
    """A delivery as the status names it: the XXH64 of its TF, by the xxhsum tool."""
    return subprocess.run(["xxhsum", "-H1"], input=transaction_file, capture_output=True,
                          check=True).stdout[:16].decode()


def files_under(directory):
    """The relative names of every file in the tree, sorted."""
    return sorted(os.path.relpath(os.path.join(parent, name), directory)
                  for parent, _, files in os.walk(directory) for name in files)


def seal(directory):
    """Writes the transaction file of a content directory: xxhsum over every file but TF."""
    data = xxhsum([name for name in files_under(directory) if name != "TF"], directory)
    with open(os.path.join(directory, "TF"), "wb") as f:
        f.write(data)
    return data


def write_random(path, size):
    """A file of fresh random bytes, so that nothing on the way can shortcut it."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    chunk = 1 << 20
    with open(path, "wb") as f:
        for offset in range(0, size, chunk):
            f.write(os.urandom(min(chunk, size - offset)))


def is_immutable(path):
    """Whether the file carries the immutable inode flag; false for a missing file."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except FileNotFoundError:
        return False
    try:
        flags = fcntl.ioctl(fd, FS_IOC_GETFLAGS, bytes(8))
    finally:
        os.close(fd)
    return bool(struct.unpack_from("=i", flags)[0] & FS_IMMUTABLE_FL)
