"""State of the development gate: data directories, keys, certificate, SQLite store,
agents and enrolment blobs, entries, audit trail, quotas, settings, fault queue and
request log.

A data directory holds gate.json (its port, its static public key, where its shared state
lives), its own faults.json and requests.jsonl, and (unless it shares another directory's
state) static.key, cert.pem, cert-key.pem and vault.sqlite. A replica directory points at its
home directory with "share" and then uses the home's database and certificate, and the home's
static key unless it was initialised with its own.
"""
import base64
import contextlib
import datetime
import fcntl
import hashlib
import hmac
import ipaddress
import json
import os
import pathlib
import socket
import sqlite3
import struct
import threading
import time
import urllib.parse
import uuid

from . import wire

DEFAULT_SETTINGS = {
    # Read quota per agent; 0 means the window is not limited.
    "minute_limit": 60,
    "hour_limit": 600,
    # More matches than this turn a search result into the count shape.
    "count_threshold": 10,
    # "auto" (wrapped, count shape above the threshold), "wrapped", "plain" or "count".
    "search_shape": "auto",
    # Shortest substring query a fuzzy search accepts (0: no minimum).
    "min_fuzzy_len": 4,
    # Tier-3 values are blanked in entry.get unless this is true.
    "release_l3": False,
    # A fixed clock in milliseconds since the epoch (None: the real clock).
    "fixed_time_ms": None,
    # Refuse envelopes that are not the exact compact, key-ordered form.
    "strict_envelope": True,
    # Seconds to wait before answering, per action ({"search.query": 0.5}): makes requests
    # that a client sends at once overlap visibly.
    "answer_delay": {},
}

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS agents (
  agent_id TEXT PRIMARY KEY, name TEXT UNIQUE NOT NULL, l2 TEXT NOT NULL,
  vault_id TEXT NOT NULL, created_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS entries (
  entry_id TEXT PRIMARY KEY, vault_id TEXT NOT NULL, type TEXT, title TEXT,
  data TEXT NOT NULL, created_at INTEGER NOT NULL, updated_at INTEGER NOT NULL,
  created_by TEXT, seq INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS audit (
  id INTEGER PRIMARY KEY AUTOINCREMENT, vault_id TEXT NOT NULL, created_at INTEGER NOT NULL,
  action TEXT, gate_action TEXT, title TEXT, actor TEXT, agent_id TEXT, entry_id TEXT,
  outcome TEXT, raw TEXT);
CREATE TABLE IF NOT EXISTS quota_hits (agent_id TEXT NOT NULL, ts INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS quota_hits_agent ON quota_hits (agent_id, ts);
"""


class GateSetupError(Exception):
    pass


def _write_private(path: pathlib.Path, data: bytes):
    fd = os.open(str(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def _atomic_json(path: pathlib.Path, value):
    tmp = path.with_name("." + path.name + ".tmp")
    tmp.write_text(json.dumps(value, indent=2, sort_keys=True) + "\n")
    os.replace(tmp, path)


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

    def vault(self) -> "Vault":
        return Vault(self.db_path)

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
                faults = json.loads(self.faults_path.read_text())
            except (FileNotFoundError, ValueError):
                faults = []
            box = [faults]
            yield box
            _atomic_json(self.faults_path, box[0])
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
    d.vault().create()
    cfg = d.config()
    cfg["gate_pub"] = d.gate_pub_hex()
    cfg["cert"] = str(d.cert_path)
    _atomic_json(gate_json, cfg)
    return d


def now_ms() -> int:
    return int(time.time() * 1000)


class Vault:
    """The SQLite store, shared by a gate and its replicas."""

    def __init__(self, db_path):
        self.db_path = str(db_path)

    # Writers of this process take turns here rather than in SQLite's busy handler, which
    # sleeps for up to 100 ms each time it finds the store locked: a client's requests sent at
    # once would queue behind those sleeps.
    _write_lock = threading.Lock()

    @contextlib.contextmanager
    def db(self, write=False):
        if write:
            with Vault._write_lock:
                with self._db(True) as con:
                    yield con
        else:
            with self._db(False) as con:
                yield con

    @contextlib.contextmanager
    def _db(self, write):
        con = sqlite3.connect(self.db_path, timeout=30, isolation_level=None)
        con.row_factory = sqlite3.Row
        try:
            con.execute("PRAGMA busy_timeout=30000")
            # A test tool's store: a commit need not wait for the disk (WAL keeps it whole).
            con.execute("PRAGMA synchronous=NORMAL")
            con.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            try:
                yield con
            except BaseException:
                con.execute("ROLLBACK")
                raise
            con.execute("COMMIT")
        finally:
            con.close()

    def create(self):
        con = sqlite3.connect(self.db_path, timeout=30, isolation_level=None)
        try:
            con.execute("PRAGMA journal_mode=WAL")
            con.executescript(SCHEMA)
            row = con.execute("SELECT value FROM meta WHERE key='vault_id'").fetchone()
            if row is None:
                con.execute("INSERT OR IGNORE INTO meta VALUES ('vault_id', ?)", ("%016x" % wire.new_vault_id(),))
        finally:
            con.close()

    # -- settings and clock ------------------------------------------------

    def settings(self) -> dict:
        out = dict(DEFAULT_SETTINGS)
        with self.db() as con:
            for row in con.execute("SELECT key, value FROM settings"):
                out[row["key"]] = json.loads(row["value"])
        return out

    def set_setting(self, key, value):
        if key not in DEFAULT_SETTINGS:
            raise GateSetupError("unknown setting %r (known: %s)" % (key, ", ".join(sorted(DEFAULT_SETTINGS))))
        with self.db(write=True) as con:
            con.execute("INSERT OR REPLACE INTO settings VALUES (?, ?)", (key, json.dumps(value)))

    def now_ms(self, settings=None) -> int:
        s = settings if settings is not None else self.settings()
        fixed = s.get("fixed_time_ms")
        return int(fixed) if fixed is not None else now_ms()

    def home_vault_id(self) -> str:
        with self.db() as con:
            return con.execute("SELECT value FROM meta WHERE key='vault_id'").fetchone()["value"]

    def reset(self):
        """Forgets entries, audit events, quota use and settings; agents and keys stay."""
        with self.db(write=True) as con:
            for table in ("entries", "audit", "quota_hits", "settings"):
                con.execute("DELETE FROM %s" % table)

    # -- agents -------------------------------------------------------------

    def add_agent(self, name, agent_id: bytes, l2: bytes, vault_id: str):
        with self.db(write=True) as con:
            con.execute("INSERT INTO agents VALUES (?, ?, ?, ?, ?)",
                        (agent_id.hex(), name, l2.hex(), vault_id, now_ms()))

    def agent_by_name(self, name):
        with self.db() as con:
            row = con.execute("SELECT * FROM agents WHERE name=?", (name,)).fetchone()
        return dict(row) if row else None

    def agent_by_id(self, agent_id_hex):
        with self.db() as con:
            row = con.execute("SELECT * FROM agents WHERE agent_id=?", (agent_id_hex,)).fetchone()
        return dict(row) if row else None

    def agents(self):
        with self.db() as con:
            return [dict(r) for r in con.execute("SELECT * FROM agents ORDER BY created_at, name")]

    def known_vault(self, vault_id_hex) -> bool:
        with self.db() as con:
            if con.execute("SELECT 1 FROM meta WHERE key='vault_id' AND value=?", (vault_id_hex,)).fetchone():
                return True
            return con.execute("SELECT 1 FROM agents WHERE vault_id=?", (vault_id_hex,)).fetchone() is not None

    # -- entries ------------------------------------------------------------

    @staticmethod
    def _entry(row) -> dict:
        return {
            "entry_id": row["entry_id"],
            "type": row["type"],
            "title": row["title"],
            "data": json.loads(row["data"]),
            "created_at": row["created_at"],
            "updated_at": row["updated_at"],
        }

    def create_entry(self, vault_id, type_, title, data, created_by=None, entry_id=None, created_at=None) -> str:
        entry_id = entry_id or str(uuid.uuid4())
        ts = created_at if created_at is not None else self.now_ms()
        with self.db(write=True) as con:
            seq = con.execute("SELECT COALESCE(MAX(seq), 0) + 1 FROM entries").fetchone()[0]
            con.execute("INSERT INTO entries VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                        (entry_id, vault_id, type_, title, json.dumps(data, ensure_ascii=False), ts, ts,
                         created_by, seq))
        return entry_id

    def update_entry(self, vault_id, entry_id, type_, title, data) -> bool:
        with self.db(write=True) as con:
            cur = con.execute("UPDATE entries SET type=?, title=?, data=?, updated_at=? WHERE entry_id=? AND vault_id=?",
                              (type_, title, json.dumps(data, ensure_ascii=False), self.now_ms(), entry_id, vault_id))
            return cur.rowcount == 1

    def get_entry(self, vault_id, entry_id):
        with self.db() as con:
            row = con.execute("SELECT * FROM entries WHERE entry_id=? AND vault_id=?", (entry_id, vault_id)).fetchone()
        return self._entry(row) if row else None

    def delete_entry(self, vault_id, entry_id) -> bool:
        with self.db(write=True) as con:
            return con.execute("DELETE FROM entries WHERE entry_id=? AND vault_id=?", (entry_id, vault_id)).rowcount == 1

    def entries(self, vault_id=None) -> list:
        with self.db() as con:
            if vault_id is None:
                rows = con.execute("SELECT * FROM entries ORDER BY seq").fetchall()
            else:
                rows = con.execute("SELECT * FROM entries WHERE vault_id=? ORDER BY seq", (vault_id,)).fetchall()
        return [self._entry(r) for r in rows]

    # -- audit --------------------------------------------------------------

    def log_event(self, vault_id, created_at, action, gate_action, title, actor, agent_id, entry_id, outcome):
        with self.db(write=True) as con:
            con.execute("INSERT INTO audit (vault_id, created_at, action, gate_action, title, actor, agent_id,"
                        " entry_id, outcome, raw) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, NULL)",
                        (vault_id, created_at, action, gate_action, title, actor, agent_id, entry_id, outcome))

    def add_raw_event(self, vault_id, event: dict):
        """An audit event stored as given (seeded), returned verbatim by audit.list."""
        def text(key):
            v = event.get(key)
            return v if isinstance(v, str) else None
        created = event.get("created_at")
        created = created if isinstance(created, int) and not isinstance(created, bool) else 0
        with self.db(write=True) as con:
            con.execute("INSERT INTO audit (vault_id, created_at, action, gate_action, title, actor, agent_id,"
                        " entry_id, outcome, raw) VALUES (?, ?, ?, NULL, ?, ?, NULL, NULL, NULL, ?)",
                        (vault_id, created, text("action"), text("title"), text("actor"),
                         json.dumps(event, ensure_ascii=False)))

    def audit_events(self, vault_id) -> list:
        """Every event of a vault, newest first."""
        with self.db() as con:
            rows = con.execute("SELECT * FROM audit WHERE vault_id=? ORDER BY created_at DESC, id DESC",
                               (vault_id,)).fetchall()
        out = []
        for r in rows:
            if r["raw"] is not None:
                ev = json.loads(r["raw"])
            else:
                ev = {"id": r["id"], "created_at": r["created_at"], "action": r["action"],
                      "title": r["title"], "actor": r["actor"], "agent_id": r["agent_id"],
                      "entry_id": r["entry_id"], "gate_action": r["gate_action"], "outcome": r["outcome"]}
            out.append((dict(r), ev))
        return out

    # -- quota --------------------------------------------------------------

    def quota_hit(self, agent_id_hex, ts, minute_limit, hour_limit):
        """Counts one read for the agent unless a window is full. Returns (allowed, quota, window)."""
        with self.db(write=True) as con:
            con.execute("DELETE FROM quota_hits WHERE ts <= ?", (ts - 3600000,))
            minute = con.execute("SELECT COUNT(*) FROM quota_hits WHERE agent_id=? AND ts > ?",
                                 (agent_id_hex, ts - 60000)).fetchone()[0]
            hour = con.execute("SELECT COUNT(*) FROM quota_hits WHERE agent_id=? AND ts > ?",
                               (agent_id_hex, ts - 3600000)).fetchone()[0]
            window = None
            if minute_limit and minute >= minute_limit:
                window = "minute"
            elif hour_limit and hour >= hour_limit:
                window = "hour"
            if window is None:
                con.execute("INSERT INTO quota_hits VALUES (?, ?)", (agent_id_hex, ts))
                minute += 1
                hour += 1
        return window is None, _quota(minute, minute_limit, hour, hour_limit), window

    def quota_state(self, agent_id_hex, ts, minute_limit, hour_limit):
        with self.db() as con:
            minute = con.execute("SELECT COUNT(*) FROM quota_hits WHERE agent_id=? AND ts > ?",
                                 (agent_id_hex, ts - 60000)).fetchone()[0]
            hour = con.execute("SELECT COUNT(*) FROM quota_hits WHERE agent_id=? AND ts > ?",
                               (agent_id_hex, ts - 3600000)).fetchone()[0]
        return _quota(minute, minute_limit, hour, hour_limit)


def _quota(minute, minute_limit, hour, hour_limit) -> dict:
    return {"minute_used": minute, "minute_limit": minute_limit, "hour_used": hour, "hour_limit": hour_limit}


# ---------------------------------------------------------------------------
# Enrolment blobs

# Variants of the enrolment material, each with what a correct client does with it: "enrols",
# or the detail of its TS-2001 refusal. "gate:" marks blobs that enrol but whose agent the gate
# then refuses.
NOT_B64URL = "enrollment blob or key is not base64url"
KEY_LENGTH = "enrollment key must be 32 bytes (base64url of a 256-bit key)"
OLD_VAULT_ID = "enrollment blob carries an old-form vault id — mint a new blob"
NO_POP_PUB = ("this enrollment blob is from before blobs carried the POP key — make a new client blob"
              " in the vault and connect again")
NOT_AUTH = "enrollment blob did not authenticate — wrong key or corrupt blob"
EMPTY_POP = "enrollment blob carried an empty pop/host"

VARIANTS = {
    "ok": "enrols",
    "padded": "enrols",                # blob and key with trailing "=" padding
    "upper-pop-pub": "enrols",         # pop_pub in upper case (stored lower case)
    "upper-hex": "enrols",             # agent_id and l2 in upper case
    "pop-trailing-slash": "enrols",    # pop with a trailing "/" (vault_url without it)
    "array-form": "enrols",            # the seven values as a JSON array
    "extra-field": "enrols",           # an unknown member beside the seven
    "no-replica-fields": "enrols",     # replica_host and replica_pub absent
    "replica-empty-pub": "enrols",     # replica_host set, replica_pub empty: no replica used
    "blank-around": "enrols",          # blob and key surrounded by spaces
    "no-pop-pub": NO_POP_PUB,          # pop_pub absent
    "null-pop-pub": NO_POP_PUB,        # pop_pub null
    "blank-pop-pub": NO_POP_PUB,       # pop_pub of spaces
    "short-pop-pub": NOT_AUTH,         # pop_pub of 63 hex digits
    "nonhex-pop-pub": NOT_AUTH,        # pop_pub with a non-hex character
    "bad-json": NOT_AUTH,              # plaintext is not JSON
    "not-object": NOT_AUTH,            # plaintext is a JSON number
    "missing-agent-id": NOT_AUTH,      # required agent_id absent
    "missing-pop": NOT_AUTH,           # required pop absent
    "bad-agent-id": NOT_AUTH,          # agent_id of 31 hex digits
    "nonhex-agent-id": NOT_AUTH,       # agent_id with a non-hex character
    "bad-l2": NOT_AUTH,                # l2 of 34 hex digits
    "upper-vault-id": OLD_VAULT_ID,    # vault_id in upper case
    "0x-vault-id": OLD_VAULT_ID,       # vault_id with a 0x prefix
    "issuer-zero-vault-id": OLD_VAULT_ID,
    "short-vault-id": OLD_VAULT_ID,    # 15 hex digits
    "empty-pop": EMPTY_POP,            # pop ""
    "blank-pop": EMPTY_POP,            # pop of spaces
    "newline-pop": EMPTY_POP,          # pop with a line feed inside
    "wrong-key": NOT_AUTH,             # key of another blob
    "short-key": KEY_LENGTH,           # 31-byte key
    "long-key": KEY_LENGTH,            # 33-byte key
    "std-b64-key": NOT_B64URL,         # key in the standard alphabet, with "+" or "/"
    "blob-not-b64": NOT_B64URL,        # a "*" inside the blob
    "blob-with-blank": NOT_B64URL,     # a space inside the blob
    "truncated-blob": NOT_AUTH,        # 20 bytes: shorter than an AEAD message
    "tampered-blob": NOT_AUTH,         # one bit of the ciphertext flipped
    "wrong-pop-pub": "enrols; gate: handshake refused (HTTP 404, dark gate)",
    "wrong-l2": "enrols; gate: error auth: agent key mismatch",
    "unknown-agent": "enrols; gate: error auth: unknown agent",
    "wrong-vault": "enrols; gate: error auth: unknown vault",
}


def _other_vault_id(vault_id_hex) -> str:
    while True:
        v = "%016x" % wire.new_vault_id()
        if v != vault_id_hex:
            return v


def mint_agent(datadir: DataDir, name, variant="ok", replica=None, replica_host=None, replica_pub=None,
               pop=None, l2=None) -> dict:
    """Registers the agent (or reuses one of that name) and seals its enrolment blob."""
    if variant not in VARIANTS:
        raise GateSetupError("unknown variant %r (known: %s)" % (variant, ", ".join(sorted(VARIANTS))))
    vault = datadir.vault()
    agent = vault.agent_by_name(name)
    if agent is None:
        agent_id = os.urandom(16)
        l2_key = bytes.fromhex(l2) if l2 else os.urandom(16)
        vault_id = vault.home_vault_id()
        vault.add_agent(name, agent_id, l2_key, vault_id)
        agent = vault.agent_by_name(name)
    elif l2 and l2.lower() != agent["l2"]:
        raise GateSetupError("agent %r exists with another L2 key" % name)

    pop = pop if pop is not None else datadir.host()
    rep_host, rep_pub = "", ""
    if replica is not None:
        rd = DataDir(replica)
        rep_host, rep_pub = rd.host(), rd.gate_pub_hex()
    if replica_host is not None:
        rep_host = replica_host
    if replica_pub is not None:
        rep_pub = replica_pub

    blob = {
        "agent_id": agent["agent_id"],
        "l2": agent["l2"],
        "vault_id": agent["vault_id"],
        "pop": pop,
        "pop_pub": datadir.gate_pub_hex(),
        "replica_host": rep_host,
        "replica_pub": rep_pub,
    }
    if not rep_host and not rep_pub:
        del blob["replica_host"], blob["replica_pub"]

    v = variant
    if v == "upper-pop-pub":
        blob["pop_pub"] = blob["pop_pub"].upper()
    elif v == "upper-hex":
        blob["agent_id"] = blob["agent_id"].upper()
        blob["l2"] = blob["l2"].upper()
    elif v == "pop-trailing-slash":
        blob["pop"] += "/"
    elif v == "extra-field":
        blob["issued_by"] = "devgate"
    elif v == "no-replica-fields":
        blob.pop("replica_host", None)
        blob.pop("replica_pub", None)
    elif v == "replica-empty-pub":
        blob["replica_host"] = rep_host or "127.0.0.1:9"
        blob["replica_pub"] = ""
    elif v == "no-pop-pub":
        del blob["pop_pub"]
    elif v == "null-pop-pub":
        blob["pop_pub"] = None
    elif v == "blank-pop-pub":
        blob["pop_pub"] = "   "
    elif v == "short-pop-pub":
        blob["pop_pub"] = blob["pop_pub"][:63]
    elif v == "nonhex-pop-pub":
        blob["pop_pub"] = blob["pop_pub"][:63] + "g"
    elif v == "missing-agent-id":
        del blob["agent_id"]
    elif v == "missing-pop":
        del blob["pop"]
    elif v == "bad-agent-id":
        blob["agent_id"] = blob["agent_id"][:31]
    elif v == "nonhex-agent-id":
        blob["agent_id"] = blob["agent_id"][:31] + "z"
    elif v == "bad-l2":
        blob["l2"] = blob["l2"] + "00"
    elif v == "upper-vault-id":
        blob["vault_id"] = blob["vault_id"].upper()
        if blob["vault_id"] == agent["vault_id"]:  # all digits: force a letter
            blob["vault_id"] = blob["vault_id"][:15] + "A"
    elif v == "0x-vault-id":
        blob["vault_id"] = "0x" + blob["vault_id"][2:]
    elif v == "issuer-zero-vault-id":
        blob["vault_id"] = "00" + blob["vault_id"][2:]
    elif v == "short-vault-id":
        blob["vault_id"] = blob["vault_id"][:15]
    elif v == "empty-pop":
        blob["pop"] = ""
    elif v == "blank-pop":
        blob["pop"] = "   "
    elif v == "newline-pop":
        blob["pop"] = blob["pop"] + "\nevil.example"
    elif v == "wrong-pop-pub":
        blob["pop_pub"] = wire.public_key(wire.new_private_key()).hex()
    elif v == "wrong-l2":
        blob["l2"] = os.urandom(16).hex()
    elif v == "unknown-agent":
        blob["agent_id"] = os.urandom(16).hex()
    elif v == "wrong-vault":
        blob["vault_id"] = _other_vault_id(agent["vault_id"])

    if v == "array-form":
        plaintext = json.dumps([blob["agent_id"], blob["l2"], blob["vault_id"], blob["pop"], blob["pop_pub"],
                                blob.get("replica_host", ""), blob.get("replica_pub", "")])
    elif v == "bad-json":
        plaintext = json.dumps(blob)[:-1]
    elif v == "not-object":
        plaintext = "42"
    else:
        plaintext = json.dumps(blob, ensure_ascii=False)

    key = os.urandom(32)
    sealed = wire.aead_seal(key, plaintext.encode("utf-8"))
    if v == "tampered-blob":
        sealed = sealed[:20] + bytes([sealed[20] ^ 0x01]) + sealed[21:]
    if v == "truncated-blob":
        sealed = sealed[:20]
    blob_text = wire.b64url_encode(sealed)
    key_text = wire.b64url_encode(key)

    if v == "padded":
        blob_text = base64.urlsafe_b64encode(sealed).decode()
        key_text = base64.urlsafe_b64encode(key).decode()
    elif v == "blank-around":
        blob_text, key_text = "  " + blob_text + "  ", "  " + key_text + " "
    elif v == "wrong-key":
        key_text = wire.b64url_encode(os.urandom(32))
    elif v == "short-key":
        key_text = wire.b64url_encode(key[:31])
    elif v == "long-key":
        key_text = wire.b64url_encode(key + b"\x00")
    elif v == "std-b64-key":
        while True:
            std = base64.b64encode(key).decode().rstrip("=")
            if "+" in std or "/" in std:
                break
            key = os.urandom(32)
            sealed = wire.aead_seal(key, plaintext.encode("utf-8"))
            blob_text = wire.b64url_encode(sealed)
        key_text = std
    elif v == "blob-not-b64":
        blob_text = blob_text[:10] + "*" + blob_text[11:]
    elif v == "blob-with-blank":
        blob_text = blob_text[:10] + " " + blob_text[10:]

    return {
        "blob": blob_text,
        "key": key_text,
        "name": name,
        "agent_id": agent["agent_id"],
        "l2": agent["l2"],
        "vault_id": agent["vault_id"],
        "pop": pop,
        "pop_pub": datadir.gate_pub_hex(),
        "replica_host": rep_host,
        "replica_pub": rep_pub,
        "variant": variant,
        "expect": VARIANTS[variant],
    }


# ---------------------------------------------------------------------------
# Seeding


def vector_text(values) -> str:
    """A float32 little-endian vector as standard base64 (the gate's embedding encoding)."""
    return wire.b64std_encode(struct.pack("<%df" % len(values), *values))


def seed(datadir: DataDir, doc) -> dict:
    """Loads entries (and raw audit events) from a seed document; returns {title: entry_id}."""
    vault = datadir.vault()
    if isinstance(doc, list):
        doc = {"entries": doc}
    default_agent = doc.get("agent")
    ids = {}

    def agent_for(name):
        if name is None:
            agents = vault.agents()
            if not agents:
                raise GateSetupError("no agent to encrypt tier-2 values with: mint one first")
            return agents[0]
        a = vault.agent_by_name(name)
        if a is None:
            raise GateSetupError("unknown agent %r" % name)
        return a

    for item in doc.get("entries", []):
        agent_name = item.get("agent", default_agent)
        agent = None
        if agent_name is not None or any(_needs_key(f) for f in item.get("fields", [])) or "notes" in item:
            agent = agent_for(agent_name)
        l2 = bytes.fromhex(agent["l2"]) if agent else None
        vault_id = agent["vault_id"] if agent else vault.home_vault_id()
        title = item.get("title")
        type_ = item.get("type", "credential")
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
        data = {"title": title, "type": type_, "fields": fields}
        if "urls" in item:
            data["urls"] = item["urls"]
        if "notes" in item:
            data["notes"] = wire.encrypt_field(l2, "notes", item["notes"])
        if "notes_raw" in item:
            data["notes"] = item["notes_raw"]
        data.update(item.get("extra_data", {}))
        entry_id = vault.create_entry(vault_id, type_, title, data, created_by=agent["agent_id"] if agent else None,
                                      entry_id=item.get("id"), created_at=item.get("created_at"))
        ids[title] = entry_id
    for event in doc.get("audit", []):
        vault.add_raw_event(vault.home_vault_id(), event)
    return ids


def _needs_key(f) -> bool:
    return "raw" not in f and "ciphertext" not in f and f.get("tier", 1) == 2 and f.get("value", "") != ""


# ---------------------------------------------------------------------------
# One-time codes


def base32_secret(text: str) -> bytes:
    s = text.strip()
    if s.lower().startswith("otpauth://"):
        q = urllib.parse.parse_qs(urllib.parse.urlparse(s).query)
        s = q.get("secret", [""])[0]
    s = s.replace(" ", "").replace("-", "").upper().rstrip("=")
    if not s:
        raise ValueError("empty TOTP secret")
    return base64.b32decode(s + "=" * (-len(s) % 8))


def totp_params(text: str):
    digits, period, algo = 6, 30, "sha1"
    s = text.strip()
    if s.lower().startswith("otpauth://"):
        q = urllib.parse.parse_qs(urllib.parse.urlparse(s).query)
        digits = int(q.get("digits", ["6"])[0])
        period = int(q.get("period", ["30"])[0])
        algo = q.get("algorithm", ["SHA1"])[0].lower()
    return base32_secret(text), digits, period, algo


def totp_code(secret: bytes, unix_seconds: float, digits=6, period=30, algo="sha1") -> str:
    """RFC 6238."""
    counter = int(unix_seconds // period)
    mac = hmac.new(secret, struct.pack(">Q", counter), getattr(hashlib, algo)).digest()
    off = mac[-1] & 0x0F
    code = (struct.unpack(">I", mac[off:off + 4])[0] & 0x7FFFFFFF) % (10 ** digits)
    return str(code).zfill(digits)
