"""Fault injection: the kinds of fault a test can queue (`devgate fault KIND`) and how a request
that one hits is answered, instead of its real reply or by altering that reply's encoding; and the
front-door limits a proxy in front of a gate would set (connections at once, a request rate)."""
import socket
import threading
import time

from . import wire
from .envelope import encode_reply, reply_error, reply_ok

# Faults that replace the action: nothing is executed, nothing is audited.
REPLACING_FAULTS = {"status", "dark", "close", "empty", "body", "redirect", "error", "result", "reply"}
# Faults that alter the encoding of a real reply: the action runs first.
ALTERING_FAULTS = {"unknown-key", "payload-byte", "wrong-key", "flip", "truncate", "pad", "oversize", "delay"}
FAULT_KINDS = REPLACING_FAULTS | ALTERING_FAULTS


class FaultAnswers:
    """How a request handler answers under a fault: mixed into the HTTP handler, whose _send, _dark,
    connection and close_connection these use."""

    def _replace(self, fault, hs):
        """Answers in place of the action, which never runs."""
        kind = fault["kind"]
        if kind == "status":
            return self._send(int(fault.get("status", 503)), fault.get("body", "").encode("utf-8"))
        if kind == "dark":
            return self._dark()
        if kind == "close":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return None
        if kind in ("empty", "body"):
            if "body_hex" in fault:
                body = bytes.fromhex(fault["body_hex"])
            else:
                body = fault.get("body", "").encode("utf-8")
            return self._send(int(fault.get("status", 200)), body)
        if kind == "redirect":
            return self._send(int(fault.get("status", 307)), b"", [("Location", fault.get("location", "/gate"))])
        if kind == "error":
            payload = encode_reply(reply_error(fault.get("code", "FAULT"), fault.get("message", "injected failure")))
        elif kind == "result":
            payload = encode_reply(reply_ok(fault.get("result")))
        else:  # reply
            if "payload_hex" in fault:
                payload = bytes.fromhex(fault["payload_hex"])
            else:
                payload = bytes([wire.PAYLOAD_MARKER]) + fault.get("reply", "").encode("utf-8")
        return self._send(200, wire.b64std_encode(wire.write_message(hs, payload)).encode("ascii"))

    def _answer(self, reply, hs, fault):
        """Sends the action's reply, its encoding altered as an altering fault (if any) says."""
        kind = fault.get("kind") if fault else None
        if kind == "unknown-key":
            reply = dict(reply)
            reply[fault.get("key", "extra")] = fault.get("value", True)
        payload = encode_reply(reply)
        if kind == "payload-byte":
            payload = bytes([int(fault.get("byte", 0x11)) & 0xFF]) + payload[1:]
        if kind == "wrong-key":
            msg2 = _sealed_elsewhere(payload)
        else:
            msg2 = wire.write_message(hs, payload)
        if kind == "flip":
            off = int(fault.get("offset", -1)) % len(msg2)
            msg2 = msg2[:off] + bytes([msg2[off] ^ (1 << int(fault.get("bit", 0)))]) + msg2[off + 1:]
        if kind == "truncate":
            msg2 = msg2[:int(fault.get("length", 47))]
        body = wire.b64std_encode(msg2).encode("ascii")
        if kind in ("pad", "oversize"):
            size = int(fault.get("size", wire.MAX_REPLY_BODY if kind == "pad" else wire.MAX_REPLY_BODY + 1))
            fill = fault.get("fill", " ").encode("utf-8") or b" "
            if size > len(body):
                pad = (fill * (size - len(body)))[:size - len(body)]
                body = body + pad
        self._send(200, body)


def _sealed_elsewhere(payload: bytes) -> bytes:
    """A message 2 carrying the payload, produced by a gate with another static key."""
    other = wire.new_private_key()
    ihs, msg1 = wire.initiator_write(wire.public_key(other), b"\x10{}")
    rhs, _ = wire.responder_read(other, msg1)
    return wire.write_message(rhs, payload)


class ConnectionLimit:
    """The front door's connection limit: at most `max_connections` served at once (0: any
    number). A connection over the limit is not accepted: it waits in the listening socket's
    queue, connected at the TCP level with its TLS handshake unanswered, as behind a proxy's
    maxconn."""

    def __init__(self, stop_event):
        self._open = 0
        self._changed = threading.Condition()
        self._stop = stop_event

    def acquire(self, limit_now):
        """Waits for a free slot (limit_now() reads the current limit) and takes it; False once
        the server stops."""
        with self._changed:
            while True:
                limit = limit_now()
                if not limit or self._open < limit:
                    self._open += 1
                    return True
                if self._stop.is_set():
                    return False
                self._changed.wait(0.05)

    def release(self):
        with self._changed:
            self._open -= 1
            self._changed.notify_all()


class RateLimit:
    """The front door's request rate: a token bucket of `burst` requests refilled at
    `per_second`. A request that finds the bucket empty is refused with `status` (429 or 503)
    and, when set, a Retry-After of `retry_after` seconds, before the gate sees it."""

    def __init__(self):
        self._lock = threading.Lock()
        self._tokens = None
        self._last = 0.0
        self._shape = None

    def refusal(self, setting):
        """(status, headers) of a request over the rate, or None when it may pass."""
        if not isinstance(setting, dict):
            return None
        rate = float(setting.get("per_second", 1))
        burst = float(setting.get("burst", 1))
        now = time.monotonic()
        with self._lock:
            shape = (rate, burst)
            if self._tokens is None or shape != self._shape:
                self._tokens, self._shape = burst, shape
            else:
                self._tokens = min(burst, self._tokens + (now - self._last) * rate)
            self._last = now
            if self._tokens >= 1:
                self._tokens -= 1
                return None
        headers = []
        if setting.get("retry_after") is not None:
            headers.append(("Retry-After", str(setting["retry_after"])))
        return int(setting.get("status", 429)), headers
