#!/usr/bin/env bash
# Runs one peer cycle: keelvane-cli inside a QEMU guest reaches a drive nobody on this project
# wrote through the real kernel path (SG_IO on /dev/sr0, SCSI_IOCTL_GET_IDLUN).
#
#   peer.sh tgt  CLI     tgt's blank DVD+R writer over loopback iSCSI (scsi-generic)
#   peer.sh scsi CLI     QEMU's read-only scsi-cd on virtio-scsi holding a CD-sized ISO
#   peer.sh ahci CLI     QEMU's read-only ide-cd on AHCI holding the same ISO
#   peer.sh usb  CLI     a blank USB stick (usb-storage on xHCI) beside a virtio disk that holds
#                        the guest's running system (/, keelvane-cli on it): drives offers the
#                        stick only, a burn onto the system disk is refused, the demo image is
#                        burnt onto the stick; then a second machine boots from the written stick
#                        and its banner must come up on the serial console
#   peer.sh bench CLI    two blank tgt DVD+R writers in one guest: the same image burnt by
#                        keelvane-cli and by `cdrskin -tao`, wall time and commands at the drive
#                        (bench/run.sh prints the figures; KV_PEER_IMAGE_MB sets the image size)
#   peer.sh tgt2 CLI     four blank tgt DVD+R writers in one guest: two `cdrskin -tao` processes burn
#                        F: and G: at once, then one keelvane-cli burns D: and E: at once
#                        (--drive all: tgt reports the other two, written, as DVD-ROMs); every disc is
#                        read back by the guest with dd, the backing files are compared here,
#                        and both wall times are printed side by side
#   peer.sh wine EXE     keelvane-cli.exe under Wine in the guest, two blank tgt DVD+R writers
#                        as D: and E: (Wine's dosdevices on /dev/sr0 and /dev/sr1): drives,
#                        disc-info and a burn through SPTI on D:, then a burn with Windows 98
#                        reported (the ASPI transport, Wine's own wnaspi32.dll) on E:. Wine comes
#                        from this machine's root file system, mounted read-only into the guest
#                        over 9p under an overlay in guest memory; its prefix is made here once
#                        and kept beside the guest kernel.
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
boot_pid=""
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
  if [ -n "$boot_pid" ] && kill -0 "$boot_pid" 2>/dev/null; then
    kill "$boot_pid" 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$boot_pid" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$boot_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

[ -n "$iscsi_port" ] || skip "no free port for tgt"
for tool in qemu-system-x86_64 busybox cpio xorriso apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x "$cli" ] || skip "keelvane-cli not built at $cli"
if [ "$cycle" = tgt ] || [ "$cycle" = tgt2 ] || [ "$cycle" = bench ] || [ "$cycle" = wine ]; then
  command -v tgtd >/dev/null && command -v tgtadm >/dev/null || skip "tgt is not installed"
fi
if [ "$cycle" = bench ] || [ "$cycle" = tgt2 ]; then
  command -v cdrskin >/dev/null || skip "cdrskin is not installed"
fi
if [ "$cycle" = usb ]; then
  command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is not installed"
  # The image a user burns onto a stick: the bootable hybrid demo image, as the build makes it.
  demo_log=$("$here/../../scripts/make-demo-image.sh" "$work/demo.iso" 2>&1) || {
    case "$demo_log" in *"is missing"*) skip "cannot make the demo image: $demo_log" ;; esac
    fail "make-demo-image.sh failed: $demo_log"; }
fi
if [ "$cycle" = wine ]; then
  command -v wine >/dev/null && command -v wineserver >/dev/null || skip "wine is not installed"
  wine_version=$(WINEDEBUG=-all wine --version 2>/dev/null) || skip "wine does not start"
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
if [ "$cycle" = wine ]; then
  # The Windows program and what the guest needs to find Wine's prefix; Wine itself is not
  # packed, the guest reaches it through the host's root file system.
  mkdir -p "$root/kv"
  cp "$cli" "$root/kv/keelvane-cli.exe"
  # The ASPI library carried over the pass-through interface, for the Windows 98 path against
  # the real drive (Wine's own wnaspi32.dll reaches no device).
  if command -v x86_64-w64-mingw32-gcc >/dev/null; then
    mkdir -p "$root/kv/aspi-spti"
    x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -shared -static-libgcc -o "$root/kv/aspi-spti/wnaspi32.dll" \
      "$here/wine-aspi-spti.c" || fail "cannot build the SPTI-carried wnaspi32.dll"
  fi
else
  cp "$cli" "$root/bin/keelvane-cli"
  for lib in $(ldd "$cli" | awk '/=>/{print $3} /ld-linux/{print $1}'); do
    [ -e "$root$lib" ] || { mkdir -p "$root$(dirname "$lib")"; cp -L "$lib" "$root$lib"; }
  done
fi
if [ "$cycle" = usb ]; then cp "$work/demo.iso" "$root/demo.iso"; else cp "$work/img.iso" "$root/img.iso"; fi
cp "$here/guest-init.sh" "$root/init" && chmod +x "$root/init"
if [ "$cycle" = scsi ] || [ "$cycle" = ahci ]; then
  # The tray lock as the drive reports it, read beside keelvane (a shared open, as any program).
  cc -O2 -Wall -Wextra -Werror -static -o "$root/bin/kv-lockbits" "$here/lockbits.c" \
    || fail "cannot build kv-lockbits"
fi
if [ "$cycle" = bench ] || [ "$cycle" = tgt2 ]; then
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
modules="sr_mod sg virtio_scsi virtio_pci ahci"
[ "$cycle" = wine ] && modules="$modules 9p 9pnet_virtio overlay"
# The disc is mounted in the read-only cycles: the kernel then holds the drive and its tray.
{ [ "$cycle" = scsi ] || [ "$cycle" = ahci ]; } && modules="$modules isofs"
[ "$cycle" = usb ] && modules="crc32c_generic virtio_pci virtio_blk xhci-pci usb-storage sd_mod ext4"
for p in $(for m in $modules; do resolve $m; done | awk '!s[$0]++'); do
  name=$(basename "$p" | sed -E 's/\.ko(\.xz)?$//')
  case "$p" in
    *.xz) xz -dc "$moddir/$p" > "$root/mods/$name.ko" ;;
    *) cp "$moddir/$p" "$root/mods/$name.ko" ;;
  esac
  echo "$name" >> "$root/mods/order"
done
if [ "$cycle" = wine ]; then
  # Wine's prefix, made here once per Wine version (wineboot under TCG would take minutes) and
  # kept beside the guest kernel. D: and E: are CD-ROM drives (their dosdevices links to the
  # guest's /dev/sr0 and /dev/sr1 are made in the guest); the same program under the name
  # keelvane-cli-9x.exe is told it runs on Windows 98, which selects the ASPI transport. The
  # builtin DLLs wineboot copies into the prefix are replaced by links to Wine's own files:
  # the guest sees the same files, and the cache stays small.
  pfx=$cache/wine-prefix-$(printf %s "$wine_version" | tr -c 'A-Za-z0-9.+-' _)
  # Wine's relay trace is limited to wnaspi32.dll: the ASPI run shows each call and its result.
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\Software\Wine\Drives]' '"d:"="cdrom"' '"e:"="cdrom"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\keelvane-cli-9x.exe]' '"Version"="win98"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Debug]' '"RelayInclude"="wnaspi32.*"' '' \
    > "$work/prefix.reg"
  # The prefix is made again when these settings change (the marker holds them).
  if ! cmp -s "$work/prefix.reg" "$pfx/.kv-ready"; then
    rm -rf "$pfx"
    ( export WINEPREFIX=$pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
      wine wineboot -i && wine reg import "$work/prefix.reg" && wineserver -w ) > "$work/wineboot.log" 2>&1 \
      || skip "cannot make a Wine prefix in $pfx: $(tail -3 "$work/wineboot.log")"
    for dlls in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows \
                /usr/lib64/wine/x86_64-windows /usr/local/lib/wine/x86_64-windows; do
      [ -f "$dlls/kernel32.dll" ] || continue
      find "$pfx/drive_c/windows" -type f -name '*.*' | while read -r f; do
        b=$dlls/$(basename "$f"); [ -f "$b" ] && cmp -s "$f" "$b" && ln -sf "$b" "$f"
      done
      break
    done
    cp "$work/prefix.reg" "$pfx/.kv-ready"
  fi
  # KV_PEER_WINEDEBUG: Wine's debug channels for the program's runs, e.g. -all,err+all,+cdrom
  # to see each SCSI pass-through request (the ASPI run also traces aspi, loaddll and relay).
  printf "WINEPREFIX='%s'\nKV_WINEDEBUG='%s'\n" "$pfx" "${KV_PEER_WINEDEBUG:--all,err+all}" > "$root/kv/env"
fi
if [ "$cycle" = usb ]; then
  # The running system is the virtio disk: all of the tree on one ext4 file system (the whole
  # disk, as / in the guest). The initramfs only mounts it: busybox, the modules, this init.
  mkfs.ext4 -q -F -L KV_SYSTEM -d "$root" "$work/system.img" "$(( $(du -sm "$root" | cut -f1) + 64 ))M" \
    >/dev/null || fail "cannot make the system disk"
  (cd "$root" && find . \( -path ./bin/keelvane-cli -o -path ./demo.iso -o -path ./lib -o -path ./lib64 \
     -o -path ./usr \) -prune -o -print | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz" \
    || fail "cannot pack the initramfs"
else
  (cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz" || fail "cannot pack the initramfs"
fi

# The drive.
case "$cycle" in
  tgt|tgt2|bench|wine)
    # Writer n's blank disc is an empty backing file (tgt then reports a blank DVD+R).
    writers=2; [ "$cycle" = tgt2 ] && writers=4
    backing=$work/blank-dvdr.img
    backings=("$backing")
    for n in $(seq 2 "$writers"); do backings+=("$work/blank-dvdr-$n.img"); done
    for b in "${backings[@]}"; do : > "$b"; done
    tgtd -f -C "$tgt_ctl" --iscsi portal=127.0.0.1:$iscsi_port > "$work/tgtd.log" 2>&1 &
    tgtd_pid=$!
    disown "$tgtd_pid"
    for _ in $(seq 50); do tgtadm -C "$tgt_ctl" --lld iscsi --mode target --op show >/dev/null 2>&1 && break; sleep 0.1; done
    kill -0 "$tgtd_pid" 2>/dev/null || skip "tgtd did not start: $(cat "$work/tgtd.log")"
    tgtadm -C "$tgt_ctl" --lld iscsi --op new --mode target --tid 1 -T "$iqn" || skip "tgtadm could not set up the target"
    for n in $(seq "$writers"); do
      tgtadm -C "$tgt_ctl" --lld iscsi --op new --mode logicalunit --tid 1 --lun "$n" --device-type cd \
        -b "${backings[n-1]}" || skip "tgtadm could not set up writer $n"
    done
    tgtadm -C "$tgt_ctl" --lld iscsi --op bind --mode target --tid 1 -I 127.0.0.1 || skip "tgtadm could not bind the target"
    # LUN n is the guest's SCSI id n-1, which its kernel numbers /dev/sr(n-1): D:, E:, ...
    used=1; [ "$cycle" = tgt ] || used=$writers
    dev=(-device virtio-scsi-pci,id=scsi0)
    for n in $(seq "$used"); do
      dev+=(-drive "if=none,id=cd$((n-1)),format=raw,cache=none,file=iscsi://127.0.0.1:$iscsi_port/$iqn/$n"
            -device scsi-generic,drive=cd$((n-1)),bus=scsi0.0,channel=0,scsi-id=$((n-1)),lun=0)
    done
    guest_cycle=$cycle
    if [ "$cycle" = wine ]; then
      # The host's root file system, read-only: Wine, its libraries and the prefix.
      dev+=(-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap)
    fi ;;
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
  usb)
    truncate -s 64M "$work/stick.img" || fail "cannot make the stick"
    dev=(-drive "if=none,id=sys,format=raw,file=$work/system.img" -device virtio-blk-pci,drive=sys
         -device qemu-xhci,id=xhci
         -drive "if=none,id=stick,format=raw,file=$work/stick.img" -device usb-storage,bus=xhci.0,drive=stick,removable=on)
    guest_cycle=usb ;;
  *) echo "unknown cycle $cycle"; exit 2 ;;
esac

mem=1024; limit=400; cpu=max
# Wine returns from its system calls to user mode with IRETQ; under TCG (QEMU 7.2) that
# instruction reads the user stack as the supervisor, which SMAP forbids: every Wine process
# dies with a kernel-reported page fault. The guest CPU has no SMAP for Wine. Its time limit
# stays under CTest's (900 s), so that this script still stops tgtd itself.
[ "$cycle" = wine ] && { mem=2048; limit=780; cpu=max,smap=off; }
started=$(date +%s)
timeout "${KV_PEER_TIMEOUT:-$limit}" qemu-system-x86_64 -accel tcg -cpu $cpu -m $mem -smp 1 -machine pc \
  -display none -monitor none -serial stdio -no-reboot -nic none -nodefaults \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 kv.cycle=$guest_cycle" \
  "${dev[@]}" > "$work/guest.log" 2>&1
qrc=$?
[ "$cycle" = wine ] && echo "guest wall time: $(( $(date +%s) - started )) s"
tr -d '\r' < "$work/guest.log" > "$work/guest.txt"
grep -q "=== guest done" "$work/guest.txt" || fail "the guest did not finish (qemu exit $qrc)"
if [ "$cycle" = usb ]; then
  grep -q "vda=yes sda=yes" "$work/guest.txt" || fail "the guest saw no system disk /dev/vda or no stick /dev/sda"
else
  grep -q "sr0=yes" "$work/guest.txt" || fail "the guest saw no /dev/sr0"
fi

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
    # The tray during the burn: PREVENT (prevent 1) in keelvane's trace before anything that
    # changes the disc, ALLOW (prevent 0) as its last tray command. (tgt's drive answers the
    # lock but does not show it in page 2Ah; what the drive got is counted below.)
    expect burn "trace D: 1e 00 00 00 01 00"
    section burn | grep "^trace D: 1e " | tail -1 | grep -F "trace D: 1e 00 00 00 00 00" >/dev/null \
      || fail "burn: the tray was not released at the end"
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
      [ "$(at_drive tray-locked-before-change)" = 1 ] || fail "the drive got no PREVENT before the first command that changes the disc"
      [ "$(at_drive tray-released-after-change)" = 1 ] || fail "the drive got no ALLOW after the last command that changes the disc"
      echo "at the drive: the tray locked before the first change of the disc and released after the last"
    else
      echo "at the drive: not counted (the guest kernel has no SCSI trace events)"
    fi
    size=$(stat -c %s "$work/img.iso")
    [ "$(stat -c %s "$backing")" -ge "$size" ] && cmp -n "$size" "$backing" "$work/img.iso" >/dev/null \
      || fail "the tgt backing file does not hold the image"
    echo "backing file equals the image ($size bytes)"
    ;;
  tgt2)
    grep -q "=== writers sr0=yes sr1=yes sr2=yes sr3=yes" "$work/guest.txt" \
      || fail "the guest did not see four writers: $(grep '=== writers' "$work/guest.txt")"
    expect_rc drives 0
    for l in D E F G; do expect drives "$l:\\  [ IET"; done
    [ "$(section drives | grep -o '/dev/sr[0-9]*' | tr '\n' ' ')" = "/dev/sr0 /dev/sr1 /dev/sr2 /dev/sr3 " ] \
      || fail "drives: the letters D: to G: are not /dev/sr0 to /dev/sr3"
    size=$(stat -c %s "$work/img.iso")
    sum=$(sha256sum "$work/img.iso" | cut -d' ' -f1)
    # Two peer burners at once on F: and G:, each disc read back by the guest.
    for l in F G; do
      expect_rc "cdrskin-$l" 0
      expect_rc "read-back-$l" 0; expect "read-back-$l" "equals the image"
    done
    # keelvane-cli on every writer whose disc can take the image: D: and E: (tgt turns a closed
    # DVD+R into a DVD-ROM, so F: and G: are left out). Each target ends with its own result.
    expect_rc burn-all 0
    for l in D E; do
      tr=$(section burn-all | grep -F '{"type":"target_result",' | grep -F "\"target\":\"$l:\"")
      [ "$(printf '%s\n' "$tr" | grep -c .)" = 1 ] || fail "burn-all: not one target_result for $l:"
      for f in '"exit_code":0' '"ok":true' '"verified":true' "\"read_back_sha256\":\"$sum\"" "\"burnt_sha256\":\"$sum\""; do
        printf '%s' "$tr" | grep -F -- "$f" >/dev/null || fail "burn-all: the target_result of $l: has no $f"
      done
      expect_rc "read-back-$l" 0; expect "read-back-$l" "equals the image"
    done
    [ "$(section burn-all | grep -c -F '{"type":"target_result",')" = 2 ] || fail "burn-all: targets other than D: and E:"
    res=$(section burn-all | grep -F '{"type":"result",' | tail -1)
    [ "$(section burn-all | grep '^{' | tail -1)" = "$res" ] || fail "burn-all: the result is not the last line"
    printf '%s' "$res" | grep -F '{"type":"result","command":"burn","exit_code":0,"ok":true' >/dev/null \
      || fail "burn-all: the result does not say exit code 0: $res"
    targets=$(printf '%s' "$res" | sed -n 's/.*"targets":\[\([^]]*\)\].*/\1/p' | sed 's/},{/}\n{/g')
    [ "$(printf '%s\n' "$targets" | grep -c .)" = 2 ] \
      && printf '%s\n' "$targets" | sed -n 1p | grep -F '"target":"D:"' | grep -F '"exit_code":0' | grep -F '"ok":true' >/dev/null \
      && printf '%s\n' "$targets" | sed -n 2p | grep -F '"target":"E:"' | grep -F '"exit_code":0' | grep -F '"ok":true' >/dev/null \
      || fail "burn-all: the result's targets are not D: and E: in order, both ok: $targets"
    for n in 1 2 3 4; do
      b=${backings[n-1]}
      [ "$(stat -c %s "$b")" -ge "$size" ] && cmp -n "$size" "$b" "$work/img.iso" >/dev/null \
        || fail "the backing file of writer $n does not hold the image"
    done
    echo "all four backing files equal the image ($size bytes)"
    echo "two writers at once, $size bytes each: cdrskin x2 $(section cdrskin-wall | sed -n 's/^wall //p') s," \
         "keelvane-cli $(section burn-all | sed -n 's/^wall //p') s (verify included)"
    ;;
  bench)
    expect_rc burn 0; expect_rc cdrskin 0
    for who in keelvane cdrskin; do
      echo "bench $who: $(section bench-$who | sed -n 's/^\(total\|writes\|blocks\|wall\) \(.*\)/\1=\2/p' | tr '\n' ' ')"
    done
    ;;
  wine)
    grep -q "=== wine root: sr1=yes wine=yes prefix=yes" "$work/guest.txt" \
      || fail "the guest could not reach Wine: $(grep '=== wine root' "$work/guest.txt")"
    expect_rc wine-start 0
    # SPTI (the NT family): Wine's IOCTL_SCSI_PASS_THROUGH_DIRECT on \\.\D: is SG_IO on /dev/sr0.
    expect_rc drives 0; expect drives "D:\\  [ IET"; expect drives "E:\\  [ IET"
    expect_rc disc-info-blank 0; expect disc-info-blank "Profile       : DVD+R"; expect disc-info-blank "Disc status   : blank"
    expect_rc burn-spti 0; expect burn-spti "Disc : DVD+R, blank"; expect burn-spti "Finished Writing : Finalizing Disc"
    expect burn-spti "trace D: 5b 01 05 "; expect burn-spti "sectors equal the image"
    section burn-spti | grep "trace D: 55 " >/dev/null && fail "burn-spti: the DVD+R strategy sent MODE SELECT"
    size=$(stat -c %s "$work/img.iso")
    [ "$(stat -c %s "$backing")" -ge "$size" ] && cmp -n "$size" "$backing" "$work/img.iso" >/dev/null \
      || fail "SPTI: the backing file of D: does not hold the image"
    echo "SPTI: backing file of D: equals the image ($size bytes)"
    # ASPI (Windows 98 reported): the writer's commands go to wnaspi32.dll, Wine's builtin. Either
    # the burn is byte-exact, or it stops where Wine 8's library does: SendASPI32Command is a
    # stub that answers SS_INVALID_SRB (E0h) without filling the request block's status or
    # signalling its event; the program takes the answer as the request's status and fails
    # (it must not wait for the event, which never comes), and nothing reaches the second writer.
    section burn-aspi | grep -i 'Loaded .*wnaspi32\.dll.*: builtin' >/dev/null \
      || fail "burn-aspi: Wine's builtin wnaspi32.dll was not loaded"
    backing2=$work/blank-dvdr-2.img
    if [ "$(rc burn-aspi)" = 0 ] && [ -z "$(rc burn-aspi-spti)" ] && [ "$(stat -c %s "$backing2")" -ge "$size" ] \
       && cmp -n "$size" "$backing2" "$work/img.iso" >/dev/null; then
      echo "ASPI: backing file of E: equals the image ($size bytes)"
    elif section burn-aspi | grep -F "fixme:aspi:SendASPI32Command no longer supported" >/dev/null; then
      expect burn-aspi "Ret  wnaspi32.SendASPI32Command() retval=000000e0"
      case "$(rc burn-aspi)" in
        0|"") fail "burn-aspi: exit code $(rc burn-aspi) although the library refused the command" ;;
        124|137|143) fail "burn-aspi: the program waited for the refused command until the guest's time limit" ;;
      esac
      expect_rc disc-info-e 0; expect disc-info-e "Disc status   : blank"
      echo "ASPI: stops at the first SendASPI32Command: Wine's wnaspi32.dll is a stub (returns E0h SS_INVALID_SRB, status byte left 00h, event never signalled); the program fails with exit $(rc burn-aspi), E: untouched"
    else
      fail "ASPI: neither a byte-exact burn nor Wine's stub library"
    fi
    # ASPI through the library of this folder, which carries each request over SPTI: the
    # program's Windows 98 path (request blocks, events, status and sense) on the real drive E:.
    if [ -n "$(rc burn-aspi-spti)" ]; then
      section burn-aspi-spti | grep -i 'Loaded .*aspi-spti.*wnaspi32\.dll.*: native' >/dev/null \
        || fail "burn-aspi-spti: the SPTI-carried wnaspi32.dll was not loaded"
      expect_rc burn-aspi-spti 0; expect burn-aspi-spti "Disc : DVD+R, blank"
      expect burn-aspi-spti "Finished Writing : Finalizing Disc"; expect burn-aspi-spti "sectors equal the image"
      # The trace counts what the library carried, as it does on the pass-through.
      aspi_writes=$(section burn-aspi-spti | sed -n 's/^trace summary: 2a .* \([0-9][0-9]*\)$/\1/p')
      [ "${aspi_writes:-0}" -gt 0 ] || fail "burn-aspi-spti: the trace summary counts no WRITE(10) carried by the library"
      [ "$(stat -c %s "$backing2")" -ge "$size" ] && cmp -n "$size" "$backing2" "$work/img.iso" >/dev/null \
        || fail "ASPI over SPTI: the backing file of E: does not hold the image"
      echo "ASPI over SPTI: backing file of E: equals the image ($size bytes); the trace counts $aspi_writes WRITE(10)s"
    else
      echo "ASPI over SPTI: not run (no MinGW-w64 C compiler for its library, or E: was not blank)"
    fi
    ;;
  scsi|ahci)
    expect_rc drives 0; expect drives "D:\\  [ QEMU"
    # A mounted disc keeps the kernel's tray lock through a drive list and a refused query; the
    # list names the drive from the kernel's record, the query sends nothing.
    expect_rc mount 0
    expect_rc lock-mounted 0; expect lock-mounted "lock locked"
    expect_rc drives-mounted 0; expect drives-mounted "D:\\  [ QEMU"; expect drives-mounted "in use by another program (mounted on /mnt)"
    expect_rc lock-after-drives 0; expect lock-after-drives "lock locked"
    expect_rc toc-mounted 10; expect toc-mounted "D: is in use by another program (mounted on /mnt)"
    section toc-mounted | grep "^trace D:" >/dev/null && fail "toc-mounted: a command reached the mounted drive"
    expect_rc lock-after-toc 0; expect lock-after-toc "lock locked"
    expect_rc lock-unmounted 0; expect lock-unmounted "lock unlocked"
    echo "tray: $(section lock-mounted) mounted, $(section lock-after-drives) after drives, $(section lock-after-toc) after a refused toc, $(section lock-unmounted) unmounted"
    expect_rc toc 0
    # A read-only drive is refused by the preflight: no write parameters, no write.
    expect_rc burn 9; expect burn "and cannot be written."
    section burn | grep -E "trace D: (55|2a) " >/dev/null && fail "burn: MODE SELECT or WRITE reached the read-only drive"
    expect dvd-structure "Err_SenseIllegalRequest"
    expect_rc eject 0
    expect_rc_not toc-after-eject 0; expect toc-after-eject "Err_SenseNotReady"
    ;;
  usb)
    # The stick is offered; the system disk is not even listed.
    expect_rc drives 0; expect drives "/dev/sda  "; expect drives "USB stick: burn onto it with --drive /dev/sda"
    section drives | grep -F "/dev/vda" >/dev/null && fail "drives: the system disk /dev/vda was offered"
    expect_rc burn-system 3
    expect burn-system "cannot burn onto /dev/vda: it holds the running system's file systems (/"
    expect_rc burn 0; expect burn "USB Stick Creation Complete!"; expect burn "The USB stick was read back: it equals the image."
    expect partitions "sda1"
    size=$(stat -c %s "$work/demo.iso")
    cmp -n "$size" "$work/stick.img" "$work/demo.iso" >/dev/null || fail "the stick does not hold the demo image"
    echo "stick equals the demo image ($size bytes)"
    # The written stick alone in a second machine: SeaBIOS boots its MBR, ISOLINUX shows the
    # banner. The BIOS mirrors its screen onto the serial port (etc/sercon-port; the machine has
    # no display), so the banner is read there; QEMU is stopped by its PID once it came.
    printf '\xf8\x03' > "$work/sercon-port"
    : > "$work/boot.log"
    qemu-system-x86_64 -accel tcg -m 128 -machine pc -display none -monitor none -nodefaults -no-reboot -nic none \
      -serial "file:$work/boot.log" -fw_cfg "name=etc/sercon-port,file=$work/sercon-port" \
      -device qemu-xhci,id=xhci -drive "if=none,id=stick,format=raw,readonly=on,file=$work/stick.img" \
      -device usb-storage,bus=xhci.0,drive=stick,bootindex=0 > "$work/boot-qemu.log" 2>&1 &
    boot_pid=$!
    banner=no
    for _ in $(seq "$(( ${KV_PEER_BOOT_WAIT:-60} * 5 ))"); do
      # Cursor movements of the mirrored screen may fall inside a line: dropped before the search.
      sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g' "$work/boot.log" | grep -F "KeelVane demo rescue disc" >/dev/null \
        && { banner=yes; break; }
      kill -0 "$boot_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill "$boot_pid" 2>/dev/null; wait "$boot_pid" 2>/dev/null; boot_pid=""
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g' "$work/boot.log" | tr -d '\r' | sed 's/^/    boot| /'; echo
    [ "$banner" = yes ] || fail "the machine booted from the stick showed no banner $(grep -v 'prefixed with "opt/"' "$work/boot-qemu.log")"
    echo "the stick boots: the demo image's banner came up"
    ;;
esac
echo "PASSED: $cycle"
