"""The HTTPS side of the gate: POST /gate carrying one Noise IK exchange, every request logged,
anything else dark (404); the threaded TLS server that runs it."""
import http.server
import json
import select
import ssl
import threading
import time

from . import wire
from .dispatch import process
from .envelope import canonical_text
from .faults import REPLACING_FAULTS, ConnectionLimit, FaultAnswers, RateLimit
from .store import now_ms

# The body of every HTTP 404: a dark gate looks like a server without the gate.
NOT_FOUND = b"not found\n"


class GateHandler(FaultAnswers, http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devgate"
    sys_version = ""

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    def _send(self, status, body: bytes, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for k, v in extra_headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def _dark(self):
        self._send(404, NOT_FOUND)

    do_GET = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = _dark

    def do_POST(self):
        record = {
            "time": now_ms(),
            "method": "POST",
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
        }
        opened = self._open_request(record)
        if opened is None:
            return
        hs, payload, settings = opened
        action, content = _note_envelope(record, payload)
        # When this request's connection was ready (TLS done) and how many requests of its
        # action were being served with it: shows what a client did at once.
        record["connected"] = getattr(self.server.local, "connected", None)
        with self.server.in_flight_lock:
            self.server.in_flight[action] = self.server.in_flight.get(action, 0) + 1
        try:
            self._serve(record, action, content, hs, payload, settings)
        finally:
            with self.server.in_flight_lock:
                self.server.in_flight[action] -= 1

    def _open_request(self, record):
        """(handshake state, payload, the settings it is served under) of the request's message
        1; None once the request has been refused."""
        if self.path != "/gate":
            return self._refuse(record, "dark: path", 404, NOT_FOUND)
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            return self._refuse(record, "no content length", 411, b"length required\n")
        if length < 0 or length > 16 * 1024 * 1024:
            return self._refuse(record, "request too large", 413, b"too large\n")
        body = self.rfile.read(length)
        record["body_len"] = len(body)
        settings = self.server.datadir.store().settings()
        limited = self.server.rate_limit.refusal(settings.get("rate_limit"))
        if limited:
            status, headers = limited
            record["outcome"] = "limited"
            record["status"] = status
            self.server.datadir.log_request(record)
            self._send(status, b"too many requests\n", headers)
            return None
        try:
            msg1 = wire.b64std_decode(body.decode("ascii"))
        except (UnicodeDecodeError, ValueError):
            return self._refuse(record, "body not base64", 400, b"bad request\n")
        record["msg1_len"] = len(msg1)
        try:
            hs, payload = wire.responder_read(self.server.static_priv, msg1)
        except Exception:
            return self._refuse(record, "dark: handshake failed", 404, NOT_FOUND)
        return hs, payload, settings

    def _refuse(self, record, outcome, status, body):
        record["outcome"] = outcome
        self.server.datadir.log_request(record)
        self._send(status, body)
        return None

    def _serve(self, record, action, content, hs, payload, settings):
        datadir = self.server.datadir
        delay = settings.get("answer_delay") or {}
        if isinstance(delay, dict) and delay.get(action):
            self.server.stop_event.wait(float(delay[action]))
        with self.server.in_flight_lock:
            record["in_flight"] = self.server.in_flight.get(action, 0)

        fault = datadir.take_fault(action, content)
        kind = record["fault"] = fault.get("kind") if fault else None
        if kind in REPLACING_FAULTS:
            record["outcome"] = "fault"
            datadir.log_request(record)
            return self._replace(fault, hs)
        if kind == "delay":
            self.server.stop_event.wait(float(fault.get("seconds", 25)))
            if self._client_gone():
                # The client timed out (and may have gone to a replica): do not act for it now.
                record["outcome"] = "client gone"
                datadir.log_request(record)
                self.close_connection = True
                return None
        reply = process(datadir, payload, settings)
        record["outcome"] = "ok" if reply.get("ok") else "error %s" % reply["error"]["code"]
        record["reply"] = reply
        record["answered"] = time.monotonic()
        datadir.log_request(record)
        self._answer(reply, hs, fault)

    def _client_gone(self) -> bool:
        """A client that waits for its reply sends nothing more; readable means closed."""
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
        except (OSError, ValueError):
            return True
        return bool(readable)


def _note_envelope(record, payload: bytes):
    """Records the request's envelope as it came; returns its (action, content) where it has them."""
    envelope = env = action = content = None
    try:
        envelope = payload[1:].decode("utf-8")
        env = json.loads(envelope)
    except (UnicodeDecodeError, ValueError):
        pass
    if isinstance(env, dict) and isinstance(env.get("action"), str):
        action = env["action"]
        content = env.get("content")
    record["payload_prefix"] = payload[0] if payload else None
    record["envelope"] = envelope
    record["action"] = action
    record["canonical"] = isinstance(env, dict) and canonical_text(env) == envelope
    return action, content


class GateServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, datadir, verbose=False):
        super().__init__(address, GateHandler)
        self.datadir = datadir
        datadir.keep_connections()
        self.static_priv = datadir.static_private()
        self.verbose = verbose
        self.stop_event = threading.Event()
        self.local = threading.local()
        self.in_flight = {}
        self.in_flight_lock = threading.Lock()
        self.ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ssl_context.minimum_version = ssl.TLSVersion.TLSv1_2
        self.ssl_context.load_cert_chain(str(datadir.cert_path), str(datadir.cert_key_path))
        self.connection_limit = ConnectionLimit(self.stop_event)
        self.rate_limit = RateLimit()

    def server_close(self):
        super().server_close()
        self.datadir.close_connections()

    def get_request(self):
        # Over the connection limit, the next connection is not accepted until one ends.
        if not self.connection_limit.acquire(lambda: self.datadir.store().settings().get("max_connections")):
            raise OSError("stopping")
        try:
            return super().get_request()
        except OSError:
            self.connection_limit.release()
            raise

    def shutdown_request(self, request):
        try:
            super().shutdown_request(request)
        finally:
            self.connection_limit.release()

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the request's own thread, so a silent client never blocks accept.
        request.settimeout(60)
        try:
            tls = self.ssl_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.local.connected = time.monotonic()
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass
