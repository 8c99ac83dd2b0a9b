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
# As run, with --trace: the per-command lines stay in the guest, the summary comes out.
run_traced() {
  name=$1; shift
  echo "=== BEGIN $name"
  /bin/keelvane-cli "$@" --trace > /tmp/$name.out 2>&1
  rc=$?
  grep -Ev '^trace [A-Z]: (2a|5c) ' /tmp/$name.out
  echo "=== END $name rc=$rc"
}
# The SCSI commands the kernel dispatches to the drive, its own included, counted from its
# trace events: what the drive saw, not what a program says it sent.
T=/sys/kernel/tracing
count_on() {
  [ -d $T/events ] || mount -t tracefs nodev $T 2>/dev/null
  [ -e $T/events/scsi/scsi_dispatch_cmd_start/enable ] || return 0
  echo 65536 > $T/buffer_size_kb
  echo > $T/trace
  echo 1 > $T/events/scsi/scsi_dispatch_cmd_start/enable
  T0=$(cut -d' ' -f1 /proc/uptime)
}
count_off() {   # NAME: a section with the opcodes counted, the total, the writes, the blocks
                # they moved, the commands other than WRITE(10) and READ BUFFER CAPACITY
                # between the first and the last WRITE(10), and the wall time
  T1=$(cut -d' ' -f1 /proc/uptime)
  echo "=== BEGIN $1"
  if [ -e $T/events/scsi/scsi_dispatch_cmd_start/enable ]; then
    echo 0 > $T/events/scsi/scsi_dispatch_cmd_start/enable
    # raw= is the CDB as the drive got it; a WRITE(10)'s blocks are its bytes 7 and 8.
    sed -n 's/.*raw=\([0-9a-f ]*\).*/\1/p' $T/trace | awk '
      function hex(h,   v, i) { v = 0; for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1; return v }
      { op[NR] = $1; n[$1]++
        if ($1 == "2a") { if (!first) first = NR; last = NR; blocks += hex($8 $9) } }
      END { for (k in n) printf "opcode %s %d\n", k, n[k]
            other = 0; for (i = first; i <= last; i++) if (op[i] != "2a" && op[i] != "5c") other++
            printf "total %d\nwrites %d\nblocks %d\nforeign-between-writes %d\n", NR, n["2a"], blocks, other }'
  fi
  echo "wall $(echo "$T1 $T0" | awk '{printf "%.2f", $1 - $2}')"
  echo "=== END $1 rc=0"
}
case "$CYCLE" in
  tgt)
    run drives drives
    run capabilities capabilities
    run speeds speeds
    run writer-params writer-params
    run disc-info-blank disc-info
    count_on
    run_traced burn burn /img.iso --no-eject
    count_off burn-at-target
    run toc toc
    ;;
  bench)
    # The same image on two blank writers of one target: keelvane-cli on D: (sr0), cdrskin on
    # sr1, each counted at the drive.
    count_on
    run_traced burn burn /img.iso --no-eject --no-verify --drive D
    count_off bench-keelvane
    count_on
    echo "=== BEGIN cdrskin"
    /bin/cdrskin -tao dev=/dev/sr1 /img.iso 2>&1 | tail -5
    echo "=== END cdrskin rc=$?"
    count_off bench-cdrskin
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
