"""render and memory search through nginx and haproxy with the limits operators set: whole
output through every one of them."""
import pytest

import fan_out
import proxies

pytestmark = pytest.mark.skipif(not proxies.available(), reason="nginx and haproxy are installed by make deps")


@pytest.mark.parametrize("setup", proxies.SETUPS)
def test_render_and_memory_search_are_whole_through(setup, gate, cli, proxy_factory, tmp_path):
    proxy = proxy_factory(setup)
    # The agent's home gate is the proxy.
    ids = fan_out.seed(gate, cli, pop=proxy.host)
    fan_out.render_and_search(gate, cli, ids, tmp_path)
