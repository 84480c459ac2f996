#!/usr/bin/env bash
# In a network namespace of its own, a copy of socket_holder named with what
# would retitle and clear a terminal (ESC, BEL, CSI as the byte 0x9B and as
# U+009B, DEL, U+2028 and a byte outside UTF-8), and started with a line
# feed and a tab in its arguments, holds its sockets.  Every printer must
# show its name and command line without a control character: the text
# trees of --print (with and without --details), JSON, CSV, OpenMetrics and
# the lines of --watch; JSON keeps the name exactly, as its escapes.  Needs
# root, ss, ip and network namespaces; skips (77) elsewhere.
#
#   netns_hostile_names.sh TESSALINE_BIN SOCKET_HOLDER_BIN
set -euo pipefail
tessaline=$1
holder=$2

. "$(dirname "${BASH_SOURCE[0]}")/netns_holder.sh"

if [ "${3:-}" != --in-namespace ]; then
  netns_enter "$0" "$tessaline" "$holder"
fi

# ---------------------------------------------- inside the new namespace
unset TESSALINE_LIBRARY_PATH  # the provider next to the program
ip link set lo up
dir=$(mktemp -d)
watch_pid= holder_pid=
cleanup() {
  local pid
  for pid in $watch_pid $holder_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

name=$'evil\e]0;owned\a\e[2J\x9b1m\xc2\x9b2J\x7f\xe2\x80\xa8\xff-holder'
fffd=$'\xef\xbf\xbd'
# As the panes and every printer but JSON show it, and as JSON keeps it.
shown="evil${fffd}]0;owned${fffd}${fffd}[2J${fffd}1m${fffd}2J${fffd}${fffd}${fffd}-holder"
json='evil\u001b]0;owned\u0007\u001b[2J'"${fffd}"'1m\u009b2J\u007f\u2028'"${fffd}"'-holder'
cp "$holder" "$dir/$name"

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# FILE holds valid UTF-8 without a control character (C0 but its line
# feeds, and with crlf the carriage return that ends a line; DEL; C1 as
# the UTF-8 of U+0080..U+009F; U+2028, U+2029).
check_printable() {  # WHAT FILE [crlf]
  local what=$1 file=$2 pattern found
  pattern='[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80[\xa8\xa9]'
  [ "${3:-}" = crlf ] && pattern='[\x00-\x09\x0b\x0c\x0e-\x1f\x7f]|\r(?!$)|\xc2[\x80-\x9f]|\xe2\x80[\xa8\xa9]'
  found=$(LC_ALL=C grep -naP "$pattern" "$file" | head -n 3 | cat -v || true)
  [ -z "$found" ] || fail "$what: a control character on these lines: $found"
  iconv -f UTF-8 -t UTF-8 "$file" >/dev/null 2>&1 || fail "$what: not valid UTF-8"
}

# FILE holds TEXT.
check_holds() {  # WHAT FILE TEXT
  grep -qF -- "$3" "$2" || fail "$1: no line holds $(printf '%s' "$3" | cat -v); it wrote: $(cat -v "$2" | head -n 20)"
}

# The watch first, so that it logs the holder's sockets opening, with their
# owner, at its next table.
"$tessaline" --watch tcp >"$dir/watch.out" 2>"$dir/watch.err" </dev/null &
watch_pid=$!
sleep 1

"$dir/$name" $'one\nline feed' $'a\ttab' >"$dir/holder.out" </dev/null &
holder_pid=$!
word=
for _ in $(seq 1 100); do
  if read -r word _ <"$dir/holder.out" 2>/dev/null && [ "$word" = ready ]; then break; fi
  if ! kill -0 "$holder_pid" 2>/dev/null; then
    echo "FAIL: the holder ended before it was ready"
    exit 1
  fi
  sleep 0.1
done
if [ "$word" != ready ]; then
  echo "FAIL: the holder was not ready within 10 s"
  exit 1
fi
label="PID $(printf '%5d' "$holder_pid") : "
echo "holder pid $holder_pid"

# The watch's lines: the holder's sockets logged within 10 s, then SIGINT.
for _ in $(seq 1 100); do
  grep -qF -- "[ ${label}evil" "$dir/watch.out" && break
  kill -0 "$watch_pid" 2>/dev/null || break
  sleep 0.1
done
kill -INT "$watch_pid" 2>/dev/null || true
wait "$watch_pid" || fail "--watch tcp ended with $?: $(cat "$dir/watch.err")"
watch_pid=
check_holds "--watch tcp" "$dir/watch.out" "[ ${label}evil"
check_holds "--watch tcp" "$dir/watch.out" "-holder ]"
check_printable "--watch tcp" "$dir/watch.out"
check_printable "--watch tcp (errors)" "$dir/watch.err"

# Every report that names an owner, in every format.
run() {  # OUTPUT ARGS...
  local output=$1 ends=
  shift
  [[ $output == *.csv ]] && ends=crlf
  "$tessaline" "$@" >"$dir/$output" 2>"$dir/$output.err" </dev/null ||
    fail "tessaline $* ended with $?: $(cat "$dir/$output.err")"
  check_printable "tessaline $*" "$dir/$output" "$ends"
  check_printable "tessaline $* (errors)" "$dir/$output.err"
}
run tcp.txt --print tcp
check_holds "--print tcp" "$dir/tcp.txt" "LISTENING: ${label}${shown} ]"
run tcp-details.txt --print tcp --details
check_holds "--print tcp --details" "$dir/tcp-details.txt" "Process: $holder_pid $dir/$shown"
check_holds "--print tcp --details" "$dir/tcp-details.txt" \
  "Command line: $dir/$shown one"$'\xe2\x8f\x8e'"line feed a${fffd}tab"
run udp-details.txt --print udp --details
check_holds "--print udp --details" "$dir/udp-details.txt" "${label}${shown} ]"
run listening.txt --print listening
check_holds "--print listening" "$dir/listening.txt" "${label}${shown}"
run processes.txt --print processes
check_holds "--print processes" "$dir/processes.txt" "${label}${shown}"
for kind in tcp processes listening; do
  run "$kind.json" --print "$kind" --format json
  run "$kind.csv" --print "$kind" --format csv
  run "$kind.om" --print "$kind" --format openmetrics
done
check_holds "--print tcp --format json" "$dir/tcp.json" "\"path\":\"$dir/$json\""
check_holds "--print processes --format json" "$dir/processes.json" "\"name\":\"$json\""
check_holds "--print listening --format json" "$dir/listening.json" "\"name\":\"$json\""
check_holds "--print tcp --format csv" "$dir/tcp.csv" "$dir/$shown"$'\r'
check_holds "--print processes --format csv" "$dir/processes.csv" "$holder_pid,$shown,"
check_holds "--print listening --format csv" "$dir/listening.csv" ",$holder_pid,$shown"$'\r'
check_holds "--print processes --format openmetrics" "$dir/processes.om" "name=\"$shown\""
check_holds "--print listening --format openmetrics" "$dir/listening.om" "name=\"$shown\""

[ "$failed" -eq 0 ] && echo "ok: the hostile name in every printer, without a control character"
exit "$failed"
