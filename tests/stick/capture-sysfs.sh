#!/usr/bin/env bash
# Captures what a Linux kernel reports about a machine's block devices, for the discovery's
# table tests: a QEMU guest with a virtio system disk, an NVMe disk, a USB stick (two
# partitions), a 300 GiB USB hard disk, an SD card, an empty optical drive, a loop device, a RAM
# disk and zram swap. The trimmed sysfs tree, mountinfo, swaps and a by-label folder land in
#
#   capture-sysfs.sh OUTDIR       (e.g. tests/stick/data/qemu-pc)
#
# The guest kernel is the one the peer cycles use (tests/peer/peer.sh), from the same cache.
# Exit 0: captured; 1: the guest did not deliver; 77: QEMU or the kernel cannot be had.
set -uo pipefail

out=${1:?output folder}
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${KV_PEER_CACHE:-}" ]; then
  cache=$KV_PEER_CACHE
elif mkdir -p /var/cache/keelvane-peer 2>/dev/null && [ -w /var/cache/keelvane-peer ]; then
  cache=/var/cache/keelvane-peer
elif [ -n "${XDG_CACHE_HOME:-}" ]; then
  cache=$XDG_CACHE_HOME/keelvane-peer
else
  cache=$HOME/.cache/keelvane-peer
fi
work=$(mktemp -d /tmp/kv-stick-capture.XXXXXX)
trap 'rm -rf "$work"' EXIT
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -f "$work/guest.txt" ] && sed 's/^/  guest| /' "$work/guest.txt" | grep -v '^  guest| [A-Za-z0-9+/=]*$'; exit 1; }

for tool in qemu-system-x86_64 qemu-img busybox cpio mkfs.ext4 apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# The guest kernel, unpacked once (as peer.sh does).
mkdir -p "$cache" || skip "cannot create $cache"
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
[ -n "$kpkg" ] || skip "cannot tell which kernel package linux-image-amd64 depends on"
kver=${kpkg#linux-image-}
kdir=$cache/kernel-$kver
if [ ! -f "$kdir/boot/vmlinuz-$kver" ]; then
  (cd "$cache" && apt-get download "$kpkg" >/dev/null 2>&1) || skip "cannot download $kpkg"
  rm -rf "$kdir.tmp" && dpkg-deb -x "$cache/${kpkg}"_*.deb "$kdir.tmp" && rm -f "$cache/${kpkg}"_*.deb \
    && /usr/sbin/depmod -b "$kdir.tmp" "$kver" && mv "$kdir.tmp" "$kdir" || skip "cannot unpack $kpkg"
fi

# mbr IMAGE START:SECTORS...: a DOS partition table of Linux partitions (no sfdisk needed).
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
mbr() {
  local img=$1 i=0 entry; shift
  printf "$(le32 $((0x4b560000 + RANDOM)))" | dd of="$img" bs=1 seek=440 conv=notrunc status=none
  for part in "$@"; do
    entry="\\x00\\xfe\\xff\\xff\\x83\\xfe\\xff\\xff$(le32 "${part%%:*}")$(le32 "${part##*:}")"
    printf "$entry" | dd of="$img" bs=1 seek=$((446 + 16 * i)) conv=notrunc status=none
    i=$((i + 1))
  done
  printf '\x55\xaa' | dd of="$img" bs=1 seek=510 conv=notrunc status=none
}
# fs IMAGE START SECTORS LABEL: an ext4 file system in place.
fs() {
  truncate -s $(($3 * 512)) "$work/part" && mkfs.ext4 -q -F -L "$4" "$work/part" >/dev/null \
    && dd if="$work/part" of="$1" bs=512 seek="$2" conv=notrunc,sparse status=none && rm -f "$work/part"
}
d=$work/disks; mkdir -p "$d"
truncate -s 96M "$d/system.img"; mbr "$d/system.img" 2048:65536 67584:129024
fs "$d/system.img" 2048 65536 BOOT && fs "$d/system.img" 67584 129024 ROOT || fail "cannot make the system disk"
truncate -s 64M "$d/nvme.img"; mbr "$d/nvme.img" 2048:129024
fs "$d/nvme.img" 2048 129024 HOME || fail "cannot make the NVMe disk"
truncate -s 64M "$d/stick.img"; mbr "$d/stick.img" 2048:65536 67584:63488
fs "$d/stick.img" 2048 65536 DATA && fs "$d/stick.img" 67584 63488 BACKUP || fail "cannot make the stick"
truncate -s 32M "$d/sd.img"; mbr "$d/sd.img" 2048:63488
fs "$d/sd.img" 2048 63488 SDCARD || fail "cannot make the SD card"
qemu-img create -q -f qcow2 "$d/hdd.qcow2" 300G || fail "cannot make the USB hard disk"

# The initramfs: busybox, the modules with what they depend on, the guest script.
root=$work/root
mkdir -p "$root"/{bin,sbin,proc,sys,dev,mods,tmp}
cp "$(command -v busybox)" "$root/bin/"
for a in $("$root/bin/busybox" --list); do [ -e "$root/bin/$a" ] || ln -s busybox "$root/bin/$a"; done
cp "$here/capture-guest.sh" "$root/init" && chmod +x "$root/init"
moddir=$kdir/lib/modules/$kver
resolve() {
  local line; line=$(grep -E "^[^:]*/$1\.ko(\.xz)?:" "$moddir/modules.dep") || return 0
  for d in ${line#*:}; do resolve "$(basename "$d" | sed -E 's/\.ko(\.xz)?$//')"; done
  echo "${line%%:*}"
}
: > "$root/mods/order"
modules="crc32c_generic virtio_pci virtio_blk nvme xhci-pci usb-storage sd_mod sdhci-pci mmc_block ahci sr_mod ext4 loop brd zram"
for p in $(for m in $modules; do resolve "$m"; done | awk '!s[$0]++'); do
  name=$(basename "$p" | sed -E 's/\.ko(\.xz)?$//')
  case "$p" in
    *.xz) xz -dc "$moddir/$p" > "$root/mods/$name.ko" ;;
    *) cp "$moddir/$p" "$root/mods/$name.ko" ;;
  esac
  echo "$name" >> "$root/mods/order"
done
echo "rd_nr=1 rd_size=4096" > "$root/mods/brd.args"
for m in $modules; do grep -qx "$m" "$root/mods/order" || echo "note: module $m not in the guest kernel"; done
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz" || fail "cannot pack the initramfs"

timeout "${KV_CAPTURE_TIMEOUT:-400}" qemu-system-x86_64 -accel tcg -cpu max -m 768 -smp 1 -machine pc \
  -display none -monitor none -serial stdio -no-reboot -nic none -nodefaults \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -drive if=none,id=sys,format=raw,file="$d/system.img" -device virtio-blk-pci,drive=sys \
  -drive if=none,id=nv,format=raw,file="$d/nvme.img" -device nvme,serial=KVNVME0001,drive=nv \
  -device qemu-xhci,id=xhci \
  -drive if=none,id=stick,format=raw,file="$d/stick.img" -device usb-storage,bus=xhci.0,drive=stick,removable=on \
  -drive if=none,id=hdd,format=qcow2,file="$d/hdd.qcow2" -device usb-storage,bus=xhci.0,drive=hdd,removable=off \
  -device sdhci-pci -drive if=none,id=sd,format=raw,file="$d/sd.img" -device sd-card,drive=sd \
  -device ahci,id=ahci0 -drive if=none,id=cd,media=cdrom -device ide-cd,drive=cd,bus=ahci0.0 \
  > "$work/guest.log" 2>&1
qrc=$?
tr -d '\r' < "$work/guest.log" > "$work/guest.txt"
grep -q "=== END capture" "$work/guest.txt" || fail "the guest delivered no capture (qemu exit $qrc)"
grep '^=== guest ready' "$work/guest.txt"
rm -rf "$out" && mkdir -p "$out"
awk '$0=="=== BEGIN capture"{on=1; next} $0=="=== END capture"{on=0} on' "$work/guest.txt" | base64 -d | tar -xzf - -C "$out" \
  || fail "cannot unpack the capture"
{ echo "Captured by capture-sysfs.sh from a QEMU guest: not written by hand."
  echo "guest kernel: $kver"
  echo "emulator: $(qemu-system-x86_64 --version | head -1)"
  echo "devices: vda virtio system disk (/ and /boot), nvme0n1 NVMe (/home), sda USB stick (removable,"
  echo "  DATA on /media/user/DATA, BACKUP on /run/media/user/BACKUP copy), sdb 300 GiB USB hard disk,"
  echo "  mmcblk0 SD card (/mnt/sd), sr0 empty optical drive, loop0 on a file, ram0, zram0 as swap"
  echo "proc/mountinfo.stick-on-home: the stick's DATA moved to /home; proc/swaps.stick-as-swap: its"
  echo "  second partition as swap. dev/: the device nodes as empty files."
} > "$out/CAPTURED"
echo "captured into $out: $(find "$out" | wc -l) entries, $(du -sk "$out" | cut -f1) KiB"
