"""Enrolment material and configuration files, made independently of the client under test.

An enrolment blob is nonce(12) || AES-256-GCM ciphertext || tag(16) of a JSON value, under a
32-byte key; both travel as base64url without padding. The configuration file is the TSR1
container: "TSR1" || first 16 bytes of HMAC-SHA256 over the rest || nonce || AES-128-GCM
ciphertext || tag, with both keys derived by HKDF-SHA256 (no salt) from the client's fixed
12-byte constant, info "key" and "hmac".
"""
import base64
import hmac as std_hmac
import json
import os

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

CONTAINER_CONSTANT = b"tessarin-cfg"
BLOB_FIELDS = ("agent_id", "l2", "vault_id", "pop", "pop_pub", "replica_host", "replica_pub")


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def derive(ikm: bytes, info: bytes, length: int) -> bytes:
    return HKDF(hashes.SHA256(), length, None, info).derive(ikm)


def seal(key: bytes, plaintext: bytes, nonce: bytes = None) -> bytes:
    nonce = nonce if nonce is not None else os.urandom(12)
    return nonce + AESGCM(key).encrypt(nonce, plaintext, None)


def new_vault_id() -> str:
    """16 lower-case hex digits: an issuer byte of 1..127 and a non-zero random part."""
    while True:
        v = int.from_bytes(os.urandom(8), "big") & 0x7FFFFFFFFFFFFFFF
        if v >> 56 and v & ((1 << 56) - 1):
            return "%016x" % v


class Material:
    """One enrolment: the blob and key texts, and the values sealed inside."""

    def __init__(self, blob: str, key: str, fields: dict, key_bytes: bytes):
        self.blob = blob
        self.key = key
        self.fields = fields
        self.key_bytes = key_bytes

    def stdin(self) -> bytes:
        """The two-line piped form: blob, then key."""
        return (self.blob + "\n" + self.key + "\n").encode()

    def secrets(self) -> list:
        """Texts that must never appear in any output of the client."""
        out = [self.key, self.key_bytes.hex()]
        for name in ("l2",):
            value = self.fields.get(name)
            if isinstance(value, str) and value:
                out += [value, value.lower(), value.upper()]
        return out


def mint(pop="vault.example", pop_pub=None, agent_id=None, l2=None, vault_id=None, replica_host=None,
         replica_pub=None, omit=(), extra=None, array=False, plaintext=None, key=None) -> Material:
    """A sealed blob. Fields default to valid random values; `omit` drops members, `extra` adds
    some, `array` writes the seven values as a JSON array, `plaintext` replaces the JSON."""
    fields = {
        "agent_id": agent_id if agent_id is not None else os.urandom(16).hex(),
        "l2": l2 if l2 is not None else os.urandom(16).hex(),
        "vault_id": vault_id if vault_id is not None else new_vault_id(),
        "pop": pop,
        "pop_pub": pop_pub if pop_pub is not None else os.urandom(32).hex(),
    }
    if replica_host is not None:
        fields["replica_host"] = replica_host
    if replica_pub is not None:
        fields["replica_pub"] = replica_pub
    for name in omit:
        fields.pop(name, None)
    if extra:
        fields.update(extra)
    if plaintext is None:
        if array:
            doc = [fields.get(name, "" if name.startswith("replica") else None) for name in BLOB_FIELDS]
        else:
            doc = fields
        plaintext = json.dumps(doc, ensure_ascii=False)
    if isinstance(plaintext, str):
        plaintext = plaintext.encode()
    key_bytes = key if key is not None else os.urandom(32)
    # A base64url text may begin with "-", which a command line reads as an option: tests that
    # pass the blob as an argument need one that does not (a person would write `init -- BLOB`).
    sealed = seal(key_bytes, plaintext)
    while b64url(sealed).startswith("-"):
        sealed = seal(key_bytes, plaintext)
    return Material(b64url(sealed), b64url(key_bytes), fields, key_bytes)


def container_keys():
    return derive(CONTAINER_CONSTANT, b"key", 16), derive(CONTAINER_CONSTANT, b"hmac", 16)


def open_container(data: bytes) -> bytes:
    """The plaintext of a configuration file; raises ValueError when it does not verify."""
    if len(data) < 48:
        raise ValueError("too short")
    if data[:4] != b"TSR1":
        raise ValueError("wrong magic")
    enc_key, mac_key = container_keys()
    h = hmac.HMAC(mac_key, hashes.SHA256())
    h.update(data[20:])
    if not std_hmac.compare_digest(h.finalize()[:16], data[4:20]):
        raise ValueError("MAC mismatch")
    return AESGCM(enc_key).decrypt(data[20:32], data[32:], None)


def seal_container(plaintext: bytes) -> bytes:
    enc_key, mac_key = container_keys()
    body = seal(enc_key, plaintext)
    h = hmac.HMAC(mac_key, hashes.SHA256())
    h.update(body)
    return b"TSR1" + h.finalize()[:16] + body
