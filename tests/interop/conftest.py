"""The client through real proxies in front of the development gate: the fixtures of the
end-to-end tests (the gate, the client run in a clean environment) and the proxies."""
import importlib.util
import pathlib
import sys

import pytest

E2E = pathlib.Path(__file__).resolve().parents[1] / "e2e"
if str(E2E) not in sys.path:
    sys.path.insert(0, str(E2E))
if str(pathlib.Path(__file__).parent) not in sys.path:
    sys.path.insert(0, str(pathlib.Path(__file__).parent))

# The end-to-end conftest's client fixtures, under a name of their own.
_spec = importlib.util.spec_from_file_location("e2e_conftest", E2E / "conftest.py")
_e2e = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_e2e)
home = _e2e.home
cli = _e2e.cli

pytest_plugins = ["gate_fixtures"]

import proxies  # noqa: E402


@pytest.fixture
def proxy_factory(gate, tmp_path):
    """start(setup) -> a Proxy of the named set-up in front of `gate`, stopped at teardown."""
    from devgate import vault as vaultmod

    started = []
    key = vaultmod.DataDir(gate.data).cert_key_path

    def start(setup):
        p = proxies.start(setup, tmp_path / ("proxy-%d" % len(started)), gate.port, gate.cert, key)
        started.append(p)
        return p

    yield start
    for p in started:
        p.stop()
