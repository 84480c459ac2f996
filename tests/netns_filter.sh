#!/usr/bin/env bash
# In a network namespace of its own, with the sockets socket_holder opens on
# loopback (a listener on 7070, an established pair, a TIME_WAIT client of
# 7070, a UDP socket on 5353), --filter must keep exactly the sockets that
# match:
#   - `tessaline --print tcp --filter EXPR` lists, row for row, the sockets
#     that `ss -tan FILTER` lists, for pairs of equal filters, and its lines
#     are the unfiltered report's lines of those sockets, in their order;
#   - --format json and csv give the records of those sockets only;
#   - the UDP, Processes and Listening Ports reports keep their lines that
#     match (a process by any of its sockets);
#   - `--watch tcp --filter` logs only the events that match, here the
#     close of the listener of connection_closes.
# Needs root, ss, ip, python3 and network namespaces; skips (77) elsewhere.
#
#   netns_filter.sh TESSALINE_BIN SOCKET_HOLDER_BIN CONNECTION_CLOSES_BIN
set -euo pipefail
tessaline=$1
holder=$2

. "$(dirname "${BASH_SOURCE[0]}")/netns_holder.sh"

if [ "${3:-}" != --in-namespace ]; then
  # Into the namespace through the environment: netns_enter passes two.
  export NETNS_FILTER_CLOSES=$3
  netns_enter "$0" "$tessaline" "$holder"
fi
closes=$NETNS_FILTER_CLOSES

# ---------------------------------------------- inside the new namespace
port=7070
netns_start_holder "$holder" "--port=$port"
dir=$(mktemp -d)
watch_pid= closes_pid=
cleanup() {
  local pid
  for pid in $watch_pid $closes_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
  netns_cleanup
}
trap cleanup EXIT

word=
for _ in $(seq 1 100); do
  if read -r word _ <"$out" 2>/dev/null && [ "$word" = ready ]; then break; fi
  if ! kill -0 "$holder_pid" 2>/dev/null; then
    echo "FAIL: socket_holder ended before it was ready"
    exit 1
  fi
  sleep 0.1
done
if [ "$word" != ready ]; then
  echo "FAIL: socket_holder was not ready within 10 s"
  exit 1
fi
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# "LOCAL PEER STATE" of each socket line of `tessaline --print tcp`, with
# the addresses as ss writes them and the state as ss names it; without the
# state when the second argument is "nostate".
tessaline_rows() {  # OUTPUT [nostate]
  printf '%s\n' "$1" | awk -v nostate="${2:-}" '
    function plain(endpoint,  parts, octets, n) {
      n = split(endpoint, parts, ":")
      split(parts[1], octets, ".")
      return (octets[1] + 0) "." (octets[2] + 0) "." (octets[3] + 0) "." (octets[4] + 0) ":" parts[2]
    }
    BEGIN {
      name["LISTENING"] = "LISTEN"; name["ESTABLISHED"] = "ESTAB"; name["TIME_WAIT"] = "TIME-WAIT"
      name["SYN_SENT"] = "SYN-SENT"; name["SYN_RCVD"] = "SYN-RECV"; name["FIN_WAIT1"] = "FIN-WAIT-1"
      name["FIN_WAIT2"] = "FIN-WAIT-2"; name["CLOSE_WAIT"] = "CLOSE-WAIT"; name["LAST_ACK"] = "LAST-ACK"
      name["CLOSING"] = "CLOSING"
    }
    /^  / {
      state = $5
      sub(":$", "", state)
      print plain($1), plain($3), (nostate == "nostate" ? "" : name[state])
    }' | sort
}

# The same of `ss -tan ARGS...`; ss leaves out its State column when one
# state is asked for, and then so does this.
ss_rows() {  # ARGS...
  ss -tan "$@" | awk '
    NR == 1 { stated = $1 == "State"; next }
    { local = stated ? $4 : $3; peer = stated ? $5 : $4
      sub(":\\*$", ":0", peer)
      print local, peer, (stated ? $1 : "") }' | sort
}

all=$("$tessaline" --print tcp)
# EXPR and the ss arguments that ask for the same sockets.
check_tcp() {  # EXPR SS_ARGS...
  local expr=$1 actual expected stated=
  shift
  actual=$("$tessaline" --print tcp --filter "$expr")
  ss -tan "$@" | head -n 1 | grep -q '^State' || stated=nostate
  expected=$(ss_rows "$@")
  if [ "$(tessaline_rows "$actual" $stated)" != "$expected" ]; then
    fail "--print tcp --filter '$expr' against ss -tan $*"
    diff -u <(printf '%s\n' "$expected") <(tessaline_rows "$actual" $stated) || true
  elif [ -z "$expected" ] && [ "${ALLOW_EMPTY:-}" != 1 ]; then
    fail "ss -tan $* lists nothing: the test would prove nothing"
  else
    echo "ok: --filter '$expr' = ss -tan $* ($(printf '%s\n' "$expected" | grep -c . || true) sockets)"
  fi
  # The same lines as without the filter, fewer of them, in their order.
  local kept
  kept=$(printf '%s\n' "$actual" | tail -n +2)
  if [ -n "$kept" ] && [ "$(printf '%s\n' "$all" | grep -Fxf <(printf '%s\n' "$kept"))" != "$kept" ]; then
    fail "--filter '$expr': lines that are not the report's own, or out of its order"
    printf '%s\n' "$actual"
  fi
  if [ "$(printf '%s\n' "$actual" | head -n 1)" != "TCP Connections" ]; then fail "--filter '$expr': no root line"; fi
}

check_tcp "lport:$port" "sport = :$port"
check_tcp "rport:$port" "dport = :$port"
check_tcp "port:$port" "( sport = :$port or dport = :$port )"
check_tcp "state:time-wait" state time-wait
check_tcp "-lport:$port state:established" state established "not sport = :$port"
check_tcp "laddr:127.0.0.0/8 rport:1024-65535" "src 127.0.0.0/8 and dport >= :1024"
check_tcp "(lport:$port or rport:$port) -state:time-wait" exclude time-wait "( sport = :$port or dport = :$port )"
ALLOW_EMPTY=1 check_tcp "raddr:10.0.0.0/8" "dst 10.0.0.0/8"

# Records for other tools: those of the same sockets.
expected=$(ss_rows "sport = :$port" | awk '{ print $1, $2 }')
json=$("$tessaline" --print tcp --format json --filter "lport:$port")
from_json=$(printf '%s' "$json" | python3 -c '
import json, sys
for r in json.load(sys.stdin)["tcp"]:
    print("%s:%d %s:%d" % (r["local_address"], r["local_port"], r["remote_address"], r["remote_port"]))' | sort)
if [ "$from_json" != "$expected" ]; then
  fail "--format json --filter 'lport:$port'"
  diff -u <(printf '%s\n' "$expected") <(printf '%s\n' "$from_json") || true
else
  echo "ok: --format json --filter, $(printf '%s\n' "$from_json" | wc -l) records"
fi
csv_rows=$("$tessaline" --print tcp --format csv --filter "lport:$port" | tail -n +2 | grep -c . || true)
if [ "$csv_rows" -ne "$(printf '%s\n' "$expected" | wc -l)" ]; then
  fail "--format csv --filter 'lport:$port' gave $csv_rows rows"
fi

# The other socket-like reports: the root line and the lines that match.
holder_label=$(printf 'PID %5d : socket_holder' "$holder_pid")
check_lines() {  # KIND EXPR EXPECTED_COUNT [TEXT_IN_EACH]
  local text lines
  text=$("$tessaline" --print "$1" --filter "$2")
  lines=$(printf '%s\n' "$text" | tail -n +2 | grep -c . || true)
  if [ "$lines" -ne "$3" ] || { [ -n "${4:-}" ] && printf '%s\n' "$text" | tail -n +2 | grep -vqF "$4"; }; then
    fail "--print $1 --filter '$2': $lines lines, not $3${4:+ with '$4'}"
    printf '%s\n' "$text"
  else
    echo "ok: --print $1 --filter '$2', $lines lines"
  fi
}
check_lines udp "lport:5353" 1 ":5353"
check_lines udp "lport:5354" 0
check_lines processes "proc:socket_holder" 1 "$holder_label"
check_lines processes "state:listen" 1 "$holder_label"   # by its listener
check_lines processes "state:time-wait" 0                # no process holds it
check_lines processes "pid:$holder_pid -proto:udp" 1 "$holder_label"
check_lines listening "proto:udp" 1 "UDP "
check_lines listening "lport:$port" 1 "TCP "
check_lines listening "proc:nothing-like-it" 0

# --watch: only the events that match.  The close of the listener is the
# one closed socket whose remote end is not on 127.0.0.1.
notify_socket() { awk '$2 == 4 && $4 != "00000000"' /proc/net/netlink; }
"$tessaline" --watch tcp --filter 'state:closed -raddr:127.0.0.1' >"$dir/watch.out" 2>"$dir/watch.err" </dev/null &
watch_pid=$!
for _ in $(seq 1 50); do
  [ -n "$(notify_socket)" ] && break
  kill -0 "$watch_pid" 2>/dev/null || break
  sleep 0.1
done
if grep -q 'not available' "$dir/watch.err"; then
  echo "skipped the watch: $(cat "$dir/watch.err")"
else
  sleep 0.5
  "$closes" 1000 >"$dir/closes.out" </dev/null &
  closes_pid=$!
  wait "$closes_pid" || fail "connection_closes ended with $?"
  closes_pid=
  sleep 0.5
  kill -INT "$watch_pid"
  for _ in $(seq 1 100); do
    kill -0 "$watch_pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$watch_pid" || fail "tessaline --watch ended with $?"
  watch_pid=
  listen=127.0.0.1:$(awk '$1 == "listening" { print $2 }' "$dir/closes.out")
  # Fields of a line: time, what, protocol, local, "=>", remote, "[", owner...
  if [ "$(awk '{ print $2, $3, $4, $6 }' "$dir/watch.out")" != "closed TCP $listen 0.0.0.0:0" ]; then
    fail "--watch tcp --filter 'state:closed -raddr:127.0.0.1' wrote other than the listener's close:"
    cat "$dir/watch.out" "$dir/watch.err"
  else
    echo "ok: --watch --filter, the listener's close alone"
  fi
fi
exit "$failed"
