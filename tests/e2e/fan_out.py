"""The work that makes many requests at once, shared by the limit tests and the proxy tests: an
agent with ten entries to render and twenty memories a search finds, and both commands run and
checked whole."""
from gate_fixtures import enrol_agent

ENTRIES = 10
HITS = 20


def seed(gate, cli, **mint):
    """Enrols a new agent (mint options as enrol_agent) with the quota off and seeds its ten
    entries and twenty memories; returns the seeded ids by title."""
    gate.set("minute_limit", 0)
    gate.set("hour_limit", 0)
    agent = enrol_agent(gate, cli, **mint)
    return gate.seed([{"title": "e%d" % k, "fields": [{"label": "f", "value": "v%d" % k, "tier": 2}]}
                      for k in range(ENTRIES)] +
                     [{"title": "m%d" % k, "type": "memory", "fields": [
                         {"label": "summary", "value": "summary %d" % k, "tier": 2},
                         {"label": "content", "value": "content", "tier": 2},
                         {"label": "status", "value": "active"}]}
                      for k in range(HITS)], agent=agent)


def render_and_search(gate, cli, ids, tmp_path, preexec_fn=None):
    """Renders the ten entries and lists the twenty hits: both whole."""
    template = tmp_path / "template"
    template.write_text("".join("%d=tessarin://e%d/f\n" % (k, k) for k in range(ENTRIES)))
    r = cli("render", str(template), timeout=90, preexec_fn=preexec_fn)
    assert (r.status, r.stdout) == (0, "".join("%d=v%d\n" % (k, k) for k in range(ENTRIES))), r.stderr

    hits = [{"entry_id": ids["m%d" % k], "distance": k / 100, "embedding_model": "m"} for k in range(HITS)]
    gate.fault("result", action="search.similar", result=hits)
    vector = tmp_path / "vector"
    vector.write_text("AAAA")
    r = cli("memory", "search", "--vector-file", str(vector), "--limit", str(HITS), timeout=90,
            preexec_fn=preexec_fn)
    expected = "".join("%s\t%.4f\t[m]\tsummary %d\n" % (ids["m%d" % k], k / 100, k) for k in range(HITS))
    assert (r.status, r.stdout, r.stderr) == (0, expected, ""), (r.status, r.stderr)
