"""The one Python reading of each wire format the tests meet, as docs/ describes it (and
tests/docs/test_docs.py holds against its worked examples):

- the encrypted answer of the REST API (docs/rest-api.md, "Success: the encrypted answer");
- the heartbeat datagram (docs/rest-api.md, "The heartbeat");
- a line of the transaction file TF (docs/delivery.md, "What a delivery is").

Cryptography is Python's own `cryptography` package, never our code.
"""

import base64
import json
import os
import re
import uuid
from dataclasses import dataclass, field

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

# Fixed by the register's cryptography: AES-256-GCM with a 12-byte IV and a 16-byte tag.
IV_LENGTH = 12
TAG_LENGTH = 16
TOKEN_LENGTH = 16
KEY_LENGTH = 32

# The head of an encrypted answer, field for field in this order.
ANSWER_FIELDS = ["Content-Encoding", "X-PK", "X-IV", "Content-Type", "Content-Length"]

# 16 hexadecimal digits of XXH64, two spaces, the path, a line feed.
TF_LINE = re.compile(rb"([0-9a-f]{16})  (.+)")


def agree(private_key, their_der):
    """The key both sides agree: ECDH, then HKDF-SHA256 with an empty salt and info."""
    secret = private_key.exchange(ec.ECDH(), serialization.load_der_public_key(their_der))
    return HKDF(algorithm=hashes.SHA256(), length=KEY_LENGTH, salt=b"", info=b"").derive(secret)


class Peer:
    """One side of the register's key agreement: a management server or a display."""

    def __init__(self):
        self.private_key = ec.generate_private_key(ec.SECP256R1())

    def public_der(self):
        return self.private_key.public_key().public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)

    def public_base64(self):
        return base64.b64encode(self.public_der()).decode("ascii")

    def derive(self, their_der):
        return agree(self.private_key, their_der)


def decrypt(key, iv, ciphertext_and_tag):
    """AES-256-GCM without additional data; raises when the tag does not match."""
    return AESGCM(key).decrypt(iv, ciphertext_and_tag, None)


@dataclass
class Response:
    status: int
    reason: str
    headers: list = field(default_factory=list)  # (name, value) pairs in the order received
    body: bytes = b""
    raw: bytes = b""
    seconds: float = 0.0

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def header_names(self):
        return [key for key, _ in self.headers]


def parse_response(raw):
    head, separator, body = raw.partition(b"\r\n\r\n")
    if not separator:
        raise AssertionError(f"no complete response head in {raw!r}")
    lines = head.decode("latin-1").split("\r\n")
    version, _, rest = lines[0].partition(" ")
    code, _, reason = rest.partition(" ")
    if version != "HTTP/1.1" or not code.isdigit():
        raise AssertionError(f"not an HTTP/1.1 status line: {lines[0]!r}")
    headers = []
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.append((name, value.strip()))
    return Response(int(code), reason, headers, body, raw)


def open_encrypted(peer, response):
    """Checks the head of an encrypted answer and decrypts its body as the peer does; returns
    the answer's JSON, the agreed key and the register's public key (DER)."""
    if response.status != 200:
        raise AssertionError(f"expected 200, got {response.status} {response.reason}: "
                             f"{response.body!r}")
    if response.header_names() != ANSWER_FIELDS:
        raise AssertionError(f"head fields {response.header_names()}, expected {ANSWER_FIELDS}")
    if response.header("Content-Encoding") != "x-aes-gcm":
        raise AssertionError(f"Content-Encoding {response.header('Content-Encoding')!r}")
    if response.header("Content-Type") != "application/json":
        raise AssertionError(f"Content-Type {response.header('Content-Type')!r}")
    if int(response.header("Content-Length")) != len(response.body):
        raise AssertionError("Content-Length does not match the body")
    service_key = base64.b64decode(response.header("X-PK"), validate=True)
    iv = base64.b64decode(response.header("X-IV"), validate=True)
    if len(iv) != IV_LENGTH:
        raise AssertionError(f"IV of {len(iv)} bytes")
    key = peer.derive(service_key)
    return json.loads(decrypt(key, iv, response.body)), key, service_key


def seal_answer(their_der, document):
    """An encrypted answer to the peer whose public key is `their_der`, as a register sends it:
    the head and body bytes, and the key agreed."""
    own = Peer()
    key = own.derive(their_der)
    iv = os.urandom(IV_LENGTH)
    body = AESGCM(key).encrypt(iv, json.dumps(document, separators=(",", ":")).encode(), None)
    head = (f"HTTP/1.1 200 OK\r\nContent-Encoding: x-aes-gcm\r\nX-PK: {own.public_base64()}\r\n"
            f"X-IV: {base64.b64encode(iv).decode()}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n\r\n")
    return head.encode() + body, key


@dataclass
class Heartbeat:
    token: uuid.UUID
    iv: bytes
    sealed: bytes  # the ciphertext and its tag
    plaintext: bytes
    state: dict  # the plaintext's JSON


def open_heartbeat(datagram, key):
    """Splits a heartbeat datagram as the server does and decrypts it under the pairing's key;
    raises when it is too short to hold a tag or does not decrypt."""
    if len(datagram) <= TOKEN_LENGTH + IV_LENGTH + TAG_LENGTH:
        raise AssertionError(f"a heartbeat of {len(datagram)} bytes holds no plaintext")
    token = uuid.UUID(bytes=datagram[:TOKEN_LENGTH])
    iv = datagram[TOKEN_LENGTH:TOKEN_LENGTH + IV_LENGTH]
    sealed = datagram[TOKEN_LENGTH + IV_LENGTH:]
    plaintext = decrypt(key, iv, sealed)
    return Heartbeat(token, iv, sealed, plaintext, json.loads(plaintext))


def seal_heartbeat(token, key, plaintext, iv=None):
    """The datagram a register sends: token (a UUID or its 16 bytes), IV, ciphertext and tag."""
    iv = os.urandom(IV_LENGTH) if iv is None else iv
    token = token.bytes if isinstance(token, uuid.UUID) else token
    return token + iv + AESGCM(key).encrypt(iv, plaintext, None)


def tf_line(digest, name):
    """One line of TF: `digest` an XXH64 as a number or as its 16 hexadecimal digits, `name` the
    path as text or bytes."""
    digest = f"{digest:016x}" if isinstance(digest, int) else digest
    name = name if isinstance(name, bytes) else name.encode()
    return digest.encode() + b"  " + name + b"\n"


def read_tf(data):
    """The (digest, name) pairs of a TF's bytes, in order; raises on a line that is not one."""
    entries = []
    if not data:
        return entries
    for number, line in enumerate(data.split(b"\n")[:-1] if data.endswith(b"\n")
                                  else data.split(b"\n"), 1):
        match = TF_LINE.fullmatch(line)
        if not match:
            raise AssertionError(f"line {number} of TF is not a checksum and a path: {line!r}")
        entries.append((match.group(1).decode(), match.group(2).decode()))
    return entries
