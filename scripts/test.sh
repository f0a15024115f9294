#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh          the debug build
#   scripts/test.sh asan     the same suite under AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"
scripts/install-deps.sh --test
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
