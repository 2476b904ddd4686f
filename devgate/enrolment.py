"""Enrolment material: an agent's sealed blob and its key, as the vault's user interface hands
them out, and the malformed variants of them that enrolment tests feed a client."""
import base64
import dataclasses
import json
import os
from typing import Callable

from . import wire
from .errors import GateSetupError
from .vault import DataDir

# The details of a correct client's TS-2001 refusals.
NOT_B64URL = "enrollment blob or key is not base64url"
KEY_LENGTH = "enrollment key must be 32 bytes (base64url of a 256-bit key)"
OLD_VAULT_ID = "enrollment blob carries an old-form vault id — mint a new blob"
NO_POP_PUB = ("this enrollment blob is from before blobs carried the POP key — make a new client blob"
              " in the vault and connect again")
NOT_AUTH = "enrollment blob did not authenticate — wrong key or corrupt blob"
EMPTY_POP = "enrollment blob carried an empty pop/host"

# The members of a blob, in the order a blob in array form lists them.
BLOB_MEMBERS = ("agent_id", "l2", "vault_id", "pop", "pop_pub", "replica_host", "replica_pub")


def _unchanged(blob: dict) -> dict:
    return blob


def _as_object(blob: dict) -> str:
    return json.dumps(blob, ensure_ascii=False)


def _new_key() -> bytes:
    return os.urandom(32)


@dataclasses.dataclass(frozen=True)
class Variant:
    """What a correct client does with one variant of the material, and each step of making it
    that differs from sound material."""

    # "enrols", the detail of the client's refusal, or "enrols; gate: ..." for material that
    # enrols an agent the gate then refuses.
    expect: str
    blob: Callable[[dict], dict] = _unchanged  # the blob's members
    plaintext: Callable[[dict], str] = _as_object  # the members as the text that is sealed
    key: Callable[[], bytes] = _new_key
    blob_text: Callable[[bytes], str] = wire.b64url_encode  # the sealed blob as handed out
    key_text: Callable[[bytes], str] = wire.b64url_encode


def _member(name, change):
    """A blob whose member `name` is change(its value)."""
    return lambda blob: {**blob, name: change(blob[name])}


def _upper(*names):
    return lambda blob: {**blob, **{name: blob[name].upper() for name in names}}


def _with(**members):
    return lambda blob: {**blob, **members}


def _without(*names):
    return lambda blob: {k: v for k, v in blob.items() if k not in names}


def _upper_vault_id(vault_id: str) -> str:
    upper = vault_id.upper()
    return upper if upper != vault_id else upper[:15] + "A"  # all digits: force a letter


def _other_vault_id(vault_id: str) -> str:
    while True:
        other = "%016x" % wire.new_vault_id()
        if other != vault_id:
            return other


def _key_not_base64url() -> bytes:
    """A key whose standard base64 holds a "+" or "/", so that it is not base64url."""
    while True:
        key = os.urandom(32)
        if {"+", "/"} & set(base64.b64encode(key).decode()):
            return key


def _padded(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode()


def _blanks_around(before, after):
    return lambda data: before + wire.b64url_encode(data) + after


def _text_edit(edit):
    """The base64url text of the data, then edit(text)."""
    return lambda data: edit(wire.b64url_encode(data))


def _bytes_edit(edit):
    """edit(data), then its base64url text."""
    return lambda data: wire.b64url_encode(edit(data))


def _flip_bit(data: bytes, offset: int) -> bytes:
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1:]


VARIANTS = {
    "ok": Variant("enrols"),
    "padded": Variant("enrols", blob_text=_padded, key_text=_padded),  # trailing "=" padding
    "upper-pop-pub": Variant("enrols", blob=_upper("pop_pub")),  # stored lower case
    "upper-hex": Variant("enrols", blob=_upper("agent_id", "l2")),
    "pop-trailing-slash": Variant("enrols", blob=_member("pop", lambda pop: pop + "/")),  # vault_url without it
    "array-form": Variant("enrols", plaintext=lambda b: json.dumps([b.get(m, "") for m in BLOB_MEMBERS])),
    "extra-field": Variant("enrols", blob=_with(issued_by="devgate")),  # an unknown member beside the seven
    "no-replica-fields": Variant("enrols", blob=_without("replica_host", "replica_pub")),
    # replica_host set, replica_pub empty: no replica used
    "replica-empty-pub": Variant("enrols", blob=lambda b: {**b, "replica_host": b.get("replica_host") or "127.0.0.1:9",
                                                            "replica_pub": ""}),
    "blank-around": Variant("enrols", blob_text=_blanks_around("  ", "  "), key_text=_blanks_around("  ", " ")),
    "no-pop-pub": Variant(NO_POP_PUB, blob=_without("pop_pub")),
    "null-pop-pub": Variant(NO_POP_PUB, blob=_with(pop_pub=None)),
    "blank-pop-pub": Variant(NO_POP_PUB, blob=_with(pop_pub="   ")),
    "short-pop-pub": Variant(NOT_AUTH, blob=_member("pop_pub", lambda v: v[:63])),  # 63 hex digits
    "nonhex-pop-pub": Variant(NOT_AUTH, blob=_member("pop_pub", lambda v: v[:63] + "g")),
    "bad-json": Variant(NOT_AUTH, plaintext=lambda b: json.dumps(b)[:-1]),  # plaintext is not JSON
    "not-object": Variant(NOT_AUTH, plaintext=lambda b: "42"),  # plaintext is a JSON number
    "missing-agent-id": Variant(NOT_AUTH, blob=_without("agent_id")),  # a required member absent
    "missing-pop": Variant(NOT_AUTH, blob=_without("pop")),
    "bad-agent-id": Variant(NOT_AUTH, blob=_member("agent_id", lambda v: v[:31])),  # 31 hex digits
    "nonhex-agent-id": Variant(NOT_AUTH, blob=_member("agent_id", lambda v: v[:31] + "z")),
    "bad-l2": Variant(NOT_AUTH, blob=_member("l2", lambda v: v + "00")),  # 34 hex digits
    "upper-vault-id": Variant(OLD_VAULT_ID, blob=_member("vault_id", _upper_vault_id)),
    "0x-vault-id": Variant(OLD_VAULT_ID, blob=_member("vault_id", lambda v: "0x" + v[2:])),
    "issuer-zero-vault-id": Variant(OLD_VAULT_ID, blob=_member("vault_id", lambda v: "00" + v[2:])),
    "short-vault-id": Variant(OLD_VAULT_ID, blob=_member("vault_id", lambda v: v[:15])),  # 15 hex digits
    "empty-pop": Variant(EMPTY_POP, blob=_with(pop="")),
    "blank-pop": Variant(EMPTY_POP, blob=_with(pop="   ")),
    "newline-pop": Variant(EMPTY_POP, blob=_member("pop", lambda pop: pop + "\nevil.example")),
    "wrong-key": Variant(NOT_AUTH, key_text=lambda key: wire.b64url_encode(_new_key())),  # key of another blob
    "short-key": Variant(KEY_LENGTH, key_text=_bytes_edit(lambda key: key[:31])),
    "long-key": Variant(KEY_LENGTH, key_text=_bytes_edit(lambda key: key + b"\x00")),
    # the key in the standard alphabet, with "+" or "/"
    "std-b64-key": Variant(NOT_B64URL, key=_key_not_base64url,
                           key_text=lambda key: base64.b64encode(key).decode().rstrip("=")),
    "blob-not-b64": Variant(NOT_B64URL, blob_text=_text_edit(lambda t: t[:10] + "*" + t[11:])),
    "blob-with-blank": Variant(NOT_B64URL, blob_text=_text_edit(lambda t: t[:10] + " " + t[10:])),
    # 20 bytes: shorter than an AEAD message
    "truncated-blob": Variant(NOT_AUTH, blob_text=_bytes_edit(lambda sealed: sealed[:20])),
    # one bit of the ciphertext flipped
    "tampered-blob": Variant(NOT_AUTH, blob_text=_bytes_edit(lambda sealed: _flip_bit(sealed, 20))),
    "wrong-pop-pub": Variant("enrols; gate: handshake refused (HTTP 404, dark gate)",
                             blob=_member("pop_pub", lambda _: wire.public_key(wire.new_private_key()).hex())),
    "wrong-l2": Variant("enrols; gate: error auth: agent key mismatch",
                        blob=_member("l2", lambda _: os.urandom(16).hex())),
    "unknown-agent": Variant("enrols; gate: error auth: unknown agent",
                             blob=_member("agent_id", lambda _: os.urandom(16).hex())),
    "wrong-vault": Variant("enrols; gate: error auth: unknown vault", blob=_member("vault_id", _other_vault_id)),
}


def seal(variant: Variant, blob: dict) -> tuple:
    """The blob sealed under a new key: (blob text, key text), as the variant makes them."""
    plaintext = variant.plaintext(variant.blob(blob))
    key = variant.key()
    sealed = wire.aead_seal(key, plaintext.encode("utf-8"))
    return variant.blob_text(sealed), variant.key_text(key)


def mint_agent(datadir: DataDir, name, variant="ok", replica=None, replica_host=None, replica_pub=None, pop=None,
               l2=None) -> dict:
    """Registers the agent (or reuses one of that name) and seals its enrolment blob."""
    if variant not in VARIANTS:
        raise GateSetupError("unknown variant %r (known: %s)" % (variant, ", ".join(sorted(VARIANTS))))
    agent = _register(datadir.store(), name, l2)
    pop = pop if pop is not None else datadir.host()
    rep_host, rep_pub = _replica(replica, replica_host, replica_pub)
    details = {
        "agent_id": agent["agent_id"],
        "l2": agent["l2"],
        "vault_id": agent["vault_id"],
        "pop": pop,
        "pop_pub": datadir.gate_pub_hex(),
        "replica_host": rep_host,
        "replica_pub": rep_pub,
    }
    blob = dict(details)
    if not rep_host and not rep_pub:
        del blob["replica_host"], blob["replica_pub"]
    blob_text, key_text = seal(VARIANTS[variant], blob)
    return {"blob": blob_text, "key": key_text, "name": name, **details, "variant": variant,
            "expect": VARIANTS[variant].expect}


def _register(store, name, l2):
    """The agent of that name, registered with a new agent id and L2 key when it is new."""
    agent = store.agent_by_name(name)
    if agent is None:
        agent_id = os.urandom(16)
        l2_key = bytes.fromhex(l2) if l2 else os.urandom(16)
        store.add_agent(name, agent_id, l2_key, store.home_vault_id())
        return store.agent_by_name(name)
    if l2 and l2.lower() != agent["l2"]:
        raise GateSetupError("agent %r exists with another L2 key" % name)
    return agent


def _replica(replica, replica_host, replica_pub) -> tuple:
    """(host, static key) of the replica the blob names: a replica's data directory, or as given."""
    host, pub = "", ""
    if replica is not None:
        rd = DataDir(replica)
        host, pub = rd.host(), rd.gate_pub_hex()
    if replica_host is not None:
        host = replica_host
    if replica_pub is not None:
        pub = replica_pub
    return host, pub
