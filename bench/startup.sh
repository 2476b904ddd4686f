#!/usr/bin/env bash
# Start-up cost: `tessarin-cli --version` against a C++ hello world compiled with the same
# compiler, flags and link options (a static PIE, as CMakeLists.txt links tessarin-cli). Needs
# g++, gcc and hyperfine (make deps installs them).
# Usage: bench/startup.sh [path/to/tessarin-cli]
set -euo pipefail
cli=$(realpath "${1:-build/tessarin-cli}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Release flags and link options as CMake uses them for tessarin-cli; the dynamic form when the
# toolchain cannot link a static PIE (CMake then cannot either).
flags=(-std=gnu++20 -Os -DNDEBUG -ffunction-sections -fdata-sections -Wl,--gc-sections)
g++ "${flags[@]}" "$here/hello.cc" -o "$work/hello" -static-pie -Wl,-z,pack-relative-relocs \
    2>/dev/null ||
    g++ "${flags[@]}" "$here/hello.cc" -o "$work/hello" -static-pie 2>/dev/null ||
    g++ "${flags[@]}" "$here/hello.cc" -o "$work/hello" -static-libstdc++ -static-libgcc
gcc -O2 "$here/peak_rss.c" -o "$work/peak_rss"

shared_objects() {
    if ldd "$1" 2>&1 | grep -q -e 'statically linked' -e 'not a dynamic executable'; then
        echo "none (static)"
    else
        ldd "$1" | wc -l
    fi
}
peak_rss() {
    "$work/peak_rss" "$work/rss" 20 "$@"
    awk '{ printf "%.2f MB", $1 / 1024 }' "$work/rss"
}
echo "shared objects mapped at start, and peak RSS (median of 20 runs):"
printf '  tessarin-cli: %-16s %s\n' "$(shared_objects "$cli")" "$(peak_rss "$cli" --version)"
printf '  hello:        %-16s %s\n' "$(shared_objects "$work/hello")" "$(peak_rss "$work/hello")"
echo
hyperfine -N --warmup 50 --runs 1000 --export-markdown "$work/result.md" \
    -n hello "$work/hello" \
    -n "tessarin-cli --version" "$cli --version" >/dev/null
cat "$work/result.md"
