"""The worked examples of docs/ hold: what an integrator copies from them works, and the tests'
own reading of each wire format (vesktest.wire) is the documented one.

- rest-api.md: the token's bytes as the heartbeat sends them, and the worked heartbeat datagram,
  opened by the documented Python function with Python's own cryptography and by vesktest.wire;
  the encrypted answer's head, and an answer that vesktest.wire seals read by the documented
  scripts;
- delivery.md: TF as the documented xxhsum command writes it, line for line vesktest.wire's;
- playlist.md: its example is docs/sample-week.ini, and each row of its table of moments is what
  vesk-schedule (the register's own schedule generator) shows at that moment;
- plays.md: its segment, put in a ledger directory, reads out with vesk-plays as shown.
"""
import base64
import datetime
import json
import os
import re
import subprocess
import tempfile
import unittest
import uuid

from cryptography.hazmat.primitives import serialization

from vesktest import wire

BIN = os.environ["VESK_BIN"]
SOURCE = os.environ["VESK_SOURCE_DIR"]


def document(name):
    with open(os.path.join(SOURCE, "docs", name), encoding="utf-8") as f:
        return f.read()


def section(text, heading):
    """The text under a "## heading", up to the next heading of that level."""
    start = text.index(f"\n## {heading}\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def code_blocks(text, language=""):
    """The fenced blocks of that language, in order; "" for blocks without one."""
    return [body for tag, body in re.findall(r"^```(\w*)\n(.*?)^```$", text,
                                             re.DOTALL | re.MULTILINE) if tag == language]


class HeartbeatDocumentTest(unittest.TestCase):
    def setUp(self):
        self.heartbeat = section(document("rest-api.md"), "The heartbeat")

    def test_token_bytes_are_the_digits_in_order(self):
        sent = re.findall(r"`([0-9a-f-]{36})` is sent as `([0-9a-f ]+)`", self.heartbeat)
        self.assertTrue(sent)
        for text, spaced in sent:
            self.assertEqual(uuid.UUID(text).bytes, bytes.fromhex(spaced))
        # The pairing's example token is the one the heartbeat shows.
        pairing = section(document("rest-api.md"), "POST /v1/command/connect")
        self.assertIn(f"`{sent[0][0]}`", pairing)

    def test_worked_datagram_opens_with_the_documented_function(self):
        datagram = bytes.fromhex("".join(
            next(b for b in code_blocks(self.heartbeat) if re.fullmatch(r"[0-9a-f\n]+", b))
            .split()))
        self.assertIn("00 01\n02 ... 1f", self.heartbeat)
        key = bytes(range(32))
        iv = re.search(r"the IV `([0-9a-f]{24})`", self.heartbeat).group(1)
        plaintext = re.search(r"decrypts to\n`(\{.*?\})`", self.heartbeat).group(1)
        self.assertEqual(len(datagram), int(re.search(r"the (\d+)-byte datagram",
                                                      self.heartbeat).group(1)))
        self.assertEqual(datagram[16:28].hex(), iv)

        namespace = {}
        exec(code_blocks(self.heartbeat, "python")[0], namespace)
        token, stamp = namespace["open_heartbeat"](datagram, {datagram[:16]: key})
        self.assertEqual(f'{{"datetime":"{stamp}"}}', plaintext)
        self.assertIn(f"`{token}`", self.heartbeat)
        self.assertEqual(datetime.datetime.fromisoformat(stamp).utcoffset(),
                         datetime.timedelta(hours=3))
        forged = bytearray(datagram)
        forged[40] ^= 1
        with self.assertRaises(Exception):
            namespace["open_heartbeat"](bytes(forged), {datagram[:16]: key})


    def test_wire_reads_and_seals_the_worked_datagram(self):
        datagram = bytes.fromhex("".join(
            next(b for b in code_blocks(self.heartbeat) if re.fullmatch(r"[0-9a-f\n]+", b))
            .split()))
        key = bytes(range(32))
        beat = wire.open_heartbeat(datagram, key)
        self.assertEqual(beat.plaintext.decode(),
                         re.search(r"decrypts to\n`(\{.*?\})`", self.heartbeat).group(1))
        self.assertIn(f"`{beat.token}`", self.heartbeat)
        self.assertEqual(wire.seal_heartbeat(beat.token, key, beat.plaintext, beat.iv), datagram)


class AnswerDocumentTest(unittest.TestCase):
    def setUp(self):
        self.text = document("rest-api.md")

    def test_head_fields_in_the_documented_order(self):
        table = section(self.text, "Answers").split("### Errors")[0]
        self.assertEqual(re.findall(r"^\| `([A-Za-z-]+)` \|", table, re.MULTILINE),
                         wire.ANSWER_FIELDS)

    def test_documented_scripts_read_what_wire_seals(self):
        """The worked example's key script, then an answer sealed to its key, read by the
        decrypt script as a display would and by vesktest.wire."""
        make_key, _, decrypt = [block for block in code_blocks(
            section(self.text, "Worked example"), "sh") if "python3 - <<'PY'" in block
            or "curl" in block][:3]
        answer = {"stream": 3735928559, "listen": "239.1.1.1:8554", "protocol": 3}
        with tempfile.TemporaryDirectory() as directory:
            subprocess.run(["sh", "-c", make_key], cwd=directory, check=True, timeout=60)
            with open(os.path.join(directory, "display.pem"), "rb") as f:
                private_key = serialization.load_pem_private_key(f.read(), None)
            with open(os.path.join(directory, "request.json"), encoding="ascii") as f:
                their_der = base64.b64decode(json.load(f)["pk"])
            raw, key = wire.seal_answer(their_der, answer)
            head, _, body = raw.partition(b"\r\n\r\n")
            with open(os.path.join(directory, "head.txt"), "wb") as f:
                f.write(head + b"\r\n\r\n")
            with open(os.path.join(directory, "answer.bin"), "wb") as f:
                f.write(body)
            shown = subprocess.run(["sh", "-c", decrypt], cwd=directory, capture_output=True,
                                   text=True, check=True, timeout=60)
        self.assertEqual(json.loads(shown.stdout), answer)
        peer = wire.Peer()
        peer.private_key = private_key
        opened, agreed, _ = wire.open_encrypted(peer, wire.parse_response(raw))
        self.assertEqual((opened, agreed), (answer, key))


class DeliveryDocumentTest(unittest.TestCase):
    def test_transaction_file_of_the_documented_command(self):
        text = document("delivery.md")
        command = re.search(r"^    (cd content && xxhsum -H1 .*> TF)$", text, re.MULTILINE)
        names = command.group(1).split("xxhsum -H1 ")[1].split(" > ")[0].split()
        with tempfile.TemporaryDirectory() as directory:
            for number, name in enumerate(names):
                path = os.path.join(directory, "content", name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(b"file %d\n" % number)
            subprocess.run(["sh", "-c", command.group(1)], cwd=directory, check=True, timeout=60)
            with open(os.path.join(directory, "content", "TF"), "rb") as f:
                written = f.read()
        entries = wire.read_tf(written)
        self.assertEqual([name for _, name in entries], names)
        self.assertEqual(b"".join(wire.tf_line(digest, name) for digest, name in entries),
                         written)
        # A checksum that is not 16 lower-case digits, or one space, is no line of TF.
        for damaged in (written.replace(b"  ", b" ", 1), written.upper()):
            with self.assertRaises(AssertionError):
                wire.read_tf(damaged)


class PlaylistDocumentTest(unittest.TestCase):
    def setUp(self):
        self.playlist = document("playlist.md")
        self.example = section(self.playlist, "A worked example")

    def test_the_example_is_the_sample_week(self):
        with open(os.path.join(SOURCE, "docs", "sample-week.ini"), encoding="utf-8") as f:
            sample = f.read()
        shown = code_blocks(self.example, "ini")[0]
        self.assertEqual(sample[sample.index("[shop]\n"):], shown)

    def test_each_moment_shows_what_the_generator_plays(self):
        rows = re.findall(r"^\| (\d{4}-\d\d-\d\d \d\d:\d\d) \w+ \| `([^`]+)` \|", self.example,
                          re.MULTILINE)
        self.assertGreaterEqual(len(rows), 6)
        for moment, expected in rows:
            with self.subTest(moment=moment):
                self.assertEqual(self.on_screen(datetime.datetime.fromisoformat(moment)),
                                 expected)

    def on_screen(self, moment):
        """playlist/file of the slot that holds the local moment, or "placeholder" when idle."""
        start = moment.strftime("%Y-%m-%dT%H:%M")
        end = (moment + datetime.timedelta(minutes=1)).strftime("%Y-%m-%dT%H:%M")
        shown = subprocess.run(
            [os.path.join(BIN, "vesk-schedule"), "docs/sample-week.ini", "--from", start,
             "--to", end], cwd=SOURCE, capture_output=True, text=True, timeout=60,
            env=dict(os.environ, TZ="Europe/Berlin"), check=True)
        first = shown.stdout.splitlines()[0].split("\t")
        slot_start = datetime.datetime.fromisoformat(first[0]).replace(tzinfo=None)
        self.assertLessEqual(slot_start, moment)
        return "placeholder" if first[2] == "idle" else f"{first[2]}/{first[3]}"


class PlaysDocumentTest(unittest.TestCase):
    def test_the_segment_reads_out_as_shown(self):
        example = section(document("plays.md"), "A worked example")
        segment = code_blocks(example)[0]
        after_zero, limited = code_blocks(example, "json")
        ledger = re.search(r"Its identity is `([0-9a-f-]{36})`", example).group(1)
        with tempfile.TemporaryDirectory() as directory:
            with open(os.path.join(directory, "ledger"), "w", encoding="ascii") as f:
                f.write(ledger + "\n")
            with open(os.path.join(directory, "segment-00000000000000000001"), "w",
                      encoding="utf-8") as f:
                f.write(segment)
            for arguments, shown in ((["--after", "0"], after_zero),
                                     (["--after", "1", "--limit", "2"], limited)):
                with self.subTest(arguments=arguments):
                    printed = subprocess.run(
                        [os.path.join(BIN, "vesk-plays"), "--dir", directory, *arguments],
                        capture_output=True, text=True, timeout=60, check=True)
                    self.assertEqual(printed.stdout, shown)
        # Every line of the segment is whole: its checksum is the XXH64 of its JSON text.
        for line in segment.splitlines():
            digest = subprocess.run(["xxhsum", "-H1"], input=line[17:].encode(),
                                    capture_output=True, check=True).stdout[:16].decode()
            self.assertEqual(line[:16], digest, line)


if __name__ == "__main__":
    unittest.main()
