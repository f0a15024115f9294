#!/usr/bin/env bash
# Applies .clang-format to every C++ file in the tree; with --check, changes nothing and fails when a
# file differs. The tree is formatted with clang-format 14 (Debian 12's): another major version lays
# some lines out differently, so it is refused rather than trusted.
set -euo pipefail
cd "$(dirname "$0")/.."
required=14
mode=(-i)
[[ "${1:-}" == "--check" ]] && mode=(--dry-run --Werror)

formatter=
for candidate in "clang-format-$required" clang-format; do
    command -v "$candidate" >/dev/null || continue
    # "Debian clang-format version 14.0.6", "clang-format version 14.0.0 (...)"
    version=$("$candidate" --version | sed -n 's/.*clang-format version \([0-9]*\)\..*/\1/p')
    if [[ "$version" == "$required" ]]; then
        formatter=$candidate
        break
    fi
    found="$candidate is version ${version:-unknown}"
done
if [[ -z "$formatter" ]]; then
    echo "format.sh: the tree is formatted with clang-format $required;" \
        "${found:-no clang-format was found} (Debian 12: apt install clang-format)" >&2
    exit 2
fi
git ls-files '*.cpp' '*.h' | xargs "$formatter" "${mode[@]}"
