#!/usr/bin/env bash
# Runs the real-kernel scenarios: boots Debian's packaged kernel under QEMU, with this machine's
# root shared read-only over 9p below a writable overlay, so the guest runs the binaries of the
# build directory (and Debian's udev and ModemManager) on the kernel's own USB drivers. Modems
# are kav-modem-sim in gadget mode on dummy_hcd. Each scenario's result and time go to standard
# output; the exit status is the guest's (0 when every scenario passed).
#
#   bash scripts/vm_test.sh [BUILD_DIR]           (default: build)
#
# The kernel package is downloaded once into ${KAV_VM_CACHE:-~/.cache/kav-vm}.
# KAV_VM_SCENARIOS="name ..." runs only those scenarios; KAV_VM_SHELL=1 boots to a shell.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(cd "${1:-build}" && pwd)
cache=${KAV_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/var/cache}/.cache}/kav-vm}
mkdir -p "$cache"

for tool in qemu-system-x86_64 busybox cpio modprobe; do
  command -v "$tool" >/dev/null || { echo "vm_test: $tool is missing (scripts/deps.sh --vm)" >&2; exit 1; }
done
for dir in "$repo" "$build" "$cache"; do
  case "$dir/" in
    /run/*) echo "vm_test: $dir is hidden in the guest, which mounts its own /run" >&2; exit 1 ;;
  esac
done
for bin in tool/kelnorset tool/kav sim/kav-modem-sim; do
  [ -x "$build/$bin" ] || { echo "vm_test: $build/$bin is not built" >&2; exit 1; }
done

# The kernel the linux-image-amd64 package of this release depends on, unpacked once.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
[ -n "$kernel_package" ] || { echo "vm_test: apt knows no linux-image-amd64" >&2; exit 1; }
kver=${kernel_package#linux-image-}
kdir=$cache/$kver
if [ ! -e "$kdir/.unpacked" ]; then
  echo "vm_test: downloading $kernel_package"
  rm -rf "$kdir" && mkdir -p "$kdir"
  (cd "$kdir" && apt-get download -q "$kernel_package" >/dev/null 2>&1 &&
    dpkg-deb -x ./*.deb . && rm -f ./*.deb)
  depmod -b "$kdir" "$kver"
  touch "$kdir/.unpacked"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kav-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/initramfs"/{bin,lib/modules,proc,sys,dev,lower,rw,newroot}

# The initramfs: a static busybox, the modules that reach the shared root, and an init that
# mounts it and hands over to the guest script.
modules_dir=$kdir/lib/modules/$kver
early="virtio_pci 9pnet_virtio 9p overlay"
# modules.dep lists a module, then what it needs in reverse load order.
for name in $early; do
  grep -E "(^|/)$name\.ko:" "$modules_dir/modules.dep" | tr -d ':' |
    awk '{ for (i = NF; i > 0; --i) print $i }'
done | awk '!seen[$0]++' >"$work/early.list"
while read -r ko; do
  cp "$modules_dir/$ko" "$work/initramfs/lib/modules/"
  basename "$ko" >>"$work/initramfs/lib/modules/order"
done <"$work/early.list"
cp "$(command -v busybox)" "$work/initramfs/bin/busybox"
cat >"$work/initramfs/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for ko in $(cat /lib/modules/order); do insmod /lib/modules/$ko 2>/dev/null; done
mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,msize=262144,ro hostroot /lower
mount -t tmpfs -o size=256m tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot
mkdir -p /newroot/kav-out
mount -t 9p -o trans=virtio,version=9p2000.L out /newroot/kav-out
umount /proc /sys /dev
EOF
echo "exec switch_root /newroot /bin/bash $repo/scripts/vm_guest.sh" >>"$work/initramfs/init"
chmod 755 "$work/initramfs/init"
(cd "$work/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

cat >"$work/out/env" <<EOF
KAV_VM_REPO=$repo
KAV_VM_BUILD=$build
KAV_VM_KVER=$kver
KAV_VM_MODULES=$modules_dir
KAV_VM_SCENARIOS="${KAV_VM_SCENARIOS:-}"
KAV_VM_SHELL=${KAV_VM_SHELL:-0}
EOF

# KVM is not offered here (its guest hangs in the boot loader), so software emulation is the
# default; KAV_VM_ACCEL=kvm asks for KVM where it works.
accel="-accel ${KAV_VM_ACCEL:-tcg}"
start=$(date +%s%N)
echo "vm_test: booting $kver ($accel)"
# shellcheck disable=SC2086
timeout 900 qemu-system-x86_64 $accel -cpu max -smp 2 -m 1024 -nographic -no-reboot \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 panic=-1 loglevel=${KAV_VM_LOGLEVEL:-3}" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$work/out",mount_tag=out,security_model=none \
  -nic none </dev/null 2>&1 | tr -d '\r' | grep --line-buffered -v -e '^\s*$' || true
elapsed=$((($(date +%s%N) - start) / 1000000))
echo "vm_test: the guest ran for ${elapsed} ms"
if [ ! -e "$work/out/status" ]; then
  echo "vm_test: the guest ended without a result" >&2
  exit 1
fi
exit "$(cat "$work/out/status")"
