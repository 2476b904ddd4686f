"""make install: the program (stripped), its man page and its completion files under
DESTDIR/PREFIX, where the shells look for that prefix; make uninstall removes exactly those.
Every install here goes from the build tree under test into a staging directory of the test's
own, with a record of its own (INSTALL_RECORD): the user's own record is never touched."""
import filecmp
import os
import pathlib

import pytest

from conftest import BUILD, make, run

TREE = {
    "bin/tessarin-cli",
    "share/man/man1/tessarin-cli.1",
    "share/bash-completion/completions/tessarin-cli",
    "share/zsh/site-functions/_tessarin-cli",
    "share/fish/vendor_completions.d/tessarin-cli.fish",
    "share/doc/tessarin-cli/copyright",
}
BUILT = {"share/man/man1/tessarin-cli.1": "doc/tessarin-cli.1",
         "share/bash-completion/completions/tessarin-cli": "completion/tessarin-cli",
         "share/zsh/site-functions/_tessarin-cli": "completion/_tessarin-cli",
         "share/fish/vendor_completions.d/tessarin-cli.fish": "completion/tessarin-cli.fish"}


def installed(root):
    return {str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir()}


def install(tmp_path, **variables):
    """make install into the test's staging directory, recorded in the test's own record."""
    return make("install", INSTALL_RECORD=tmp_path / "installed-files.txt", **variables)


def uninstall(tmp_path):
    return make("uninstall", INSTALL_RECORD=tmp_path / "installed-files.txt")


def test_honours_destdir_and_prefix(tmp_path, version):
    stage = tmp_path / "stage"
    install(tmp_path, DESTDIR=stage, PREFIX="/opt/tessarin")
    # Everything under DESTDIR + PREFIX, nothing elsewhere.
    assert installed(stage) == {f"opt/tessarin/{f}" for f in TREE}
    root = stage / "opt" / "tessarin"

    binary = root / "bin" / "tessarin-cli"
    assert os.access(binary, os.X_OK)
    r = run(binary, "--version", env={"NO_COLOR": "1"})
    assert (r.returncode, r.stdout) == (0, f"tessarin-cli {version}\n")
    assert ", stripped" in run("file", binary).stdout

    for name, built in BUILT.items():
        assert filecmp.cmp(root / name, BUILD / built, shallow=False), name
        assert (root / name).stat().st_mode & 0o777 == 0o644, name


def zsh_fpath():
    r = run("zsh", "-f", "-c", "print -l $fpath", env={"PATH": "/usr/bin:/bin"})
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


def fish_complete_path(xdg_data_dirs=None):
    env = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"}
    if xdg_data_dirs:
        env["XDG_DATA_DIRS"] = xdg_data_dirs
    r = run("fish", "-c", "printf '%s\\n' $fish_complete_path", env=env)
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


def bash_finds_completion(data_dirs):
    """Whether bash-completion, given XDG_DATA_DIRS (None: unset), loads tessarin-cli's file."""
    env = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"}
    if data_dirs:
        env["XDG_DATA_DIRS"] = data_dirs
    r = run("bash", "--norc", "-c", ". /usr/share/bash-completion/bash_completion; "
            "__load_completion tessarin-cli && complete -p tessarin-cli", env=env)
    return r.returncode == 0 and "tessarin-cli" in r.stdout


@pytest.mark.parametrize("prefix,zsh_dir", [
    ("/usr/local", "share/zsh/site-functions"),
    ("/usr", "share/zsh/vendor-completions"),
    ("/opt/tessarin", "share/zsh/site-functions"),
])
def test_completion_where_the_shells_look(tmp_path, prefix, zsh_dir):
    """Installed under DESTDIR, each file sits where the real shell searches for that prefix
    (Debian's fish searches /usr/local, and bash-completion any prefix but /usr and /usr/local,
    only when XDG_DATA_DIRS names it, which install says), and uninstall takes away exactly what
    install put."""
    stage = tmp_path / "stage"
    other = stage / prefix.lstrip("/") / zsh_dir / "_other"
    other.parent.mkdir(parents=True)
    other.write_text("someone else's\n")
    r = install(tmp_path, DESTDIR=stage, PREFIX=prefix)
    zsh_file = f"{prefix}/{zsh_dir}/_tessarin-cli"
    assert (stage / zsh_file.lstrip("/")).is_file()
    if prefix == "/opt/tessarin":
        assert os.path.dirname(zsh_file) not in zsh_fpath()
        assert f"fpath+=({os.path.dirname(zsh_file)})" in r.stdout
    else:
        assert os.path.dirname(zsh_file) in zsh_fpath()
    fish_dir = f"{prefix}/share/fish/vendor_completions.d"
    assert (stage / fish_dir.lstrip("/") / "tessarin-cli.fish").is_file()
    share = stage / prefix.lstrip("/") / "share"
    if prefix == "/opt/tessarin":
        # bash-completion: found through XDG_DATA_DIRS (here the staged tree) and only so.
        assert (stage / prefix.lstrip("/") / "share/bash-completion/completions/tessarin-cli").is_file()
        system_wide = [pathlib.Path(d) / "bash-completion/completions/tessarin-cli"
                       for d in ("/usr/local/share", "/usr/share")]
        if not any(p.exists() for p in system_wide):
            assert not bash_finds_completion(None)
        assert bash_finds_completion(f"{share}:/usr/share")
        assert "bash and fish:" in r.stdout
    else:
        assert "bash and fish:" not in r.stdout
    if prefix == "/usr":
        assert fish_dir in fish_complete_path()
        assert "XDG_DATA_DIRS" not in r.stdout
    else:
        assert fish_dir not in fish_complete_path()
        assert fish_dir in fish_complete_path(f"{prefix}/share:/usr/share")
        assert f"XDG_DATA_DIRS={prefix}/share:/usr/share" in r.stdout
        assert f"set -a fish_complete_path {fish_dir}" in r.stdout

    r = uninstall(tmp_path)
    assert installed(stage) == {str(other.relative_to(stage))}
    assert r.stdout.count("removed ") == len(TREE)


def test_the_users_own_install_record_survives(tmp_path):
    """The record `make install` keeps in the build tree for the user's own `make uninstall`
    is neither rewritten nor removed by an install and uninstall recorded elsewhere."""
    record = BUILD / "installed-files.txt"
    placed = not record.exists()
    if placed:
        record.write_text("/usr/local/bin/tessarin-cli\n")
    before = record.read_bytes()
    try:
        install(tmp_path, DESTDIR=tmp_path / "stage", PREFIX="/usr/local")
        assert (tmp_path / "installed-files.txt").is_file()
        uninstall(tmp_path)
        assert record.read_bytes() == before
    finally:
        if placed:
            record.unlink(missing_ok=True)
