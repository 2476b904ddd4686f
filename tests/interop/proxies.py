"""Real front doors in front of the development gate: nginx and haproxy from Debian's packages,
started on a free loopback port with the gate's own certificate and stopped again, each set up
as a site operator would set its limits."""
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import time

NGINX = "/usr/sbin/nginx"
HAPROXY = "/usr/sbin/haproxy"

# nginx's limiter set-ups: the directives that go into the server block (the zones are always
# declared: 10 requests a second per client address, connections counted per client address).
NGINX_SETUPS = {
    "nginx plain, keep-alive on": "keepalive_timeout 65;",
    "nginx plain, keep-alive off": "keepalive_timeout 0;",
    "nginx limit_conn 2": "limit_conn conn 2;",
    "nginx limit_conn 4": "limit_conn conn 4;",
    "nginx limit_req burst 5 nodelay, 503": "limit_req zone=req burst=5 nodelay;",
    "nginx limit_req burst 5 nodelay, 429": "limit_req zone=req burst=5 nodelay; limit_req_status 429;",
    "nginx limit_req burst 20, delaying": "limit_req zone=req burst=20;",
}

# haproxy's: (a line of the frontend, options of the one server, a line of the backend).
HAPROXY_SETUPS = {
    "haproxy plain": ("", "", ""),
    # Two requests at the gate at once; one more waits in the queue no longer than it takes
    # to see that it must wait: refused with 503.
    "haproxy server maxconn 2, 503 on overflow": ("", "maxconn 2", "timeout queue 1ms"),
    # The frontend accepts two connections at once; the rest wait in the listening queue.
    "haproxy frontend maxconn 2": ("maxconn 2", "", ""),
    "haproxy server maxconn 2, queued": ("", "maxconn 2", ""),
}

SETUPS = list(NGINX_SETUPS) + list(HAPROXY_SETUPS)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_listening(port, proc, log, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("proxy exited: %s" % pathlib.Path(log).read_text(errors="replace"))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("proxy did not listen on %d: %s" % (port, pathlib.Path(log).read_text(errors="replace")))


class Proxy:
    """A running proxy: host ("127.0.0.1:PORT") to enrol against, stop() to end it."""

    def __init__(self, proc, port):
        self.proc = proc
        self.port = port
        self.host = "127.0.0.1:%d" % port

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def _nginx_config(d, port, gate_port, cert, key, directives):
    user = "user root;\n" if os.geteuid() == 0 else ""
    return f"""{user}worker_processes 1;
daemon off;
master_process on;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 256; }}
http {{
  access_log {d}/access.log;
  client_body_temp_path {d}/body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  limit_conn_zone $binary_remote_addr zone=conn:1m;
  limit_req_zone $binary_remote_addr zone=req:1m rate=10r/s;
  server {{
    listen 127.0.0.1:{port} ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    {directives}
    location / {{
      proxy_pass https://127.0.0.1:{gate_port};
      proxy_ssl_verify off;
      proxy_http_version 1.1;
    }}
  }}
}}
"""


def _haproxy_config(port, gate_port, pem, frontend, server, backend):
    return f"""global
  maxconn 256
defaults
  mode http
  timeout connect 5s
  timeout client 30s
  timeout server 30s
  timeout queue 30s
frontend fe
  bind 127.0.0.1:{port} ssl crt {pem}
  {frontend}
  default_backend be
backend be
  {backend}
  server gate 127.0.0.1:{gate_port} ssl verify none {server}
"""


def start(setup, directory, gate_port, cert, key) -> Proxy:
    """Starts the proxy of the named set-up in directory, in front of the gate's port."""
    d = pathlib.Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    port = free_port()
    log = d / "proxy.log"
    if setup in NGINX_SETUPS:
        conf = d / "nginx.conf"
        conf.write_text(_nginx_config(d, port, gate_port, cert, key, NGINX_SETUPS[setup]))
        cmd = [NGINX, "-p", str(d), "-c", str(conf), "-e", str(d / "error.log")]
    else:
        pem = d / "gate.pem"
        pem.write_bytes(pathlib.Path(cert).read_bytes() + pathlib.Path(key).read_bytes())
        conf = d / "haproxy.cfg"
        conf.write_text(_haproxy_config(port, gate_port, pem, *HAPROXY_SETUPS[setup]))
        cmd = [HAPROXY, "-db", "-f", str(conf)]
    with open(log, "wb") as out:
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    _wait_listening(port, proc, log)
    return Proxy(proc, port)


def available() -> bool:
    return bool(shutil.which(NGINX) and shutil.which(HAPROXY))
