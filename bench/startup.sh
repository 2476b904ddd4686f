#!/usr/bin/env bash
# Start-up cost: `tessarin-cli --version` against a C++ hello world compiled with the same
# compiler, flags and link options. Needs g++ and hyperfine (make deps installs both).
# Usage: bench/startup.sh [path/to/tessarin-cli]
set -euo pipefail
cli=$(realpath "${1:-build/tessarin-cli}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Release flags as CMake uses them for tessarin-cli.
g++ -std=gnu++20 -O3 -DNDEBUG "$here/hello.cc" -o "$work/hello" -static-libstdc++ -static-libgcc

echo "shared objects mapped at start:"
printf '  tessarin-cli: %s\n' "$(ldd "$cli" | wc -l)"
printf '  hello:        %s\n' "$(ldd "$work/hello" | wc -l)"
echo
hyperfine -N --warmup 50 --runs 1000 --export-markdown "$work/result.md" \
    -n hello "$work/hello" \
    -n "tessarin-cli --version" "$cli --version" >/dev/null
cat "$work/result.md"
