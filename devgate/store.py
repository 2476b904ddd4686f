"""The gate's SQLite store, shared by a gate and its replicas: settings, agents, entries, the
audit trail and read quota use."""
import contextlib
import json
import os
import sqlite3
import threading
import time
import uuid

from . import wire
from .errors import GateSetupError

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
    # Front-door limits, as a proxy in front of a gate sets them. At most this many connections
    # are served at once (0: no limit); the rest wait in the listening socket's queue, their
    # TLS handshake unanswered.
    "max_connections": 0,
    # A request rate over which requests are refused before the gate sees them (None: no
    # limit): {"per_second": R, "burst": B, "status": 429 or 503, "retry_after": seconds or
    # None}. A token bucket of B requests refilled at R a second.
    "rate_limit": None,
}

# The read quota's windows.
MINUTE_MS = 60000
HOUR_MS = 3600000

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


def now_ms() -> int:
    return int(time.time() * 1000)


def _connect(db_path, **options):
    con = sqlite3.connect(db_path, timeout=30, isolation_level=None, **options)
    con.row_factory = sqlite3.Row
    try:
        con.execute("PRAGMA busy_timeout=30000")
        # A test tool's store: a commit need not wait for the disk (WAL keeps it whole).
        con.execute("PRAGMA synchronous=NORMAL")
    except BaseException:
        con.close()
        raise
    return con


class _PooledConnection(sqlite3.Connection):
    """A connection that keeps the cursors of its transaction, to be closed when it ends: a
    cursor left part-read keeps its snapshot, and later transactions on the connection would
    not see newer commits."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.cursors = []

    def execute(self, *args):
        cur = super().execute(*args)
        self.cursors.append(cur)
        return cur


class ConnectionPool:
    """Open connections to a store file, each lent to one transaction at a time: a serving gate
    runs a dozen short transactions a request, and opening a connection (and closing it, where
    the last one checkpoints the WAL) costs far more than any of them.

    A connection comes back with no transaction open, so the next transaction on it sees what
    others (the devgate commands, replicas) committed meanwhile. A store file replaced under the
    pool is noticed by its identity: connections to the old file are closed, not lent again."""

    # Idle connections kept; more are opened while more transactions run at once.
    KEEP = 16

    def __init__(self, db_path):
        self.db_path = str(db_path)
        self._lock = threading.Lock()
        self._idle = []
        self._file = None
        self._closed = False

    def _identity(self):
        try:
            st = os.stat(self.db_path)
        except OSError:
            return None
        return st.st_dev, st.st_ino

    def lend(self):
        """(connection, the file it was opened on) for one transaction; give it back after."""
        file = self._identity()
        stale = []
        con = None
        with self._lock:
            if file != self._file:
                stale, self._idle, self._file = self._idle, [], file
            elif self._idle:
                con = self._idle.pop()
        for old in stale:
            old.close()
        if con is None:
            con = _connect(self.db_path, check_same_thread=False, factory=_PooledConnection)
        return con, file

    def give_back(self, con, file):
        for cur in con.cursors:
            cur.close()
        con.cursors.clear()
        if not con.in_transaction:
            with self._lock:
                if not self._closed and file == self._file and len(self._idle) < self.KEEP:
                    self._idle.append(con)
                    return
        con.close()

    def close(self):
        with self._lock:
            idle, self._idle, self._closed = self._idle, [], True
        for con in idle:
            con.close()


class Store:
    """The SQLite store of a gate and its replicas. Without a pool each transaction opens a
    connection of its own."""

    def __init__(self, db_path, pool=None):
        self.db_path = str(db_path)
        self._pool = pool

    # Writers of this process take turns here rather than in SQLite's busy handler, which
    # sleeps for up to 100 ms each time it finds the store locked: a client's requests sent at
    # once would queue behind those sleeps.
    _write_lock = threading.Lock()

    @contextlib.contextmanager
    def db(self, write=False):
        if write:
            with Store._write_lock:
                with self._db(True) as con:
                    yield con
        else:
            with self._db(False) as con:
                yield con

    @contextlib.contextmanager
    def _db(self, write):
        if self._pool is not None:
            con, file = self._pool.lend()
        else:
            con = _connect(self.db_path)
        try:
            con.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            try:
                yield con
            except BaseException:
                con.execute("ROLLBACK")
                raise
            con.execute("COMMIT")
        finally:
            if self._pool is not None:
                self._pool.give_back(con, file)
            else:
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
            con.execute("DELETE FROM quota_hits WHERE ts <= ?", (ts - HOUR_MS,))
            minute = _reads_since(con, agent_id_hex, ts - MINUTE_MS)
            hour = _reads_since(con, agent_id_hex, ts - HOUR_MS)
            window = None
            if minute_limit and minute >= minute_limit:
                window = "minute"
            elif hour_limit and hour >= hour_limit:
                window = "hour"
            if window is None:
                con.execute("INSERT INTO quota_hits VALUES (?, ?)", (agent_id_hex, ts))
                minute += 1
                hour += 1
        quota = {"minute_used": minute, "minute_limit": minute_limit, "hour_used": hour, "hour_limit": hour_limit}
        return window is None, quota, window


def _reads_since(con, agent_id_hex, after_ms) -> int:
    return con.execute("SELECT COUNT(*) FROM quota_hits WHERE agent_id=? AND ts > ?",
                       (agent_id_hex, after_ms)).fetchone()[0]
