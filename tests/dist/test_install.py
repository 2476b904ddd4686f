"""make install: the program, its man page and its completion files under DESTDIR/PREFIX."""
import filecmp
import os

from conftest import BUILD, make, run

TREE = {
    "bin/tessarin-cli",
    "share/man/man1/tessarin-cli.1",
    "share/bash-completion/completions/tessarin-cli",
    "share/zsh/vendor-completions/_tessarin-cli",
    "share/fish/vendor_completions.d/tessarin-cli.fish",
    "share/doc/tessarin-cli/copyright",
}


def installed(root):
    return {str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir()}


def test_honours_destdir_and_prefix(tmp_path, version):
    stage = tmp_path / "stage"
    make("install", DESTDIR=stage, PREFIX="/opt/tessarin")
    # Everything under DESTDIR + PREFIX, nothing elsewhere.
    assert installed(stage) == {f"opt/tessarin/{f}" for f in TREE}
    root = stage / "opt" / "tessarin"

    binary = root / "bin" / "tessarin-cli"
    assert os.access(binary, os.X_OK)
    r = run(binary, "--version", env={"NO_COLOR": "1"})
    assert (r.returncode, r.stdout) == (0, f"tessarin-cli {version}\n")

    for name, built in [("share/man/man1/tessarin-cli.1", "doc/tessarin-cli.1"),
                        ("share/bash-completion/completions/tessarin-cli",
                         "completion/tessarin-cli"),
                        ("share/zsh/vendor-completions/_tessarin-cli", "completion/_tessarin-cli"),
                        ("share/fish/vendor_completions.d/tessarin-cli.fish",
                         "completion/tessarin-cli.fish")]:
        assert filecmp.cmp(root / name, BUILD / built, shallow=False), name
        assert (root / name).stat().st_mode & 0o777 == 0o644, name
