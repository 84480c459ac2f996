#!/usr/bin/env bash
# In a network namespace of its own, `tessaline --watch` must log:
#   - the closes of the connections connection_closes holds through a
#     refresh, one closed normally and one aborted by its client (SO_LINGER
#     0, the accepted end left open after its reset), each end's close once,
#     with its true ends and its owner, and nothing of the sockets it makes
#     and closes without binding or connecting them;
#   - with `--watch tcp`, the close of at least 99% of the short connections
#     connection_churn opens on loopback (100 a second, each open 50 ms, for
#     20 s: most of them open and close between two socket tables, so only
#     the kernel's close notifications can show them), each end at most once
#     a connection and with its true ends, with no owner but the churn's or
#     "closed before its owner was found".
# SIGINT and SIGTERM must each end it with status 0 and its last line
# written whole (the SIGTERM run in a namespace of its own, see below).
# Needs root, ss, ip and network namespaces; skips (77) elsewhere.
#
#   netns_watch.sh TESSALINE_BIN CONNECTION_CHURN_BIN CONNECTION_CLOSES_BIN
set -euo pipefail
tessaline=$1
churn=$2

. "$(dirname "${BASH_SOURCE[0]}")/netns_holder.sh"

if [ "${3:-}" != --in-namespace ]; then
  # Into the namespace through the environment: netns_enter passes two.
  export NETNS_WATCH_CLOSES=$3
  netns_enter "$0" "$tessaline" "$churn"
fi
closes=$NETNS_WATCH_CLOSES

# ---------------------------------------------- inside the new namespace
unset TESSALINE_LIBRARY_PATH  # the provider next to the program
ip link set lo up
dir=$(mktemp -d)
watch_pid= churn_pid= closes_pid=
cleanup() {
  local pid
  for pid in $watch_pid $churn_pid $closes_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# The watch's close notifications socket: its line of this namespace's
# /proc/net/netlink, NETLINK_SOCK_DIAG (4) with groups joined (no other
# process here joins any).  Fields: sk Eth Pid Groups Rmem Wmem Dump Locks
# Drops Inode.
notify_socket() {
  awk '$2 == 4 && $4 != "00000000"' /proc/net/netlink
}

# Starts `tessaline --watch KIND` (every table when KIND is empty) with its
# output in $dir/$1.out and its errors in $dir/$1.err; returns once it
# listens to the close notifications and has taken its first table.  Skips
# (77) when the kernel does not offer the notifications.
start_watch() {  # NAME [KIND]
  "$tessaline" --watch ${2:-} >"$dir/$1.out" 2>"$dir/$1.err" </dev/null &
  watch_pid=$!
  for _ in $(seq 1 50); do
    [ -n "$(notify_socket)" ] && break
    if ! kill -0 "$watch_pid" 2>/dev/null || grep -q 'not available' "$dir/$1.err"; then break; fi
    sleep 0.1
  done
  if grep -q 'not available' "$dir/$1.err"; then
    echo "skipped: $(cat "$dir/$1.err")"
    exit 77
  fi
  if [ -z "$(notify_socket)" ]; then
    echo "FAIL: tessaline --watch did not join the close notifications within 5 s"
    cat "$dir/$1.err"
    exit 1
  fi
  # The first table is taken as the worker starts: what is open then is not
  # logged, so the churn starts after it.
  sleep 0.5
}

# Sends SIGNAL to the watch and checks that it ends within 10 s with 0.
stop_watch() {  # NAME SIGNAL
  local name=$1 signal=$2 status=0
  echo "$name: the kernel dropped $(notify_socket | awk '{ print $9 }') close notifications for want of room"
  kill "-$signal" "$watch_pid"
  for _ in $(seq 1 100); do
    kill -0 "$watch_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$watch_pid" 2>/dev/null; then
    echo "FAIL: $name: tessaline --watch still runs 10 s after SIG$signal"
    exit 1
  fi
  wait "$watch_pid" || status=$?
  watch_pid=
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $name: tessaline --watch ended with $status after SIG$signal"
    cat "$dir/$name.err"
    failed=1
  fi
  if [ -s "$dir/$name.err" ]; then
    echo "FAIL: $name: tessaline --watch wrote errors:"
    cat "$dir/$name.err"
    failed=1
  fi
  if [ ! -s "$dir/$name.out" ]; then
    echo "FAIL: $name: tessaline --watch wrote nothing"
    failed=1
  elif [ "$(tail -c 1 "$dir/$name.out" | od -An -tx1 | tr -d ' ')" != 0a ]; then
    echo "FAIL: $name: the last line is cut short: $(tail -n 1 "$dir/$name.out")"
    failed=1
  fi
}

# Runs connection_churn RATE LIFETIME_MS SECONDS to its end (it ends by
# itself; the trap ends it otherwise) with its output in $dir/$1.churn, and
# checks that it opened all it should have; its pid goes to $dir/$1.pid.
run_churn() {  # NAME RATE LIFETIME_MS SECONDS
  local name=$1 status=0
  "$churn" "$2" "$3" "$4" >"$dir/$name.churn" </dev/null &
  churn_pid=$!
  echo "$churn_pid" >"$dir/$name.pid"
  wait "$churn_pid" || status=$?
  churn_pid=
  if [ "$status" -ne 0 ] || ! grep -qx "done $(($2 * $4))" "$dir/$name.churn"; then
    echo "FAIL: $name: connection_churn ended with $status, its last line: $(tail -n 1 "$dir/$name.churn")"
    exit 1
  fi
}

# The owner of a line of the watch's output: the text between "  [ " and
# its final " ]" (an awk function).
owner_of='function owner_of(line,  start) {
  start = index(line, "  [ ")
  return start > 0 && substr(line, length(line) - 1) == " ]" ? substr(line, start + 4, length(line) - start - 5) : "?"
}'

# Runs connection_closes LIFETIME_MS to its end with its output in
# $dir/$1.closes and its pid in $dir/$1.pid.
run_closes() {  # NAME LIFETIME_MS
  local name=$1 status=0
  "$closes" "$2" >"$dir/$name.closes" </dev/null &
  closes_pid=$!
  echo "$closes_pid" >"$dir/$name.pid"
  wait "$closes_pid" || status=$?
  closes_pid=
  if [ "$status" -ne 0 ] || ! grep -qx done "$dir/$name.closes"; then
    echo "FAIL: $name: connection_closes ended with $status, its last line: $(tail -n 1 "$dir/$name.closes")"
    exit 1
  fi
}

# Each end of both connections closed once, with its true ends and the
# owner; the listener too; every line with that owner; no line of a socket
# never bound.
check_closes() {  # NAME
  local name=$1 label listen port kind
  label=$(printf 'PID %5d : connection_closes' "$(cat "$dir/$name.pid")")
  listen=127.0.0.1:$(awk '$1 == "listening" { print $2 }' "$dir/$name.closes")
  echo "$name: the watch wrote:"
  sed 's/^/  /' "$dir/$name.out"
  # Fields of a line: time, what, protocol, local, "=>", remote, "[", owner...
  once() {  # WHAT LOCAL REMOTE
    local n
    n=$(awk -v l="$2" -v r="$3" -v owner="$label" "$owner_of"'
      $2 == "closed" && $3 == "TCP" && $4 == l && $5 == "=>" && $6 == r && owner_of($0) == owner { ++n }
      END { print n + 0 }' "$dir/$name.out")
    if [ "$n" -ne 1 ]; then
      echo "FAIL: $name: $1 ($2 => $3, $label) logged closed $n times, not once"
      failed=1
    fi
  }
  for kind in normal abortive; do
    port=127.0.0.1:$(awk -v k="$kind" '$1 == k { print $2 }' "$dir/$name.closes")
    once "the $kind connection's client end" "$port" "$listen"
    once "the $kind connection's accepted end" "$listen" "$port"
    # No other close of either end, with ends cleared or not.
    n=$(awk -v p=":${port##*:}" '$2 == "closed" && (substr($4, length($4) - length(p) + 1) == p ||
                                                  substr($6, length($6) - length(p) + 1) == p) { ++n }
                                 END { print n + 0 }' "$dir/$name.out")
    if [ "$n" -ne 2 ]; then
      echo "FAIL: $name: $n closes of the $kind connection's ends logged, not 2"
      failed=1
    fi
  done
  once "the listener" "$listen" "0.0.0.0:0"
  awk -v owner="$label" "$owner_of"'
    owner_of($0) != owner { print "FAIL: a line without the owner: " $0; bad = 1 }
    $4 == "0.0.0.0:0" || $4 == "[::]:0" { print "FAIL: a socket never bound logged: " $0; bad = 1 }
    END { exit bad }' "$dir/$name.out" || failed=1
}

# The connections whose client end's close was logged, each line of the
# watch's output with an owner it may show, and the counts.
check_log() {  # NAME
  local name=$1 label counts logged total with without server bad
  : >"$dir/$name.missing"
  label=$(printf 'PID %5d : connection_churn' "$(cat "$dir/$name.pid")")
  # Owners: the text between "  [ " and the final " ]" of every line.  A
  # table can list a connection that its client closes before the owner
  # lookup that follows the dump: it is then logged with no owner.
  awk -v label="$label" -v notfound='closed before its owner was found' \
      -v none='PID     0 : NT Kernel & System' '
    {
      start = index($0, "  [ ")
      owner = start > 0 && substr($0, length($0) - 1) == " ]" ? substr($0, start + 4, length($0) - start - 5) : "?"
      if (owner != label && owner != notfound && owner != none && bad++ < 10) print "FAIL: unexpected owner: " $0
    }
    END { exit bad > 0 }' "$dir/$name.out" || failed=1

  # Fields of a line: time, what, protocol, local, "=>", remote, "[", owner...
  # A client port the kernel hands out again counts once per connection.
  # The client ends not logged go to $dir/$name.missing; an end closed more
  # often than its port was used, or a close of the churn's port whose
  # other end is not a client's (ends cleared), fails.
  counts=$(awk -v listen="127.0.0.1:$(awk '$1 == "listening" { print $2 }' "$dir/$name.churn")" \
    -v notfound="[ closed before its owner was found ]" -v missing="$dir/$name.missing" '
    FILENAME == ARGV[1] {
      if ($1 == "client") { ++uses["127.0.0.1:" $2]; ++total }
      next
    }
    $2 == "closed" && $3 == "TCP" && $5 == "=>" {
      if ($4 == listen && $6 == "0.0.0.0:0") next  # the listener
      accepted_end = $4 == listen
      client = accepted_end ? $6 : $4
      if (!(client in uses) || (!accepted_end && $6 != listen)) {
        if (bad++ < 10) print "FAIL: a close with ends not a connection'"'"'s own: " $0 >"/dev/stderr"
        next
      }
      if (accepted_end) {
        if (++accepted[client] <= uses[client]) ++s
        else if (bad++ < 10) print "FAIL: an accepted end closed more often than its port was used: " $0 >"/dev/stderr"
      } else if (++logged[client] <= uses[client]) {
        ++n
        if (index($0, notfound) > 0) ++without; else ++with
      } else if (bad++ < 10) {
        print "FAIL: a client end closed more often than its port was used: " $0 >"/dev/stderr"
      }
    }
    END {
      for (c in uses) if (logged[c] < uses[c]) print c >missing
      printf "%d %d %d %d %d %d\n", n, total, with, without, s, bad
    }' "$dir/$name.churn" "$dir/$name.out")
  read -r logged total with without server bad <<<"$counts"
  echo "$name: $logged/$total connections logged closed by their client end" \
    "($with with the owner, $without without; $server also by their accepted end)," \
    "$(wc -l <"$dir/$name.out") lines in all"
  [ "$bad" -eq 0 ] || failed=1
  if [ "$total" -eq 0 ] || [ $((logged * 100)) -lt $((total * 99)) ]; then
    echo "FAIL: $name: fewer than 99% of the connections logged closed; the first client ends not logged:"
    head -n 20 "$dir/$name.missing"
    failed=1
  fi
}

failed=0

# The SIGTERM run, in a namespace of its own inside this one: the sockets
# the first run leaves in TIME_WAIT would otherwise leave the tables during
# it, logged (rightly) as closed by an unknown owner.
if [ "${4:-}" = term ]; then
  # 20 connections in 1 s, then SIGTERM.
  start_watch term tcp
  run_churn term 20 50 1
  sleep 1
  stop_watch term TERM
  check_log term
  exit "$failed"
fi

# Two connections open 3 s (through at least one of the tables taken every
# 2 s), then closed normally and aborted; SIGINT once the last close has had
# a second to be reported.  Every table watched.
start_watch closes
run_closes closes 3000
sleep 1
stop_watch closes INT
check_closes closes

# 2000 connections, then SIGINT once the last close has had a second to be
# reported.
start_watch churn tcp
run_churn churn 100 50 20
sleep 1
stop_watch churn INT
check_log churn

unshare -n bash "$0" "$tessaline" "$churn" --in-namespace term || failed=1
exit "$failed"
