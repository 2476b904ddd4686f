"""Byte-level building blocks shared by the development gate and its Python client helpers.

Everything here is exact about encodings: standard base64 with padding for field values and
HTTP bodies, base64url without padding for tokens and enrolment material, CRC-32 (zlib) for the
token check value, HKDF-SHA256 with an absent salt, and the AEAD message nonce(12) || ct || tag(16).
"""
import base64
import binascii
import functools
import hashlib
import hmac
import json
import os
import re
import struct
import zlib

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from dissononce.cipher.aesgcm import AESGCMCipher
from dissononce.dh.keypair import KeyPair
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.public import PublicKey
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.hash.sha256 import SHA256Hash
from dissononce.processing.handshakepatterns.interactive.IK import IKHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState

NOISE_PROLOGUE = b"tessarin-noise-v1"
NOISE_PROTOCOL = "Noise_IK_25519_AESGCM_SHA256"
PAYLOAD_MARKER = 0x10
TOKEN_LENGTH = 93
TOKEN_FORMAT_BYTE = 0x02
MAX_REPLY_BODY = 4194304

_STD_B64 = re.compile(r"\A[A-Za-z0-9+/]*={0,2}\Z")
_URL_B64 = re.compile(r"\A[A-Za-z0-9_-]*\Z")


# ---------------------------------------------------------------------------
# Encodings


def b64std_encode(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def b64std_decode(text: str) -> bytes:
    """Strict standard base64: padding required, canonical trailing bits."""
    if not isinstance(text, str) or len(text) % 4 != 0 or not _STD_B64.match(text):
        raise ValueError("not padded standard base64")
    data = base64.b64decode(text, validate=True)
    if b64std_encode(data) != text:
        raise ValueError("non-canonical base64")
    return data


def b64url_encode(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode("ascii").rstrip("=")


def b64url_decode(text: str) -> bytes:
    """Strict base64url without padding (canonical trailing bits)."""
    if not isinstance(text, str) or not _URL_B64.match(text) or len(text) % 4 == 1:
        raise ValueError("not base64url")
    data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    if b64url_encode(data) != text:
        raise ValueError("non-canonical base64url")
    return data


def crc32_be(data: bytes) -> bytes:
    return struct.pack(">I", zlib.crc32(data) & 0xFFFFFFFF)


# ---------------------------------------------------------------------------
# Key derivation and AEAD


def derive_key(ikm: bytes, info: bytes, length: int, salt: bytes = None) -> bytes:
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(ikm)


def aead_seal(key: bytes, plaintext: bytes, nonce: bytes = None) -> bytes:
    if len(key) not in (16, 32):
        raise ValueError("key must be 16 or 32 bytes")
    nonce = nonce if nonce is not None else os.urandom(12)
    return nonce + AESGCM(key).encrypt(nonce, plaintext, None)


def aead_open(key: bytes, message: bytes) -> bytes:
    if len(message) < 28:
        raise ValueError("AEAD message shorter than 28 bytes")
    if len(key) not in (16, 32):
        raise ValueError("key must be 16 or 32 bytes")
    return AESGCM(key).decrypt(message[:12], message[12:], None)


def field_key(l2: bytes, label: str) -> bytes:
    return derive_key(l2, b"tessarin-field-" + label.encode("utf-8"), 32)


def encrypt_field(l2: bytes, label: str, plaintext) -> str:
    if isinstance(plaintext, str):
        plaintext = plaintext.encode("utf-8")
    return b64std_encode(aead_seal(field_key(l2, label), plaintext))


def decrypt_field(l2: bytes, label: str, value: str) -> str:
    return aead_open(field_key(l2, label), b64std_decode(value)).decode("utf-8")


# ---------------------------------------------------------------------------
# Agent token (TSK)


def token_key(vault_id: int) -> bytes:
    return derive_key(struct.pack(">Q", vault_id), b"tsk-envelope", 16)


def mint_token(vault_id: int, l2: bytes, agent_id: bytes, nonce: bytes = None) -> str:
    """The agent token exactly as an enrolled client mints it."""
    if len(l2) != 16 or len(agent_id) != 16:
        raise ValueError("l2 and agent_id must be 16 bytes")
    ikm = struct.pack(">Q", vault_id)
    sealed = aead_seal(token_key(vault_id), l2[:8] + agent_id, nonce)
    body = bytes([TOKEN_FORMAT_BYTE]) + ikm + sealed
    s = "tsk_" + b64url_encode(body)
    return s + "." + b64url_encode(crc32_be(s.encode("ascii")))


class TokenRefused(Exception):
    """A token the gate does not accept; the text is the reason given back to the caller."""


def open_token(token) -> tuple:
    """Structure, check value and AEAD of a token: returns (vault_id, l1_key, agent_id)."""
    if not isinstance(token, str) or not token.startswith("tsk_"):
        raise TokenRefused("token is not in TSK format")
    if len(token) != TOKEN_LENGTH or token.count(".") != 1 or token.index(".") != 86:
        raise TokenRefused("token is not in TSK format")
    head, check = token[:86], token[87:]
    try:
        check_bytes = b64url_decode(check)
        body = b64url_decode(head[4:])
    except (ValueError, binascii.Error):
        raise TokenRefused("token is not in TSK format")
    if len(check_bytes) != 4 or len(body) != 61:
        raise TokenRefused("token is not in TSK format")
    if not hmac.compare_digest(check_bytes, crc32_be(head.encode("ascii"))):
        raise TokenRefused("token check value mismatch")
    if body[0] != TOKEN_FORMAT_BYTE:
        raise TokenRefused("token format byte is not 0x02")
    vault_id = struct.unpack(">Q", body[1:9])[0]
    try:
        plain = aead_open(token_key(vault_id), body[9:])
    except Exception:
        raise TokenRefused("token did not authenticate")
    return vault_id, plain[:8], plain[8:]


# ---------------------------------------------------------------------------
# Vault ids


def vault_id_reason(text) -> str:
    """None for a valid 16-hex vault id, else the reason word a client gives."""
    if not isinstance(text, str) or len(text) != 16:
        return "wrong_length"
    if text[0] == "0" and text[1] in "xX":
        return "hex_prefix"
    for ch in text:
        if ch in "0123456789abcdef":
            continue
        if ch in "ABCDEF":
            return "uppercase"
        if ch in "\t\n\f\r ":
            return "whitespace"
        if ch in "+-":
            return "sign"
        return "invalid_char"
    v = int(text, 16)
    if v == 0:
        return "zero"
    if v >> 63:
        return "top_bit_set"
    if v < (1 << 56):
        return "issuer_zero"
    if v & ((1 << 56) - 1) == 0:
        return "random_part_zero"
    return None


def new_vault_id() -> int:
    issuer = 1 + os.urandom(1)[0] % 127
    rand = 0
    while rand == 0:
        rand = int.from_bytes(os.urandom(7), "big")
    return (issuer << 56) | rand


# ---------------------------------------------------------------------------
# JSON


def canonical_json(value) -> str:
    """Compact JSON with object members in ascending key order (code point order equals
    UTF-8 byte order), non-ASCII kept as UTF-8."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def envelope_text(action: str, cred, content) -> str:
    """The request envelope: action, cred, content in that order; content only when not None."""
    out = '{"action":' + json.dumps(action, ensure_ascii=False)
    if cred is not None:
        out += ',"cred":' + json.dumps(cred, ensure_ascii=False)
    if content is not None:
        out += ',"content":' + canonical_json(content)
    return out + "}"


class DuplicateKey(ValueError):
    pass


def _no_duplicates(pairs):
    obj = {}
    for k, v in pairs:
        if k in obj:
            raise DuplicateKey("duplicate key %r" % k)
        obj[k] = v
    return obj


def strict_loads(text):
    """json.loads that refuses duplicate keys and NaN/Infinity."""

    def bad_constant(name):
        raise ValueError("invalid JSON constant %s" % name)

    return json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=bad_constant)


# ---------------------------------------------------------------------------
# Noise IK


def _key_pair(key: x25519.X25519PrivateKey) -> KeyPair:
    raw = serialization.Encoding.Raw
    public = key.public_key().public_bytes(raw, serialization.PublicFormat.Raw)
    private = key.private_bytes(raw, serialization.PrivateFormat.Raw, serialization.NoEncryption())
    return KeyPair(PublicKey(public), PrivateKey(private))


@functools.lru_cache(maxsize=16)
def _loaded(priv: bytes):
    """(key object, key pair) of a private key: loading a key costs more than a DH with it, and
    a gate's static key serves every request."""
    key = x25519.X25519PrivateKey.from_private_bytes(priv)
    return key, _key_pair(key)


def keypair_from_private(priv: bytes) -> KeyPair:
    return _loaded(bytes(priv))[1]


def public_key(priv: bytes) -> bytes:
    return keypair_from_private(priv).public.data


def new_private_key() -> bytes:
    return os.urandom(32)


class _FixedDH(X25519DH):
    """X25519 that loads each private key once (a static key through the cache, an ephemeral key
    kept as generated), its generated key pairs taken from a queue while it lasts (known-answer
    tests)."""

    def __init__(self, privates):
        super().__init__()
        self._queue = list(privates)
        self._generated = {}

    def generate_keypair(self, privatekey=None):
        if privatekey is None and self._queue:
            privatekey = PrivateKey(self._queue.pop(0))
        if privatekey is not None:
            return keypair_from_private(privatekey.data)
        key = x25519.X25519PrivateKey.generate()
        pair = _key_pair(key)
        self._generated[pair.private.data] = key
        return pair

    def dh(self, keypair, publickey):
        key = self._generated.get(keypair.private.data)
        if key is None:
            key = _loaded(bytes(keypair.private.data))[0]
        return key.exchange(x25519.X25519PublicKey.from_public_bytes(publickey.data))


def _handshake(initiator: bool, static_priv: bytes, ephemeral_priv, gate_pub: bytes = None):
    dh = _FixedDH([ephemeral_priv] if ephemeral_priv is not None else [])
    hs = HandshakeState(SymmetricState(CipherState(AESGCMCipher()), SHA256Hash()), dh)
    rs = PublicKey(bytes(gate_pub)) if gate_pub is not None else None
    hs.initialize(IKHandshakePattern(), initiator, NOISE_PROLOGUE, s=keypair_from_private(static_priv), rs=rs)
    return hs


def write_message(hs, payload: bytes) -> bytes:
    """The handshake's next message, carrying the payload."""
    out = bytearray()
    hs.write_message(bytes(payload), out)
    return bytes(out)


def read_message(hs, message: bytes) -> bytes:
    """The payload of the handshake's next message. Raises on any failure."""
    payload = bytearray()
    hs.read_message(bytes(message), payload)
    return bytes(payload)


def responder_read(static_priv: bytes, msg1: bytes, ephemeral_priv: bytes = None):
    """Reads message 1 as the gate; returns (handshake state, payload). Raises on any failure."""
    hs = _handshake(False, static_priv, ephemeral_priv)
    return hs, read_message(hs, msg1)


def initiator_write(gate_pub: bytes, payload: bytes, static_priv: bytes = None, ephemeral_priv: bytes = None):
    """Writes message 1 as a client; returns (handshake state, message 1)."""
    static_priv = static_priv if static_priv is not None else new_private_key()
    hs = _handshake(True, static_priv, ephemeral_priv, gate_pub)
    return hs, write_message(hs, payload)


def sha256(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()
