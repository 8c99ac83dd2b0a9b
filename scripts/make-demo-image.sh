#!/usr/bin/env bash
# Makes the bootable demo rescue image: an ISO 9660 file system with ISOLINUX as its El Torito
# boot image, which says that it is the demo and boots from the next device. The image is a
# hybrid one (ISOLINUX's MBR and a partition table in its first sector), so the same file boots
# from a CD and from a USB stick it is written to. run.sh and the build both make it here, so the
# image burnt by run.sh and the one installed are made alike.
#   make-demo-image.sh OUTPUT.iso [MIB]
# MIB adds a file of that many MiB of random bytes, for an image the size of a real one (a burn
# that outlasts the drive's buffer, as the screenshots show it).
# Needs xorriso, and ISOLINUX and its ldlinux.c32 (packages isolinux and syslinux-common).
set -euo pipefail

[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: make-demo-image.sh OUTPUT.iso [MIB]" >&2; exit 2; }
image=$1
pad_mib=${2:-0}

isolinux_bin=${KV_ISOLINUX_BIN:-/usr/lib/ISOLINUX/isolinux.bin}
ldlinux=${KV_LDLINUX_C32:-/usr/lib/syslinux/modules/bios/ldlinux.c32}
hybrid_mbr=${KV_ISOHYBRID_MBR:-/usr/lib/ISOLINUX/isohdpfx.bin}
for f in "$isolinux_bin" "$ldlinux" "$hybrid_mbr"; do
  [ -f "$f" ] || { echo "make-demo-image.sh: $f is missing (packages isolinux and syslinux-common)" >&2; exit 1; }
done
command -v xorriso >/dev/null || { echo "make-demo-image.sh: xorriso is missing (package xorriso)" >&2; exit 1; }

tree=$(mktemp -d)
trap 'rm -rf "$tree" "$image.tmp"' EXIT
mkdir -p "$tree/isolinux"
cp "$isolinux_bin" "$ldlinux" "$tree/isolinux/"
cat > "$tree/isolinux/isolinux.cfg" <<'CFG'
SAY
SAY   KeelVane demo rescue disc
SAY   ------------------------
SAY   This disc was burnt by KeelVane. It carries no rescue system;
SAY   a real rescue image (Keelvane.iso) would start one here.
SAY   Booting from the next device in 10 seconds.
SAY
PROMPT 1
TIMEOUT 100
DEFAULT next
LABEL next
  LOCALBOOT -1
CFG
cat > "$tree/README.TXT" <<'TXT'
KeelVane demo rescue disc.

Put your own rescue image next to keelvane and keelvane-cli, or into
~/.local/share/keelvane/, under the name Keelvane.iso and it is burnt instead of this demo.
TXT
if [ "$pad_mib" -gt 0 ]; then
  head -c "$((pad_mib * 1048576))" /dev/urandom > "$tree/PADDING.BIN"
fi
# The partition starts at block 16 so that it does not begin at 0 and cover the table itself
# (some firmware and partition tools refuse such a table).
xorriso -as mkisofs -quiet -o "$image.tmp" -b isolinux/isolinux.bin -c isolinux/boot.cat \
  -no-emul-boot -boot-load-size 4 -boot-info-table -isohybrid-mbr "$hybrid_mbr" -partition_offset 16 \
  -V KEELVANE_DEMO "$tree"
mv "$image.tmp" "$image"
