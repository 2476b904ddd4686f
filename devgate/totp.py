"""One-time codes as the gate computes them for ext.totp: RFC 6238 from a base32 secret or an
otpauth:// URI."""
import base64
import hashlib
import hmac
import struct
import urllib.parse


def params(text: str):
    """(secret, digits, period, hash name) of a base32 secret or an otpauth:// URI."""
    digits, period, algo = 6, 30, "sha1"
    s = text.strip()
    if s.lower().startswith("otpauth://"):
        q = urllib.parse.parse_qs(urllib.parse.urlparse(s).query)
        digits = int(q.get("digits", ["6"])[0])
        period = int(q.get("period", ["30"])[0])
        algo = q.get("algorithm", ["SHA1"])[0].lower()
        s = q.get("secret", [""])[0]
    s = s.replace(" ", "").replace("-", "").upper().rstrip("=")
    if not s:
        raise ValueError("empty TOTP secret")
    return base64.b32decode(s + "=" * (-len(s) % 8)), digits, period, algo


def code_at(secret: bytes, unix_seconds: float, digits=6, period=30, algo="sha1") -> str:
    """RFC 6238."""
    counter = int(unix_seconds // period)
    mac = hmac.new(secret, struct.pack(">Q", counter), getattr(hashlib, algo)).digest()
    off = mac[-1] & 0x0F
    code = (struct.unpack(">I", mac[off:off + 4])[0] & 0x7FFFFFFF) % (10 ** digits)
    return str(code).zfill(digits)
