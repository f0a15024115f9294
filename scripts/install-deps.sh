#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing. Safe to run again. Every
# package is named here, nothing is left to "Recommends": a minimal Debian 12 with nothing but these
# runs scripts/run.sh, scripts/test.sh and scripts/fuzz.sh (scripts/fresh-check.sh proves it).
#   scripts/install-deps.sh [--test] [--fuzz] [--driver] [--bench]
set -euo pipefail

packages=(
    build-essential cmake ninja-build git pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libudev-dev libsystemd-dev
    libgtest-dev googletest fonts-dejavu-core
)
for option in "$@"; do
    case "$option" in
    # Test tools: a virtual display for the window, S-record tools from other makers and a MIPS
    # linker (ELF programs of both classes and byte orders for the firmware oracles), and what the
    # package test runs: cpack's DEB generator (file, dpkg-shlibdeps), lintian and the checkers of
    # the desktop entry, the manual pages and the AppStream metainfo; a session bus of the tests'
    # own for the desktop notification; clang-format, which CI checks the tree with; Qt's private
    # headers, through which the accessibility test switches accessibility on, and the
    # accessibility bus with a Python client that reads the window as a screen reader does; the
    # journal's daemon, collector and uploader, through which the journal check carries runs.
    --test)
        packages+=(xvfb xauth xdotool imagemagick x11-apps x11-utils binutils srecord
            binutils-mips-linux-gnu
            file dpkg-dev lintian desktop-file-utils groff-base appstream dbus-daemon clang-format
            qt6-base-private-dev at-spi2-core python3 python3-gi gir1.2-atspi-2.0
            systemd systemd-journal-remote)
        ;;
    # The fuzzing toolchain: clang and its sanitizer and libFuzzer runtimes.
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    # The driver check (scripts/driver-check.sh): the virtual machine, the tools that build its
    # Debian guest and turn it into a disk image, and xz for the kernel it boots uncompressed.
    --driver) packages+=(qemu-system-x86 debootstrap debian-archive-keyring e2fsprogs xz-utils) ;;
    # The benchmarks' window on an X display: the virtual display and a window manager on it.
    --bench) packages+=(xvfb openbox) ;;
    *) echo "usage: scripts/install-deps.sh [--test] [--fuzz] [--driver] [--bench]" >&2; exit 2 ;;
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
