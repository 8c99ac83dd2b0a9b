#!/usr/bin/env bash
# Measures what a user feels, each figure beside its peers in the same run, and prints one table:
#   (a) burn throughput of the whole stack (keelvane-cli burn on a virtual writer at unlimited
#       speed) beside cp and xorriso writing the same image on the same file system;
#   (b) a burn at speed=52: wall time against the drive's own time, processor time of the process;
#   (c) peak resident memory of keelvane-cli burn (and of the desktop program, see below);
#   (d) start-up: keelvane-cli drives with four virtual writers attached;
#   (e) the image check before a burn: hashing the whole image against a 52x burn's time;
#   (f) --speed 8 on a writer attached with speed=52, against an 8x and a 52x burn's time;
#   (g) the minimal blank (blank --fast) against the full blank, under the time model;
#   (c) also holds the peak resident memory of keelvane-cli burn-audio of one large wave file.
#   (h) the real kernel path, when QEMU, tgt and cdrskin are installed: the same image burnt in
#       one QEMU guest on tgt's blank DVD+R writers by keelvane-cli and by `cdrskin -tao`, wall
#       time and the commands the drive saw per block, side by side (tests/peer/peer.sh bench).
#
# Environment: KV_BENCH_DIR (work folder, default /var/tmp/kv-bench), KV_BENCH_MB (image size,
# default 700), KV_BENCH_SLOW_MB (image of the speed=52 burn, default 50), KV_BENCH_RUNS (runs
# of each throughput figure, the best is shown, default 3), KV_BENCH_BUILD_DIR (default
# build-bench), KV_JOBS (default 2), KV_BENCH_NO_BUILD=1 (use the build as it is),
# KV_BENCH_SPEED_MB (image of the --speed 8 burn, default 8), KV_BENCH_BLANK_SPEED (x of the
# blank figures, default 24; 0 skips them), KV_BENCH_WAVE_MB (size of the wave of (c), default
# 300).
# KV_BENCH_PEER_MB (image of (h), default 10), KV_BENCH_NO_PEER=1 (leave (h) out).
#   (i) the USB stick writer (as the stick job runs it, by bench/stick_write.cpp: the command
#       line takes no loop device, they are never sticks) writing and reading back an image on a
#       loop device whose backing file is on tmpfs and on ext4, beside dd and cmp on the same
#       device; its peak resident memory. Needs root and losetup, else it says it was skipped.
# KV_BENCH_STICK_MB (image of (i), default 512; 0 leaves (i) out), KV_BENCH_ONLY=stick (build and
# measure (i) alone).
#   (j) several writers at once: one image burnt by one keelvane-cli burn --drive all onto 1, 2, 4
#       and 8 virtual CD-R writers at speed=52, without the verify (it would double the run's
#       time and reads at no drive's pace), first on the machine as it is, then loaded by
#       stress-ng --cpu 2 --io 2 (installed when missing and root) from a cold page cache: wall
#       time, processor time per target, every target's lowest drive buffer fill, peak memory.
# KV_BENCH_MULTI_MB (image of (j), default 700, one CD-R 80 min; 0 leaves (j) out),
# KV_BENCH_MULTI_N (the counts of writers, default "1 2 4 8"), KV_BENCH_ONLY=multi (build and
# measure (j) alone).
# Never a pass/fail gate: the targets are printed beside the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=${KV_BENCH_BUILD_DIR:-$root/build-bench}
work=${KV_BENCH_DIR:-/var/tmp/kv-bench}
mb=${KV_BENCH_MB:-700}
slow_mb=${KV_BENCH_SLOW_MB:-50}
runs=${KV_BENCH_RUNS:-3}
wave_mb=${KV_BENCH_WAVE_MB:-300}
jobs=${KV_JOBS:-2}

only=${KV_BENCH_ONLY:-}
case $only in ""|stick|multi) ;; *) echo "bench: KV_BENCH_ONLY=$only: only \"stick\" and \"multi\" are known" >&2; exit 1 ;; esac
stick_mb=${KV_BENCH_STICK_MB:-512}
[ "$only" = multi ] && stick_mb=0
multi_mb=${KV_BENCH_MULTI_MB:-700}
multi_counts=${KV_BENCH_MULTI_N:-1 2 4 8}
stick_bench="$build/bench/kv_stick_bench"
probe="$build/bench/kv_timer_probe"

if [ "${KV_BENCH_NO_BUILD:-0}" != 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_SANITIZE=OFF -DKV_BUILD_TESTS=OFF >/dev/null
  if [ "$stick_mb" != 0 ]; then
    cmake --build "$build" -j"$jobs" --target kv_stick_bench >"$build/stick-bench-build.log" 2>&1 ||
      echo "bench: the stick bench did not build (see $build/stick-bench-build.log)" >&2
  fi
fi
if [ "${KV_BENCH_NO_BUILD:-0}" != 1 ] && [ "$only" != stick ]; then
  cmake --build "$build" -j"$jobs" --target keelvane-cli >/dev/null
  if [ "$multi_mb" != 0 ]; then
    cmake --build "$build" -j"$jobs" --target kv_timer_probe >"$build/timer-probe-build.log" 2>&1 ||
      echo "bench: the timer probe did not build (see $build/timer-probe-build.log)" >&2
  fi
  # The desktop program is measured when it builds; the figures of the engine do not wait on it.
  if [ -z "$only" ] && grep -q '^KV_BUILD_GUI:BOOL=ON' "$build/CMakeCache.txt" && [ -f "$root/src/app/CMakeLists.txt" ]; then
    cmake --build "$build" -j"$jobs" --target keelvane >"$build/keelvane-build.log" 2>&1 ||
      echo "bench: the desktop program did not build (see $build/keelvane-build.log)" >&2
  fi
fi
cli="$build/src/cli/keelvane-cli"
app="$build/src/app/keelvane"
[ "$only" = stick ] || [ -x "$cli" ] || { echo "bench: $cli was not built" >&2; exit 1; }
for tool in xorriso /usr/bin/time; do
  [ -n "$only" ] && [ "$tool" = xorriso ] && continue
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done

mkdir -p "$work"
shm=/dev/shm/kv-bench.$$
# What (i) set up (loop devices, a mount, backing files), undone newest first.
stick_undo=()
stick_unwind() {   # stick_unwind MARK: undoes what was set up since the stack held MARK entries
  local i
  for ((i = ${#stick_undo[@]} - 1; i >= $1; i--)); do
    eval "${stick_undo[i]}" >/dev/null 2>&1 || true
    unset 'stick_undo[i]'
  done
}
multi_stress=""   # the process group of the stress-ng that (j) started, while it runs
multi_probe=""    # the timer probe of (j), while it runs
cleanup() {
  stick_unwind 0
  multi_unload
  [ -z "$multi_probe" ] || kill -TERM "$multi_probe" 2>/dev/null || true
  rm -rf "$shm" "$work/disc" "$work/copy.iso" "$work/xorriso.iso" "$work/multi"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- helpers ------------------------------------------------------------------------------
now_ns() { date +%s%N; }

# measure LOG CMD...: runs CMD with stdout/stderr to LOG; sets m_wall (s), m_cpu (s),
# m_rss (KiB), m_rc.
measure() {
  local log=$1; shift
  local t0 t1
  t0=$(now_ns)
  set +e
  /usr/bin/time -f '%U %S %M' -o "$work/time.out" "$@" >"$log" 2>&1
  m_rc=$?
  set -e
  t1=$(now_ns)
  m_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  read -r u s m_rss < <(tail -n 1 "$work/time.out")
  m_cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
}

# The track file the virtual writer keeps for track 1 of the sheet CUE.
track_file() {
  local cue=$1 name
  name=$(sed -n 's/^FILE "\(.*\)" BINARY.*/\1/p' "$cue" | head -n 1)
  case $name in /*) echo "$name" ;; *) echo "$(dirname "$cue")/$name" ;; esac
}

make_image() {   # make_image PATH MIB: random data, whole 2048-byte sectors
  local path=$1 size=$2
  if [ ! -f "$path" ] || [ "$(stat -c %s "$path")" != $((size * 1024 * 1024)) ]; then
    head -c $((size * 1024 * 1024)) /dev/urandom >"$path.tmp"
    mv "$path.tmp" "$path"
  fi
  cat "$path" >/dev/null   # in the page cache for every contestant alike
}

fail() { echo "bench: $*" >&2; exit 1; }

le32() {   # le32 N: the four bytes of N, little-endian, as printf escapes
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255))
}

make_wave() {   # make_wave PATH MIB: CD audio (PCM 44.1 kHz, 16 bit, stereo), random samples
  local path=$1 size=$2 data
  data=$((size * 1024 * 1024))
  if [ ! -f "$path" ] || [ "$(stat -c %s "$path")" != $((data + 44)) ]; then
    {
      printf "RIFF$(le32 $((data + 36)))WAVEfmt $(le32 16)\\x01\\x00\\x02\\x00$(le32 44100)$(le32 176400)\\x04\\x00\\x10\\x00data$(le32 "$data")"
      head -c "$data" /dev/urandom
    } >"$path.tmp"
    mv "$path.tmp" "$path"
  fi
  cat "$path" >/dev/null
}

# ---- (i) the USB stick writer on loop devices --------------------------------------------------
# Each backing file holds a stick a little larger than the image, filled by an untimed first
# write so that no contestant pays for its allocation. The writer's time is its Write() (the
# pieces, the flush and the re-read of the partition table) and its Verify(), from the program's
# own clock; dd's and cmp's are their processes' wall time.
declare -A stick_val
stick_lines=()

stick_detach() {   # stick_detach DEVICE: udev may still be probing the new partition table
  local try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    losetup -d "$1" 2>/dev/null && return 0
    sleep 0.2
  done
  echo "bench: $1 could not be detached" >&2
}

stick_attach() {   # stick_attach FILE [-P]: a loop device on FILE; sets s_dev
  s_dev=$(losetup -f --show "${@:2}" "$1")
  stick_undo+=("stick_detach $s_dev")
}

stick_ext4_dir() {   # sets s_dir and s_where: a folder on ext4
  if [ "$(stat -f -c %T "$work")" = ext2/ext3 ] && [ "$(df --output=fstype "$work" | tail -n 1 | tr -d ' ')" = ext4 ]; then
    s_dir=$work
    s_where="ext4 ($work)"
    return
  fi
  command -v mkfs.ext4 >/dev/null || fail "stick: $work is not on ext4 and mkfs.ext4 is missing"
  local img="$work/kv-stick-ext4.$$.img" mnt="$work/kv-stick-ext4.$$.mnt"
  stick_undo+=("rm -f '$img'")
  truncate -s $(((stick_mb + 8) * 1024 * 1024 * 11 / 10 + 64 * 1024 * 1024)) "$img"
  mkfs.ext4 -q -F "$img"
  stick_attach "$img"
  mkdir -p "$mnt"
  stick_undo+=("rmdir '$mnt'")
  mount -t ext4 "$s_dev" "$mnt"
  stick_undo+=("umount '$mnt'")
  s_dir=$mnt
  s_where="ext4 (a file system image on $(df --output=fstype "$work" | tail -n 1 | tr -d ' '), mounted by loop)"
}

stick_keep() {   # stick_keep KEY VALUE: the smaller of the runs' values
  if [ -z "${stick_val[$1]:-}" ] || awk -v a="$2" -v b="${stick_val[$1]}" 'BEGIN { exit !(a < b) }'; then
    stick_val[$1]=$2
  fi
}

stick_on() {   # stick_on KEY DIR: the image written and read back on a loop device backed in DIR
  local key=$1 dir=$2 backing bytes figures r mark=${#stick_undo[@]}
  backing="$dir/kv-stick.$$"
  bytes=$(stat -c %s "$stick_image")
  stick_undo+=("rm -f '$backing'")
  head -c $((bytes + 8 * 1024 * 1024)) /dev/zero >"$backing"
  # Partitions scanned as on a disk: the writer has the kernel re-read the table it wrote.
  stick_attach "$backing" -P
  dd if="$stick_image" of="$s_dev" bs=4M oflag=direct conv=fsync status=none
  for ((r = 0; r < runs; r++)); do
    blockdev --flushbufs "$s_dev"
    measure "$work/stick.log" "$stick_bench" --drop-caches "$stick_image" "$s_dev"
    [ "$m_rc" = 0 ] || { cat "$work/stick.log" >&2; fail "stick on $key: the stick writer exited $m_rc"; }
    figures=$(grep '^bytes=' "$work/stick.log")
    eval "local $figures"
    # eval'd from the program's line: direct, write_s, write_cpu_s, verify_s, verify_cpu_s, hwm_kib
    stick_val[$key-direct]=$direct
    if awk -v a="$write_s" -v b="${stick_val[$key-kv-write]:-1e9}" 'BEGIN { exit !(a < b) }'; then
      stick_val[$key-kv-write-cpu]=$write_cpu_s
    fi
    stick_keep "$key-kv-write" "$write_s"
    if awk -v a="$verify_s" -v b="${stick_val[$key-kv-verify]:-1e9}" 'BEGIN { exit !(a < b) }'; then
      stick_val[$key-kv-verify-cpu]=$verify_cpu_s
    fi
    stick_keep "$key-kv-verify" "$verify_s"
    stick_keep "rss" "-$m_rss"    # the largest
    stick_keep "hwm" "-$hwm_kib"

    blockdev --flushbufs "$s_dev"
    measure "$work/dd.log" dd if="$stick_image" of="$s_dev" bs=4M oflag=direct conv=fsync status=none
    [ "$m_rc" = 0 ] || { cat "$work/dd.log" >&2; fail "stick on $key: dd exited $m_rc"; }
    if awk -v a="$m_wall" -v b="${stick_val[$key-dd]:-1e9}" 'BEGIN { exit !(a < b) }'; then stick_val[$key-dd-cpu]=$m_cpu; fi
    stick_keep "$key-dd" "$m_wall"

    sync; echo 3 >/proc/sys/vm/drop_caches; cat "$stick_image" >/dev/null
    measure "$work/cmp.log" cmp -n "$bytes" "$stick_image" "$s_dev"
    [ "$m_rc" = 0 ] || { cat "$work/cmp.log" >&2; fail "stick on $key: cmp found the device differs from the image"; }
    if awk -v a="$m_wall" -v b="${stick_val[$key-cmp]:-1e9}" 'BEGIN { exit !(a < b) }'; then stick_val[$key-cmp-cpu]=$m_cpu; fi
    stick_keep "$key-cmp" "$m_wall"
  done
  stick_unwind "$mark"
}

stick_figures() {   # fills stick_lines
  if [ "$stick_mb" = 0 ]; then
    stick_lines+=("  left out (KV_BENCH_STICK_MB=0)"); return
  fi
  if [ "$(id -u)" != 0 ]; then
    stick_lines+=("  skipped: loop devices need root"); return
  fi
  local tool
  for tool in losetup blockdev dd cmp; do
    command -v "$tool" >/dev/null || { stick_lines+=("  skipped: $tool is missing"); return; }
  done
  [ -x "$stick_bench" ] || { stick_lines+=("  skipped: $stick_bench was not built"); return; }
  stick_image="$work/image-${stick_mb}M.iso"
  make_image "$stick_image" "$stick_mb"
  # What the writer computes beside the transfers: the SHA-256 of every byte written and read
  # back (the job reports it), by the same code in the same pieces, on the image in the cache.
  local r hash_s
  for ((r = 0; r < runs; r++)); do
    hash_s=$("$stick_bench" --hash "$stick_image" | sed -n 's/^hash_s=//p')
    [ -n "$hash_s" ] || fail "stick: the hash alone was not measured"
    stick_keep sha "$hash_s"
  done
  local tmpfs_dir=/dev/shm
  stick_on tmpfs "$tmpfs_dir"
  stick_ext4_dir
  stick_on ext4 "$s_dir"

  local mib=$stick_mb
  stick_lines+=("$(printf '  %-46s %8s %9s %7s %9s' "" "wall s" "MiB/s" "CPU s" "vs peer")")
  local key where
  for key in tmpfs ext4; do
    if [ "$key" = tmpfs ]; then where="tmpfs ($tmpfs_dir)"; else where=$s_where; fi
    stick_lines+=("  backing file on $where; the writer's transfers: $([ "${stick_val[$key-direct]}" = 1 ] && echo direct || echo "through the cache")")
    stick_lines+=("$(awk -v mib="$mib" -v kw="${stick_val[$key-kv-write]}" -v kwc="${stick_val[$key-kv-write-cpu]}" \
      -v dw="${stick_val[$key-dd]}" -v dwc="${stick_val[$key-dd-cpu]}" \
      -v kv="${stick_val[$key-kv-verify]}" -v kvc="${stick_val[$key-kv-verify-cpu]}" \
      -v cw="${stick_val[$key-cmp]}" -v cwc="${stick_val[$key-cmp-cpu]}" 'BEGIN {
        f = "    %-44s %8.3f %9.0f %7.2f %s\n"
        printf f, "write: keelvane stick writer", kw, mib / kw, kwc, sprintf("%+8.1f%% (target within 5%%: %s)", (kw - dw) * 100 / dw, (kw <= 1.05 * dw ? "met" : "MISSED"))
        printf f, "write: dd bs=4M oflag=direct conv=fsync", dw, mib / dw, dwc, ""
        printf f, "verify: keelvane read-back and compare", kv, mib / kv, kvc, sprintf("%+8.1f%%", (kv - cw) * 100 / cw)
        printf "    %-44s %8.3f %9.0f %7.2f", "verify: cmp IMAGE DEVICE", cw, mib / cw, cwc }')")
  done
  if [ -n "${stick_val[sha]:-}" ]; then
    stick_lines+=("$(awk -v mib="$mib" -v s="${stick_val[sha]}" 'BEGIN {
      printf "  SHA-256 of the image alone, in the writer'"'"'s pieces (what it adds to each pass): %.3f s, %.0f MiB/s", s, mib / s }')")
  fi
  stick_lines+=("$(awk -v r="${stick_val[rss]#-}" -v h="${stick_val[hwm]#-}" 'BEGIN {
    printf "  peak resident memory of the write and the verify: %.1f MiB (VmHWM %.1f MiB) (target < 32 MiB: %s)",
      r / 1024, h / 1024, (r < 32 * 1024 ? "met" : "MISSED") }')")
  stick_lines+=("  before each write: blockdev --flushbufs DEVICE; before each verify: sync, drop_caches 3, the image")
  stick_lines+=("  read into the cache again (the device's data comes from its backing file's medium, the image")
  stick_lines+=("  from the cache); the writer hashes what it reads back (SHA-256; what it writes only without a")
  stick_lines+=("  read-back, not measured here), dd and cmp hash nothing;")
  stick_lines+=("  the loop devices are in their default mode (the backing file's page cache below the device)")
}

# ---- (j) several writers at once ---------------------------------------------------------------
# One keelvane-cli burn --drive all per count of writers, every writer a virtual CD-R at speed=52
# (the pace and 2 MiB buffer of a real drive), its disc on the work folder's file system. The
# process's user+sys time divided by the count is the processor time per target; each target's
# lowest drive buffer fill and how often it ran empty come from its "target_result". Beside each
# burn the timer probe sleeps 1 ms at a time on every processor (real-time when root) and counts wake-ups later
# than a 52x drive takes to drain a tenth of its 2 MiB buffer: a hole that long leaves every
# buffer under 90% whatever the burner does.
multi_hole_ms=$(awk 'BEGIN { printf "%.1f", 1024 / 10 / 3900 * 1000 }')
declare -A multi_val
multi_lines=()

multi_unload() {   # stops the stress-ng of multi_load
  [ -n "$multi_stress" ] || return 0
  kill -TERM -- "-$multi_stress" 2>/dev/null || true
  wait "$multi_stress" 2>/dev/null || true
  multi_stress=""
}

multi_load() {   # a cold image, then two processor hogs and two sync() loops for the run's length
  if [ "$(id -u)" = 0 ]; then
    sync; echo 3 >/proc/sys/vm/drop_caches
  else
    dd if="$multi_image" iflag=nocache count=0 status=none   # posix_fadvise DONTNEED on the image
  fi
  # set -m: its own process group, so that its workers end with it.
  set -m
  stress-ng --cpu 2 --io 2 --timeout 1800s --quiet >"$work/stress.log" 2>&1 &
  multi_stress=$!
  set +m
  sleep 1   # the workers running before the burn starts
}

multi_once() {   # multi_once LOAD N: LOAD none|stress
  local load=$1 n=$2 dir="$work/multi" k args=() got fills emptied
  rm -rf "$dir"
  for ((k = 1; k <= n; k++)); do
    mkdir -p "$dir/d$k"
    args+=(--virtual-drive "$dir/d$k/disc.cue,media=cd-r,speed=52")
  done
  sync
  if [ "$load" = stress ]; then multi_load; else cat "$multi_image" >/dev/null; fi
  multi_val[$load-$n-loadavg]=$(cut -d' ' -f1 /proc/loadavg)
  rm -f "$work/probe.out"
  if [ -x "$probe" ]; then
    "$probe" "$multi_hole_ms" >"$work/probe.out" 2>&1 &
    multi_probe=$!
  fi
  # The image is random data, not ISO 9660: --force.
  measure "$work/multi.log" "$cli" --json "${args[@]}" burn "$multi_image" --drive all --no-verify --no-eject --force
  if [ -n "$multi_probe" ]; then
    kill -TERM "$multi_probe" 2>/dev/null || true
    wait "$multi_probe" 2>/dev/null || true
    multi_probe=""
  fi
  multi_unload
  local probe_wakeups="" probe_max_ms="" probe_over="" probe_policy=""
  [ ! -s "$work/probe.out" ] || eval "$(grep '^probe_wakeups=' "$work/probe.out")"
  multi_val[$load-$n-probe]=${probe_max_ms:+$probe_max_ms/$probe_over}
  multi_val[probe-policy]=${probe_policy:-${multi_val[probe-policy]:-}}
  [ "$m_rc" = 0 ] || { grep -v '"type":"progress"' "$work/multi.log" | tail -n 20 >&2; fail "multi ($load, $n writers): keelvane-cli burn exited $m_rc"; }
  got=$(grep -c '"type":"target_result"' "$work/multi.log" || true)
  [ "$got" = "$n" ] || fail "multi ($load, $n writers): $got target results"
  for ((k = 1; k <= n; k++)); do
    cmp -s "$multi_image" "$(track_file "$dir/d$k/disc.cue")" || fail "multi ($load, $n writers): disc $k does not hold the image"
  done
  # In the order of the targets (D:, E:, ...), whatever order they ended in.
  grep '^{"type":"target_result"' "$work/multi.log" | sort >"$work/multi.results"
  fills=$(sed -n 's/.*"lowest_drive_buffer":\([0-9]*\|null\),.*/\1/p' "$work/multi.results" | tr '\n' ' ')
  emptied=$(sed -n 's/.*"drive_buffer_emptied":\([0-9]*\),.*/\1/p' "$work/multi.results" | tr '\n' ' ')
  multi_val[$load-$n-wall]=$m_wall
  multi_val[$load-$n-cpu]=$m_cpu
  multi_val[$load-$n-rss]=$m_rss
  multi_val[$load-$n-fills]=${fills% }
  multi_val[$load-$n-emptied]=${emptied% }
  rm -rf "$dir"
}

multi_figures() {   # fills multi_lines
  if [ "$multi_mb" = 0 ]; then
    multi_lines+=("  left out (KV_BENCH_MULTI_MB=0)"); return
  fi
  if ! command -v stress-ng >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q stress-ng >"$work/stress-install.log" 2>&1 || true
  fi
  local loads="none" load n
  if command -v stress-ng >/dev/null; then loads="none stress"; fi
  multi_image="$work/image-${multi_mb}M.iso"
  make_image "$multi_image" "$multi_mb"
  local blocks_m
  blocks_m=$(( $(stat -c %s "$multi_image") / 2048 ))
  for load in $loads; do
    for n in $multi_counts; do multi_once "$load" "$n"; done
  done

  local first last
  first=$(echo "$multi_counts" | awk '{ print $1 }')
  last=$(echo "$multi_counts" | awk '{ print $NF }')
  multi_lines+=("$(awk -v b="$blocks_m" 'BEGIN {
    printf "  a 52x drive writes the image in %.1f s, then closes track and session (lead-in/lead-out, about 2.9 s)", b / 3900 }')")
  multi_lines+=("$(printf '  %-30s %3s %8s %6s %7s %10s %8s %11s  %s' "" "N" "wall s" "vs $first" "CPU s" "CPU/target" "peak MiB" "holes" "lowest drive buffer fill %/times emptied, per target")")
  for load in $loads; do
    local what
    if [ "$load" = stress ]; then
      what="stress-ng --cpu 2 --io 2, cold"
    else
      what="as it is, image cached"
    fi
    for n in $multi_counts; do
      multi_lines+=("$(awk -v l="$what" -v n="$n" -v w="${multi_val[$load-$n-wall]}" -v w1="${multi_val[$load-$first-wall]}" \
        -v c="${multi_val[$load-$n-cpu]}" -v m="${multi_val[$load-$n-rss]}" -v la="${multi_val[$load-$n-loadavg]}" \
        -v f="${multi_val[$load-$n-fills]}" -v e="${multi_val[$load-$n-emptied]}" -v p="${multi_val[$load-$n-probe]:--}" 'BEGIN {
          k = split(f, fa, " "); split(e, ea, " "); t = ""
          for (i = 1; i <= k; i++) t = t (i > 1 ? " " : "") fa[i] "/" ea[i]
          printf "  %-30s %3d %8.2f %6.2f %7.2f %10.3f %8.1f %11s  %s (load %s)", l, n, w, w / w1, c, c / n, m / 1024, p, t, la }')")
    done
  done
  for load in $loads; do
    local cpus="" fills_all="" n
    for n in $multi_counts; do
      cpus+="$(awk -v c="${multi_val[$load-$n-cpu]}" -v n="$n" 'BEGIN { printf "%.4f ", c / n }')"
      fills_all+="${multi_val[$load-$n-fills]} "
    done
    multi_lines+=("$(awk -v l="$([ "$load" = stress ] && echo loaded || echo unloaded)" -v first="$first" -v last="$last" \
      -v w1="${multi_val[$load-$first-wall]}" -v wn="${multi_val[$load-$last-wall]}" -v cpus="$cpus" -v fills="$fills_all" 'BEGIN {
        k = split(cpus, c, " "); lo = c[1]; hi = c[1]
        for (i = 2; i <= k; i++) { if (c[i] < lo) lo = c[i]; if (c[i] > hi) hi = c[i] }
        k = split(fills, f, " "); low = 101; unknown = 0
        for (i = 1; i <= k; i++) { if (f[i] == "null") unknown++; else if (f[i] + 0 < low) low = f[i] + 0 }
        printf "  %s: wall of %d writers %.2f times that of %d (target <= 1.1: %s);", l, last, wn / w1, first, (wn <= 1.1 * w1 ? "PASS" : "FAIL")
        printf " CPU per target from %.3f to %.3f s, %.2fx (target flat, within 1.5x: %s);", lo, hi, hi / lo, (hi <= 1.5 * lo ? "PASS" : "FAIL")
        printf " lowest fill of all %d targets %s%% (target >= 90%%: %s)", k, (low == 101 ? "unknown" : low) (unknown ? ", " unknown " unknown" : ""), (!unknown && low >= 90 ? "PASS" : "FAIL") }')")
  done
  # What the machine left the feed: a hole of h ms drains h * 3.9 blocks of the 1,024 a 52x
  # drive's buffer holds, whatever the burner does. The shortfall is what the feed lost beyond it.
  for load in $loads; do
    local allowed="" short=0 n
    for n in $multi_counts; do
      local hole=${multi_val[$load-$n-probe]:-}
      hole=${hole%%/*}
      [ -n "$hole" ] && [ "$hole" != - ] || continue
      local a
      a=$(awk -v h="$hole" 'BEGIN { a = 100 - h * 3900 / 1000 / 1024 * 100; if (a > 100) a = 100; printf "%d", a }')
      allowed+="$n: $a%, "
      for f in ${multi_val[$load-$n-fills]}; do
        [ "$f" != null ] || continue
        [ $((a - f)) -le "$short" ] || short=$((a - f))
      done
    done
    [ -n "$allowed" ] || continue
    multi_lines+=("  $([ "$load" = stress ] && echo loaded || echo unloaded): the longest hole of each run leaves at most ${allowed%, }; the lowest target $short points under that")
  done
  [ "$loads" = none ] && multi_lines+=("  loaded runs skipped: stress-ng is missing (and could not be installed)")
  multi_lines+=("  no verify (a read-back at no drive's pace would double each run); discs on the work folder's file system;")
  multi_lines+=("  CPU/target: the process's user+sys over N; the load average is that at each run's start;")
  multi_lines+=("  holes: the latest wake-up of a 1 ms sleep on any processor beside the run, in ms, / how many came later than $multi_hole_ms ms")
  multi_lines+=("  (a tenth of the buffer at 52x) ($([ "${multi_val[probe-policy]:-}" = fifo ] && echo "at real-time priority: the machine's own holes" || echo "at normal priority"))")
}

print_multi() {
  echo
  echo "(j) several writers at once: $multi_mb MiB image (random data), keelvane-cli burn --drive all onto N virtual CD-R writers at speed=52"
  printf '%s\n' "${multi_lines[@]}"
}

print_machine() {
  local cpu_model
  cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  echo
  echo "KeelVane benchmark  $(date -u '+%Y-%m-%d %H:%M UTC')  commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "machine: $(nproc) x $cpu_model, Linux $(uname -r), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "load average before the run: $load_before (other work on the machine slows every wall figure alike;"
  echo "the processor time of each process is the steadier measure of its own cost)"
}

print_stick() {
  echo
  echo "(i) USB stick writer on a loop device, $stick_mb MiB image (random data), best of $runs runs"
  printf '%s\n' "${stick_lines[@]}"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
if [ "$only" = stick ]; then
  stick_figures
  print_machine
  print_stick
  exit 0
fi
if [ "$only" = multi ]; then
  multi_figures
  print_machine
  print_multi
  exit 0
fi
image="$work/image-${mb}M.iso"
make_image "$image" "$mb"
blocks=$(( $(stat -c %s "$image") / 2048 ))
fstype=$(df --output=fstype "$work" | tail -n 1 | tr -d " ")

# ---- (a) throughput -------------------------------------------------------------------------
declare -A best_wall best_cpu best_rss
record() {   # record NAME: keeps the best wall time of NAME and the peak memory over its runs
  local name=$1
  if [ -z "${best_wall[$name]:-}" ] || awk -v a="$m_wall" -v b="${best_wall[$name]}" 'BEGIN { exit !(a < b) }'; then
    best_wall[$name]=$m_wall
    best_cpu[$name]=$m_cpu
  fi
  if [ -z "${best_rss[$name]:-}" ] || [ "$m_rss" -gt "${best_rss[$name]}" ]; then best_rss[$name]=$m_rss; fi
}

burn_once() {   # burn_once NAME DISCDIR [MEDIA]
  local name=$1 dir=$2 media=${3:-cd-r}
  rm -rf "$dir"; mkdir -p "$dir"
  # The image is random data, not ISO 9660: --force (the image check is timed in (e)).
  measure "$work/burn.log" "$cli" --virtual-drive "$dir/disc.cue,media=$media" burn "$image" --no-verify --no-eject --force
  [ "$m_rc" = 0 ] || { cat "$work/burn.log" >&2; fail "$name: keelvane-cli burn exited $m_rc"; }
  cmp -s "$image" "$(track_file "$dir/disc.cue")" || fail "$name: the disc does not hold the image"
  record "$name"
  rm -rf "$dir"
}

for ((r = 0; r < runs; r++)); do
  burn_once "burn-disk" "$work/disc"
  mkdir -p "$shm"
  burn_once "burn-tmpfs" "$shm/disc"
  # The same image by the DVD+R and the BD-RE strategies (pieces of 16 and 32 blocks a WRITE).
  burn_once "burn-dvdpr" "$work/disc" "dvd+r"
  burn_once "burn-bdre" "$work/disc" "bd-re"

  rm -f "$work/copy.iso"; sync
  measure "$work/cp.log" cp --reflink=never "$image" "$work/copy.iso"
  [ "$m_rc" = 0 ] || fail "cp exited $m_rc"
  record "cp"
  rm -f "$work/copy.iso"; sync
  measure "$work/cp.log" sh -c 'cp --reflink=never "$1" "$2" && sync "$2"' sh "$image" "$work/copy.iso"
  [ "$m_rc" = 0 ] || fail "cp + sync exited $m_rc"
  record "cp-sync"
  rm -f "$work/copy.iso"

  rm -f "$work/xorriso.iso"; sync
  measure "$work/xorriso.log" xorriso -as cdrecord "dev=stdio:$work/xorriso.iso" "$image"
  [ "$m_rc" = 0 ] || { cat "$work/xorriso.log" >&2; fail "xorriso exited $m_rc"; }
  cmp -s -n "$(stat -c %s "$image")" "$image" "$work/xorriso.iso" || fail "xorriso did not write the image"
  record "xorriso"
  rm -f "$work/xorriso.iso"
done

# ---- (b) speed=52 --------------------------------------------------------------------------
# --json events are stamped as they arrive, so that the writing and the closing (the drive then
# writes lead-in and lead-out: 11,250 blocks and more for a first session) are timed apart.
slow_image="$work/image-${slow_mb}M.iso"
make_image "$slow_image" "$slow_mb"
slow_blocks=$(( $(stat -c %s "$slow_image") / 2048 ))
rm -rf "$work/disc"; mkdir -p "$work/disc"
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }
t0=$(now_ns)
set +e
/usr/bin/time -f '%U %S %M' -o "$work/time.out" \
  "$cli" --json --virtual-drive "$work/disc/disc.cue,media=cd-r,speed=52" burn "$slow_image" --no-verify --no-eject --force \
  2>"$work/slow.err" | stamp >"$work/slow.log"
rc=${PIPESTATUS[0]}
set -e
t1=$(now_ns)
[ "$rc" = 0 ] || { cat "$work/slow.log" "$work/slow.err" >&2; fail "speed=52 burn exited $rc"; }
cmp -s "$slow_image" "$(track_file "$work/disc/disc.cue")" || fail "speed=52: the disc does not hold the image"
slow_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
read -r u s slow_rss < <(tail -n 1 "$work/time.out")
slow_cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
when() { grep -F "$1" "$work/slow.log" | head -n 1 | cut -d' ' -f1; }
write_from=$(when '"text":"HardWare : Set Write Mode OK"')
write_to=$(when '"text":"Finished Writing : Sync Cache"')
close_to=$(when '"text":"Finished Writing : Job Done!"')
[ -n "$write_from" ] && [ -n "$write_to" ] && [ -n "$close_to" ] || fail "speed=52: status events missing"
slow_write=$(awk -v a="$write_from" -v b="$write_to" 'BEGIN { printf "%.3f", b - a }')
slow_close=$(awk -v a="$write_to" -v b="$close_to" 'BEGIN { printf "%.3f", b - a }')
rm -rf "$work/disc"

# ---- (e) the image check -----------------------------------------------------------------------
# The whole image is hashed (SHA-256, OpenSSL) before anything reaches the drive; an empty
# drive ends the run right after the check, so the time between the two status events is the
# check alone.
check_sum=$(sha256sum "$image" | cut -c1-64)
rm -rf "$work/disc"; mkdir -p "$work/disc"
set +e
/usr/bin/time -f '%U %S %M' -o "$work/time.out" \
  "$cli" --json --virtual-drive "$work/disc/disc.cue,media=none" burn "$image" --force --sha256 "$check_sum" \
  2>"$work/check.err" | stamp >"$work/check.log"
set -e
check_from=$(grep -F '"phase":"checksum"' "$work/check.log" | head -n 1 | cut -d' ' -f1)
check_to=$(grep -F 'Image checksum OK (SHA-256)' "$work/check.log" | head -n 1 | cut -d' ' -f1)
[ -n "$check_from" ] && [ -n "$check_to" ] || { cat "$work/check.log" "$work/check.err" >&2; fail "image check: events missing"; }
check_s=$(awk -v a="$check_from" -v b="$check_to" 'BEGIN { printf "%.3f", b - a }')
read -r u s check_rss < <(tail -n 1 "$work/time.out")
rm -rf "$work/disc"

# ---- (f) --speed 8 on a 52x writer --------------------------------------------------------------
speed_mb=${KV_BENCH_SPEED_MB:-8}
speed_image="$work/image-${speed_mb}M.iso"
make_image "$speed_image" "$speed_mb"
speed_blocks=$(( $(stat -c %s "$speed_image") / 2048 ))
rm -rf "$work/disc"; mkdir -p "$work/disc"
set +e
"$cli" --json --virtual-drive "$work/disc/disc.cue,media=cd-r,speed=52" burn "$speed_image" --speed 8 --force \
  --no-verify --no-eject 2>"$work/speed.err" | stamp >"$work/speed.log"
rc=${PIPESTATUS[0]}
set -e
[ "$rc" = 0 ] || { cat "$work/speed.log" "$work/speed.err" >&2; fail "--speed 8 burn exited $rc"; }
speed_from=$(grep -F '"text":"HardWare : Set Write Mode OK"' "$work/speed.log" | head -n 1 | cut -d' ' -f1)
speed_to=$(grep -F '"text":"Finished Writing : Closing Track"' "$work/speed.log" | head -n 1 | cut -d' ' -f1)
speed_said=$(grep -o 'Write Speed : [^"]*' "$work/speed.log" | head -n 1)
speed_write=$(awk -v a="$speed_from" -v b="$speed_to" 'BEGIN { printf "%.3f", b - a }')
rm -rf "$work/disc"

# ---- (g) minimal and full blank under the time model -----------------------------------------
blank_x=${KV_BENCH_BLANK_SPEED:-24}
blank_fast=""; blank_full=""
if [ "$blank_x" != 0 ]; then
  for kind in fast full; do
    rm -rf "$work/disc"; mkdir -p "$work/disc"
    args=(blank); [ "$kind" = fast ] && args+=(--fast)
    measure "$work/blank.log" "$cli" --virtual-drive "$work/disc/disc.cue,media=cd-rw,speed=$blank_x" "${args[@]}"
    [ "$m_rc" = 0 ] || { cat "$work/blank.log" >&2; fail "blank $kind exited $m_rc"; }
    if [ "$kind" = fast ]; then blank_fast=$m_wall; else blank_full=$m_wall; fi
  done
  rm -rf "$work/disc"
fi

# ---- (c) burn-audio of a large wave ----------------------------------------------------------
# The samples are read as the burn goes: memory must not grow with the size of the wave.
wave="$work/wave-${wave_mb}M.wav"
make_wave "$wave" "$wave_mb"
rm -rf "$work/disc"; mkdir -p "$work/disc"
measure "$work/audio.log" "$cli" --virtual-drive "$work/disc/disc.cue,media=cd-r" burn-audio "$wave" --no-eject
[ "$m_rc" = 0 ] || { cat "$work/audio.log" >&2; fail "burn-audio exited $m_rc"; }
cmp -s -i 44:0 -n $((wave_mb * 1024 * 1024)) "$wave" "$(track_file "$work/disc/disc.cue")" ||
  fail "burn-audio: the disc does not hold the samples of the wave"
audio_rss=$m_rss
audio_wall=$m_wall
rm -rf "$work/disc"

# ---- (c) desktop program -------------------------------------------------------------------
# The desktop program burns only on a click; with --screenshot it starts, draws both windows
# and quits, which is the one thing it does unattended.
app_line="desktop program: not built"
if [ -x "$app" ]; then
  if "$app" --help 2>/dev/null | grep -q -- '--burn'; then
    app_line="desktop program: has a --burn option; measure it (not done by this script yet)"
  elif command -v xvfb-run >/dev/null; then
    rm -rf "$work/disc" "$work/shots"; mkdir -p "$work/disc" "$work/shots"
    measure "$work/app.log" xvfb-run -a "$app" --virtual-drive "$work/disc/disc.cue,media=cd-r" --screenshot "$work/shots"
    # xvfb-run's own peak is the X server's or the program's, whichever is larger; the
    # program's alone is measured inside.
    measure "$work/app.log" xvfb-run -a /usr/bin/time -f '%M' -o "$work/app.rss" "$app" \
      --virtual-drive "$work/disc/disc.cue,media=cd-r" --screenshot "$work/shots"
    app_rss=$(tail -n 1 "$work/app.rss" 2>/dev/null || echo 0)
    app_line=$(printf 'desktop program: no unattended burn; start-up with --screenshot: peak RSS %.1f MiB, %.2f s' \
      "$(awk -v k="$app_rss" 'BEGIN { print k / 1024 }')" "$m_wall")
    rm -rf "$work/disc" "$work/shots"
  else
    app_line="desktop program: xvfb-run is missing"
  fi
fi

# ---- (d) start-up --------------------------------------------------------------------------
rm -rf "$work/drives"; mkdir -p "$work/drives"
drive_args=()
for k in 1 2 3 4; do drive_args+=(--virtual-drive "$work/drives/d$k.cue,media=cd-r"); done
"$cli" "${drive_args[@]}" drives >/dev/null   # the four discs exist from here on
startup=()
for ((r = 0; r < 21; r++)); do
  measure "$work/drives.log" "$cli" "${drive_args[@]}" drives
  [ "$m_rc" = 0 ] || { cat "$work/drives.log" >&2; fail "drives exited $m_rc"; }
  startup+=("$m_wall")
done
writers=$(grep -c '^[D-Z]:' "$work/drives.log" || true)
startup_median=$(printf '%s\n' "${startup[@]}" | sort -n | sed -n 11p)
startup_rss=$m_rss
rm -rf "$work/drives"

# ---- (h) real kernel path against cdrskin ---------------------------------------------------
peer_lines=()
if [ "${KV_BENCH_NO_PEER:-0}" = 1 ]; then
  peer_lines+=("  left out (KV_BENCH_NO_PEER=1)")
elif ! command -v qemu-system-x86_64 >/dev/null || ! command -v tgtd >/dev/null || ! command -v cdrskin >/dev/null; then
  peer_lines+=("  not measured: QEMU, tgt or cdrskin is not installed")
else
  set +e
  KV_PEER_IMAGE_MB=${KV_BENCH_PEER_MB:-10} "$root/tests/peer/peer.sh" bench "$cli" >"$work/peer.log" 2>&1
  peer_rc=$?
  set -e
  if [ "$peer_rc" = 0 ]; then
    for who in keelvane cdrskin; do
      line=$(sed -n "s/^bench $who: //p" "$work/peer.log")
      eval "$(echo "$line" | tr ' ' '\n' | sed -n "s/^\(total\|writes\|blocks\|wall\)=\(.*\)/${who}_\1=\2/p")"
    done
    # Blocks: what the WRITE(10)s moved, the image's for both.
    peer_blocks=${keelvane_blocks:-0}
    peer_lines+=("$(awk -v b="$peer_blocks" -v kw="${keelvane_wall:-0}" -v kt="${keelvane_total:-0}" \
      -v cw="${cdrskin_wall:-0}" -v ct="${cdrskin_total:-0}" -v cwr="${cdrskin_writes:-0}" \
      -v kwr="${keelvane_writes:-0}" 'BEGIN {
        printf "  %-24s %8s %10s %12s %12s\n", "", "wall s", "commands", "per block", "WRITE(10)s"
        printf "  %-24s %8.2f %10d %12.2f %12d\n", "keelvane-cli burn", kw, kt, kt / b, kwr
        printf "  %-24s %8.2f %10d %12.2f %12d\n", "cdrskin -tao", cw, ct, ct / b, cwr
        printf "  %d blocks; keelvane-cli takes %.2f times cdrskin'"'"'s wall time (target <= 2.5: %s)",
          b, kw / cw, (kw <= 2.5 * cw ? "met" : "MISSED") }')")
  else
    peer_lines+=("  not measured: tests/peer/peer.sh bench exited $peer_rc (see $work/peer.log)")
  fi
fi

# ---- (i) the USB stick writer ---------------------------------------------------------------
stick_figures

# ---- (j) several writers at once --------------------------------------------------------------
multi_figures

# ---- the table -----------------------------------------------------------------------------
print_machine
echo "image: $blocks blocks ($mb MiB, random data) in $work ($fstype); best of $runs runs"
echo
printf '(a) throughput, unlimited speed        %8s %11s %9s %7s %12s %9s\n' "wall s" "blocks/s" "us/block" "CPU s" "CPU us/block" "peak MiB"
row() {   # row LABEL NAME BLOCKS
  local w=${best_wall[$2]} c=${best_cpu[$2]} m=${best_rss[$2]}
  awk -v l="$1" -v w="$w" -v c="$c" -v m="$m" -v n="$3" 'BEGIN {
    printf "  %-38s %8.2f %11.0f %9.2f %7.2f %12.2f %9.1f\n", l, w, n / w, w * 1e6 / n, c, c * 1e6 / n, m / 1024 }'
}
row "keelvane-cli burn, disc on $fstype" burn-disk "$blocks"
row "keelvane-cli burn, disc on tmpfs" burn-tmpfs "$blocks"
row "keelvane-cli burn, dvd+r on $fstype" burn-dvdpr "$blocks"
row "keelvane-cli burn, bd-re on $fstype" burn-bdre "$blocks"
row "cp (same file system)" cp "$blocks"
row "cp + sync (as durable as the burn)" cp-sync "$blocks"
row "xorriso -as cdrecord dev=stdio:" xorriso "$blocks"
awk -v w="${best_wall[burn-disk]}" -v t="${best_wall[burn-tmpfs]}" -v c="${best_cpu[burn-tmpfs]}" -v n="$blocks" 'BEGIN {
  printf "  target >= 76000 blocks/s (host cost under 5%% of a 52x block time, 263 us):\n"
  printf "    wall: %s on disk, %s on tmpfs; processor time alone: %.0f blocks/s (%s)\n",
    (n / w >= 76000 ? "met" : "MISSED"), (n / t >= 76000 ? "met" : "MISSED"), n / c, (n / c >= 76000 ? "met" : "MISSED") }'
echo
drive_s=$(awk -v n="$slow_blocks" 'BEGIN { printf "%.3f", n / (75 * 52) }')
echo "(b) speed=52, $slow_blocks blocks ($slow_mb MiB)"
awk -v w="$slow_write" -v d="$drive_s" -v c="$slow_close" -v all="$slow_wall" -v cpu="$slow_cpu" 'BEGIN {
  printf "  writing: drive time %.2f s, wall %.2f s (%+.1f%%)\n", d, w, (w - d) * 100 / d
  printf "  closing track and session (lead-in/lead-out at 52x, about 2.9 s): %.2f s\n", c
  printf "  whole run %.2f s, CPU %.2f s = %.2f%% of wall (target < 5%%: %s)\n",
    all, cpu, cpu * 100 / all, (cpu * 100 / all < 5 ? "met" : "MISSED") }'
echo
echo "(c) peak resident memory"
awk -v m="${best_rss[burn-disk]}" -v s="$slow_rss" -v mb="$mb" 'BEGIN {
  printf "  keelvane-cli burn: %.1f MiB (%d MiB image), %.1f MiB (speed=52) (target < 24 MiB: %s)\n",
    m / 1024, mb, s / 1024, (m < 24 * 1024 && s < 24 * 1024 ? "met" : "MISSED") }'
echo "  $app_line"
awk -v m="$audio_rss" -v mb="$wave_mb" -v w="$audio_wall" 'BEGIN {
  printf "  keelvane-cli burn-audio: %.1f MiB (one %d MiB wave, %.2f s) (target < 32 MiB: %s)\n",
    m / 1024, mb, w, (m < 32 * 1024 ? "met" : "MISSED") }'
echo
echo "(d) start-up"
awk -v t="$startup_median" -v m="$startup_rss" -v w="$writers" 'BEGIN {
  printf "  keelvane-cli drives, four virtual writers (%d listed): median of 21 runs %.1f ms, peak %.1f MiB\n",
    w, t * 1000, m / 1024 }'
echo
echo "(e) image check before a burn ($mb MiB, SHA-256)"
awk -v c="$check_s" -v n="$blocks" -v m="$check_rss" 'BEGIN {
  burn = n / (75 * 52)
  printf "  hash %.2f s (%.0f MB/s), a 52x burn of the image %.1f s: %.1f%% of it (target well under: %s); peak %.1f MiB\n",
    c, n * 2048 / c / 1e6, burn, c * 100 / burn, (c * 100 / burn < 10 ? "met" : "MISSED"), m / 1024 }'
echo
echo "(f) --speed 8 on a writer attached with speed=52, $speed_blocks blocks ($speed_mb MiB)"
awk -v w="$speed_write" -v n="$speed_blocks" -v said="$speed_said" 'BEGIN {
  printf "  %s; writing until the buffer drained %.2f s, an 8x burn %.2f s, a 52x burn %.2f s\n", said, w, n / (75 * 8), n / (75 * 52) }'
if [ -n "$blank_fast" ]; then
  echo
  echo "(g) blank of an 80-minute CD-RW at ${blank_x}x (drive time model)"
  awk -v f="$blank_fast" -v g="$blank_full" -v x="$blank_x" 'BEGIN {
    printf "  blank --fast %.1f s (model %.1f s), full blank %.1f s (model %.1f s)\n", f, 45000 / (75 * x), g, 359849 / (75 * x) }'
fi
echo
echo "(h) real kernel path (QEMU guest, SG_IO, tgt's DVD+R writer over iSCSI), commands counted at the drive"
printf '%s\n' "${peer_lines[@]}"
print_stick
print_multi
