#!/usr/bin/env bash
# The include rules of docs/architecture.md, checked on the sources, and the command line's binary
# checked for the libraries it needs.
#   check_layers.sh SOURCE_DIR CLI_BINARY
set -euo pipefail
src="$1"
cli="$2"
status=0

# forbid FOLDER PATTERN WHY: no file in FOLDER includes a header matching PATTERN.
forbid() {
    local found
    found=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($2)" "$src/$1" || true)
    if [[ -n "$found" ]]; then
        echo "$1/ must not include $3:"
        echo "$found"
        status=1
    fi
}
# forbid_use FOLDER PATTERN WHY: no file in FOLDER names PATTERN at all.
forbid_use() {
    local found
    found=$(grep -rnwE "$2" "$src/$1" || true)
    if [[ -n "$found" ]]; then
        echo "$1/ must not use $3:"
        echo "$found"
        status=1
    fi
}
widgets='Qt(Widgets|Gui)/|Q(Widget|Application|MainWindow|Dialog|MessageBox|PushButton|LineEdit|Label|ComboBox|PlainTextEdit|TextEdit|Menu|GuiApplication|Icon|Pixmap|Font|Color|Painter|KeyEvent|CloseEvent)\b'
for room in firmware numbers settings serial session platform cli devnotify; do
    forbid "$room" "$widgets" "widgets or Qt Gui"
done
forbid clock '(firmware|settings|serial|session|platform|app|cli|devnotify|tools)/' \
    "another room: every room may wait on it"
forbid firmware '(clock|settings|serial|session|platform|app|cli|devnotify|tools)/|QtSerialPort/|QSerial' \
    "the serial port or any other room: it is data in, data out"
forbid settings '(serial|session|platform|app|cli|devnotify)/' "a layer above it"
forbid numbers '(clock|settings|serial|session|platform|app|cli|devnotify|tools)/' \
    "a room other than the firmware formats"
forbid serial '(session|platform|app|cli|devnotify)/' "a layer above it"
forbid session '(platform|app|cli|devnotify)/' "a front end or the platform"
forbid platform '(app|cli)/' "a front end"
forbid cli 'app/' "the window"
# The file formats are the firmware room's: the session asks it for a checked file.
forbid session 'firmware/(SRecordCheck|SRecordEncoder|IntelHex|Elf|Hex|Image|TextLines|FileCheck)\.h' \
    "a file format's workings (firmware/CheckedFile.h is what it asks for)"
# Every wait goes through the program's one clock (clock/Timer.h), so that tests run it in virtual
# time.
for room in serial session cli; do
    forbid_use "$room" 'Q(Elapsed)?Timer' "a timer or clock of its own (take a TimerFactory)"
done
forbid tools '(app|cli|session|serial|settings|platform|devnotify)/' "the host's code"

needed=$(objdump -p "$cli" | awk '/NEEDED/ {print $2}')
if grep -qE 'libQt6(Widgets|Gui)' <<<"$needed"; then
    echo "tarnix-pellora-cli links a GUI library:"
    grep -E 'libQt6' <<<"$needed"
    status=1
fi
grep -q 'libQt6Core' <<<"$needed" || { echo "objdump shows no Qt Core in $cli: check the check"; status=1; }

[[ $status -eq 0 ]] && echo "layers: every rule holds"
exit $status
