#!/bin/sh
# /init of the capture guest (see capture-sysfs.sh): brings up the disks of the machine, makes
# the virtio disk the running system (/ and /boot, the NVMe disk on /home), mounts the stick's
# partitions where a desktop would, and prints a trimmed copy of what the kernel reports about
# every block device as base64 tar between markers.
export PATH=/bin:/sbin
if [ "$1" != inner ]; then
  mount -t proc proc /proc
  mount -t sysfs sys /sys
  mount -t devtmpfs dev /dev
  for m in $(cat /mods/order); do insmod /mods/$m.ko $(cat /mods/$m.args 2>/dev/null) 2>/dev/null; done
  i=0
  while [ $i -lt 200 ]; do
    [ -b /dev/vda2 ] && [ -b /dev/nvme0n1p1 ] && [ -b /dev/mmcblk0p1 ] && [ -b /dev/sda2 ] && [ -b /dev/sdb ] && break
    usleep 100000; i=$((i+1))
  done
  usleep 500000
  echo "=== guest ready: $(ls /sys/block | tr '\n' ' ')"
  # The running system: / from the virtio disk (a chroot, so that mountinfo shows it as /).
  mkdir -p /newroot
  mount -t ext4 /dev/vda2 /newroot || echo "=== cannot mount vda2"
  mkdir -p /newroot/bin /newroot/proc /newroot/sys /newroot/dev /newroot/boot /newroot/home /newroot/tmp
  cp /bin/busybox /newroot/bin/
  for a in $(/bin/busybox --list); do [ -e /newroot/bin/$a ] || ln -s busybox /newroot/bin/$a; done
  cp /init /newroot/capture.sh
  mount --move /proc /newroot/proc 2>/dev/null || mount -t proc proc /newroot/proc
  mount --move /sys /newroot/sys 2>/dev/null || mount -t sysfs sys /newroot/sys
  mount --move /dev /newroot/dev 2>/dev/null || mount -t devtmpfs dev /newroot/dev
  chroot /newroot /bin/sh /capture.sh inner
  echo "=== guest done"
  sync
  poweroff -f
fi

# --- inside the running system ---
mount -t ext4 /dev/vda1 /boot
mount -t ext4 /dev/nvme0n1p1 /home
mount -t tmpfs tmpfs /tmp
# A loop device on a file, a RAM disk (brd) and compressed swap in RAM (zram).
dd if=/dev/zero of=/tmp/loopfile bs=1024 count=4096 2>/dev/null
losetup /dev/loop0 /tmp/loopfile
if [ -e /sys/block/zram0/disksize ]; then
  echo 16M > /sys/block/zram0/disksize && mkswap /dev/zram0 >/dev/null && swapon /dev/zram0
fi
# The stick as a desktop mounts it: under /media and /run/media (a space in the folder name).
mkdir -p /media/user/DATA "/run/media/user/BACKUP copy" /mnt/sd
mount -t ext4 /dev/sda1 /media/user/DATA
mount -t ext4 /dev/sda2 "/run/media/user/BACKUP copy"
mount -t ext4 /dev/mmcblk0p1 /mnt/sd

C=/tmp/cap
mkdir -p $C/sys/block $C/proc $C/dev/disk/by-label
# The labels as udev would link them, each resolved here from its file system.
for l in BOOT ROOT HOME DATA BACKUP SDCARD; do
  d=$(findfs LABEL=$l 2>/dev/null) && ln -s ../../$(basename $d) $C/dev/disk/by-label/$l
done
cat /proc/self/mountinfo > $C/proc/mountinfo
cat /proc/swaps > $C/proc/swaps
# The same machine with the stick's first partition on /home and its second as swap.
umount /media/user/DATA
mount -t ext4 /dev/sda1 /home
cat /proc/self/mountinfo > $C/proc/mountinfo.stick-on-home
umount /home/ 2>/dev/null; umount "/run/media/user/BACKUP copy"
mkswap /dev/sda2 >/dev/null && swapon /dev/sda2
cat /proc/swaps > $C/proc/swaps.stick-as-swap
swapoff /dev/sda2

# cp_attr DIR FILE...: the attribute files of a sysfs directory that exist.
cp_attr() {
  d=$1; shift
  for f in "$@"; do
    [ -f "$d/$f" ] || continue
    mkdir -p "$C$d/$(dirname "$f")"
    cat "$d/$f" > "$C$d/$f" 2>/dev/null
  done
}
# cp_link LINK: the symlink as it is (relative), its directory made.
cp_link() {
  mkdir -p "$C$(dirname "$1")"
  ln -s "$(readlink "$1")" "$C$1"
}
cp_holders() {
  mkdir -p "$C$1/holders"
  for h in "$1"/holders/*; do [ -L "$h" ] && cp_link "$h"; done
}
for b in /sys/block/*; do
  cp_link "$b"
  real=$(readlink -f "$b")
  cp_attr "$real" removable ro size dev queue/logical_block_size
  cp_holders "$real"
  if [ -L "$real/device" ]; then
    cp_link "$real/device"
    dev=$(readlink -f "$real/device")
    cp_attr "$dev" vendor model name type
  fi
  for p in "$real"/*/partition; do
    [ -f "$p" ] || continue
    pd=$(dirname "$p")
    cp_attr "$pd" partition dev size ro start
    cp_holders "$pd"
  done
done
# The device nodes by name (as empty files: a capture holds no device nodes).
for n in $(ls /sys/class/block); do : > $C/dev/$n; done
echo "=== BEGIN capture"
(cd $C && tar -cf - . | gzip -9 | base64)
echo "=== END capture"
