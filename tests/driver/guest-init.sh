#!/bin/sh
# PID 1 of the driver check's guest, in place of systemd: mounts what the command line and udev
# need, loads the drivers under test, lets udev name the ports, runs the job the host left on the
# share and powers off. The kernel's log goes to the console (ttyS0), the job's output to the share.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# The initrd hands over /proc, /sys, /dev and /run mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mountpoint -q /dev/pts || mount -t devpts -o gid=5,mode=0620 devpts /dev/pts
mountpoint -q /run || mount -t tmpfs -o mode=0755 run /run
mount -t tmpfs tmp /tmp
# QSerialPort's lock files.
mkdir -p /run/lock /run/udev
modprobe -a xhci_pci ftdi_sio 9pnet_virtio 9p
/lib/systemd/systemd-udevd --daemon
# Only what the job looks at: a full trigger costs seconds under emulation.
udevadm trigger --action=add --subsystem-match=tty --subsystem-match=usb --subsystem-match=usb-serial
udevadm settle
mkdir -p /mnt
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /mnt; then
    sh /mnt/job.sh >/mnt/job.log 2>&1
    echo "$?" >/mnt/job.status
    sync
else
    echo "guest-init: the share did not mount" >/dev/console
fi
echo o >/proc/sysrq-trigger
sleep 30
