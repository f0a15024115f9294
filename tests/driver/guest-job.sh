#!/bin/sh
# The guest's half of scripts/driver-check.sh, run from the share by the guest's init: runs the
# command line against the kernel's ftdi_sio and 8250 drivers, asks the host (through the share) to
# plug, unplug and replug the simulated board, and leaves what it saw in /mnt/results. The host
# judges it all once the guest has powered off, so this script decides nothing.
set -u
export HOME=/root LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin
share=/mnt
results=$share/results
cli=$share/tarnix-pellora-cli
file=$share/demo.srec
byid=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_PELLORA1-if00-port0
mkdir -p "$results" "$share/req"

# Asks the host to do something and prints its answer. The request is renamed into place, so the
# host never reads half of one; the answer comes back the same way.
asked=0
host() {
    asked=$((asked + 1))
    request=$(printf '%03d' "$asked")
    echo "$*" >"$share/req/$request.tmp" && mv "$share/req/$request.tmp" "$share/req/$request"
    waited=0
    while [ ! -e "$share/ack/$request" ]; do
        waited=$((waited + 1))
        if [ "$waited" -gt 1200 ]; then
            echo "no answer from the host in 60 s to: $*"
            return 1
        fi
        sleep 0.05
    done
    cat "$share/ack/$request"
}

# NODE SECONDS: waits for a device node to come (present) or go (absent).
present() {
    waited=0
    while [ ! -e "$1" ]; do
        waited=$((waited + 1))
        [ "$waited" -gt $(($2 * 20)) ] && return 1
        sleep 0.05
    done
}
absent() {
    waited=0
    while [ -e "$1" ]; do
        waited=$((waited + 1))
        [ "$waited" -gt $(($2 * 20)) ] && return 1
        sleep 0.05
    done
}

# NAME ARGS...: one run of the command line; its output and exit status go to the results.
run() {
    name=$1
    shift
    "$cli" "$@" --file "$file" --boot-timeout 30 --no-history >"$results/$name.out" 2>&1
    echo "$?" >"$results/$name.rc"
}

# Whether process PID has ended (a zombie counts: it is only waiting to be reaped).
ended() {
    [ ! -e "/proc/$1/stat" ] || [ "$(sed 's/.*) //' "/proc/$1/stat" | cut -c1)" = Z ]
}

# Whether process PID has a USB serial port open.
holds_adapter() {
    for fd in /proc/"$1"/fd/*; do
        case "$(readlink "$fd" 2>/dev/null)" in /dev/ttyUSB*) return 0 ;; esac
    done
    return 1
}

# NAME ARGS...: a run, with the adapter's latency timer read every 50 ms while it lasts, each
# reading marked with whether the command line had the port open at that moment.
run_sampling_latency() {
    name=$1
    shift
    timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
    cat "$timer" >"$results/latency-before" 2>&1
    "$cli" "$@" --file "$file" --boot-timeout 30 --no-history >"$results/$name.out" 2>&1 &
    pid=$!
    : >"$results/latency"
    until ended "$pid"; do
        if holds_adapter "$pid"; then state=open; else state=closed; fi
        echo "$state $(cat "$timer" 2>/dev/null)" >>"$results/latency"
        sleep 0.05
    done
    wait "$pid"
    echo "$?" >"$results/$name.rc"
}

# Plugs a fresh adapter (a new simulator connecting) and waits for udev's by-id name.
plug_adapter() {
    host plug "$@" >/dev/null && present "$byid" 20 && return 0
    echo "no $byid within 20 s of plugging the adapter" >"$results/$1.out"
    return 1
}
unplug_adapter() {
    host stop "$1" >/dev/null
    absent "$byid" 20 || echo "$byid still there 20 s after unplugging" >>"$results/$1.out"
}

echo "job started at $(cut -d' ' -f1 /proc/uptime) s"

# ftdi_sio through the by-id name: 20 ms with the latency timer watched, on the adapter as it
# first came (the longer run gives more readings), then "Auto - fast"; the port list while the
# adapter is in.
if plug_adapter ftdi-20 ftdi; then
    "$cli" --list-ports >"$results/list-ports.out" 2>&1
    echo "$?" >"$results/list-ports.rc"
    run_sampling_latency ftdi-20 --device "$byid" --speed 20
fi
unplug_adapter ftdi-20
plug_adapter ftdi-auto ftdi && run ftdi-auto --device "$byid" --speed auto
unplug_adapter ftdi-auto

# 8250: the 16550 on ttyS1, the simulator on the other end of its socket.
host plug uart-auto uart >/dev/null && run uart-auto --device /dev/ttyS1 --speed auto
host stop uart-auto >/dev/null
host plug uart-20 uart >/dev/null && run uart-20 --device /dev/ttyS1 --speed 20
host stop uart-20 >/dev/null

# A reset pulse on each modem line, seen by the host in the USB capture.
for line in dtr rts; do
    plug_adapter "reset-$line" ftdi && run "reset-$line" --device "$byid" --speed auto --reset "$line"
    unplug_adapter "reset-$line"
done

# The adapter pulled mid-transfer, then put back: possibly on another USB port, under the same name.
if plug_adapter unplug ftdi; then
    "$cli" --device "$byid" --speed 20 --file "$file" --boot-timeout 30 --no-history \
        >"$results/unplug.out" 2>&1 &
    pid=$!
    host unplug-at unplug 100 >"$results/unplug.host"
    wait "$pid"
    echo "$?" >"$results/unplug.rc"
    cut -d' ' -f1 /proc/uptime >"$results/unplug.ended-at"
    dmesg | grep 'USB disconnect' | tail -n 1 >"$results/unplug.disconnect"
fi
host stop unplug >/dev/null
host replug >/dev/null
plug_adapter replug ftdi && run replug --device "$byid" --speed auto
unplug_adapter replug

# The board hangs up by itself after line 50: the simulator closes its socket.
plug_adapter hangup ftdi --hangup-after 50 && run hangup --device "$byid" --speed auto
host wait hangup >/dev/null

# From here on the package's udev rule is installed, as on a workstation. Not before: the checks
# above are about the command line's own requests, which the rule's latency timer would hide.
install -D -m 644 "$share/70-tarnix-pellora.rules" /etc/udev/rules.d/70-tarnix-pellora.rules
udevadm control --reload
# Every line the clock exchange writes into the kernel log is kept, however many.
echo on >/proc/sys/kernel/printk_devkmsg

# NAME: the guest's kernel-log clock against the host's, through an echo on the 16550's line.
clock_exchange() {
    host clock "$1" >/dev/null &&
        "$share/pellora-clock-sync" probe /dev/ttyS1 "$1" 20 >"$results/$1" 2>&1
    host stop "$1" >/dev/null
}

# NAME: what udev knows of the port behind the by-id name, once it has handled every event.
udev_port() {
    udevadm settle --timeout=10
    port=$(readlink -f "$byid")
    udevadm info --query=property --name="$port" >"$results/$1.udev" 2>&1
    cat "/sys/class/tty/${port##*/}/device/latency_timer" >"$results/$1.latency" 2>&1
}

# A board powered through its own port, running its application (it never answers), is unplugged
# and plugged in again during the countdown; back, it boots into its bootloader. The clock
# exchanges just before and after put the kernel's "attached" on the host's clock.
if host plug follow-before ftdi --never-boot >/dev/null && present "$byid" 20; then
    udev_port follow-before
    clock_exchange clock-before
    "$cli" --device "$byid" --speed auto --file "$file" --boot-timeout 30 --no-history \
        >"$results/follow.out" 2>&1 &
    pid=$!
    host countdown-replug follow >"$results/follow.host"
    wait "$pid"
    echo "$?" >"$results/follow.rc"
    udev_port follow-after
    clock_exchange clock-after
else
    echo "no $byid within 20 s of plugging the adapter" >"$results/follow.out"
fi
host stop follow-after >/dev/null
dmesg >"$results/kernel.log"

echo "job ended at $(cut -d' ' -f1 /proc/uptime) s"
