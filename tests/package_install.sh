#!/usr/bin/env bash
# The Debian package, made by CPack from the build, checked by lintian (no
# error; the warnings kept are listed below), then installed into a
# throwaway root: this machine's root seen through an overlay in a mount
# namespace of the test's own, so that nothing reaches the real one.  For
# each answer to the installation's question (debconf, preseeded):
#   - yes: the group "tessaline" exists and the owner helper is
#     root:tessaline 0750 with CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH
#     permitted;
#   - no: the helper is root:root 0755 without capabilities;
# a member of the group seeing root's socket's owner through the helper and
# a user outside it not (for yes), every file in its place, the installed
# `tessaline --print ip` printing
# its report, the installed window leaving the user's home alone, the menu
# entry known to the desktop database; then the
# package purged leaves no file of its own, no group, no debconf answer and
# no dpkg record behind.  Then, with yes:
#   - an owner and mode set with dpkg-statoverride stay as the administrator
#     set them, through the installation and a reconfiguration, and the
#     helper still gets its capabilities;
#   - on a file system without extended attributes (ramfs) the
#     installation still completes, says why the helper has no
#     capabilities, and leaves it root:root 0755 without them.
# Needs root, unshare, overlayfs, dpkg, debconf and lintian; skips (77)
# elsewhere.
#
# Warnings lintian gives that are kept:
#   initial-upload-closes-no-bugs: the package is not uploaded to Debian;
#   shared-library-lacks-prerequisites on tessaline-owners: the helper is
#     linked statically on purpose (it loads no shared library), which
#     lintian takes for a library without dependencies.
#
#   package_install.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")

if [ "${2:-}" != --in-namespace ]; then
  [ "$EUID" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
  for tool in unshare cpack dpkg lintian debconf-set-selections getcap setpriv /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  grep -qw overlay /proc/filesystems || { echo "skipped: no overlayfs"; exit 77; }
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  (cd "$build" && cpack -G DEB -B "$dir/deb" >"$dir/cpack.log" 2>&1) || { cat "$dir/cpack.log"; exit 1; }
  deb=$(ls "$dir"/deb/tessaline_*.deb)
  lintian --no-tag-display-limit "$deb" >"$dir/lintian.txt" 2>&1 || true
  if grep -E '^E:' "$dir/lintian.txt"; then echo "FAIL: lintian errors"; exit 1; fi
  unexpected=$(grep -E '^W:' "$dir/lintian.txt" |
    grep -v -e 'initial-upload-closes-no-bugs' -e 'shared-library-lacks-prerequisites \[usr/libexec/tessaline/tessaline-owners\]' || true)
  [ -z "$unexpected" ] || { echo "FAIL: lintian warns: $unexpected"; exit 1; }
  status=0
  unshare -m --propagation private bash "$0" "$deb" --in-namespace || status=$?
  exit $status
fi

# ------------------------------------------- inside the mount namespace
deb=$1
fail() { echo "FAIL: $*"; exit 1; }
scratch=$(mktemp -d)
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
root=$scratch/root
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
cp "$deb" "$root/tmp/tessaline.deb"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
# The package must not be there to begin with.
in_root dpkg -s tessaline >/dev/null 2>&1 && fail "tessaline is installed on this machine already"
helper=/usr/libexec/tessaline/tessaline-owners
# A listener of root's, whose owner only the helper's members may see.
port=47901
/usr/bin/python3 -c '
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 47901)); s.listen(); time.sleep(300)' &
listener=$!
trap 'kill $listener 2>/dev/null || true; wait $listener 2>/dev/null || true' EXIT
sleep 0.5

# Purges the package, and checks that nothing of its own is left.
purge() {
  in_root dpkg --purge tessaline >"$scratch/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$scratch/dpkg.log")"
}
check_purged() {
  # Nothing of its own left: no file the package installed, no group, no
  # answer, no dpkg record.
  left=$(cd "$scratch/upper" && find . -path ./tmp -prune -o -print | grep -i tessaline || true)
  [ -z "$left" ] || fail "left behind: $left"
  in_root getent group tessaline >/dev/null && fail "the group tessaline is left"
  in_root sh -c 'echo GET tessaline/owners-group | debconf-communicate tessaline' | grep -q '^0 ' &&
    fail "the debconf answer is left"
  in_root dpkg -s tessaline >/dev/null 2>&1 && fail "dpkg still knows tessaline"
  true
}

for answer in true false; do
  echo "tessaline tessaline/owners-group boolean $answer" | in_root debconf-set-selections
  in_root dpkg -i /tmp/tessaline.deb >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$scratch/dpkg.log")"
  for file in /usr/bin/tessaline /usr/lib/tessaline/libiphlpapi.so /usr/lib/tessaline/libtessaline_window.so \
    /usr/share/applications/com.ulvosystems.Tessaline.desktop /usr/share/metainfo/com.ulvosystems.Tessaline.metainfo.xml \
    /usr/share/mime/packages/tessaline.xml /usr/share/icons/hicolor/scalable/apps/com.ulvosystems.Tessaline.svg \
    /usr/share/icons/hicolor/48x48/apps/com.ulvosystems.Tessaline.png /usr/share/man/man1/tessaline.1.gz \
    /usr/share/bash-completion/completions/tessaline /usr/share/doc/tessaline/copyright; do
    [ -f "$root$file" ] || fail "not installed: $file"
  done
  owner=$(in_root stat -c '%U:%G %a' "$helper")
  caps=$(in_root getcap "$helper")
  if [ $answer = true ]; then
    in_root getent group tessaline >/dev/null || fail "no group tessaline"
    [ "$owner" = "root:tessaline 750" ] || fail "yes: the helper is $owner"
    [[ "$caps" == *cap_dac_read_search,cap_sys_ptrace=p* ]] || fail "yes: the helper's capabilities are '$caps'"
    # A member of the group sees root's listener's owner; nobody else does.
    gid=$(in_root getent group tessaline | cut -d: -f3)
    as_nobody() { in_root setpriv --reuid=nobody --regid=nogroup "$@" /usr/bin/tessaline --print tcp; }
    as_nobody --groups="$gid" | grep -q "127.000.000.001:$port .*PID *$listener : python" ||
      fail "a member of the group does not see root's socket's owner: $(as_nobody --groups="$gid")"
    as_nobody --clear-groups | grep -q "127.000.000.001:$port .*PID *0 :" ||
      fail "a user outside the group sees root's socket's owner: $(as_nobody --clear-groups)"
  else
    [ "$owner" = "root:root 755" ] || fail "no: the helper is $owner"
    [ -z "$caps" ] || fail "no: the helper has '$caps'"
  fi
  in_root /usr/bin/tessaline --print ip | grep -q "^IP Statistics" || fail "the installed program prints no report"
  # The installed window leaves the user's home without a menu entry or a
  # file type of its own: the package has them.  It runs 4 s offscreen,
  # then is ended by its pid.
  mkdir -p "$root/tmp/home"
  in_root sh -c 'HOME=/tmp/home QT_QPA_PLATFORM=offscreen /usr/bin/tessaline >/tmp/window.log 2>&1 &
    pid=$!; sleep 4; kill $pid; wait $pid; true' 2>/dev/null
  grep -q "cannot" "$root/tmp/window.log" && fail "the installed window: $(cat "$root/tmp/window.log")"
  [ -e "$root/tmp/home/.config/Ulvo Systems" ] || fail "the installed window did not start: $(cat "$root/tmp/window.log")"
  [ ! -e "$root/tmp/home/.local/share/applications" ] && [ ! -e "$root/tmp/home/.local/share/mime" ] ||
    fail "the installed window wrote a menu entry or file type into the home"
  rm -rf "$root/tmp/home"
  if [ -f "$root/usr/share/applications/mimeinfo.cache" ]; then
    grep -q "application/x-tessaline-document=com.ulvosystems.Tessaline.desktop" \
      "$root/usr/share/applications/mimeinfo.cache" || fail "the desktop database does not open .tsl with Tessaline"
  fi
  purge
  check_purged
done

echo "tessaline tessaline/owners-group boolean true" | in_root debconf-set-selections
# The administrator's owner and mode, set before the package comes.
in_root dpkg-statoverride --add root root 0700 "$helper" || fail "dpkg-statoverride --add"
in_root dpkg -i /tmp/tessaline.deb >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i with an override: $(cat "$scratch/dpkg.log")"
for step in installed reconfigured; do
  owner=$(in_root stat -c '%U:%G %a' "$helper")
  [ "$owner" = "root:root 700" ] || fail "$step over an override: the helper is $owner"
  [[ "$(in_root getcap "$helper")" == *cap_dac_read_search,cap_sys_ptrace=p* ]] ||
    fail "$step over an override: the helper's capabilities are '$(in_root getcap "$helper")'"
  [ $step = installed ] || break
  in_root dpkg-reconfigure -f noninteractive tessaline >"$scratch/dpkg.log" 2>&1 ||
    fail "dpkg-reconfigure: $(cat "$scratch/dpkg.log")"
done
in_root dpkg-statoverride --remove "$helper" || fail "dpkg-statoverride --remove"
purge
check_purged

# The helper's folder on a file system that keeps no capabilities (the
# purge took the answer too).
echo "tessaline tessaline/owners-group boolean true" | in_root debconf-set-selections
mkdir -p "$root/usr/libexec/tessaline"
mount -t ramfs ramfs "$root/usr/libexec/tessaline"
in_root dpkg -i /tmp/tessaline.deb >"$scratch/dpkg.log" 2>&1 ||
  fail "dpkg -i without extended attributes: $(cat "$scratch/dpkg.log")"
in_root dpkg-query -W -f '${Status}' tessaline | grep -qx 'install ok installed' ||
  fail "half-configured without extended attributes: $(in_root dpkg-query -W -f '${Status}' tessaline)"
grep -q "tessaline: cannot give $helper its capabilities" "$scratch/dpkg.log" ||
  fail "no word of the missing capabilities: $(cat "$scratch/dpkg.log")"
owner=$(in_root stat -c '%U:%G %a' "$helper")
[ "$owner" = "root:root 755" ] || fail "without extended attributes: the helper is $owner"
[ -z "$(in_root getcap "$helper")" ] || fail "without extended attributes: the helper has capabilities"
in_root /usr/bin/tessaline --print tcp | grep -q "127.000.000.001:$port .*PID *$listener : python" ||
  fail "root does not see its own socket's owner without the helper's capabilities"
purge
umount "$root/usr/libexec/tessaline"
rmdir "$root/usr/libexec/tessaline"
check_purged
echo "installed with either answer, its files, modes and capabilities in place, an administrator's owner and mode kept, no capabilities where none can be held, and purged without a trace"
