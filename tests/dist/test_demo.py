"""make demo on a fresh machine: every Python module the demo's development gate imports comes
from a Debian package that the demo installs (DEMO_PACKAGES), or from Python's standard library."""
import ast
import importlib.util
import re
import sys

from conftest import ROOT, run

GATE = ROOT / "devgate"


def make_variable(name):
    """The value of a variable as make sees it after reading the Makefile."""
    r = run("make", "-pn", "-C", ROOT, "demo-deps")
    assert r.returncode == 0, r.stderr
    m = re.search(r"^%s :?= (.*)$" % name, r.stdout, re.M)
    assert m, "no %s in the Makefile" % name
    return set(m[1].split())


def imported_modules():
    """The top-level modules the gate's own code imports, relative imports left out."""
    sources = sorted(GATE.glob("*.py")) + [GATE / "devgate"]
    found = set()
    for path in sources:
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            if isinstance(node, ast.Import):
                found.update(alias.name.split(".")[0] for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                found.add(node.module.split(".")[0])
    return found - {"devgate"}


def providing_package(module):
    """The Debian package that holds a module's file (dpkg -S)."""
    found = importlib.util.find_spec(module)
    assert found and found.origin, "%s is not installed here" % module
    r = run("dpkg", "-S", found.origin)
    assert r.returncode == 0, "%s (%s) comes from no Debian package" % (module, found.origin)
    return r.stdout.split(":", 1)[0]


def test_the_gate_imports_only_what_the_demo_installs():
    demo = make_variable("DEMO_PACKAGES")
    third_party = sorted(imported_modules() - set(sys.stdlib_module_names))
    assert third_party, "the gate imports something beyond the standard library"
    missing = {m: providing_package(m) for m in third_party if providing_package(m) not in demo}
    assert missing == {}, "make demo does not install these"
