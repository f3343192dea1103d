#!/bin/bash
# PID 1 of the scripts/vm_test.sh guest: mounts the kernel's file systems, loads the USB host,
# gadget, serial and storage drivers of the packaged kernel, runs the scenarios of
# scripts/vm_scenarios.sh and powers the machine off. Results go to /kav-out (shared with the
# host) and to the console.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
# A fresh /run: this machine's own (udev's database, pid files) must not show through. /tmp
# stays the overlay's, so a checkout or build directory there is still seen.
mount -t tmpfs tmpfs /run
# shellcheck source=/dev/null
source /kav-out/env
mkdir -p "/lib/modules/$KAV_VM_KVER"
mount --bind "$KAV_VM_MODULES" "/lib/modules/$KAV_VM_KVER"
modprobe configfs
mount -t configfs configfs /sys/kernel/config
hostname kav-vm

power_off() {
  sync
  busybox poweroff -f
  sleep 10
}

if [ "$KAV_VM_SHELL" = 1 ]; then
  setsid bash -c 'exec bash </dev/ttyS0 >/dev/ttyS0 2>&1'
  power_off
fi

status=1
# shellcheck source=scripts/vm_scenarios.sh
source "$KAV_VM_REPO/scripts/vm_scenarios.sh"
run_all_scenarios && status=0
echo "$status" >/kav-out/status
power_off
