#!/usr/bin/env bash
# A complete run without hardware: builds the program and the device simulator, starts the
# simulator on a pseudo-terminal mapped to port 9 (with settings and a run history of its own, so
# your real ones are not touched) and opens the window. Then: Connect, browse to examples/demo.srec,
# START PROGRAMMING. The simulator stops when the window is closed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tarnix-pellora tarnix-pellora-sim

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
build/release/tools/tarnix-pellora-sim --link "$work/device" --image "$work/image.bin" \
    --summary "$work/summary.json" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do [[ -e "$work/device" ]] && break; sleep 0.1; done
mkdir -p "$work/config/Tarnix"
printf '[General]\nComPort=9\n\n[Ports]\nCOM9=%s\n' "$work/device" >"$work/config/Tarnix/Settings.ini"

echo "Simulated device on $work/device (port 9)."
echo "Press Connect, browse to $(pwd)/examples/demo.srec, press START PROGRAMMING."
XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" build/release/app/tarnix-pellora "$@" || true
if [[ -s "$work/summary.json" ]]; then
    echo "The simulator received: $(cat "$work/summary.json")"
fi
