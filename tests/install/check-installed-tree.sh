#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks the installed tree as a package would
# ship it: the demo image in the data folder, the icon, a valid launcher pointing at it, valid
# AppStream metadata; the installed keelvane-cli, run from inside the tree with no image
# argument, finds the installed demo image and burns it byte for byte; the installed desktop
# program finds it too (its burn button is enabled, so it burns it).
#   check-installed-tree.sh BUILD_DIR WORK_DIR
# A missing tool is a failure: this check must not pass by checking nothing.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: check-installed-tree.sh BUILD_DIR WORK_DIR" >&2; exit 2; }
build=$1
work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in cmake cmp desktop-file-validate appstreamcli python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

rm -rf "$work"
mkdir -p "$work/user-data" "$work/home"
work=$(cd "$work" && pwd -P)
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install into $root"; }
usr=$root/usr
# The user's own data folder stays empty: only the installed image may be found.
export XDG_DATA_HOME=$work/user-data HOME=$work/home

image=$usr/share/keelvane/KeelvaneDemo.iso
icon=$usr/share/icons/hicolor/scalable/apps/keelvane.svg
desktop=$usr/share/applications/keelvane.desktop
metainfo=$usr/share/metainfo/org.keelvane.KeelVane.metainfo.xml
cli=$usr/bin/keelvane-cli
for f in "$image" "$icon" "$desktop" "$metainfo" "$cli" "$usr/share/man/man1/keelvane-cli.1"; do
  [ -f "$f" ] || fail "$f was not installed"
done
[ -s "$image" ] && [ $(( $(stat -c %s "$image") % 2048 )) -eq 0 ] || fail "$image is not whole 2048-byte sectors"
[ ! -e "$usr/bin/KeelvaneDemo.iso" ] || fail "an image was installed beside the programs"

# The manual's exit statuses: each once, in order, the same as the program's --help lists.
man_codes=$(awk '/^\.SH EXIT STATUS/ { on = 1; next } /^\.SH/ { on = 0 } on && prev == ".TP" && /^\.B [0-9]+$/ { print $2 } { prev = $0 }' \
  "$usr/share/man/man1/keelvane-cli.1" | tr '\n' ' ')
help_codes=$("$cli" --help | awk '/^Exit codes:/ { on = 1; next } on && /^  [0-9]+ / { print $1 }' | tr '\n' ' ')
[ -n "$man_codes" ] || fail "the manual lists no exit status"
[ "$man_codes" = "$(echo "$man_codes" | tr ' ' '\n' | sed '/^$/d' | sort -n -u | tr '\n' ' ')" ] ||
  fail "the manual's exit statuses are repeated or out of order: $man_codes"
[ "$man_codes" = "$help_codes" ] || fail "the manual's exit statuses ($man_codes) differ from --help's ($help_codes)"

# Launcher, icon and metadata.
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
# A file manager's "Open with" reaches the program with the image: the ISO types, and %f.
grep -qx 'Exec=keelvane %f' "$desktop" || fail "the launcher does not pass the chosen file (Exec=keelvane %f)"
grep -q '^MimeType=.*application/x-iso9660-image;' "$desktop" || fail "the launcher declares no ISO 9660 MIME type"
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ "$icon_name" = keelvane ] || fail "the launcher's icon is \"$icon_name\", not the installed keelvane.svg"
python3 -c 'import sys, xml.etree.ElementTree as t; r = t.parse(sys.argv[1]).getroot(); sys.exit(r.tag != "{http://www.w3.org/2000/svg}svg")' "$icon" ||
  fail "$icon is not an SVG document"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate --no-net $metainfo"
grep -q '<launchable type="desktop-id">keelvane.desktop</launchable>' "$metainfo" ||
  fail "the AppStream metadata does not launch the installed keelvane.desktop"

# The command line program, from inside the tree, names and burns the installed image.
cd "$usr/bin"
where=$(./keelvane-cli image) || fail "keelvane-cli image: exit $?"
expected=$(printf '%s\n%s' "$image" "found in the installed data folder")
[ "$where" = "$expected" ] || fail "keelvane-cli image said:
$where
expected:
$expected"
cue=$work/disc.cue
./keelvane-cli --virtual-drive "$cue" burn --no-eject || fail "the installed keelvane-cli could not burn (exit $?)"
track=$work/$(sed -n 's/^FILE "\(.*\)" .*/\1/p' "$cue" | head -n 1)
[ -f "$track" ] || fail "the burnt disc $cue names no track file"
cmp "$image" "$track" || fail "the burnt track differs from the installed image"
echo "the installed keelvane-cli burnt $image byte for byte"

# The desktop program's burn button is enabled only when it finds an image; with it enabled its
# screenshot run burns the image, so a burnt track equal to the image shows the button was on.
if [ -x "$usr/bin/keelvane" ]; then
  gui_cue=$work/gui-disc.cue
  ASAN_OPTIONS=detect_leaks=0 ./keelvane --virtual-drive "$gui_cue" --screenshot "$work/shots" \
    >"$work/gui.log" 2>&1 || { cat "$work/gui.log" >&2; fail "the installed keelvane failed"; }
  [ -f "$work/shots/progress-window.png" ] || { cat "$work/gui.log" >&2; fail "the installed keelvane did not enable \"Create KeelVane CD\""; }
  gui_track=$work/$(sed -n 's/^FILE "\(.*\)" .*/\1/p' "$gui_cue" | head -n 1)
  cmp "$image" "$gui_track" || fail "the track the installed keelvane burnt differs from the installed image"
  echo "the installed keelvane enabled \"Create KeelVane CD\" and burnt $image byte for byte"
fi
echo "installed tree OK"
