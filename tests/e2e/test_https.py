"""The HTTPS client end to end: the request on the wire, certificate verification and the
trust store, connection failures, redirects, the timeout, and responses a gate should never
send, against the development gate and a scripted TLS peer on 127.0.0.1."""
import datetime
import ipaddress
import pathlib
import re
import shutil
import socket
import ssl
import subprocess
import threading

import pytest

from gate_fixtures import get_key, key_reader

SECRET = "sk-or-v1-https"
TOO_MANY = "TS-2020: POST /gate: Maximum (100) redirects followed\n"


# enrol(gate, cli, **mint): a new agent that can read OpenRouter's key, SECRET; the fixture
# agent: one such agent.
enrol, agent = key_reader(SECRET)


def make_certificate(directory, sans):
    """A self-signed server certificate naming `sans` (IP addresses or DNS names); returns
    (cert path, key path)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "scripted peer")])
    now = datetime.datetime.now(datetime.timezone.utc)
    names = []
    for s in sans:
        try:
            names.append(x509.IPAddress(ipaddress.ip_address(s)))
        except ValueError:
            names.append(x509.DNSName(s))
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    cert_path, key_path = directory / "cert.pem", directory / "key.pem"
    cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    key_path.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return str(cert_path), str(key_path)


# -- the request on the wire and the round trip --------------------------------------------


def test_round_trip_with_exactly_the_request_headers(gate, cli, agent):
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    requests = gate.requests()
    assert [q["action"] for q in requests] == ["search.query", "entry.get"]
    for q in requests:
        assert (q["method"], q["path"]) == ("POST", "/gate")
        assert q["headers"] == {
            "host": gate.host,
            "content-type": "text/plain",
            "content-length": str(q["body_len"]),
            "connection": "close",
        }


# -- certificates and the trust store ---------------------------------------------------------


@pytest.fixture
def hashed_dir(gate, tmp_path):
    """A directory holding the gate's certificate under its subject-hash name, as
    /etc/ssl/certs holds the system's."""
    if not shutil.which("openssl"):
        pytest.skip("openssl command not installed")
    subject_hash = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", gate.cert],
                                  capture_output=True, text=True, check=True).stdout.strip()
    d = tmp_path / "certs"
    d.mkdir()
    shutil.copy(gate.cert, d / ("%s.0" % subject_hash))
    return str(d)


@pytest.fixture
def other_cert(tmp_path):
    return make_certificate(tmp_path / "other", ["127.0.0.1", "localhost"])[0]


@pytest.mark.parametrize("store", [
    "other file",             # SSL_CERT_FILE names another certificate
    "system store",           # neither variable: /etc/ssl/certs, which lacks the gate's
    "empty file variable",    # SSL_CERT_FILE="" counts as unset
    "other dir",              # SSL_CERT_DIR only, a directory without the gate's certificate
])
def test_untrusted_certificate_is_refused(gate, cli, agent, other_cert, tmp_path, store):
    empty = tmp_path / "empty-dir"
    empty.mkdir()
    env, named = {
        "other file": ({"SSL_CERT_FILE": other_cert, "SSL_CERT_DIR": None}, "SSL_CERT_FILE=" + other_cert),
        "system store": ({"SSL_CERT_FILE": None, "SSL_CERT_DIR": None}, "the system's, /etc/ssl/certs"),
        "empty file variable": ({"SSL_CERT_FILE": "", "SSL_CERT_DIR": None}, "the system's, /etc/ssl/certs"),
        "other dir": ({"SSL_CERT_FILE": None, "SSL_CERT_DIR": str(empty)}, "SSL_CERT_DIR=" + str(empty)),
    }[store]
    r = get_key(cli, env=env)
    # The failure names the host checked and the trust store it was checked against.
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2020: POST /gate: SSL certificate problem: self-signed certificate "
               "(host 127.0.0.1, trust store %s)\n" % named)
    assert gate.requests() == []


@pytest.mark.parametrize("store", ["dir", "empty file variable and dir", "other file and dir"])
def test_trust_from_a_hashed_directory(gate, cli, agent, hashed_dir, other_cert, store):
    env = {
        "dir": {"SSL_CERT_FILE": None, "SSL_CERT_DIR": hashed_dir},
        "empty file variable and dir": {"SSL_CERT_FILE": "", "SSL_CERT_DIR": hashed_dir},
        # Both set: both are searched.
        "other file and dir": {"SSL_CERT_FILE": other_cert, "SSL_CERT_DIR": hashed_dir},
    }[store]
    r = get_key(cli, env=env)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")


def test_unreadable_certificate_file(gate, cli, agent, tmp_path):
    missing = str(tmp_path / "missing.pem")
    r = get_key(cli, env={"SSL_CERT_FILE": missing, "SSL_CERT_DIR": None})
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2020: POST /gate: error setting certificate verify locations: CAfile: %s "
               "CApath: none\n" % missing)


# -- connections ------------------------------------------------------------------------------


def test_connection_refused(gate, cli, dead_host):
    enrol(gate, cli, pop=dead_host)
    r = get_key(cli)
    assert (r.status, r.stdout) == (1, "")
    port = dead_host.rsplit(":", 1)[1]
    assert re.fullmatch(r"TS-2020: POST /gate: Failed to connect to 127\.0\.0\.1 port %s after \d+ ms: "
                        r"Connection refused\n" % port, r.stderr), r.stderr


def test_unresolvable_host(gate, cli):
    enrol(gate, cli, pop="no-such-gate.invalid:4443")
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2020: POST /gate: Could not resolve host: no-such-gate.invalid\n")


def test_connection_closed_without_a_response(gate, cli, agent):
    gate.fault("close")
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", "TS-2020: POST /gate: Empty reply from server\n")


def test_host_name_resolved_verified_and_sent(gate, cli):
    # "localhost" goes through name resolution, the server name and a DNS-name check.
    enrol(gate, cli, pop="localhost:%d" % gate.port)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    assert {q["headers"]["host"] for q in gate.requests()} == {"localhost:%d" % gate.port}


def test_timeout(gate, cli, devgate_factory):
    # The one slow test (20 s): a gate of its own (same store, certificate and key) answers
    # after 25 s, so the late answer lands in no other test's request log.
    slow = devgate_factory(share=gate)
    enrol(gate, cli, pop=slow.host)
    slow.fault("delay", times=1)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2020: POST /gate: Operation timed out after 20000 milliseconds with 0 bytes received\n")


# -- redirects --------------------------------------------------------------------------------


@pytest.mark.parametrize("status, location", [
    (301, "/gate"),
    (302, "gate"),
    (303, "./x/../gate"),
    (307, "https://127.0.0.1:{port}/gate"),
    (308, "//127.0.0.1:{port}/gate"),
    (307, "https://localhost:{port}/gate#frag"),
])
def test_redirect_followed_with_the_post_and_its_body(gate, cli, agent, status, location):
    gate.fault("redirect", times=1, status=status, location=location.format(port=gate.port))
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    first, again, fetch = gate.requests()
    assert (first["fault"], again["fault"]) == ("redirect", None)
    assert again["method"] == "POST" and again["path"] == "/gate"
    assert again["envelope"] == first["envelope"] and again["body_len"] == first["body_len"]
    assert fetch["action"] == "entry.get"


def test_redirect_to_another_gate(gate, replica, cli, agent):
    gate.fault("redirect", location="https://127.0.0.1:%d/gate" % replica.port)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    assert gate.actions() == ["search.query", "entry.get"]
    assert replica.actions() == ["search.query"]


def test_redirect_to_an_untrusted_gate(gate, cli, agent, devgate_factory):
    stranger = devgate_factory()  # a certificate of its own
    gate.fault("redirect", location="https://127.0.0.1:%d/gate" % stranger.port)
    r = get_key(cli, env={"SSL_CERT_DIR": None})
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2020: POST /gate: SSL certificate problem: self-signed certificate "
               "(host 127.0.0.1, trust store SSL_CERT_FILE=%s)\n" % gate.cert)
    assert stranger.requests() == []


def test_redirect_never_leaves_https(gate, cli, agent):
    # Every scheme but https is refused alike; the unit tests of the location resolver list them.
    gate.fault("redirect", status=308, location="http://127.0.0.1:%d/gate" % gate.port)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", 'TS-2020: POST /gate: Protocol "http" not supported\n')
    assert len(gate.requests()) == 1


def test_redirect_statuses_not_followed(gate, cli, agent):
    gate.fault("redirect", status=300)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2047: gate refused the handshake (HTTP 300)\n")


def test_one_hundred_redirects_are_followed(gate, cli, agent):
    gate.fault("redirect", times=100)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (0, SECRET, "")
    assert len(gate.requests()) == 100 + 1 + 1


def test_redirect_loop(gate, cli, agent):
    gate.fault("redirect", times=-1)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (1, "", TOO_MANY)
    # The first request and the 100 that followed redirects.
    assert len(gate.requests()) == 101


# -- bodies over the cap ------------------------------------------------------------------------


@pytest.mark.parametrize("size", [4194305, 50000000])
def test_oversize_body_refused(gate, cli, agent, size):
    # The announced length is reported; the body is not read.
    gate.fault("oversize", size=size)
    r = get_key(cli)
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2021: gate response exceeds 4194304 bytes (%d) \u2014 refuse to buffer\n" % size)


# -- a scripted peer: what the development gate never sends -------------------------------------


class ScriptedPeer:
    """A TLS server on 127.0.0.1 that reads one request per connection and answers with
    `response` (raw bytes), then closes without a TLS close_notify."""

    def __init__(self, cert, key):
        self.cert = cert
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.1)
        self.stopping = threading.Event()
        self.port = self.listener.getsockname()[1]
        self.response = b""
        self.requests = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            tls = None
            try:
                conn.settimeout(10)
                tls = self.context.wrap_socket(conn, server_side=True)
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = tls.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                if not data:
                    continue  # a connection opened ahead of a request that never came
                head, _, body = data.partition(b"\r\n\r\n")
                m = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
                while m and len(body) < int(m.group(1)):
                    chunk = tls.recv(65536)
                    if not chunk:
                        break
                    body += chunk
                self.requests.append((head + b"\r\n\r\n", body))
                tls.sendall(self.response)
            except (ssl.SSLError, OSError):
                pass
            finally:
                (tls or conn).close()

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        self.listener.close()


@pytest.fixture
def peer(tmp_path):
    p = ScriptedPeer(*make_certificate(tmp_path / "peer", ["127.0.0.1", "localhost"]))
    yield p
    p.close()


def peer_get(gate, cli, peer, host="127.0.0.1"):
    enrol(gate, cli, pop="%s:%d" % (host, peer.port))
    return get_key(cli, env={"SSL_CERT_FILE": peer.cert, "SSL_CERT_DIR": None})


OK = b"HTTP/1.1 200 OK\r\n"


def test_request_bytes_on_the_wire(gate, cli, peer):
    peer.response = OK + b"Content-Length: 0\r\n\r\n"
    peer_get(gate, cli, peer)
    (head, body), = peer.requests
    assert head == (b"POST /gate HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: text/plain\r\n"
                    b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (peer.port, len(body)))
    assert re.fullmatch(rb"[A-Za-z0-9+/]+={0,2}", body)


# One response a kind: how the client reports what its response reader refuses; the reader's
# own unit tests hold the full table of responses.
@pytest.mark.parametrize("response, stderr", [
    # Chunked framing is decoded: the body is "AAAA", valid base64 but too short for message 2
    # (undecoded, the framing would make it "not base64").
    (OK + b"Transfer-Encoding: chunked\r\n\r\n2\r\nAA\r\n2;ext=1\r\nAA\r\n0\r\nX-T: 1\r\n\r\n",
     "TS-2047: open msg2: TessarinError"),
    (b"HTTP/1.0 200 OK\r\n\r\nAAAA", "TS-2047: open msg2: TessarinError"),
    # A chunk announcing more than the cap stops the reading at once.
    (OK + b"Transfer-Encoding: chunked\r\n\r\n400001\r\n",
     "TS-2021: gate response exceeds 4194304 bytes (4194305) \u2014 refuse to buffer\n"),
    (OK + b"Content-Length: 10\r\n\r\nAAAA", "TS-2020: POST /gate: transfer closed with 6 bytes remaining to read\n"),
    (OK + b"Transfer-Encoding: chunked\r\n\r\n4\r\nAAAA\r\n",
     "TS-2020: POST /gate: transfer closed with outstanding read data remaining\n"),
    (OK + b"Transfer-Encoding: chunked\r\n\r\nzz\r\n",
     "TS-2020: POST /gate: Illegal or missing hexadecimal sequence in chunked-encoding\n"),
    (OK + b"Content-Length: 4\r\nContent-Length: 5\r\n\r\nAAAAA",
     "TS-2020: POST /gate: Conflicting Content-Length values in response\n"),
    (OK + b"Content-Length: -4\r\n\r\nAAAA", "TS-2020: POST /gate: Invalid Content-Length in response\n"),
    (OK + b"Transfer-Encoding: gzip\r\n\r\nAAAA",
     "TS-2020: POST /gate: Unsupported transfer encoding in response\n"),
    (OK + b"X-Big: " + b"a" * 70000 + b"\r\n\r\n",
     "TS-2020: POST /gate: Too large response headers (over 65536 bytes)\n"),
    (b"HTTP/1.1 2OO OK\r\n\r\n", "TS-2020: POST /gate: Invalid status line\n"),
    (b"", "TS-2020: POST /gate: Empty reply from server\n"),
    (b"HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.1/gate\r\n\r\n",
     'TS-2020: POST /gate: Protocol "http" not supported\n'),
    # A redirect to itself, with a body that is never read: a loop.
    (b"HTTP/1.1 307 Again\r\nLocation: /gate\r\nContent-Length: 5000\r\n\r\nmoved", TOO_MANY),
    # A malformed redirect is not followed.
    (b"HTTP/1.1 301 Moved\r\nLocation: /gate\r\nContent-Length: x\r\n\r\n",
     "TS-2020: POST /gate: Invalid Content-Length in response\n"),
])
def test_responses_from_a_scripted_peer(gate, cli, peer, response, stderr):
    peer.response = response
    r = peer_get(gate, cli, peer)
    assert (r.status, r.stdout) == (1, "")
    assert r.stderr.startswith(stderr), r.stderr


def test_close_delimited_body_over_the_cap(gate, cli, peer):
    peer.response = b"HTTP/1.0 200 OK\r\n\r\n" + b"A" * (4194304 + 100000)
    r = peer_get(gate, cli, peer)
    assert r.status == 1
    m = re.fullmatch(r"TS-2021: gate response exceeds 4194304 bytes \((\d+)\) \u2014 refuse to buffer\n",
                     r.stderr)
    assert m and int(m.group(1)) > 4194304, r.stderr


@pytest.fixture
def stranger_peer(tmp_path):
    """A peer whose certificate names only other.example."""
    p = ScriptedPeer(*make_certificate(tmp_path / "stranger", ["other.example"]))
    p.response = OK + b"Content-Length: 0\r\n\r\n"
    yield p
    p.close()


@pytest.mark.parametrize("host, problem", [("127.0.0.1", "IP address mismatch"),
                                           ("localhost", "hostname mismatch")])
def test_certificate_must_name_the_host(gate, cli, stranger_peer, host, problem):
    r = peer_get(gate, cli, stranger_peer, host=host)
    assert (r.status, r.stdout, r.stderr) == (
        1, "", "TS-2020: POST /gate: SSL certificate problem: %s (host %s, trust store SSL_CERT_FILE=%s)\n"
               % (problem, host, stranger_peer.cert))
    assert stranger_peer.requests == []
