#!/usr/bin/env bash
# Takes a screenshot of the window under a virtual X display: docs/window.png.
#   scripts/screenshot.sh [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/window.png}"
scripts/install-deps.sh --test
cmake --preset release >/dev/null
cmake --build --preset release --target tarnix-pellora >/dev/null

display=:$((90 + RANDOM % 100))
Xvfb "$display" -noreset -screen 0 640x560x24 >/dev/null 2>&1 &
xvfb=$!
config=$(mktemp -d)
trap 'kill $app $xvfb 2>/dev/null || true; rm -rf "$config"' EXIT
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
DISPLAY=$display XDG_CONFIG_HOME=$config build/release/app/tarnix-pellora &
app=$!
for _ in $(seq 100); do
    DISPLAY=$display xdotool search --name '^Tarnix Pellora' >/dev/null 2>&1 && break
    sleep 0.1
done
sleep 0.5
DISPLAY=$display import -window root -crop 602x527+0+0 "$out"
echo "wrote $out"
