#!/usr/bin/env bash
# Applies .clang-format to every C++ file in the tree; with --check, changes nothing and fails when a
# file differs.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(-i)
[[ "${1:-}" == "--check" ]] && mode=(--dry-run --Werror)
git ls-files '*.cpp' '*.h' | xargs clang-format "${mode[@]}"
