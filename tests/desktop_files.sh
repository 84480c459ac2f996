#!/usr/bin/env bash
# The files that put Tessaline on a desktop, checked by the desktop's own
# validators, then installed as a package would install them:
#   - the menu entry by desktop-file-validate (no error, warning or hint);
#   - the description for software centres by appstreamcli (no error,
#     warning or remark; the pedantic remark on the upper-case letters of
#     the reverse-domain id, which the desktop entry's name must match, is
#     let be);
#   - the .tsl file type by xmllint and by update-mime-database, which must
#     know *.tsl as application/x-tessaline-document with its icon;
#   - the manual page rendered by man with its warnings on: none;
#   - the completion: the kinds after --print, the options after '-';
#   - `cmake --install` into a folder of the test's own: every file in its
#     place, with its mode, every icon size a PNG of that size, and the
#     installed program printing a report.
# Skips (77) when a validator is missing.
#
#   desktop_files.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(realpath "$1")
build=$(realpath "$2")
for tool in desktop-file-validate appstreamcli xmllint update-mime-database man; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
res=$src/res/linux

out=$(desktop-file-validate "$res/com.ulvosystems.Tessaline.desktop" 2>&1) || fail "desktop entry: $out"
[ -z "$out" ] || fail "desktop entry: $out"

out=$(appstreamcli validate --no-net "$res/com.ulvosystems.Tessaline.metainfo.xml" 2>&1) ||
  fail "metainfo: $out"
[[ "$out" == *"Validation was successful"* ]] && ! grep -qE '^[EWI]:' <<<"$out" || fail "metainfo: $out"

xmllint --noout "$res/tessaline-document.xml" || fail "the file type is no well-formed XML"
mkdir -p "$dir/mime/packages"
cp "$res/tessaline-document.xml" "$dir/mime/packages/tessaline.xml"
out=$(XDG_DATA_DIRS="$dir" update-mime-database "$dir/mime" 2>&1) || fail "update-mime-database: $out"
[ -z "$out" ] || fail "update-mime-database: $out"
grep -q '^application/x-tessaline-document:\*\.tsl$' "$dir/mime/globs" || fail "*.tsl not known: $(cat "$dir/mime/globs")"
grep -q '^application/x-tessaline-document:application-x-tessaline-document$' "$dir/mime/icons" ||
  fail "no icon for the file type"

page=$build/share/man/man1/tessaline.1.gz
[ -f "$page" ] || fail "no manual page built"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$dir/man.txt" 2>"$dir/man.err" || fail "man failed"
[ ! -s "$dir/man.err" ] || fail "man warns: $(cat "$dir/man.err")"
grep -q "^NAME" "$dir/man.txt" && grep -q -- "--remote" "$dir/man.txt" || fail "the manual page says too little"

completions=$(bash -c '. "$1"; COMP_WORDS=(tessaline --print l); COMP_CWORD=2; _tessaline; echo "${COMPREPLY[*]}";
  COMP_WORDS=(tessaline --fo); COMP_CWORD=1; _tessaline; echo "${COMPREPLY[*]}";
  COMP_WORDS=(tessaline --print ip --format o); COMP_CWORD=4; _tessaline; echo "${COMPREPLY[*]}"' _ "$res/tessaline.bash")
[ "$completions" = $'log listening\n--format\nopenmetrics' ] || fail "completion: $completions"

DESTDIR="$dir/stage" cmake --install "$build" --prefix /usr >/dev/null
staged=$dir/stage/usr
while read -r mode file; do
  [ -f "$staged/$file" ] || fail "not installed: $file"
  [ "$(stat -c %a "$staged/$file")" = "$mode" ] || fail "$file: mode $(stat -c %a "$staged/$file"), not $mode"
done <<LIST
755 bin/tessaline
755 libexec/tessaline/tessaline-owners
644 lib/tessaline/libiphlpapi.so
644 lib/tessaline/libtessaline_window.so
644 lib/tessaline/libtessaline_win32.so
644 share/applications/com.ulvosystems.Tessaline.desktop
644 share/metainfo/com.ulvosystems.Tessaline.metainfo.xml
644 share/mime/packages/tessaline.xml
644 share/icons/hicolor/scalable/apps/com.ulvosystems.Tessaline.svg
644 share/icons/hicolor/scalable/mimetypes/application-x-tessaline-document.svg
644 share/man/man1/tessaline.1.gz
644 share/bash-completion/completions/tessaline
LIST
for size in 16 22 24 32 48 64 128 256; do
  for png in "apps/com.ulvosystems.Tessaline.png" "mimetypes/application-x-tessaline-document.png"; do
    file=$staged/share/icons/hicolor/${size}x$size/$png
    [ -f "$file" ] || fail "no icon $file"
    # The PNG header: width and height, big-endian, at bytes 16 and 20.
    read -r w h < <(od -An -tu1 -j16 -N8 "$file" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }')
    [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "$file is ${w}x$h"
  done
done
"$staged/bin/tessaline" --print ip | grep -q "^IP Statistics" || fail "the installed program prints no report"
echo "desktop entry, file type, manual page, completion and install places all pass"
