"""make package: a .deb for the build's architecture that carries the program's version, depends
on little, passes lintian, and whose extracted binary is built for that architecture and runs
(under the emulator for a cross build)."""
import gzip
import os
import re
import subprocess

import pytest

from conftest import ARCH, BUILD, EMULATOR, ROOT, make, run

HOST_ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()

FILES = {
    "./usr/bin/tessarin-cli",
    "./usr/share/man/man1/tessarin-cli.1.gz",
    "./usr/share/bash-completion/completions/tessarin-cli",
    "./usr/share/zsh/vendor-completions/_tessarin-cli",
    "./usr/share/fish/vendor_completions.d/tessarin-cli.fish",
    "./usr/share/doc/tessarin-cli/copyright",
    "./usr/share/doc/tessarin-cli/changelog.gz",
    "./usr/share/lintian/overrides/tessarin-cli",
}

# readelf's name for each architecture's machine.
ELF_MACHINE = {"amd64": "Advanced Micro Devices X86-64", "arm64": "AArch64"}


@pytest.fixture(scope="module")
def deb(version):
    """The package, built once for this module."""
    path = BUILD / f"tessarin-cli_{version}_{ARCH}.deb"
    path.unlink(missing_ok=True)
    make("package")
    assert path.is_file()
    return path


def field(deb, name):
    r = run("dpkg-deb", "--field", deb, name)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


def test_control_fields(deb, version):
    assert field(deb, "Package") == "tessarin-cli"
    assert field(deb, "Version") == version
    assert field(deb, "Architecture") == ARCH
    assert "<" in field(deb, "Maintainer")
    assert field(deb, "Description").startswith("command-line client for the Tessarin")
    # A static executable (OpenSSL, zlib, the C++ runtime and the C library linked in): the
    # computed dependencies are none.
    assert field(deb, "Depends") == ""


def test_extracted_binary_runs(deb, version, tmp_path):
    r = run("dpkg-deb", "-x", deb, tmp_path)
    assert r.returncode == 0, r.stderr
    files = {"./" + str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if not p.is_dir()}
    assert files == FILES
    # The machine named in the ELF header is the package's architecture's.
    header = run("readelf", "--file-header", tmp_path / "usr/bin/tessarin-cli").stdout
    assert re.search(r"^\s*Machine:\s*(.*)$", header, re.M)[1] == ELF_MACHINE[ARCH]
    r = run(*EMULATOR, tmp_path / "usr/bin/tessarin-cli", "--version", env={"NO_COLOR": "1"})
    assert (r.returncode, r.stdout) == (0, f"tessarin-cli {version}\n")
    # The man page and changelog are compressed without a time stamp (gzip -n), and the
    # changelog names this version.
    for name in ("usr/share/man/man1/tessarin-cli.1.gz", "usr/share/doc/tessarin-cli/changelog.gz"):
        raw = (tmp_path / name).read_bytes()
        assert raw[4:8] == b"\0\0\0\0", name
    changelog = gzip.decompress((tmp_path / "usr/share/doc/tessarin-cli/changelog.gz").read_bytes())
    assert changelog.startswith(f"tessarin-cli ({version}) ".encode())


def test_lintian_finds_no_error_or_warning(deb):
    r = run("lintian", "--fail-on", "error,warning", "--no-tag-display-limit", deb)
    tags = [line for line in r.stdout.splitlines() if line[:2] in ("E:", "W:")]
    assert (r.returncode, tags) == (0, [])


def test_a_second_build_elsewhere_gives_the_same_bytes(deb, tmp_path):
    """The same commit configured and built again in another directory, later, packages to a
    bit-identical .deb: no build path in the binary, every time stamp the last commit's, the
    archives in a fixed order. Only what the package holds is built (no unit tests)."""
    other = tmp_path / "elsewhere"
    toolchain = [] if ARCH == HOST_ARCH else ["-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake"]
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    for step in (["cmake", "-S", ROOT, "-B", other, "-DCMAKE_BUILD_TYPE=Release", "-DTESSARIN_TESTS=OFF",
                  *toolchain],
                 ["cmake", "--build", other, "-j2"]):
        r = run(*step, cwd=ROOT, env=env, timeout=1800)
        assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-2000:]
    r = run("cpack", "-G", "DEB", cwd=other, env=env, timeout=600)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-2000:]
    again = other / deb.name
    assert again.is_file()
    assert again.read_bytes() == deb.read_bytes(), "the two builds' packages differ"
