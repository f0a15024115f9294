#!/usr/bin/env bash
# Installs what is missing, builds both programs and starts the window; the command line is then
# build/release/cli/tarnix-pellora-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tarnix-pellora tarnix-pellora-cli
echo "Built: build/release/app/tarnix-pellora (starting now) and build/release/cli/tarnix-pellora-cli"
exec build/release/app/tarnix-pellora "$@"
