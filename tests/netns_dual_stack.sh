#!/usr/bin/env bash
# In a network namespace of its own, with the servers and their clients
# that dual_stack_holder opens (IPv4 only, IPv6 only, dual-stack, an IPv4
# and IPv6-only pair on one port, an IPv6-only listener on :: alone, and
# UDP on :: dual-stack and IPv6-only), the rows of `tessaline --print tcp`
# and `--print tcp6` together must be the rows `ss -tan` lists: the same
# (family, local end, remote end, state), none missing, none extra, and
# every one of the holder's sockets named after it.  `--print listening`
# must mark "(IPv4 and IPv6)" the dual-stack sockets on :: (the single TCP
# listener and the UDP socket) and the pair, and no other: from the kernel,
# which says which socket takes IPv6 alone, and from a copy of the files,
# which give only the system's default (net.ipv6.bindv6only).  Needs root,
# ss, ip and network namespaces; skips (77) elsewhere.
#
#   netns_dual_stack.sh TESSALINE_BIN DUAL_STACK_HOLDER_BIN
set -euo pipefail
tessaline=$1
holder=$2

. "$(dirname "${BASH_SOURCE[0]}")/netns_holder.sh"

if [ "${3:-}" != --in-namespace ]; then
  if [ ! -e /proc/net/tcp6 ]; then
    echo "skipped: this kernel has no IPv6"
    exit 77
  fi
  netns_enter "$0" "$tessaline" "$holder"
fi

# ---------------------------------------------- inside the new namespace
netns_start_holder "$holder"
word=
for _ in $(seq 1 100); do
  if read -r word <"$out" 2>/dev/null && [ "$word" = ready ]; then break; fi
  if ! kill -0 "$holder_pid" 2>/dev/null; then
    echo "FAIL: dual_stack_holder ended before it was ready"
    exit 1
  fi
  sleep 0.1
done
if [ "$word" != ready ]; then
  echo "FAIL: dual_stack_holder was not ready within 10 s"
  exit 1
fi

# Rows as "FAMILY LOCAL REMOTE STATE", IPv4 ends as a.b.c.d:port, IPv6 ends
# as [address]:port, a port that is not set as 0.
from_ss=$(
  ss -tanH | awk '
    # ss writes a dual-stack socket bound to :: as "*".
    function end(e) { sub(/^\*:/, "[::]:", e); sub(/:\*$/, ":0", e); sub(/%[^]]*]/, "]", e); return e }
    { s = $1
      if (s == "LISTEN") s = "LISTENING"; else if (s == "ESTAB") s = "ESTABLISHED"; else if (s == "SYN-RECV") s = "SYN_RCVD"
      else if (s == "FIN-WAIT-1") s = "FIN_WAIT1"; else if (s == "FIN-WAIT-2") s = "FIN_WAIT2"; else if (s == "CLOSE") s = "CLOSED"
      gsub(/-/, "_", s)
      family = ($4 ~ /^[[*]/) ? "6" : "4"
      print family, end($4), end($5), s }' | sort
)
v4=$("$tessaline" --print tcp) || { echo "FAIL: --print tcp exited with $?"; exit 1; }
v6=$("$tessaline" --print tcp6) || { echo "FAIL: --print tcp6 exited with $?"; exit 1; }
from_tessaline=$(
  {
    printf '%s\n' "$v4" | awk '/^  / {
      split($1, l, ":"); split($3, r, ":")
      split(l[1], a, "."); split(r[1], b, ".")
      state = $0; sub(/^[^[]*\[ */, "", state); sub(/:.*/, "", state)
      printf "4 %d.%d.%d.%d:%s %d.%d.%d.%d:%s %s\n", a[1], a[2], a[3], a[4], l[2], b[1], b[2], b[3], b[4], r[2], state }'
    printf '%s\n' "$v6" | awk '/^  / {
      state = $0; sub(/^.*=> *[^ ]+ *\[ */, "", state); sub(/:.*/, "", state)
      local = $1; remote = $3; sub(/%[^]]*]/, "]", local); sub(/%[^]]*]/, "]", remote)
      print "6", local, remote, state }'
  } | sort
)

failed=0
if [ "$from_tessaline" != "$from_ss" ]; then
  echo "FAIL: the rows of --print tcp and tcp6 differ from ss -tan (- ss, + tessaline)"
  diff -u <(printf '%s\n' "$from_ss") <(printf '%s\n' "$from_tessaline") || true
  failed=1
else
  echo "ok: $(printf '%s\n' "$from_ss" | wc -l) rows, as ss lists them"
fi

# Every row of the holder's ports is named after it: seven in the IPv4
# table, nine in the IPv6 one (the dual-stack server and its mapped end
# among them).
label=$(printf 'PID %5d : dual_stack_holder' "$holder_pid")
named4=$(printf '%s\n' "$v4" | grep -c -- "$label" || true)
named6=$(printf '%s\n' "$v6" | grep -c -- "$label" || true)
lines4=$(printf '%s\n' "$v4" | grep -c '^  ' || true)
lines6=$(printf '%s\n' "$v6" | grep -c '^  ' || true)
if [ "$named4" -ne "$lines4" ] || [ "$named6" -ne "$lines6" ] || [ "$lines4" -ne 7 ] || [ "$lines6" -ne 9 ]; then
  echo "FAIL: owners: IPv4 $named4 of $lines4 lines named, IPv6 $named6 of $lines6"
  printf '%s\n%s\n' "$v4" "$v6"
  failed=1
else
  echo "ok: every socket named after its holder"
fi
if ! printf '%s\n' "$v6" | grep -q '^  \[::ffff:127\.0\.0\.1\]:4003 '; then
  echo "FAIL: the dual-stack server's accepted end is not shown with its mapped address"
  failed=1
fi

# The Listening Ports lines as "PROTOCOL LOCAL both|one", sorted.
listening() {
  "$tessaline" --print listening | awk '/^  / {
    print $1, $2, (substr($0, length($0) - 14) == "(IPv4 and IPv6)" ? "both" : "one") }' | sort
}
# Compares the lines of `listening` for the ports of WANTED with WANTED.
check_listening() {  # WHAT GOT WANTED
  local got
  got=$(awk 'NR == FNR { want[$1 " " $2] = 1; next } ($1 " " $2) in want' <(printf '%s\n' "$3") \
    <(printf '%s\n' "$2") | sort)
  if [ "$got" != "$(printf '%s\n' "$3" | sort)" ]; then
    echo "FAIL: $1: the Listening Ports lines differ (- expected, + tessaline)"
    diff -u <(printf '%s\n' "$3" | sort) <(printf '%s\n' "$got") || true
    failed=1
  else
    echo "ok: $1: $(printf '%s\n' "$3" | grep -c ' both$') of $(printf '%s\n' "$3" | wc -l) listeners of both families"
  fi
}

from_kernel=$(listening) || { echo "FAIL: --print listening exited with $?"; exit 1; }
check_listening "from the kernel" "$from_kernel" "TCP 127.0.0.1:4001 one
TCP [::1]:4002 one
TCP [::]:4003 both
TCP [::]:4004 both
TCP [::]:4005 one
UDP [::]:4006 both
UDP [::]:4007 one"
if printf '%s\n' "$from_kernel" | grep -q '^TCP 0\.0\.0\.0:4004 '; then
  echo "FAIL: the pair on 4004 is not one line"
  failed=1
fi

# From a copy of the files: only the system's default is known, so the
# IPv6-only sockets on 4005 and 4007 cannot be told (not checked); the pair
# on 4004 is two lines (a copy names no owner), and an IPv4 listener on
# 4004 says that the socket on [::]:4004 takes IPv6 alone.
copy=$(mktemp -d)
trap 'netns_cleanup; rm -rf "$copy"' EXIT
mkdir -p "$copy/net" "$copy/sys/net/ipv6"
for table in tcp tcp6 udp udp6; do cat "/proc/net/$table" >"$copy/net/$table"; done
for default in 0 1; do
  echo "$default" >"$copy/sys/net/ipv6/bindv6only"
  dual=both
  [ "$default" = 1 ] && dual=one
  from_files=$(TESSALINE_PROC_ROOT=$copy listening) || { echo "FAIL: --print listening exited with $?"; exit 1; }
  check_listening "from files, net.ipv6.bindv6only $default" "$from_files" "TCP 127.0.0.1:4001 one
TCP [::1]:4002 one
TCP [::]:4003 $dual
TCP 0.0.0.0:4004 one
TCP [::]:4004 one
UDP [::]:4006 $dual"
done
rm -rf "$copy"
exit "$failed"
