#!/bin/sh
# Builds the Debian package from a build tree, checks it with lintian, unpacks it into a scratch root
# (nothing is installed on the system) and starts both programs from there.
#   package_test.sh BUILD_DIR CPACK [FORTIFIED]
# FORTIFIED is ON when the tree is built with the checked libc functions (an optimised build), as
# the packages users install are.
# Exit 77 (skipped) without dpkg-deb, that is on a system that is not Debian's; there the checkers
# lintian, desktop-file-validate, groff and appstreamcli are required too
# (scripts/install-deps.sh --test).
set -u
build_dir=$1
cpack=$2
fortified=${3:-OFF}

skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

[ -x "$cpack" ] || skip "cpack not found ($cpack)"
command -v dpkg-deb >/dev/null 2>&1 || skip "dpkg-deb not found (apt-get install dpkg)"
for tool in lintian desktop-file-validate groff appstreamcli nm; do
    command -v $tool >/dev/null 2>&1 || fail "$tool not found: scripts/install-deps.sh --test installs it"
done
[ -f "$build_dir/CPackConfig.cmake" ] || fail "$build_dir has no CPackConfig.cmake: configure it first"
for program in app/tarnix-pellora cli/tarnix-pellora-cli; do
    [ -x "$build_dir/$program" ] || fail "$build_dir/$program is not built"
done

scratch=$(mktemp -d)
gui_pid=
cleanup() {
    if [ -n "$gui_pid" ] && kill -0 "$gui_pid" 2>/dev/null; then
        kill -KILL "$gui_pid" 2>/dev/null
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# The package, into the scratch folder rather than the build tree.
"$cpack" --config "$build_dir/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack"; }
set -- "$scratch"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one .deb in $scratch/out"
deb=$1
echo "built $(basename "$deb")"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libqt6dbus6 qt6-qpa-plugins; do
    case "$depends" in *"$package"*) ;; *) fail "Depends lacks $package" ;; esac
done

# Debian's own checks, every error and warning counts, and so does every hardening tag, which
# lintian gives as information. An override needs a reason written above it in the package's
# /usr/share/lintian/overrides/tarnix-pellora. A tree built without the optimiser (debug, the
# sanitizers) cannot have the checked functions, and is not a build users install.
lintian -I --pedantic --fail-on error,warning --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1
status=$?
if [ $status -ne 0 ] || grep -q '^[EW]: ' "$scratch/lintian.log"; then
    cat "$scratch/lintian.log"
    fail "lintian (status $status)"
fi
hardening=$(grep ': hardening-' "$scratch/lintian.log")
[ "$fortified" = ON ] || hardening=$(printf '%s\n' "$hardening" | grep -v ': hardening-no-fortify-functions ')
[ -z "$hardening" ] || { cat "$scratch/lintian.log"; fail "lintian's hardening tags: $hardening"; }
echo "lintian: no errors, no warnings, no hardening tags"
[ "$fortified" = ON ] || echo "  (not an optimised build: the checked libc functions not looked for)"
grep '^[IP]: ' "$scratch/lintian.log" | sed 's/^/  /'

dpkg-deb -x "$deb" "$scratch/root" || fail "dpkg-deb -x"
root=$scratch/root
doc=usr/share/doc/tarnix-pellora
for file in usr/bin/tarnix-pellora usr/bin/tarnix-pellora-cli \
    usr/share/applications/tarnix-pellora.desktop \
    usr/share/man/man1/tarnix-pellora.1.gz usr/share/man/man1/tarnix-pellora-cli.1.gz \
    $doc/copyright $doc/changelog.gz \
    usr/share/metainfo/invalid.tarnix.pellora.metainfo.xml usr/lib/udev/rules.d/70-tarnix-pellora.rules \
    usr/share/bash-completion/completions/tarnix-pellora-cli \
    usr/share/icons/hicolor/16x16/apps/tarnix-pellora.png usr/share/icons/hicolor/32x32/apps/tarnix-pellora.png \
    usr/share/icons/hicolor/48x48/apps/tarnix-pellora.png usr/share/icons/hicolor/64x64/apps/tarnix-pellora.png; do
    [ -f "$root/$file" ] || fail "the package lacks /$file"
done
desktop-file-validate "$root/usr/share/applications/tarnix-pellora.desktop" || fail "desktop entry"
# The checked libc functions, which lintian's override counts on.
if [ "$fortified" = ON ]; then
    for program in tarnix-pellora tarnix-pellora-cli; do
        nm -D --undefined-only "$root/usr/bin/$program" | grep -v __stack_chk_fail | grep -q '__.*_chk' ||
            fail "$program imports no checked libc function: built without _FORTIFY_SOURCE?"
    done
fi
# The completion registers itself when bash loads it.
bash -c ". '$root/usr/share/bash-completion/completions/tarnix-pellora-cli' && complete -p tarnix-pellora-cli" \
    >/dev/null || fail "the bash completion does not register for tarnix-pellora-cli"
for page in tarnix-pellora tarnix-pellora-cli; do
    warnings=$(gzip -dc "$root/usr/share/man/man1/$page.1.gz" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "man page $page: $warnings"
done
# The changelog's latest entry is this version.
version=$(dpkg-deb -f "$deb" Version)
head=$(gzip -dc "$root/$doc/changelog.gz" | head -n 1)
case "$head" in "tarnix-pellora ($version) "*) ;; *) fail "changelog starts with '$head', not version $version" ;; esac
# What a software centre reads: valid without a network, no warning, its latest release this
# version, launching the desktop entry that is in the package.
metainfo=$root/usr/share/metainfo/invalid.tarnix.pellora.metainfo.xml
appstreamcli validate --no-net "$metainfo" >"$scratch/appstream.log" 2>&1
status=$?
if [ $status -ne 0 ] || grep -q '^[EW]: ' "$scratch/appstream.log"; then
    cat "$scratch/appstream.log"
    fail "appstreamcli validate (status $status)"
fi
echo "appstream: $(tail -n 1 "$scratch/appstream.log")"
latest=$(grep -m 1 -o '<release version="[^"]*"' "$metainfo")
[ "$latest" = "<release version=\"$version\"" ] || fail "the metainfo's latest release is '$latest', not $version"
launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "$root/usr/share/applications/$launchable" ] || fail "the metainfo launches '$launchable', not in the package"

# Both programs from the unpacked tree, with settings and runtime folders of their own.
export XDG_CONFIG_HOME="$scratch/config"
export XDG_STATE_HOME="$scratch/state"
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

"$root/usr/bin/tarnix-pellora-cli" --help >"$scratch/help.txt" 2>&1 || fail "tarnix-pellora-cli --help exited $?"
grep -q -- "--port N" "$scratch/help.txt" || fail "tarnix-pellora-cli --help printed: $(cat "$scratch/help.txt")"

QT_QPA_PLATFORM=offscreen "$root/usr/bin/tarnix-pellora" >"$scratch/gui.log" 2>&1 &
gui_pid=$!
# Ready once it catches SIGTERM (bit 15 of SigCgt); a signal before that would just kill it.
ready=
i=0
while [ $i -lt 150 ]; do
    kill -0 "$gui_pid" 2>/dev/null || { cat "$scratch/gui.log"; fail "tarnix-pellora exited at start"; }
    mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$gui_pid/status" 2>/dev/null)
    low=${mask#"${mask%????}"}
    if [ -n "$low" ] && [ $((0x$low & 0x4000)) -ne 0 ]; then
        ready=1
        break
    fi
    sleep 0.1
    i=$((i + 1))
done
[ -n "$ready" ] || { cat "$scratch/gui.log"; fail "tarnix-pellora did not start within 15 s"; }

kill -TERM "$gui_pid"
state=
i=0
while kill -0 "$gui_pid" 2>/dev/null && [ $i -lt 50 ]; do
    # A zombie has exited: only the wait below is left.
    state=$(awk '/^State:/ { print $2 }' "/proc/$gui_pid/status" 2>/dev/null)
    [ "$state" = Z ] && break
    sleep 0.1
    i=$((i + 1))
done
if [ "$state" != Z ] && kill -0 "$gui_pid" 2>/dev/null; then
    cat "$scratch/gui.log"
    fail "tarnix-pellora still running 5 s after SIGTERM"
fi
wait "$gui_pid"
status=$?
gui_pid=
[ $status -eq 0 ] || { cat "$scratch/gui.log"; fail "tarnix-pellora exited $status after SIGTERM"; }
echo "both programs ran from the package"
