#!/usr/bin/python3
"""The other end of the REST API's encryption, as a management server or a display does it
(vesktest.wire's reading; the test puts tests/lib on PYTHONPATH).

  peer.py keygen KEYFILE                  new P-256 key into KEYFILE (PEM); prints Base64 DER
                                          of its public key (the "serverKey" / "pk" member)
  peer.py decrypt KEYFILE XPK XIV BODYHEX prints the shared key in hex on one line and the
                                          plaintext on the next
"""
import base64
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

from vesktest import wire


def keygen(path):
    key = ec.generate_private_key(ec.SECP256R1())
    with open(path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    der = key.public_key().public_bytes(serialization.Encoding.DER,
                                        serialization.PublicFormat.SubjectPublicKeyInfo)
    print(base64.b64encode(der).decode())


def decrypt(path, xpk, xiv, body_hex):
    with open(path, "rb") as f:
        own = serialization.load_pem_private_key(f.read(), None)
    key = wire.agree(own, base64.b64decode(xpk))
    plaintext = wire.decrypt(key, base64.b64decode(xiv), bytes.fromhex(body_hex))
    print(key.hex())
    print(plaintext.decode())


if __name__ == "__main__":
    if sys.argv[1] == "keygen":
        keygen(sys.argv[2])
    elif sys.argv[1] == "decrypt":
        decrypt(*sys.argv[2:6])
    else:
        sys.exit("unknown command " + sys.argv[1])
