"""A gate's data directory: its keys, certificate, port, fault queue and request log, and the
seeding of its store.

A data directory holds gate.json (its port, its static public key, where its shared state
lives), its own faults.json and requests.jsonl, and (unless it shares another directory's
state) static.key, cert.pem, cert-key.pem and vault.sqlite. A replica directory points at its
home directory with "share" and then uses the home's store and certificate, and the home's
static key unless it was initialised with its own.
"""
import contextlib
import datetime
import fcntl
import ipaddress
import json
import os
import pathlib
import socket
import struct
import threading

from . import wire
from .errors import GateSetupError
from .store import ConnectionPool, Store


def _write_private(path: pathlib.Path, data: bytes):
    fd = os.open(str(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def _json_text(value) -> str:
    return json.dumps(value, indent=2, sort_keys=True) + "\n"


def _atomic_text(path: pathlib.Path, text: str):
    tmp = path.with_name("." + path.name + ".tmp")
    tmp.write_text(text)
    os.replace(tmp, path)


def _atomic_json(path: pathlib.Path, value):
    _atomic_text(path, _json_text(value))


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificate(cert_path: pathlib.Path, key_path: pathlib.Path):
    """A self-signed certificate for 127.0.0.1 and localhost; it is its own trust anchor."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "devgate 127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=3650))
        .add_extension(x509.SubjectAlternativeName([
            x509.IPAddress(ipaddress.IPv4Address("127.0.0.1")),
            x509.DNSName("localhost"),
        ]), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                                     data_encipherment=False, key_agreement=False, key_cert_sign=True,
                                     crl_sign=False, encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256())
    )
    _write_private(key_path, key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                               serialization.NoEncryption()))
    cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))


class DataDir:
    """One gate instance's directory, and where its shared state lives."""

    def __init__(self, path):
        self.path = pathlib.Path(path).resolve()
        self.gate_json = self.path / "gate.json"
        cfg = self.config()
        share = cfg.get("share")
        self.home = pathlib.Path(share) if share else self.path
        self.own_key = bool(cfg.get("own_key")) or not share
        self.db_path = self.home / "vault.sqlite"
        self.cert_path = self.home / "cert.pem"
        self.cert_key_path = self.home / "cert-key.pem"
        self.static_key_path = (self.path if self.own_key else self.home) / "static.key"
        self.faults_path = self.path / "faults.json"
        self.requests_path = self.path / "requests.jsonl"
        self._log_lock = threading.Lock()
        self._connections = None

    def config(self) -> dict:
        try:
            return json.loads(self.gate_json.read_text())
        except FileNotFoundError:
            return {}

    def static_private(self) -> bytes:
        return bytes.fromhex(self.static_key_path.read_text().strip())

    def gate_pub_hex(self) -> str:
        return wire.public_key(self.static_private()).hex()

    def host(self) -> str:
        port = self.config().get("port")
        if not port:
            raise GateSetupError("%s has no port yet: run `devgate serve --data %s` (or `init --port N`) first"
                                 % (self.path, self.path))
        return "127.0.0.1:%d" % port

    def url(self) -> str:
        return "https://" + self.host()

    def store(self) -> Store:
        return Store(self.db_path, self._connections)

    def keep_connections(self):
        """From now on the store's connections stay open between transactions (a serving gate)."""
        if self._connections is None:
            self._connections = ConnectionPool(self.db_path)

    def close_connections(self):
        if self._connections is not None:
            self._connections.close()

    def record_port(self, port: int):
        cfg = self.config()
        cfg["port"] = port
        cfg["url"] = "https://127.0.0.1:%d" % port
        cfg["host"] = "127.0.0.1:%d" % port
        _atomic_json(self.gate_json, cfg)

    # -- fault queue -------------------------------------------------------

    @contextlib.contextmanager
    def _faults_locked(self):
        lock = open(self.path / ".faults.lock", "a")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                text = self.faults_path.read_text()
                faults = json.loads(text)
            except (FileNotFoundError, ValueError):
                text, faults = None, []
            box = [faults]
            yield box
            # A queue that no request took from (most requests) is left as it is.
            new_text = _json_text(box[0])
            if new_text != text:
                _atomic_text(self.faults_path, new_text)
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)
            lock.close()

    def add_fault(self, fault: dict):
        with self._faults_locked() as box:
            box[0].append(fault)

    def clear_faults(self):
        with self._faults_locked() as box:
            box[0] = []

    def list_faults(self) -> list:
        with self._faults_locked() as box:
            return list(box[0])

    def take_fault(self, action, content=None):
        """The first queued fault that applies to this action (and, when the fault has `when`,
        to a request whose content holds those members), used up by one request."""
        if not self.faults_path.exists():
            return None
        with self._faults_locked() as box:
            for i, fault in enumerate(box[0]):
                want = fault.get("action")
                if want is not None and want != action:
                    continue
                when = fault.get("when")
                if when is not None and not (isinstance(content, dict) and
                                             all(content.get(k) == v for k, v in when.items())):
                    continue
                times = fault.get("times", 1)
                if times is not None and times >= 0:
                    times -= 1
                    if times <= 0:
                        del box[0][i]
                    else:
                        fault["times"] = times
                return dict(fault)
        return None

    # -- request log -------------------------------------------------------

    def log_request(self, record: dict):
        line = json.dumps(record, sort_keys=True, ensure_ascii=False) + "\n"
        with self._log_lock:
            with open(self.requests_path, "a", encoding="utf-8") as f:
                f.write(line)

    def requests(self) -> list:
        try:
            text = self.requests_path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        if not text.endswith("\n"):
            text = text[:text.rfind("\n") + 1]  # a line still being written
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def clear_requests(self):
        with self._log_lock:
            with open(self.requests_path, "w"):
                pass


def init_data_dir(path, port=None, share=None, own_key=False) -> DataDir:
    """Creates (or completes) a data directory. port None keeps the recorded one; 0 picks a free one."""
    path = pathlib.Path(path).resolve()
    path.mkdir(parents=True, exist_ok=True)
    gate_json = path / "gate.json"
    try:
        cfg = json.loads(gate_json.read_text())
    except FileNotFoundError:
        cfg = {}
    if share is not None:
        home = pathlib.Path(share).resolve()
        if home == path:
            raise GateSetupError("a replica cannot share its own directory")
        init_data_dir(home)
        cfg["share"] = str(home)
        cfg["own_key"] = bool(own_key)
    elif own_key:
        cfg["own_key"] = True
    if port is not None:
        cfg["port"] = port if port else free_port()
        cfg["host"] = "127.0.0.1:%d" % cfg["port"]
        cfg["url"] = "https://" + cfg["host"]
    _atomic_json(gate_json, cfg)

    d = DataDir(path)
    if not d.static_key_path.exists():
        _write_private(d.static_key_path, (wire.new_private_key().hex() + "\n").encode())
    if not d.cert_path.exists() or not d.cert_key_path.exists():
        make_certificate(d.cert_path, d.cert_key_path)
    d.store().create()
    cfg = d.config()
    cfg["gate_pub"] = d.gate_pub_hex()
    cfg["cert"] = str(d.cert_path)
    _atomic_json(gate_json, cfg)
    return d


# ---------------------------------------------------------------------------
# Seeding


def vector_text(values) -> str:
    """A float32 little-endian vector as standard base64 (the gate's embedding encoding)."""
    return wire.b64std_encode(struct.pack("<%df" % len(values), *values))


def seed(datadir: DataDir, doc) -> dict:
    """Loads entries (and raw audit events) from a seed document; returns {title: entry_id}."""
    store = datadir.store()
    if isinstance(doc, list):
        doc = {"entries": doc}
    ids = {}
    for item in doc.get("entries", []):
        ids[item.get("title")] = _seed_entry(store, item, item.get("agent", doc.get("agent")))
    for event in doc.get("audit", []):
        store.add_raw_event(store.home_vault_id(), event)
    return ids


def _seed_entry(store: Store, item: dict, agent_name) -> str:
    agent = None
    if agent_name is not None or any(_needs_key(f) for f in item.get("fields", [])) or "notes" in item:
        agent = _seeding_agent(store, agent_name)
    l2 = bytes.fromhex(agent["l2"]) if agent else None
    vault_id = agent["vault_id"] if agent else store.home_vault_id()
    title = item.get("title")
    type_ = item.get("type", "credential")
    data = {"title": title, "type": type_, "fields": _seed_fields(item, l2)}
    if "urls" in item:
        data["urls"] = item["urls"]
    if "notes" in item:
        data["notes"] = wire.encrypt_field(l2, "notes", item["notes"])
    if "notes_raw" in item:
        data["notes"] = item["notes_raw"]
    data.update(item.get("extra_data", {}))
    return store.create_entry(vault_id, type_, title, data, created_by=agent["agent_id"] if agent else None,
                              entry_id=item.get("id"), created_at=item.get("created_at"))


def _seeding_agent(store: Store, name) -> dict:
    """The agent whose L2 key encrypts the entry's values: the one named, else the first."""
    if name is None:
        agents = store.agents()
        if not agents:
            raise GateSetupError("no agent to encrypt tier-2 values with: mint one first")
        return agents[0]
    agent = store.agent_by_name(name)
    if agent is None:
        raise GateSetupError("unknown agent %r" % name)
    return agent


def _seed_fields(item: dict, l2) -> list:
    fields = []
    for f in item.get("fields", []):
        if "raw" in f:
            fields.append(f["raw"])
            continue
        tier = f.get("tier", 1)
        value = f.get("value", "")
        if "ciphertext" in f:
            value = f["ciphertext"]
        elif tier == 2 and value != "":
            value = wire.encrypt_field(l2, f.get("encrypt_label", f["label"]), value)
        fields.append({"label": f["label"], "value": value, "kind": f.get("kind", "text"), "tier": tier})
    if "vector" in item:
        fields.append({"label": "embeddings", "value": vector_text(item["vector"]), "kind": "binary", "tier": 1})
        fields.append({"label": "embedding_model", "value": item.get("embedding_model", "devgate-test"),
                       "kind": "text", "tier": 1})
    return fields


def _needs_key(f) -> bool:
    return "raw" not in f and "ciphertext" not in f and f.get("tier", 1) == 2 and f.get("value", "") != ""
