#!/usr/bin/env bash
# The window as a screen reader reads it over the AT-SPI bus, as on a desktop: a virtual display, a
# session bus of its own with the accessibility bus on it, and atspi_reader.py as the screen reader.
# The port number is mapped to a device that is not there, so that Connect fails with a note.
#   atspi_check.sh PROGRAM
set -euo pipefail
program=$1
here=$(cd "$(dirname "$0")" && pwd)
launcher=/usr/libexec/at-spi-bus-launcher
for need in Xvfb dbus-daemon "$launcher" /usr/bin/python3; do
    command -v "$need" >/dev/null ||
        { echo "missing $need: scripts/install-deps.sh --test installs it" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
# The window goes first, so that it never sees its display vanish, and each is waited for, so that
# nothing outlives the check.
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    [[ -n ${DBUS_PID:-} ]] && kill "$DBUS_PID" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# -noreset: without it the server resets whenever its last client leaves (the accessibility bus's
# launcher, after it has put the bus's address on the root window), and refuses the window meanwhile.
Xvfb -displayfd 3 -noreset -screen 0 800x600x24 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.05; done
export DISPLAY=:$(cat "$work/display") XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
read -r DBUS_SESSION_BUS_ADDRESS DBUS_PID < <(dbus-daemon --session --fork --print-address=1 \
    --print-pid=1 2>/dev/null | paste -sd' ')
export DBUS_SESSION_BUS_ADDRESS
"$launcher" --launch-immediately >/dev/null 2>&1 &
pids+=($!)

mkdir -p "$work/config/Tarnix"
printf '[General]\nComPort=9\n\n[Ports]\nCOM9=%s\n' "$work/absent" >"$work/config/Tarnix/Settings.ini"
QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 XDG_CONFIG_HOME="$work/config" \
    XDG_STATE_HOME="$work/state" "$program" >"$work/window.log" 2>&1 &
pids+=($!)
/usr/bin/python3 "$here/atspi_reader.py" "$(basename "$program")" "${pids[-1]}" || {
    echo "--- what the window printed:" >&2
    cat "$work/window.log" >&2
    exit 1
}
