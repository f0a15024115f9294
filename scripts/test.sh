#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh          the debug build
#   scripts/test.sh asan     the same suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh driver   only the debug build's driver check (scripts/driver-check.sh, as root):
#                            the command line against real serial drivers in a virtual machine
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"
build="$preset"
[[ "$preset" == driver ]] && build=debug
scripts/install-deps.sh --test
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
cmake --preset "$build" >/dev/null
cmake --build --preset "$build"
ctest --preset "$preset" -j2
