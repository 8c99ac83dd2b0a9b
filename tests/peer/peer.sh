#!/usr/bin/env bash
# Runs one peer cycle: keelvane-cli inside a QEMU guest reaches a drive nobody on this project
# wrote through the real kernel path (SG_IO on /dev/sr0, SCSI_IOCTL_GET_IDLUN).
#
#   peer.sh tgt  CLI     tgt's blank DVD+R writer over loopback iSCSI (scsi-generic)
#   peer.sh scsi CLI     QEMU's read-only scsi-cd on virtio-scsi holding a CD-sized ISO
#   peer.sh ahci CLI     QEMU's read-only ide-cd on AHCI holding the same ISO
#   peer.sh bench CLI    two blank tgt DVD+R writers in one guest: the same image burnt by
#                        keelvane-cli and by `cdrskin -tao`, wall time and commands at the drive
#                        (bench/run.sh prints the figures; KV_PEER_IMAGE_MB sets the image size)
#
# Exit 0: the cycle showed what it must; 1: it did not; 77: QEMU/tgt/kernel not available
# (the test is reported as skipped, never as passed). Everything listens on 127.0.0.1 only,
# the guest has no network, and every process started here is stopped by its PID.
set -uo pipefail

cycle=${1:?cycle}
cli=${2:?path of keelvane-cli}
here=$(cd "$(dirname "$0")" && pwd)
# The guest kernel is kept between runs: in /var/cache where this user may write there, else in
# $XDG_CACHE_HOME, else in the build folder (KV_PEER_BUILD_CACHE, set by CTest).
if [ -n "${KV_PEER_CACHE:-}" ]; then
  cache=$KV_PEER_CACHE
elif mkdir -p /var/cache/keelvane-peer 2>/dev/null && [ -w /var/cache/keelvane-peer ]; then
  cache=/var/cache/keelvane-peer
elif [ -n "${XDG_CACHE_HOME:-}" ]; then
  cache=$XDG_CACHE_HOME/keelvane-peer
else
  cache=${KV_PEER_BUILD_CACHE:-$HOME/.cache}/keelvane-peer
fi
work=$(mktemp -d /tmp/kv-peer.XXXXXX)
tgtd_pid=""
# A port nothing listens on (3260 may be a real iSCSI target's): tried from a random start.
free_port() {
  local p
  for p in $(shuf -i 20000-60000 -n 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return 0; }
  done
  return 1
}
iscsi_port=${KV_PEER_ISCSI_PORT:-$(free_port)}
tgt_ctl=${KV_PEER_TGT_CONTROL:-77}
iqn=iqn.2026-12.org.keelvane:peer

# Where the peer packages could be installed (KV_PEER_REQUIRED=1, set by the CI), a cycle that
# cannot run is a failure, not a skip.
skip() {
  if [ "${KV_PEER_REQUIRED:-0}" = 1 ]; then echo "FAILED (the peer cycle is required here): $*"; exit 1; fi
  echo "SKIPPED: $*"; exit 77
}
fail() { echo "FAILED: $*"; [ -f "$work/guest.log" ] && sed 's/^/  guest| /' "$work/guest.log"; exit 1; }

cleanup() {
  if [ -n "$tgtd_pid" ] && kill -0 "$tgtd_pid" 2>/dev/null; then
    tgtadm -C "$tgt_ctl" --lld iscsi --op delete --mode target --tid 1 --force >/dev/null 2>&1
    kill "$tgtd_pid" 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$tgtd_pid" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$tgtd_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

[ -n "$iscsi_port" ] || skip "no free port for tgt"
for tool in qemu-system-x86_64 busybox cpio xorriso apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x "$cli" ] || skip "keelvane-cli not built at $cli"
if [ "$cycle" = tgt ] || [ "$cycle" = bench ]; then
  command -v tgtd >/dev/null && command -v tgtadm >/dev/null || skip "tgt is not installed"
fi
if [ "$cycle" = bench ]; then
  command -v cdrskin >/dev/null || skip "cdrskin is not installed"
fi

# The guest kernel: the version Debian's linux-image-amd64 points at, unpacked once.
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

# A test image of a few MB made by xorriso now: the file the burn must put on the disc.
mkdir -p "$work/isosrc"
echo "KeelVane peer test $(date -u +%FT%TZ)" > "$work/isosrc/README.TXT"
head -c $(( ${KV_PEER_IMAGE_MB:-3} * 1000000 )) /dev/urandom > "$work/isosrc/payload.bin"
xorriso -as mkisofs -quiet -V KV_PEER -o "$work/img.iso" "$work/isosrc" 2>/dev/null || fail "xorriso could not make the image"

# The initramfs: busybox, keelvane-cli with the libraries it loads, the modules, the image.
root=$work/root
mkdir -p "$root"/{bin,sbin,proc,sys,dev,mods,tmp}
cp "$(command -v busybox)" "$root/bin/"
for a in $("$root/bin/busybox" --list); do [ -e "$root/bin/$a" ] || ln -s busybox "$root/bin/$a"; done
cp "$cli" "$root/bin/keelvane-cli"
for lib in $(ldd "$cli" | awk '/=>/{print $3} /ld-linux/{print $1}'); do
  [ -e "$root$lib" ] || { mkdir -p "$root$(dirname "$lib")"; cp -L "$lib" "$root$lib"; }
done
cp "$work/img.iso" "$root/img.iso"
cp "$here/guest-init.sh" "$root/init" && chmod +x "$root/init"
if [ "$cycle" = bench ]; then
  cp "$(command -v cdrskin)" "$root/bin/cdrskin"
  for lib in $(ldd "$(command -v cdrskin)" | awk '/=>/{print $3} /ld-linux/{print $1}'); do
    [ -e "$root$lib" ] || { mkdir -p "$root$(dirname "$lib")"; cp -L "$lib" "$root$lib"; }
  done
fi
moddir=$kdir/lib/modules/$kver
resolve() {
  local line; line=$(grep -E "^[^:]*/$1\.ko(\.xz)?:" "$moddir/modules.dep") || return 0
  for d in ${line#*:}; do resolve "$(basename "$d" | sed -E 's/\.ko(\.xz)?$//')"; done
  echo "${line%%:*}"
}
: > "$root/mods/order"
for p in $(for m in sr_mod sg virtio_scsi virtio_pci ahci; do resolve $m; done | awk '!s[$0]++'); do
  name=$(basename "$p" | sed -E 's/\.ko(\.xz)?$//')
  case "$p" in
    *.xz) xz -dc "$moddir/$p" > "$root/mods/$name.ko" ;;
    *) cp "$moddir/$p" "$root/mods/$name.ko" ;;
  esac
  echo "$name" >> "$root/mods/order"
done
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz" || fail "cannot pack the initramfs"

# The drive.
case "$cycle" in
  tgt|bench)
    backing=$work/blank-dvdr.img
    : > "$backing"
    : > "$work/blank-dvdr-2.img"
    tgtd -f -C "$tgt_ctl" --iscsi portal=127.0.0.1:$iscsi_port > "$work/tgtd.log" 2>&1 &
    tgtd_pid=$!
    disown "$tgtd_pid"
    for _ in $(seq 50); do tgtadm -C "$tgt_ctl" --lld iscsi --mode target --op show >/dev/null 2>&1 && break; sleep 0.1; done
    kill -0 "$tgtd_pid" 2>/dev/null || skip "tgtd did not start: $(cat "$work/tgtd.log")"
    tgtadm -C "$tgt_ctl" --lld iscsi --op new --mode target --tid 1 -T "$iqn" \
      && tgtadm -C "$tgt_ctl" --lld iscsi --op new --mode logicalunit --tid 1 --lun 1 --device-type cd -b "$backing" \
      && tgtadm -C "$tgt_ctl" --lld iscsi --op new --mode logicalunit --tid 1 --lun 2 --device-type cd -b "$work/blank-dvdr-2.img" \
      && tgtadm -C "$tgt_ctl" --lld iscsi --op bind --mode target --tid 1 -I 127.0.0.1 \
      || skip "tgtadm could not set up the writer"
    dev=(-device virtio-scsi-pci,id=scsi0
         -drive "if=none,id=cd0,format=raw,cache=none,file=iscsi://127.0.0.1:$iscsi_port/$iqn/1"
         -device scsi-generic,drive=cd0,bus=scsi0.0,channel=0,scsi-id=0,lun=0)
    if [ "$cycle" = bench ]; then
      dev+=(-drive "if=none,id=cd1,format=raw,cache=none,file=iscsi://127.0.0.1:$iscsi_port/$iqn/2"
            -device scsi-generic,drive=cd1,bus=scsi0.0,channel=0,scsi-id=1,lun=0)
    fi
    guest_cycle=$cycle ;;
  scsi)
    truncate -s 300M "$work/cd.iso" 2>/dev/null; dd if="$work/img.iso" of="$work/cd.iso" conv=notrunc status=none
    dev=(-device virtio-scsi-pci,id=scsi0
         -drive "if=none,id=cd0,media=cdrom,format=raw,readonly=on,file=$work/cd.iso"
         -device scsi-cd,drive=cd0,bus=scsi0.0)
    guest_cycle=readonly ;;
  ahci)
    truncate -s 300M "$work/cd.iso" 2>/dev/null; dd if="$work/img.iso" of="$work/cd.iso" conv=notrunc status=none
    dev=(-device ahci,id=ahci0
         -drive "if=none,id=cd0,media=cdrom,format=raw,readonly=on,file=$work/cd.iso"
         -device ide-cd,drive=cd0,bus=ahci0.0)
    guest_cycle=readonly ;;
  *) echo "unknown cycle $cycle"; exit 2 ;;
esac

timeout "${KV_PEER_TIMEOUT:-400}" qemu-system-x86_64 -accel tcg -cpu max -m 1024 -smp 1 -machine pc \
  -display none -monitor none -serial stdio -no-reboot -nic none -nodefaults \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 kv.cycle=$guest_cycle" \
  "${dev[@]}" > "$work/guest.log" 2>&1
qrc=$?
tr -d '\r' < "$work/guest.log" > "$work/guest.txt"
grep -q "=== guest done" "$work/guest.txt" || fail "the guest did not finish (qemu exit $qrc)"
grep -q "sr0=yes" "$work/guest.txt" || fail "the guest saw no /dev/sr0"

# section NAME: the output of one command; rc NAME: its exit code.
section() { awk -v n="$1" '$0=="=== BEGIN " n {on=1; next} $0 ~ "^=== END " n " rc=" {on=0} on' "$work/guest.txt"; }
rc() { sed -n "s/^=== END $1 rc=\([0-9]*\)$/\1/p" "$work/guest.txt"; }
# grep reads the whole section: with -q it would stop at the first match and, under pipefail, the
# writer's SIGPIPE would fail the check of a line that is there.
expect() { section "$1" | grep -F -- "$2" >/dev/null || fail "$1: expected \"$2\""; }
expect_rc() { local r; r=$(rc "$1"); [ "$r" = "$2" ] || fail "$1: exit code $r, expected $2"; }
expect_rc_not() { local r; r=$(rc "$1"); [ -n "$r" ] && [ "$r" != "$2" ] || fail "$1: exit code $r, expected a failure"; }

for name in $(sed -n 's/^=== BEGIN //p' "$work/guest.txt"); do
  echo "--- $name (exit $(rc "$name"))"
  section "$name" | sed 's/^/    /'
done

case "$cycle" in
  tgt)
    expect_rc drives 0; expect drives "D:\\  [ IET"; expect drives "VIRTUAL-CDROM"; expect drives "/dev/sr0"
    expect_rc capabilities 0; expect capabilities "-- Device Writing Methods --"
    expect_rc speeds 0; expect speeds "-- Device Reading Speeds --"
    expect_rc writer-params 0; expect writer-params "Write Type :  "
    expect_rc disc-info-blank 0; expect disc-info-blank "Profile       : DVD+R"; expect disc-info-blank "Disc status   : blank"
    # A blank DVD+R: written by the DVD+R strategy, without write parameters, then closed and
    # finalized with the DVD+R close function.
    expect_rc burn 0; expect burn "Disc : DVD+R, blank"; expect burn "Finished Writing : Finalizing Disc"
    expect burn "trace D: 5b 01 05 "; expect burn "sectors equal the image"
    section burn | grep "trace D: 55 " >/dev/null && fail "burn: the DVD+R strategy sent MODE SELECT"
    expect burn "trace summary: "
    expect_rc toc 0; expect toc "[ssqfADRposition, ssqfDataTrack]"; expect toc "170"
    # What the drive saw (the kernel's trace events): at most 2.1 commands per block for the
    # whole burn, and nothing but WRITE(10) and READ BUFFER CAPACITY between the first and
    # the last WRITE(10), the kernel's own commands included.
    at_drive() { section burn-at-target | sed -n "s/^$1 //p"; }
    total=$(at_drive total); writes=$(at_drive writes); blocks=$(at_drive blocks); foreign=$(at_drive foreign-between-writes)
    if [ -n "$total" ]; then
      [ "$blocks" -gt 0 ] && awk -v t="$total" -v b="$blocks" 'BEGIN { exit !(t <= 2.1 * b) }' \
        || fail "the drive saw $total commands for $blocks blocks (more than 2.1 per block)"
      [ "$foreign" = 0 ] || fail "$foreign other commands reached the drive between the first and the last WRITE(10)"
      echo "at the drive: $total commands for $blocks blocks in $writes WRITE(10)s, none other between the writes"
    else
      echo "at the drive: not counted (the guest kernel has no SCSI trace events)"
    fi
    size=$(stat -c %s "$work/img.iso")
    [ "$(stat -c %s "$backing")" -ge "$size" ] && cmp -n "$size" "$backing" "$work/img.iso" >/dev/null \
      || fail "the tgt backing file does not hold the image"
    echo "backing file equals the image ($size bytes)"
    ;;
  bench)
    expect_rc burn 0; expect_rc cdrskin 0
    for who in keelvane cdrskin; do
      echo "bench $who: $(section bench-$who | sed -n 's/^\(total\|writes\|blocks\|wall\) \(.*\)/\1=\2/p' | tr '\n' ' ')"
    done
    ;;
  scsi|ahci)
    expect_rc drives 0; expect drives "D:\\  [ QEMU"
    expect_rc toc 0
    # A read-only drive is refused by the preflight: no write parameters, no write.
    expect_rc burn 9; expect burn "and cannot be written."
    section burn | grep -E "trace D: (55|2a) " >/dev/null && fail "burn: MODE SELECT or WRITE reached the read-only drive"
    expect dvd-structure "Err_SenseIllegalRequest"
    expect_rc eject 0
    expect_rc_not toc-after-eject 0; expect toc-after-eject "Err_SenseNotReady"
    ;;
esac
echo "PASSED: $cycle"
