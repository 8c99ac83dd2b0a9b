#!/bin/sh
# /init of the peer-test guest: loads the SCSI/ATA modules, waits for the optical drive, runs
# the cycle named on the kernel command line (kv.cycle=tgt|tgt2|bench|wine|readonly|usb) with
# keelvane-cli and prints every command's output between markers the host parses. In the usb
# cycle the initramfs only brings the system up: keelvane-cli runs from the virtio disk, chrooted
# into it as the running system's root (this script again, with the argument "system").
export PATH=/bin:/sbin
if [ "$1" != system ]; then
  mount -t proc proc /proc
  mount -t sysfs sys /sys
  mount -t devtmpfs dev /dev
fi
CYCLE=readonly
for w in $(cat /proc/cmdline); do case "$w" in kv.cycle=*) CYCLE=${w#kv.cycle=};; esac; done
if [ "$1" != system ]; then
  for m in $(cat /mods/order); do insmod /mods/$m.ko 2>/dev/null; done
  if [ "$CYCLE" = usb ]; then
    i=0
    while [ $i -lt 150 ] && { [ ! -b /dev/vda ] || [ ! -b /dev/sda ]; }; do usleep 100000; i=$((i+1)); done
    echo "=== guest ready cycle=$CYCLE vda=$( [ -b /dev/vda ] && echo yes || echo no) sda=$( [ -b /dev/sda ] && echo yes || echo no)"
    mkdir -p /sysroot
    if mount -t ext4 /dev/vda /sysroot; then
      mount --move /proc /sysroot/proc; mount --move /sys /sysroot/sys; mount --move /dev /sysroot/dev
      exec chroot /sysroot /bin/sh /init system
    fi
    echo "=== cannot mount the system disk"
    echo "=== guest done"
    poweroff -f
  fi
  i=0
  while [ $i -lt 150 ] && [ ! -b /dev/sr0 ]; do usleep 100000; i=$((i+1)); done
  usleep 300000
  echo "=== guest ready cycle=$CYCLE sr0=$( [ -b /dev/sr0 ] && echo yes || echo no)"
fi
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
        # The tray: where the first PREVENT (prevent 1) and the last ALLOW (prevent 0) came.
        if ($1 == "1e" && $5 == "01" && !lockAt) lockAt = NR
        if ($1 == "1e" && $5 == "00") allowAt = NR
        if ($1 == "55" || $1 == "04" || $1 == "a1" || $1 == "5b") { if (!change) change = NR; lastChange = NR }
        if ($1 == "2a") { if (!first) first = NR; last = NR; blocks += hex($8 $9) } }
      END { for (k in n) printf "opcode %s %d\n", k, n[k]
            other = 0; for (i = first; i <= last; i++) if (op[i] != "2a" && op[i] != "5c") other++
            printf "total %d\nwrites %d\nblocks %d\nforeign-between-writes %d\n", NR, n["2a"], blocks, other
            if (!change || first < change) change = first
            if (last > lastChange) lastChange = last
            printf "tray-locked-before-change %d\ntray-released-after-change %d\n", (lockAt > 0 && lockAt < change), (allowAt > lastChange) }'
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
  tgt2)
    # Four blank writers: D: E: F: G: (sr0..sr3). Two cdrskin processes burn F: and G: at once,
    # then one keelvane-cli burns every writer that can take the image (D: and E: by then).
    i=0
    while [ $i -lt 50 ] && [ ! -b /dev/sr3 ]; do usleep 100000; i=$((i+1)); done
    echo "=== writers$(for n in 0 1 2 3; do printf ' sr%s=%s' $n "$( [ -b /dev/sr$n ] && echo yes || echo no)"; done)"
    run drives drives
    # The SCSI address of each writer, while its sr number still gives the letter.
    for n in 0 1 2 3; do eval "hctl$n=$(basename "$(readlink /sys/block/sr$n/device)")"; done
    # LETTER: the disc in that drive read back through the kernel's block device, the image's
    # size of it, compared with the image. The kernel learns a disc's capacity when sr binds or
    # when the drive reports a new disc; tgt turns the blank disc into a written one without
    # such a report, so sr is bound to the writer again first.
    read_back() {
      echo "=== BEGIN read-back-$1"
      case $1 in D) h=$hctl0;; E) h=$hctl1;; F) h=$hctl2;; *) h=$hctl3;; esac
      echo "$h" > /sys/bus/scsi/drivers/sr/unbind
      echo "$h" > /sys/bus/scsi/drivers/sr/bind
      i=0
      while [ $i -lt 50 ] && ! { dev=/dev/$(ls /sys/bus/scsi/devices/$h/block 2>/dev/null); [ -b "$dev" ]; }; do
        usleep 100000; i=$((i+1))
      done
      blocks=$(( $(wc -c < /img.iso) / 2048 ))
      dd if=$dev of=/tmp/read-back.bin bs=2048 count=$blocks 2>&1 | tail -1
      cmp /tmp/read-back.bin /img.iso && echo "$dev equals the image"
      rc=$?
      rm -f /tmp/read-back.bin
      echo "=== END read-back-$1 rc=$rc"
    }
    t0=$(cut -d' ' -f1 /proc/uptime)
    /bin/cdrskin -tao dev=/dev/sr2 /img.iso > /tmp/cdrskin-F.out 2>&1 &
    pf=$!
    /bin/cdrskin -tao dev=/dev/sr3 /img.iso > /tmp/cdrskin-G.out 2>&1 &
    pg=$!
    wait $pf; rf=$?
    wait $pg; rg=$?
    t1=$(cut -d' ' -f1 /proc/uptime)
    echo "=== BEGIN cdrskin-F"; tail -5 /tmp/cdrskin-F.out; echo "=== END cdrskin-F rc=$rf"
    echo "=== BEGIN cdrskin-G"; tail -5 /tmp/cdrskin-G.out; echo "=== END cdrskin-G rc=$rg"
    echo "=== BEGIN cdrskin-wall"; echo "wall $(echo "$t1 $t0" | awk '{printf "%.2f", $1 - $2}')"; echo "=== END cdrskin-wall rc=0"
    read_back F
    read_back G
    # The progress events stay in the guest; the rest of the JSON comes out.
    echo "=== BEGIN burn-all"
    t0=$(cut -d' ' -f1 /proc/uptime)
    /bin/keelvane-cli burn /img.iso --drive all --json --no-eject > /tmp/burn-all.out 2>&1
    rc=$?
    t1=$(cut -d' ' -f1 /proc/uptime)
    grep -v '"type":"progress"' /tmp/burn-all.out
    echo "progress events: $(grep -c '"type":"progress"' /tmp/burn-all.out)"
    echo "wall $(echo "$t1 $t0" | awk '{printf "%.2f", $1 - $2}')"
    echo "=== END burn-all rc=$rc"
    read_back D
    read_back E
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
  wine)
    # Wine and its libraries come from the host's root file system (9p, read-only) under an
    # overlay held in guest memory, so that Wine may write its prefix and /tmp; the programs
    # run chrooted into it. keelvane-cli.exe sees the writers as D: (sr0) and E: (sr1).
    . /kv/env
    i=0
    while [ $i -lt 50 ] && [ ! -b /dev/sr1 ]; do usleep 100000; i=$((i+1)); done
    mkdir -p /host /up /new
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host
    mount -t tmpfs -o mode=755 tmpfs /up && mkdir -p /up/upper /up/work
    mount -t overlay -o lowerdir=/host,upperdir=/up/upper,workdir=/up/work overlay /new
    mount -t proc proc /new/proc; mount -t sysfs sys /new/sys; mount -t devtmpfs dev /new/dev
    mount -t tmpfs tmpfs /new/tmp; mount -t tmpfs tmpfs /new/run
    echo "=== wine root: sr1=$( [ -b /dev/sr1 ] && echo yes || echo no) wine=$(chroot /new /bin/sh -c 'command -v wine' >/dev/null && echo yes || echo no) prefix=$( [ -f /new$WINEPREFIX/system.reg ] && echo yes || echo no)"
    mkdir -p /new/tmp/kv/cd-d /new/tmp/kv/cd-e
    cp /img.iso /kv/keelvane-cli.exe /new/tmp/kv/
    cp /kv/keelvane-cli.exe /new/tmp/kv/keelvane-cli-9x.exe
    P=/new$WINEPREFIX/dosdevices
    ln -sfn /tmp/kv/cd-d "$P/d:"; ln -sfn /dev/sr0 "$P/d::"
    ln -sfn /tmp/kv/cd-e "$P/e:"; ln -sfn /dev/sr1 "$P/e::"
    wover=
    wenv="env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root TERM=dumb WINEPREFIX=$WINEPREFIX"
    # NAME SECONDS WINEDEBUG EXE ARGS...: one Wine run, its output (per-command trace lines
    # of the writes and the relay trace's module events dropped, carriage returns removed),
    # its wall time and exit code.
    wine_run() {
      name=$1; limit=$2; debug=$3; shift 3
      echo "=== BEGIN $name"
      t0=$(cut -d' ' -f1 /proc/uptime)
      chroot /new $wenv WINEDEBUG=$debug WINEDLLOVERRIDES=$wover timeout -k 10 $limit wine "$@" </dev/null >/new/tmp/kv/$name.out 2>&1
      rc=$?
      t1=$(cut -d' ' -f1 /proc/uptime)
      tr -d '\r' < /new/tmp/kv/$name.out \
        | grep -Ev '^trace [A-Z]: (2a|5c) |:(Call|Ret ) (PE DLL|TLS callback)|:trace:relay:load_list|:Starting thread'
      echo "wall $(echo "$t1 $t0" | awk '{printf "%.1f", $1 - $2}')"
      echo "=== END $name rc=$rc"
    }
    # One server for all runs: Wine's services start once.
    chroot /new $wenv WINEDEBUG=-all wineserver -p
    # Wine's own start (its services, once for all runs) apart from the program's.
    wine_run wine-start 900 -all cmd /c ver
    wine_run drives 600 "$KV_WINEDEBUG" 'Z:\tmp\kv\keelvane-cli.exe' drives
    wine_run disc-info-blank 600 "$KV_WINEDEBUG" 'Z:\tmp\kv\keelvane-cli.exe' disc-info --drive D
    wine_run burn-spti 900 "$KV_WINEDEBUG" 'Z:\tmp\kv\keelvane-cli.exe' burn 'Z:\tmp\kv\img.iso' --drive D --no-eject --trace
    # Windows 98 reported: the writer's commands go through wnaspi32.dll, Wine's own.
    wine_run burn-aspi 60 "$KV_WINEDEBUG,+aspi,+loaddll,+relay" 'Z:\tmp\kv\keelvane-cli-9x.exe' burn 'Z:\tmp\kv\img.iso' --drive E --no-eject --trace
    # What Wine's library left on E: (through SPTI).
    wine_run disc-info-e 600 "$KV_WINEDEBUG" 'Z:\tmp\kv\keelvane-cli.exe' disc-info --drive E
    # Windows 98 reported, with the ASPI library carried over SPTI beside the program, onto E:
    # while it is blank.
    if [ -f /kv/aspi-spti/wnaspi32.dll ] && grep -q "Disc status   : blank" /new/tmp/kv/disc-info-e.out; then
      mkdir -p /new/tmp/kv/aspi-spti
      cp /kv/aspi-spti/wnaspi32.dll /kv/keelvane-cli.exe /new/tmp/kv/aspi-spti/
      mv /new/tmp/kv/aspi-spti/keelvane-cli.exe /new/tmp/kv/aspi-spti/keelvane-cli-9x.exe
      wover=wnaspi32=n
      wine_run burn-aspi-spti 900 "$KV_WINEDEBUG,+loaddll" 'Z:\tmp\kv\aspi-spti\keelvane-cli-9x.exe' burn 'Z:\tmp\kv\img.iso' --drive E --no-eject --trace
      wover=
    fi
    chroot /new $wenv WINEDEBUG=-all wineserver -k
    sync
    ;;
  usb)
    # The system disk holds / (this chroot); the USB stick is blank. The list offers the stick
    # only, a burn onto the system disk is refused, the one onto the stick is read back.
    mount -t tmpfs tmpfs /tmp
    run drives drives
    run burn-system burn --drive /dev/vda --yes /demo.iso
    run burn burn --drive /dev/sda --yes /demo.iso
    # No udev here: the image's partitions are known only if the writer had the table re-read.
    echo "=== BEGIN partitions"; grep -E ' sda[0-9]*$' /proc/partitions; echo "=== END partitions rc=0"
    ;;
  readonly)
    run drives drives
    # A mounted disc: the kernel locks its tray (page 2Ah, read beside it by kv-lockbits); a
    # drive list leaves that lock alone, and a query on the mounted drive sends it nothing.
    lock() { echo "=== BEGIN $1"; /bin/kv-lockbits /dev/sr0; echo "=== END $1 rc=$?"; }
    mkdir -p /mnt
    echo "=== BEGIN mount"; mount -t iso9660 -o ro /dev/sr0 /mnt 2>&1; echo "=== END mount rc=$?"
    lock lock-mounted
    run drives-mounted drives
    lock lock-after-drives
    run toc-mounted toc --trace
    lock lock-after-toc
    umount /mnt
    lock lock-unmounted
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
