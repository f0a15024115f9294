#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing. Safe to run again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build git pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libudev-dev
    libgtest-dev googletest fonts-dejavu-core
)
for option in "$@"; do
    case "$option" in
    # Test tools: a virtual display for the window, S-record tools from other makers.
    --test) packages+=(xvfb xauth xdotool imagemagick x11-apps x11-utils binutils srecord) ;;
    # The fuzzing toolchain: clang and its sanitizer and libFuzzer runtimes.
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "usage: scripts/install-deps.sh [--test] [--fuzz]" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "Run as root, or install sudo, to install: ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
