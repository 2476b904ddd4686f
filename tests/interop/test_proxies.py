"""render and memory search through nginx and haproxy with the limits operators set: whole
output through every one of them."""
import pytest

import proxies
from gate_fixtures import enrol_agent

pytestmark = pytest.mark.skipif(not proxies.available(), reason="nginx and haproxy are installed by make deps")

ENTRIES = 10
HITS = 20


def _enrol_through(gate, cli, proxy):
    """An agent whose home gate is the proxy, with ten entries and twenty memories to read."""
    agent = enrol_agent(gate, cli, pop=proxy.host)
    ids = gate.seed([{"title": "e%d" % k, "fields": [{"label": "f", "value": "v%d" % k, "tier": 2}]}
                     for k in range(ENTRIES)] +
                    [{"title": "m%d" % k, "type": "memory", "fields": [
                        {"label": "summary", "value": "summary %d" % k, "tier": 2},
                        {"label": "content", "value": "content", "tier": 2},
                        {"label": "status", "value": "active"}]}
                     for k in range(HITS)], agent=agent)
    return ids


@pytest.mark.parametrize("setup", proxies.SETUPS)
def test_render_and_memory_search_are_whole_through(setup, gate, cli, proxy_factory, tmp_path):
    gate.set("minute_limit", 0)
    gate.set("hour_limit", 0)
    proxy = proxy_factory(setup)
    ids = _enrol_through(gate, cli, proxy)

    template = tmp_path / "template"
    template.write_text("".join("%d=tessarin://e%d/f\n" % (k, k) for k in range(ENTRIES)))
    r = cli("render", str(template), timeout=60)
    assert (r.status, r.stdout) == (0, "".join("%d=v%d\n" % (k, k) for k in range(ENTRIES))), r.stderr

    hits = [{"entry_id": ids["m%d" % k], "distance": k / 100, "embedding_model": "m"} for k in range(HITS)]
    gate.fault("result", action="search.similar", result=hits)
    vector = tmp_path / "vector"
    vector.write_text("AAAA")
    r = cli("memory", "search", "--vector-file", str(vector), "--limit", str(HITS), timeout=60)
    expected = "".join("%s\t%.4f\t[m]\tsummary %d\n" % (ids["m%d" % k], k / 100, k) for k in range(HITS))
    assert (r.status, r.stdout, r.stderr) == (0, expected, "")
