#!/usr/bin/env bash
# Runs the README's set-up as a new contributor would, on a minimal Debian 12 that has nothing but
# git: builds the system with debootstrap (variant minbase, from this machine's Debian mirror),
# clones a committed branch of this repository into it and runs, inside a chroot,
#   scripts/run.sh     on the offscreen platform; started when the window still runs after 5 s
#   scripts/test.sh    every test must pass
# or with --ci .ci/run instead (the suite under the sanitizers, the fuzzers, then scripts/test.sh). Needs root: it mounts
# /proc, /sys, /dev and /dev/pts in the chroot, and unmounts them on exit however it ends.
#   scripts/fresh-check.sh [--root DIR] [--branch NAME] [--keep] [--ci]
#     --root DIR     where the system is built (default /var/tmp/pellora-fresh-root); it must not
#                    exist, and is removed at the end unless --keep is given
#     --branch NAME  the branch to clone (default: the branch checked out here); only what is
#                    committed is cloned
#     --keep         leave the system in place to look around: chroot DIR bash
#     --ci           run .ci/run, which ends with scripts/test.sh
# FRESH_MIRROR overrides the Debian mirror. Takes 20 to 40 minutes on two cores; the output of each
# step is in DIR.log/ (next to DIR), the tail of a failing step is shown.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
root=/var/tmp/pellora-fresh-root
branch=""
keep=0
ci=0
suite=bookworm
usage() {
    echo "usage: scripts/fresh-check.sh [--root DIR] [--branch NAME] [--keep] [--ci]" >&2
    exit 2
}
while [[ $# -gt 0 ]]; do
    case "$1" in
    --root) [[ $# -ge 2 ]] || usage; root="$2"; shift 2 ;;
    --branch) [[ $# -ge 2 ]] || usage; branch="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --ci) ci=1; shift ;;
    *) usage ;;
    esac
done
[[ $(id -u) -eq 0 ]] || { echo "fresh-check: needs root (debootstrap, chroot, mount)" >&2; exit 1; }
[[ "$root" == /* ]] || root="$(pwd)/$root"
root="${root%/}"
case "$root/" in
"$repo"/*) echo "fresh-check: $root is inside the repository; choose a folder outside it" >&2; exit 2 ;;
/ | /bin/* | /boot/* | /dev/* | /etc/* | /proc/* | /run/* | /sys/* | /usr/*)
    echo "fresh-check: $root is a system folder" >&2; exit 2 ;;
esac
[[ ! -e "$root" ]] || { echo "fresh-check: $root exists; remove it or choose another --root" >&2; exit 2; }
branch="${branch:-$(git -C "$repo" symbolic-ref --short HEAD)}"
git -C "$repo" rev-parse --verify --quiet "refs/heads/$branch" >/dev/null ||
    { echo "fresh-check: no branch $branch" >&2; exit 2; }
if [[ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]]; then
    echo "fresh-check: note: uncommitted changes here are not part of the check" >&2
fi
logs="$root.log"
mkdir -p "$logs"
start=$SECONDS
say() { printf '[fresh-check %4d s] %s\n' $((SECONDS - start)) "$*"; }

# The Debian mirror and the security mirror of this machine's apt sources.
# shellcheck source=scripts/debian-mirror.sh
source "$repo/scripts/debian-mirror.sh"
mirror="$(debian_mirror "$suite")"
security="$(debian_mirror "$suite-security")"
[[ -n "$mirror" ]] || { echo "fresh-check: no Debian $suite mirror in /etc/apt; set FRESH_MIRROR" >&2; exit 1; }

mounts=()
cleanup() {
    local status=$? pid i
    set +e
    # Whatever still runs inside the system (the window, a virtual display) was started by this
    # check: end it before unmounting.
    for pid in /proc/[0-9]*; do
        [[ "$(readlink "$pid/root" 2>/dev/null)" == "$root" ]] && kill -KILL "${pid#/proc/}" 2>/dev/null
    done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
    done
    if grep -q " $root/" /proc/self/mountinfo; then
        echo "fresh-check: something is still mounted under $root; not removing it" >&2
    elif [[ $keep -eq 0 && -d "$root" ]]; then
        rm -rf --one-file-system "$root"
    fi
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Runs a step with its output in $logs/NAME.log; shows the tail when it fails.
step() {
    local name=$1
    shift
    say "$name"
    if ! "$@" >"$logs/$name.log" 2>&1; then
        tail -n 60 "$logs/$name.log"
        say "$name: FAILED (whole output: $logs/$name.log)"
        exit 1
    fi
}
# A root shell in the system as a plain console gives it: a dumb terminal, no locale set.
shell=(chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb SHELL=/bin/bash USER=root LOGNAME=root
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c)
inside() { "${shell[@]}" "$1"; }

if ! command -v debootstrap >/dev/null || [[ ! -f /usr/share/keyrings/debian-archive-keyring.gpg ]]; then
    step host-packages env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends debootstrap debian-archive-keyring
fi
step debootstrap debootstrap --variant=minbase "$suite" "$root" "$mirror"
{
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    [[ -z "$security" ]] || echo "deb $security $suite-security main"
} >"$root/etc/apt/sources.list"
cp /etc/resolv.conf "$root/etc/resolv.conf"

mount_in() { # TYPE SOURCE TARGET OPTIONS
    mkdir -p "$root$3"
    mount -t "$1" -o "$4" "$2" "$root$3"
    mounts+=("$root$3")
}
mount_in proc proc /proc nosuid,nodev,noexec
mount_in sysfs sysfs /sys nosuid,nodev,noexec
# A /dev of its own with the usual nodes, and a private instance of /dev/pts for the tests' ptys.
mount_in tmpfs dev /dev mode=0755,nosuid
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/full" c 1 7
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
mknod -m 666 "$root/dev/tty" c 5 0
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mount_in devpts devpts /dev/pts newinstance,ptmxmode=0666,mode=0620,gid=5,nosuid,noexec
mount_in tmpfs shm /dev/shm mode=1777,nosuid,nodev

# The new contributor's machine: nothing but git; the repository cloned from a bundle of the branch.
step git inside 'export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends git'
git -C "$repo" bundle create "$root/root/tarnix-pellora.bundle" "$branch" 2>"$logs/bundle.log"
step clone inside "git clone --branch '$branch' /root/tarnix-pellora.bundle /root/tarnix-pellora"
say "cloned $branch at $(git -C "$repo" rev-parse --short "$branch"): $(git -C "$repo" log -1 --format=%s "$branch")"

# scripts/run.sh installs, builds and execs the window: started once that process is the window
# and it is still there 5 s later.
run_window() {
    # shellcheck disable=SC2016 # expanded in the chroot
    "${shell[@]}" 'cd ~/tarnix-pellora &&
        QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$(mktemp -d) exec scripts/run.sh' &
    local pid=$! window=""
    while kill -0 "$pid" 2>/dev/null; do
        # chroot execs env, env execs bash, bash execs run.sh, run.sh execs the window.
        if [[ "$(readlink "/proc/$pid/exe" 2>/dev/null)" == */app/tarnix-pellora ]]; then
            window=1
            break
        fi
        sleep 1
    done
    if [[ -z "$window" ]]; then
        wait "$pid"
        echo "scripts/run.sh ended with status $? before the window started"
        return 1
    fi
    sleep 5
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid"
        echo "the window ended within 5 s, status $?"
        return 1
    fi
    echo "the window started and was running 5 s later; closing it"
    kill -TERM "$pid"
    wait "$pid" || { echo "the window exited with status $? on SIGTERM"; return 1; }
}
step run run_window
tail -n 1 "$logs/run.log"
if [[ $ci -eq 1 ]]; then
    # .ci/run ends with scripts/test.sh.
    step test inside 'cd ~/tarnix-pellora && .ci/run'
    grep -E '^fuzz.*: ok' "$logs/test.log"
else
    step test inside 'cd ~/tarnix-pellora && scripts/test.sh'
fi
grep -E 'tests passed|tests failed|Total Test time' "$logs/test.log"
grep -E '\((Skipped|Disabled|Not Run)\)' "$logs/test.log" || true
say "passed: on a fresh Debian 12, scripts/run.sh started the window and scripts/test.sh passed"
