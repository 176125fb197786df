#!/usr/bin/python3
# A peer that is not ours, built on python3-cryptography, for the interoperability tests.
#   gcm_peer.py keygen    -> {"private": PKCS#8 DER, "public": SubjectPublicKeyInfo DER}
#   gcm_peer.py exchange  <- {"private", "peer", "iv", "ciphertext", "tag", "reply"}
#                         -> {"key", "plaintext", "iv", "ciphertext", "tag"}
# All byte strings are Base64.
import base64
import json
import os
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


def b64(data):
    return base64.b64encode(data).decode()


def unb64(text):
    return base64.b64decode(text, validate=True)


def keygen():
    key = ec.generate_private_key(ec.SECP256R1())
    private = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    public = key.public_key().public_bytes(serialization.Encoding.DER,
                                           serialization.PublicFormat.SubjectPublicKeyInfo)
    return {"private": b64(private), "public": b64(public)}


def exchange(request):
    own = serialization.load_der_private_key(unb64(request["private"]), None)
    peer = serialization.load_der_public_key(unb64(request["peer"]))
    secret = own.exchange(ec.ECDH(), peer)
    key = HKDF(algorithm=hashes.SHA256(), length=32, salt=b"", info=b"").derive(secret)
    aes = AESGCM(key)
    plaintext = aes.decrypt(unb64(request["iv"]),
                            unb64(request["ciphertext"]) + unb64(request["tag"]), None)
    iv = os.urandom(12)
    sealed = aes.encrypt(iv, unb64(request["reply"]), None)
    return {"key": b64(key), "plaintext": b64(plaintext), "iv": b64(iv),
            "ciphertext": b64(sealed[:-16]), "tag": b64(sealed[-16:])}


if __name__ == "__main__":
    if sys.argv[1] == "keygen":
        answer = keygen()
    else:
        answer = exchange(json.load(sys.stdin))
    json.dump(answer, sys.stdout)
