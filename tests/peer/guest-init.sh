#!/bin/sh
# /init of the peer-test guest: loads the SCSI/ATA modules, waits for the optical drive, runs
# the cycle named on the kernel command line (kv.cycle=tgt|readonly) with keelvane-cli and
# prints every command's output between markers the host parses.
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
CYCLE=readonly
for w in $(cat /proc/cmdline); do case "$w" in kv.cycle=*) CYCLE=${w#kv.cycle=};; esac; done
for m in $(cat /mods/order); do insmod /mods/$m.ko 2>/dev/null; done
i=0
while [ $i -lt 150 ] && [ ! -b /dev/sr0 ]; do usleep 100000; i=$((i+1)); done
usleep 300000
echo "=== guest ready cycle=$CYCLE sr0=$( [ -b /dev/sr0 ] && echo yes || echo no)"
# The serial console is a terminal; plain status lines read better in the log.
export ASAN_OPTIONS=detect_leaks=0 HOME=/tmp TERM=dumb
run() {
  name=$1; shift
  echo "=== BEGIN $name"
  /bin/keelvane-cli "$@" 2>&1
  rc=$?
  echo "=== END $name rc=$rc"
}
case "$CYCLE" in
  tgt)
    run drives drives
    run capabilities capabilities
    run speeds speeds
    run writer-params writer-params
    run disc-info-blank disc-info
    run burn burn /img.iso --no-eject --trace
    run toc toc
    ;;
  readonly)
    run drives drives
    run toc toc
    run burn burn /img.iso --no-eject --trace
    run dvd-structure dvd-structure
    run eject eject
    run toc-after-eject toc
    ;;
esac
echo "=== guest done"
sync
poweroff -f
