#!/usr/bin/env bash
# The command line against the kernel's real serial drivers: a Debian 12 guest under QEMU (software
# emulation) whose ftdi_sio drives an emulated FTDI USB adapter and whose 8250 drives an emulated
# 16550, with the device simulator on this machine at the other end of each line. Nine checks, one
# line each, PASS or FAIL with its figures, then the counts; exits 0 only when every check passed.
#   scripts/driver-check.sh [--cache DIR] [--keep]
#                           [--cli PATH --sim PATH --capture-reader PATH --clock-sync PATH]
#     --cache DIR    where the guest is built once and kept (default /var/tmp/pellora-driver-cache)
#     --keep         keep the run's folder (captures, logs, the guest's results) when all pass too
#     --cli, --sim, --capture-reader, --clock-sync PATH
#                    the programs to check and to check with (the "driver" test passes its
#                    build's); without them the debug preset is built first
# Needs root: it installs what is missing (scripts/install-deps.sh --driver) and builds the guest
# with debootstrap from this machine's Debian mirror (FRESH_MIRROR overrides it), two to four
# minutes the first time; later runs boot it at once (about a minute and a half in all). QEMU's adapter neither paces bytes at the baud rate nor
# holds them for a latency timer, and the guest runs emulated: the checks judge outcomes and
# ranges, never speeds.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cache=/var/tmp/pellora-driver-cache
keep=0
cli="" sim="" capture_reader="" clock_sync=""
usage() {
    echo "usage: scripts/driver-check.sh [--cache DIR] [--keep] [--cli PATH --sim PATH --capture-reader PATH --clock-sync PATH]" >&2
    exit 2
}
while [[ $# -gt 0 ]]; do
    case "$1" in
    --cache) [[ $# -ge 2 ]] || usage; cache="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --cli) [[ $# -ge 2 ]] || usage; cli="$2"; shift 2 ;;
    --sim) [[ $# -ge 2 ]] || usage; sim="$2"; shift 2 ;;
    --capture-reader) [[ $# -ge 2 ]] || usage; capture_reader="$2"; shift 2 ;;
    --clock-sync) [[ $# -ge 2 ]] || usage; clock_sync="$2"; shift 2 ;;
    *) usage ;;
    esac
done
started=$SECONDS
say() { printf '[driver-check %4d s] %s\n' $((SECONDS - started)) "$*"; }

checks=(
    "ftdi_sio: complete runs through the by-id name"
    "8250: complete runs on the 16550"
    "low latency: latency_timer 1 during the run"
    "reset: the DTR and RTS pulses reach the adapter, then the run programs"
    "unplug mid-transfer, then replug under the same name"
    "port list: the by-id name and the 16550, no ttyS without a UART"
    "device-side hang-up at a known line"
    "replug during the countdown: the port is followed through the by-id name, the run programs"
    "the package's udev rule on the FTDI port: ID_MM_DEVICE_IGNORE=1, uaccess, latency timer 1"
)
# Nothing can be checked: every check fails with the reason, none is skipped.
fail_all() {
    local i
    echo "driver-check: $*" >&2
    for i in "${!checks[@]}"; do
        printf 'FAIL  %d %s: %s\n' $((i + 1)) "${checks[i]}" "$*"
    done
    printf '\n0%% checks passed, %d checks failed out of %d\n' "${#checks[@]}" "${#checks[@]}"
    exit 1
}
# An ordinary user with sudo runs it as root, as the other scripts install as root.
if [[ $(id -u) -ne 0 ]] && command -v sudo >/dev/null && [[ -z "${PELLORA_DRIVER_CHECK_SUDO:-}" ]]; then
    exec sudo -n --preserve-env PELLORA_DRIVER_CHECK_SUDO=1 "$0" "$@"
fi
[[ $(id -u) -eq 0 ]] || fail_all "needs root (installs packages, builds the guest with debootstrap and chroot)"
case "$cache/" in
"$repo"/*) fail_all "the cache $cache is inside the repository; choose a folder outside it" ;;
esac

"$repo/scripts/install-deps.sh" --driver || fail_all "the packages it needs could not be installed"
for tool in qemu-system-x86_64 debootstrap mke2fs xz objcopy flock; do
    command -v "$tool" >/dev/null || fail_all "$tool is missing after installing the packages"
done

if [[ -z "$cli$sim$capture_reader$clock_sync" ]]; then
    say "building the debug preset's programs"
    (cd "$repo" && cmake --preset debug >/dev/null &&
        cmake --build --preset debug --target tarnix-pellora-cli tarnix-pellora-sim \
            pellora-ftdi-capture pellora-clock-sync) \
        >/dev/null || fail_all "the debug build failed (cmake --build --preset debug)"
    cli="$repo/build/debug/cli/tarnix-pellora-cli"
    sim="$repo/build/debug/tools/tarnix-pellora-sim"
    capture_reader="$repo/build/debug/tests/driver/pellora-ftdi-capture"
    clock_sync="$repo/build/debug/tests/driver/pellora-clock-sync"
fi
for program in "$cli" "$sim" "$capture_reader" "$clock_sync"; do
    [[ -x "$program" ]] ||
        fail_all "no program at '$program' (give --cli, --sim, --capture-reader and --clock-sync together)"
done

# ---- The guest, built once per recipe ----
suite=bookworm
guest_packages=udev,kmod,libqt6core6,libqt6serialport6,linux-image-amd64,initramfs-tools
initrd_modules=(virtio_pci virtio_blk ext4)
# A change to the steps of build_guest needs a new number here, or old caches stay in use.
recipe="$({
    echo "guest 2: $suite $guest_packages ${initrd_modules[*]}"
    cat "$repo/tests/driver/guest-init.sh"
} | sha256sum | cut -c1-16)"
image="$cache/guest-$recipe"

# Run where errexit does not reach (its caller tests it): every step says so itself when it fails.
build_guest() {
    local root="$image.root" mirror kernel offset
    # shellcheck source=scripts/debian-mirror.sh
    source "$repo/scripts/debian-mirror.sh"
    mirror="$(debian_mirror "$suite")"
    [[ -n "$mirror" ]] || { echo "no Debian $suite mirror in /etc/apt; set FRESH_MIRROR"; return 1; }
    rm -rf --one-file-system "$root" "$image.new"
    debootstrap --variant=minbase --include="$guest_packages" "$suite" "$root" "$mirror" || return 1
    install -m 755 "$repo/tests/driver/guest-init.sh" "$root/sbin/pellora-init" || return 1
    # An initrd that only mounts the root disk: Debian's own holds most of the modules and is slow
    # to unpack under emulation.
    mkdir -p "$root/etc/pellora-initramfs/scripts" # no boot scripts of its own, but the folder
    printf 'MODULES=list\nBUSYBOX=n\nCOMPRESS=gzip\nFSTYPE=ext4\n' >"$root/etc/pellora-initramfs/initramfs.conf"
    printf '%s\n' "${initrd_modules[@]}" >"$root/etc/pellora-initramfs/modules"
    kernel="$(ls "$root/lib/modules")"
    chroot "$root" mkinitramfs -d /etc/pellora-initramfs -o /boot/pellora-initrd "$kernel" || return 1
    mkdir "$image.new" && mv "$root/boot/pellora-initrd" "$image.new/initrd" || return 1
    # The kernel uncompressed: QEMU then enters it directly, and decompressing it emulated costs
    # seconds on every boot.
    offset="$(LC_ALL=C grep -m 1 -abo $'\xfd7zXZ' "$root/boot/vmlinuz-$kernel" | cut -d: -f1)"
    [[ -n "$offset" ]] || { echo "no xz payload in vmlinuz-$kernel"; return 1; }
    # Not a pipe: xz stops at the end of its stream, and the rest of the file is not its.
    xz -dc --single-stream < <(tail -c +$((offset + 1)) "$root/boot/vmlinuz-$kernel") \
        >"$image.new/vmlinux" || return 1
    mke2fs -q -t ext4 -d "$root" "$image.new/root.img" 1536M || return 1
    rm -rf --one-file-system "$root"
    mv "$image.new" "$image"
}

mkdir -p "$cache"
exec 8>"$cache/lock"
flock 8 # one check at a time builds or boots this cache
if [[ -f "$image/root.img" && -f "$image/vmlinux" && -f "$image/initrd" ]]; then
    say "guest: cached in $image"
else
    say "guest: building into $image (debootstrap from this machine's Debian mirror)"
    for old in "$cache"/guest-*; do
        [[ -e "$old" && "$old" != "$image" ]] && rm -rf --one-file-system "$old"
    done
    build_guest >"$cache/build.log" 2>&1 || {
        tail -n 30 "$cache/build.log"
        fail_all "the guest could not be built (whole log: $cache/build.log)"
    }
    say "guest: built"
fi

# ---- One run: the folder, the machine, the host's side of the conversation ----
run="$(mktemp -d /tmp/pellora-driver.XXXXXX)" # short: unix socket paths are limited to 107 bytes
share="$run/share"
results="$share/results"
mkdir -p "$share/req" "$share/ack" "$results"
install -m 755 "$cli" "$share/tarnix-pellora-cli"
install -m 755 "$clock_sync" "$share/pellora-clock-sync"
install -m 644 "$repo/packaging/70-tarnix-pellora.rules" "$share/70-tarnix-pellora.rules"
install -m 644 "$repo/tests/driver/guest-job.sh" "$share/job.sh"
install -m 644 "$repo/examples/demo.srec" "$share/demo.srec"
objcopy -I srec -O binary "$repo/examples/demo.srec" "$run/demo.bin"
file_lines="$(grep -c . "$repo/examples/demo.srec")"
file_bytes="$(stat -c %s "$run/demo.bin")"

declare -A program_pid=()
qemu_pid=""
monitor_reader=""
cleanup() {
    local status=$? pid
    set +e
    for pid in "${program_pid[@]}" $qemu_pid $monitor_reader; do kill -TERM "$pid" 2>/dev/null; done
    wait 2>/dev/null
    if [[ $status -eq 0 && $keep -eq 0 ]]; then
        rm -rf "$run"
    else
        echo "driver-check: the run's folder is kept: $run"
    fi
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The machine's monitor (QMP) on a pair of pipes; both ends are opened read-write so that neither
# side waits for the other to appear.
mkfifo "$run/monitor.in" "$run/monitor.out"
cat <>"$run/monitor.out" >"$run/monitor.log" &
monitor_reader=$!
adapter='"id":"ftdi0","bus":"xhci.0","chardev":"c0","serial":"PELLORA1"'
guest_limit=420
# TCG: this machine's /dev/kvm cannot boot a stock Debian kernel. One virtual CPU leaves the other
# core to the simulator.
timeout "$guest_limit" qemu-system-x86_64 -accel tcg -cpu max -smp 1 -m 1024 -nodefaults \
    -vga none -nic none -display none -no-reboot -kernel "$image/vmlinux" -initrd "$image/initrd" \
    -append "root=/dev/vda rw console=ttyS0 init=/sbin/pellora-init quiet" \
    -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$share,mount_tag=share,security_model=none" \
    -device qemu-xhci,id=xhci \
    -chardev "socket,id=c0,path=$run/ftdi.sock,server=on,wait=off" \
    -device "usb-serial,id=ftdi0,bus=xhci.0,chardev=c0,serial=PELLORA1,pcap=$run/ftdi-1.pcap" \
    -chardev "socket,id=c1,path=$run/uart.sock,server=on,wait=off" \
    -device isa-serial,chardev=c1,index=1 \
    -serial "file:$run/console.log" \
    -chardev "pipe,id=mon,path=$run/monitor" -mon chardev=mon,mode=control \
    >"$run/qemu.log" 2>&1 &
qemu_pid=$!
exec 9<>"$run/monitor.in"
monitor() { echo "$*" >&9; }
monitor '{"execute":"qmp_capabilities"}'
now_us() { date +%s%6N; }

# NAME PROGRAM [ARGS]: starts a program that connects to one of the machine's socket lines and
# says "SOCKET <path>" once it has; fails when it does not within 5 s.
connect() {
    local name=$1 n
    shift
    "$@" >"$run/$name.out" 2>"$run/$name.err" &
    program_pid[$name]=$!
    now_us >"$run/$name.start"
    for ((n = 0; n < 100; n++)); do
        grep -q '^SOCKET ' "$run/$name.out" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}
# NAME LINE [simulator options]: a simulator on the line's socket (ftdi: the adapter is plugged in).
plug_simulator() {
    local name=$1 line=$2
    shift 2
    connect "$name" "$sim" --connect "unix:$run/$line.sock" --verbose --summary "$run/$name.json" \
        --image "$run/$name.img" "$@"
}
deletions() { grep -c '"DEVICE_DELETED"' "$run/monitor.log"; }

# The guest's requests (see tests/driver/guest-job.sh), one word and its arguments each.
answer() {
    local what=$1 name=${2:-} n pid
    case "$what" in
    plug) # NAME ftdi|uart [simulator options]: a simulator connects, the adapter is plugged in
        shift
        if plug_simulator "$@"; then echo plugged; else echo "the simulator did not connect"; fi
        ;;
    clock) # NAME: an echo on the 16550's line, for the guest's clock exchange
        if connect "$name" "$clock_sync" echo "unix:$run/uart.sock"; then
            echo connected
        else
            echo "the echo did not connect"
        fi
        ;;
    stop) # NAME: the simulator (or echo) ends, the adapter is unplugged
        pid=${program_pid[$name]:-}
        [[ -n "$pid" ]] || { echo "no simulator $name"; return; }
        kill -TERM "$pid" 2>/dev/null
        n=0
        wait "$pid" || n=$?
        unset "program_pid[$name]"
        echo "$n" >"$run/$name.rc"
        now_us >"$run/$name.stop"
        echo "stopped $n"
        ;;
    wait) # NAME: the simulator ends by itself (a hang-up)
        for ((n = 0; n < 300; n++)); do
            kill -0 "${program_pid[$name]:-none}" 2>/dev/null || break
            sleep 0.05
        done
        answer stop "$name"
        ;;
    unplug-at) # NAME LINE: device_del once the simulator has taken that many lines
        for ((n = 0; n < 600; n++)); do
            grep -q "line $3: " "$run/$name.err" 2>/dev/null && break
            sleep 0.05
        done
        monitor '{"execute":"device_del","arguments":{"id":"ftdi0"}}'
        echo "device_del after $(grep -c '^sim: line [0-9]*: ' "$run/$name.err") lines"
        ;;
    countdown-replug) # NAME: the board NAME-before, which never answers, is power-cycled once the
        # command line probes it: device_del, and its simulator stopped once the adapter is gone
        # (the socket's connection outlives the adapter); the board NAME-after connects at once
        # and boots when probed; device_add 1 s after device_del, with a capture of its own
        local before=$name-before after=$name-after deleted rest
        for ((n = 0; n < 600; n++)); do
            grep -q "ignored 'i'" "$run/$before.err" 2>/dev/null && break
            sleep 0.05
        done
        deleted="$(deletions)"
        # The shell's own clock, here and below: a forked date would stamp later than the command.
        echo "${EPOCHREALTIME//[!0-9]/}" >"$run/$name.del"
        monitor '{"execute":"device_del","arguments":{"id":"ftdi0"}}'
        for ((n = 0; n < 100; n++)); do
            (($(deletions) > deleted)) && break
            sleep 0.05
        done
        answer stop "$before" >/dev/null
        plug_simulator "$after" ftdi || { echo "the simulator $after did not connect"; return; }
        rest=$(($(cat "$run/$name.del") + 1000000 - ${EPOCHREALTIME//[!0-9]/}))
        if ((rest > 0)); then
            printf -v rest '%d.%06d' $((rest / 1000000)) $((rest % 1000000))
            sleep "$rest"
        fi
        echo "${EPOCHREALTIME//[!0-9]/}" >"$run/$name.add"
        monitor "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",$adapter,\"pcap\":\"$run/ftdi-3.pcap\"}}"
        echo "device_del after $(grep -c "ignored 'i'" "$run/$before.err") probes, device_add $((($(cat "$run/$name.add") - $(cat "$run/$name.del")) / 1000)) ms later"
        ;;
    replug) # the adapter back, with a capture of its own, once the old one is gone
        for ((n = 0; n < 100; n++)); do
            grep -q '"DEVICE_DELETED"' "$run/monitor.log" && break
            sleep 0.05
        done
        monitor "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",$adapter,\"pcap\":\"$run/ftdi-2.pcap\"}}"
        echo replugged
        ;;
    *) echo "unknown request: $*" ;;
    esac
}
# Answers until the guest powers off; a guest whose job never starts is stopped after 2 minutes.
serve() {
    local request name asked=0
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [[ $asked -eq 0 && $((SECONDS - guest_started)) -gt 120 ]]; then
            echo "driver-check: no request from the guest in 120 s: stopping it (console: $run/console.log)"
            kill -TERM "$qemu_pid"
        fi
        for request in "$share"/req/[0-9][0-9][0-9]; do
            [[ -e "$request" ]] || continue
            name=${request##*/}
            [[ -e "$share/ack/$name" ]] && continue
            asked=1
            echo "$(now_us) $name $(cat "$request")" >>"$run/requests.log"
            # shellcheck disable=SC2046 # the request's words are the arguments
            answer $(cat "$request") >"$share/ack/$name.tmp" 2>&1 || true
            mv "$share/ack/$name.tmp" "$share/ack/$name"
        done
        sleep 0.05
    done
}

say "guest: booting (TCG), then the checks; the run's folder is $run"
guest_started=$SECONDS
serve
wait "$qemu_pid" || true
qemu_pid=""
exec 9>&-
kill "$monitor_reader" 2>/dev/null
wait "$monitor_reader" 2>/dev/null || true
monitor_reader=""
guest_seconds=$((SECONDS - guest_started))
guest_status="$(cat "$share/job.status" 2>/dev/null || echo "none")"
say "guest: powered off after $guest_seconds s (its job's status: $guest_status)"
if [[ $guest_seconds -ge $guest_limit ]]; then
    echo "driver-check: the guest was stopped after $guest_limit s"
fi

# ---- Judging: every check is judged, whatever the others found ----
set +e
passed=0
failed=0
result() { # NUMBER PASS|FAIL FIGURES
    printf '%s  %d %s: %s\n' "$2" "$1" "${checks[$1 - 1]}" "$3"
    if [[ $2 == PASS ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}
# The board's row of a run's table: device result exit lines bytes seconds, found by the header's
# names, so that a column added to the table moves nothing here.
row() {
    awk '$1 == "Board" { for (i = 1; i <= NF; i++) at[$i] = i; next }
         $1 == "1" && ("Seconds" in at) && NF >= at["Seconds"] {
             print $at["Device"], $at["Result"], $at["Exit"], $at["Lines"], $at["Bytes"], $at["Seconds"]
         }' "$results/$1.out" 2>/dev/null | tail -n 1
}
field() { grep -o "\"$2\":[0-9]*" "$run/$1.json" 2>/dev/null | cut -d: -f2; }
rc() { cat "$results/$1.rc" 2>/dev/null || echo "none"; }
# Why a run did not program the whole file exactly ("...; "), or nothing when it did.
run_fault() { # NAME DEVICE [SIMULATOR, when not NAME]
    local name=$1 device=$2 board=${3:-$1} r
    read -r -a r <<<"$(row "$name")"
    [[ -s "$results/$name.out" ]] || { printf '%s; ' "$name: no output from the guest"; return; }
    [[ "$(rc "$name")" == 0 ]] || { printf '%s; ' "$name: exit $(rc "$name"): $(tail -n 3 "$results/$name.out" | tr '\n' ' ')"; return; }
    [[ "${r[0]:-}" == "$device" ]] || { printf '%s; ' "$name: ran on '${r[0]:-?}', not $device"; return; }
    [[ "${r[3]:-}" == "$file_lines/$file_lines" ]] || { printf '%s; ' "$name: sent ${r[3]:-?} lines"; return; }
    [[ "$(field "$board" lines)" == "$file_lines" && "$(field "$board" bad_lines)" == 0 ]] ||
        { printf '%s; ' "$name: the device took $(field "$board" lines) lines, $(field "$board" bad_lines) bad"; return; }
    cmp -s "$run/$board.img" "$run/demo.bin" ||
        { printf '%s; ' "$name: the device's image differs from the file's data"; return; }
}
run_figures() { # NAME: "258/258 lines in 2.3 s"
    local r
    read -r -a r <<<"$(row "$1")"
    echo "${r[3]:-?} lines in ${r[5]:-?} s"
}
# The FTDI requests a simulator's adapter saw while it was plugged in: "<µs> <request>".
capture_of() { # NAME [CAPTURE]
    local from to
    from="$(cat "$run/$1.start" 2>/dev/null || echo 0)"
    to="$(cat "$run/$1.stop" 2>/dev/null || now_us)"
    "$capture_reader" "$run/${2:-ftdi-1}.pcap" 2>/dev/null |
        awk -v from="$from" -v to="$to" '{ split($1, t, "."); us = t[1] * 1000000 + t[2] }
                                          us >= from && us <= to { $1 = sprintf("%.0f", us); print }'
}
byid=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_PELLORA1-if00-port0
image_sha="$(sha256sum "$run/demo.bin" | cut -c1-12)"

# 1. ftdi_sio; the line is set once: the driver opens at the rate the tty had (9600 unless someone
# left it otherwise) and the close restores it, but nothing sets the adapter back in between.
rates_of() { capture_of "$1" | awk '$2 == "BAUD" { printf "%s%s", sep, $3; sep = " > " }'; }
fault="$(run_fault ftdi-auto "$byid")$(run_fault ftdi-20 "$byid")"
for name in ftdi-auto ftdi-20; do
    rates="$(rates_of "$name")"
    [[ "$(grep -o 57600 <<<"$rates" | wc -l)" == 1 ]] ||
        fault+="$name: the adapter's rate from plug to unplug was ${rates:-never set}, not set to 57600 once; "
done
if [[ -z "$fault" ]]; then
    result 1 PASS "\"Auto - fast\" $(run_figures ftdi-auto), 20 ms $(run_figures ftdi-20); the device's image exact both times ($file_bytes bytes, sha256 $image_sha); the adapter's rate from plug to unplug: $(rates_of ftdi-auto)"
else
    result 1 FAIL "${fault%; }"
fi

# 2. 8250
fault="$(run_fault uart-auto /dev/ttyS1)$(run_fault uart-20 /dev/ttyS1)"
if [[ -z "$fault" ]]; then
    result 2 PASS "/dev/ttyS1: \"Auto - fast\" $(run_figures uart-auto), 20 ms $(run_figures uart-20); images exact"
else
    result 2 FAIL "${fault%; }"
fi

# 3. the low-latency request
open_samples="$(awk '$1 == "open"' "$results/latency" 2>/dev/null | wc -l)"
open_ones="$(awk '$1 == "open" && $2 == "1"' "$results/latency" 2>/dev/null | wc -l)"
before="$(cat "$results/latency-before" 2>/dev/null || echo '?')"
requested="$(capture_of ftdi-20 | awk '$2 == "LATENCY" { v = $3 } END { print v }')"
figures="latency_timer $before before the open, 1 in $open_ones of $open_samples readings while the port was open; last SET_LATENCY in the capture: ${requested:-none}"
if [[ $open_samples -ge 3 && $open_ones -eq $open_samples && "$requested" == 1 ]]; then
    result 3 PASS "$figures"
else
    result 3 FAIL "$figures"
fi

# 4. reset pulses: from the line's fall to its rise, after the open raised it
pulse_of() { # NAME LINE: the pulse's length in ms, or nothing
    capture_of "$1" | awk -v line="$2" '
        { for (i = 2; i <= NF; i++) if ($i == line "=1") up = 1; else if ($i == line "=0") down = 1 }
        up && !raised { raised = 1; up = 0 }
        raised && down && !fell { fell = $1 }
        fell && up && $1 > fell { printf "%.0f\n", ($1 - fell) / 1000; exit }
        { up = 0; down = 0 }'
}
fault=""
figures=""
for line in dtr rts; do
    ms="$(pulse_of "reset-$line" "$line")"
    upper="$(echo "$line" | tr a-z A-Z)"
    if [[ -z "$ms" ]]; then
        fault+="no $upper pulse in the capture; "
    elif ((ms < 90 || ms > 1000)); then
        fault+="$upper low for $ms ms (90 to 1000 expected); "
    fi
    run_problem="$(run_fault "reset-$line" "$byid")"
    fault+="$run_problem"
    figures+="$upper low ${ms:-?} ms then $(run_figures "reset-$line"); "
done
if [[ -z "$fault" ]]; then result 4 PASS "${figures%; }"; else result 4 FAIL "${fault%; }"; fi

# 5. unplug mid-transfer, then replug
read -r -a r <<<"$(row unplug)"
took="$(field unplug lines)"
ended_at="$(cat "$results/unplug.ended-at" 2>/dev/null)"
gone_at="$(sed -n 's/^\[ *\([0-9.]*\)\].*/\1/p' "$results/unplug.disconnect" 2>/dev/null)"
after_ms="$(awk -v a="${gone_at:-}" -v b="${ended_at:-}" 'BEGIN { if (a != "" && b != "") printf "%.0f", (b - a) * 1000 }')"
sent="${r[3]:-}"
sent="${sent%%/*}"
fault=""
[[ "$(rc unplug)" == 5 ]] || fault+="exit $(rc unplug), not 5; "
grep -q "^$byid: the device disappeared" "$results/unplug.out" 2>/dev/null ||
    fault+="no note naming $byid; "
[[ "${r[1]:-}" == port-error ]] || fault+="the table says '${r[1]:-nothing}'; "
# The line on its way when the adapter went may or may not have reached the device.
if ! [[ "$sent" =~ ^[0-9]+$ && "$took" =~ ^[0-9]+$ ]] || ((sent < took || sent > took + 2)); then
    fault+="the table's ${r[3]:-?} lines against the device's ${took:-?}; "
fi
if [[ -z "$after_ms" ]] || ((after_ms > 3000)); then fault+="ended ${after_ms:-?} ms after the disconnect; "; fi
replug_problem="$(run_fault replug "$byid")"
[[ -z "$replug_problem" ]] || fault+="after the replug: $replug_problem"
figures="$(cat "$results/unplug.host" 2>/dev/null); exit $(rc unplug) ${after_ms:-?} ms after the guest's \"USB disconnect\", table ${r[3]:-?} lines, the device took ${took:-?}; replugged: $(run_figures replug) through the same name"
if [[ -z "$fault" ]]; then result 5 PASS "$figures"; else result 5 FAIL "${fault%; }"; fi

# 6. the port list
list="$results/list-ports.out"
fault=""
grep -q "^ *$byid -> /dev/ttyUSB[0-9]" "$list" 2>/dev/null || fault+="no $byid; "
grep -q "^ */dev/ttyS1$" "$list" 2>/dev/null || fault+="no /dev/ttyS1; "
grep -qE "^ */dev/ttyS[23]$" "$list" 2>/dev/null && fault+="lists a ttyS without a UART; "
[[ "$(rc list-ports)" == 0 ]] || fault+="exit $(rc list-ports); "
listed="$(awk '/^Serial devices:/ { on = 1; next } /^[^ ]/ { on = 0 } on { printf "%s%s", sep, $1; sep = ", " }' "$list" 2>/dev/null)"
if [[ -z "$fault" ]]; then result 6 PASS "${listed}"; else result 6 FAIL "${fault}listed: ${listed:-nothing}"; fi

# 7. the device hangs up after line 50
read -r -a r <<<"$(row hangup)"
sent="${r[3]:-}"
sent="${sent%%/*}"
fault=""
grep -q '^HANGUP lines=50$' "$run/hangup.out" 2>/dev/null || fault+="the simulator did not hang up at line 50; "
[[ "$(cat "$run/hangup.rc" 2>/dev/null)" == 3 ]] || fault+="the simulator's exit $(cat "$run/hangup.rc" 2>/dev/null || echo none), not 3; "
[[ "$(rc hangup)" == 5 ]] || fault+="exit $(rc hangup), not 5; "
grep -q "^$byid: the device disappeared" "$results/hangup.out" 2>/dev/null || fault+="no note naming $byid; "
if ! [[ "$sent" =~ ^[0-9]+$ ]] || ((sent < 50 || sent > 51)); then fault+="the table's ${r[3]:-?} lines (50 or 51 expected); "; fi
if [[ -z "$fault" ]]; then
    result 7 PASS "the simulator closed its socket after line 50; exit $(rc hangup), table ${r[3]} lines, the note names the by-id name"
else
    result 7 FAIL "${fault%; }"
fi

# 8. a replug during the countdown, and how soon the first probe followed the plug: from the guest
# kernel's "converter now attached to ttyUSB<n>" for the adapter device_add brought back (its log's
# clock) to the first "i" the adapter took from the guest on its way to the simulator (QEMU's USB
# capture, this machine's clock). The clock exchanges just before and after the run bound the
# difference of the two clocks; the figure's ± is what they leave open. The latency request of the
# driver's probe, which precedes the "attached" in the guest, is on the capture's own clock: an
# exchange that put the "attached" before it would be wrong.
micros() { awk '{ split($1, t, "."); printf "%.0f\n", t[1] * 1000000 + t[2] }'; }
fault="$(run_fault follow "$byid" follow-after)"
grep -qF "$byid went away: waiting for it to come back" "$results/follow.out" 2>/dev/null ||
    fault+="no \"went away\" note; "
grep -qF "$byid is back" "$results/follow.out" 2>/dev/null || fault+="no \"is back\" note; "
grep -qx PROGRAMMED "$results/follow.out" 2>/dev/null || fault+="no PROGRAMMED; "
probes="$(grep -c "ignored 'i'" "$run/follow-before.err" 2>/dev/null)"
[[ "${probes:-0}" -gt 0 ]] || fault+="the board was never probed before the replug; "
del="$(cat "$run/follow.del" 2>/dev/null)"
add="$(cat "$run/follow.add" 2>/dev/null)"
[[ -n "$del" && -n "$add" ]] || fault+="no device_del and device_add: $(cat "$results/follow.host" 2>/dev/null); "
attach="$(grep 'converter now attached to ttyUSB' "$results/kernel.log" 2>/dev/null | tail -n 1 |
    sed -n 's/^\[ *\([0-9]*\.[0-9]*\)\].*/\1/p' | micros)"
[[ -n "$attach" ]] || fault+="no \"attached\" in the guest's kernel log; "
bounds=""
for session in clock-before clock-after; do
    b="$("$clock_sync" bounds "$results/kernel.log" "$session" "$run/$session.out" 2>&1)" ||
        fault+="$session: ${b:-no bounds} ($(tail -n 1 "$results/$session" 2>/dev/null)); "
    bounds+="$b "
done
capture="$("$capture_reader" --data "$run/ftdi-3.pcap" 2>&1)"
probed="$(awk '$2 == "LATENCY" { print; exit }' <<<"$capture" | micros)"
opened="$(awk '$2 == "RESET" && $3 == "sio" { print; exit }' <<<"$capture" | micros)"
first="$(awk '$2 == "OUT" && $4 == "69" { print; exit }' <<<"$capture" | micros)"
# The package's rule (check 9) sets the latency timer once udev handles the new port: after the
# probe's own request, before the open.
ruled="$(awk '$2 == "RESET" && $3 == "sio" { exit } $2 == "LATENCY" && ++n == 2 { t = $1 } END { print t }' \
    <<<"$capture" | micros)"
[[ -n "$probed" && -n "$opened" && -n "$first" ]] ||
    fault+="the replugged adapter's capture lacks the driver's probe, the open or an \"i\" (${probed:-?} ${opened:-?} ${first:-?}); "
figures=""
if [[ -z "$fault" ]]; then
    # Everything in ms: the figure, its ±, device_add to the attach, the attach to the command
    # line's open (the driver's reset), the open to the first "i", then the check of the exchange.
    read -r plug_ms plug_err add_ms open_ms probe_ms late_ms <<<"$(awk -v attach="$attach" \
        -v add="$add" -v probed="$probed" -v opened="$opened" -v first="$first" -v b="$bounds" '
        BEGIN {
            split(b, v, " ")
            low = v[1] < v[4] ? v[1] : v[4]; high = v[2] > v[5] ? v[2] : v[5]
            early = attach + low; late = attach + high; mid = (early + late) / 2
            printf "%.1f %.1f %.0f %.0f %.1f %.1f\n", (2 * first - early - late) / 2000,
                (late - early) / 2000, (mid - add) / 1000, (opened - mid) / 1000,
                (first - opened) / 1000, (late - probed) / 1000
        }')"
    exchanges="$(awk -v b="$bounds" 'BEGIN { split(b, v, " "); print v[3] + v[6] }')"
    if awk -v late="$late_ms" -v add="$add_ms" 'BEGIN { exit !(late < 0 || add < 0) }'; then
        fault+="the clock exchange puts the attach before the driver's probe request ($late_ms ms) or before device_add ($add_ms ms); "
    fi
    if awk -v p="$plug_ms" -v e="$plug_err" 'BEGIN { exit !(p - e <= 0 || p + e >= 3000) }'; then
        fault+="the first \"i\" $plug_ms ± $plug_err ms after the attach (0 to 3000 expected); "
    fi
    read -r -a r <<<"$(row follow)"
    ruled_ms="?"
    [[ -z "$ruled" ]] || ruled_ms=$(((opened - ruled) / 1000))
    figures="device_del after $probes unanswered probes, device_add $(((add - del) / 1000)) ms later, \"attached\" $add_ms ms after it; from the guest kernel's \"attached\" to the first \"i\" at the adapter: $plug_ms ± $plug_err ms (the kernel log put on this machine's clock by $exchanges echoes on ttyS1 around the run, which places the attach at most $late_ms ms after the driver's probe request in the capture), the command line's open $open_ms ms after the attach ($ruled_ms ms after udev's rule set the latency timer) and its first \"i\" $probe_ms ms after the open (USB capture); ${r[3]:-?} lines through the same name, the image exact"
fi
if [[ -z "$fault" ]]; then result 8 PASS "$figures"; else result 8 FAIL "${fault%; }"; fi

# 9. the udev rule, installed in the guest before the adapter was plugged in
fault=""
for when in follow-before follow-after; do
    grep -qx 'ID_MM_DEVICE_IGNORE=1' "$results/$when.udev" 2>/dev/null ||
        fault+="$when: no ID_MM_DEVICE_IGNORE=1 ($(head -c 200 "$results/$when.udev" 2>/dev/null | tr '\n' ' ')); "
    grep -q '^TAGS=.*:uaccess:' "$results/$when.udev" 2>/dev/null || fault+="$when: no uaccess tag; "
done
latency="$(cat "$results/follow-before.latency" 2>/dev/null)"
[[ "$latency" == 1 ]] || fault+="latency_timer ${latency:-?} before the first open, not 1; "
# Set again by the rule on the replugged adapter before the command line opened it.
set_before_open="$("$capture_reader" "$run/ftdi-3.pcap" 2>/dev/null |
    awk '$2 == "RESET" && $3 == "sio" { exit } $2 == "LATENCY" { v = $3 } END { print v }')"
[[ "$set_before_open" == 1 ]] || fault+="after the replug the last SET_LATENCY before the open was ${set_before_open:-none}, not 1; "
port="$(sed -n 's/^DEVNAME=//p' "$results/follow-before.udev" 2>/dev/null)"
if [[ -z "$fault" ]]; then
    result 9 PASS "$port plugged in and again after the replug: ID_MM_DEVICE_IGNORE=1, tagged uaccess; latency_timer 1 before any open, and SET_LATENCY 1 before the command line's open after the replug"
else
    result 9 FAIL "${fault%; }"
fi

total=$((passed + failed))
echo
printf '%d%% checks passed, %d checks failed out of %d\n' $((passed * 100 / total)) "$failed" "$total"
printf 'Total time (real) = %d s (the guest %d s)\n' $((SECONDS - started)) "$guest_seconds"
[[ $failed -eq 0 ]]
