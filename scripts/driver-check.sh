#!/usr/bin/env bash
# The command line against the kernel's real serial drivers: a Debian 12 guest under QEMU (software
# emulation) whose ftdi_sio drives an emulated FTDI USB adapter and whose 8250 drives an emulated
# 16550, with the device simulator on this machine at the other end of each line. Seven checks, one
# line each, PASS or FAIL with its figures, then the counts; exits 0 only when every check passed.
#   scripts/driver-check.sh [--cache DIR] [--keep] [--cli PATH --sim PATH --capture-reader PATH]
#     --cache DIR    where the guest is built once and kept (default /var/tmp/pellora-driver-cache)
#     --keep         keep the run's folder (captures, logs, the guest's results) when all pass too
#     --cli, --sim, --capture-reader PATH
#                    the programs to check (the "driver" test passes its build's); without them
#                    the debug preset is built first
# Needs root: it installs what is missing (scripts/install-deps.sh --driver) and builds the guest
# with debootstrap from this machine's Debian mirror (FRESH_MIRROR overrides it), two to four
# minutes the first time; later runs boot it at once (about a minute in all). QEMU's adapter neither paces bytes at the baud rate nor
# holds them for a latency timer, and the guest runs emulated: the checks judge outcomes and
# ranges, never speeds.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cache=/var/tmp/pellora-driver-cache
keep=0
cli="" sim="" capture_reader=""
usage() {
    echo "usage: scripts/driver-check.sh [--cache DIR] [--keep] [--cli PATH --sim PATH --capture-reader PATH]" >&2
    exit 2
}
while [[ $# -gt 0 ]]; do
    case "$1" in
    --cache) [[ $# -ge 2 ]] || usage; cache="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --cli) [[ $# -ge 2 ]] || usage; cli="$2"; shift 2 ;;
    --sim) [[ $# -ge 2 ]] || usage; sim="$2"; shift 2 ;;
    --capture-reader) [[ $# -ge 2 ]] || usage; capture_reader="$2"; shift 2 ;;
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

if [[ -z "$cli$sim$capture_reader" ]]; then
    say "building the debug preset's programs"
    (cd "$repo" && cmake --preset debug >/dev/null &&
        cmake --build --preset debug --target tarnix-pellora-cli tarnix-pellora-sim pellora-ftdi-capture) \
        >/dev/null || fail_all "the debug build failed (cmake --build --preset debug)"
    cli="$repo/build/debug/cli/tarnix-pellora-cli"
    sim="$repo/build/debug/tools/tarnix-pellora-sim"
    capture_reader="$repo/build/debug/tests/driver/pellora-ftdi-capture"
fi
for program in "$cli" "$sim" "$capture_reader"; do
    [[ -x "$program" ]] || fail_all "no program at '$program' (give --cli, --sim and --capture-reader together)"
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
install -m 644 "$repo/tests/driver/guest-job.sh" "$share/job.sh"
install -m 644 "$repo/examples/demo.srec" "$share/demo.srec"
objcopy -I srec -O binary "$repo/examples/demo.srec" "$run/demo.bin"
file_lines="$(grep -c . "$repo/examples/demo.srec")"
file_bytes="$(stat -c %s "$run/demo.bin")"

declare -A sim_pid=()
qemu_pid=""
monitor_reader=""
cleanup() {
    local status=$? pid
    set +e
    for pid in "${sim_pid[@]}" $qemu_pid $monitor_reader; do kill -TERM "$pid" 2>/dev/null; done
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

# The guest's requests (see tests/driver/guest-job.sh), one word and its arguments each.
answer() {
    local what=$1 name=${2:-} n pid
    case "$what" in
    plug) # NAME ftdi|uart [simulator options]: a simulator connects, the adapter is plugged in
        local line=$3
        shift 3
        "$sim" --connect "unix:$run/$line.sock" --verbose --summary "$run/$name.json" \
            --image "$run/$name.img" "$@" >"$run/$name.out" 2>"$run/$name.err" &
        sim_pid[$name]=$!
        now_us >"$run/$name.start"
        for ((n = 0; n < 100; n++)); do
            grep -q '^SOCKET ' "$run/$name.out" 2>/dev/null && { echo plugged; return; }
            sleep 0.05
        done
        echo "the simulator did not connect"
        ;;
    stop) # NAME: the simulator ends, the adapter is unplugged
        pid=${sim_pid[$name]:-}
        [[ -n "$pid" ]] || { echo "no simulator $name"; return; }
        kill -TERM "$pid" 2>/dev/null
        n=0
        wait "$pid" || n=$?
        unset "sim_pid[$name]"
        echo "$n" >"$run/$name.rc"
        now_us >"$run/$name.stop"
        echo "stopped $n"
        ;;
    wait) # NAME: the simulator ends by itself (a hang-up)
        for ((n = 0; n < 300; n++)); do
            kill -0 "${sim_pid[$name]:-none}" 2>/dev/null || break
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
# The board's row of a run's table: device result exit lines bytes seconds.
row() { awk '$1 == "1" && NF >= 7 { print $2, $3, $4, $5, $6, $7 }' "$results/$1.out" 2>/dev/null | tail -n 1; }
field() { grep -o "\"$2\":[0-9]*" "$run/$1.json" 2>/dev/null | cut -d: -f2; }
rc() { cat "$results/$1.rc" 2>/dev/null || echo "none"; }
# Why a run did not program the whole file exactly ("...; "), or nothing when it did.
run_fault() { # NAME DEVICE
    local name=$1 device=$2 r
    read -r -a r <<<"$(row "$name")"
    [[ -s "$results/$name.out" ]] || { printf '%s; ' "$name: no output from the guest"; return; }
    [[ "$(rc "$name")" == 0 ]] || { printf '%s; ' "$name: exit $(rc "$name"): $(tail -n 3 "$results/$name.out" | tr '\n' ' ')"; return; }
    [[ "${r[0]:-}" == "$device" ]] || { printf '%s; ' "$name: ran on '${r[0]:-?}', not $device"; return; }
    [[ "${r[3]:-}" == "$file_lines/$file_lines" ]] || { printf '%s; ' "$name: sent ${r[3]:-?} lines"; return; }
    [[ "$(field "$name" lines)" == "$file_lines" && "$(field "$name" bad_lines)" == 0 ]] ||
        { printf '%s; ' "$name: the device took $(field "$name" lines) lines, $(field "$name" bad_lines) bad"; return; }
    cmp -s "$run/$name.img" "$run/demo.bin" ||
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

total=$((passed + failed))
echo
printf '%d%% checks passed, %d checks failed out of %d\n' $((passed * 100 / total)) "$failed" "$total"
printf 'Total time (real) = %d s (the guest %d s)\n' $((SECONDS - started)) "$guest_seconds"
[[ $failed -eq 0 ]]
