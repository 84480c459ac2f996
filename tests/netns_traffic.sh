#!/usr/bin/env bash
# In a network namespace of its own, a loopback TCP transfer at 2 MB/s for
# 10 s between two processes of different users (root receives, nobody
# sends) must show, in `tessaline --print tcp --details`: rate lines within
# 5% of 2,000,000 bytes a second while it runs; once it is over, "Bytes
# received:" equal to what the receiver counted and "Bytes sent:" equal to
# what the sender sent; "User:" naming each end's user.  Needs root, ip,
# setpriv and network namespaces; skips (77) elsewhere.
#
#   netns_traffic.sh TESSALINE_BIN PACED_TRANSFER_BIN
set -euo pipefail
tessaline=$1
transfer=$2

. "$(dirname "${BASH_SOURCE[0]}")/netns_holder.sh"

if [ "${3:-}" != --in-namespace ]; then
  command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
  netns_enter "$0" "$tessaline" "$transfer"
fi

# ---------------------------------------------- inside the new namespace
unset TESSALINE_LIBRARY_PATH  # the provider next to the program
ip link set lo up
dir=$(mktemp -d)
chmod 755 "$dir"
receiver= sender=
cleanup() {
  local pid
  for pid in $sender $receiver; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

port=47100
rate=2000000
seconds=10
nobody=$(id -u nobody)

"$transfer" receive $port >"$dir/receiver.out" &
receiver=$!
for _ in $(seq 1 50); do
  grep -q listening "$dir/receiver.out" 2>/dev/null && break
  sleep 0.1
done
setpriv --reuid="$nobody" --regid="$(id -g nobody)" --clear-groups "$transfer" send $port $rate $seconds \
  >"$dir/sender.out" &
sender=$!

# The details of the socket line whose text holds PATTERN, up to the next
# socket line.
details_of() {  # FILE PATTERN
  awk -v pattern="$2" '
    /^  [^ ]/ { inside = index($0, pattern) > 0; next }
    inside && /^    / { sub(/^    /, ""); print }' "$1"
}

# A rate text ("1.91 MiB/s") in bytes a second.
bytes_per_second() {
  awk '{ v = $1; u = $2; m = 1
         if (u == "KiB/s") m = 1024; else if (u == "MiB/s") m = 1048576; else if (u == "GiB/s") m = 1073741824
         printf "%.0f\n", v * m }' <<<"$1"
}

fail=0
# While it runs: the rate of each end, three readings.
sleep 3
receiving="127.000.000.001:$port  => 127.000.000.001:"
for reading in 1 2 3; do
  "$tessaline" --print tcp --details >"$dir/running$reading.txt"
  receive_line=$(details_of "$dir/running$reading.txt" "$receiving" | grep '^Rate:' || true)
  send_line=$(details_of "$dir/running$reading.txt" "=> 127.000.000.001:$port " | grep '^Rate:' || true)
  received_rate=$(sed -n 's/^Rate: .* sent, \(.*\) received$/\1/p' <<<"$receive_line")
  sent_rate=$(sed -n 's/^Rate: \(.*\) sent, .* received$/\1/p' <<<"$send_line")
  for pair in "receiver:$received_rate" "sender:$sent_rate"; do
    end=${pair%%:*} text=${pair#*:}
    if [ -z "$text" ]; then
      echo "FAIL: reading $reading: no rate line for the $end"
      cat "$dir/running$reading.txt"
      fail=1
      continue
    fi
    value=$(bytes_per_second "$text")
    echo "reading $reading: $end rate $text ($value bytes/s)"
    if [ "$value" -lt $((rate * 95 / 100)) ] || [ "$value" -gt $((rate * 105 / 100)) ]; then
      echo "FAIL: the $end's rate $value is not within 5% of $rate"
      fail=1
    fi
  done
done

# Once it is over: the totals, and who each end is.
for _ in $(seq 1 150); do
  grep -q received "$dir/receiver.out" 2>/dev/null && break
  sleep 0.1
done
counted=$(awk '/^received/ { print $2 }' "$dir/receiver.out")
sent=$(awk '/^sent/ { print $2 }' "$dir/sender.out")
echo "the receiver counted $counted bytes, the sender sent $sent"
"$tessaline" --print tcp --details >"$dir/over.txt"
receiver_details=$(details_of "$dir/over.txt" "$receiving")
sender_details=$(details_of "$dir/over.txt" "=> 127.000.000.001:$port ")
expect_line() {  # WHAT DETAILS REGEX
  if ! grep -Eq "$3" <<<"$2"; then
    echo "FAIL: $1: no line matching '$3' in:"
    echo "$2"
    fail=1
  fi
}
expect_line "receiver bytes" "$receiver_details" "^Bytes received: $counted bytes"
expect_line "sender bytes" "$sender_details" "^Bytes sent: $sent bytes"
expect_line "receiver user" "$receiver_details" "^User: root \(0\)$"
expect_line "sender user" "$sender_details" "^User: nobody \($nobody\)$"
expect_line "receiver process" "$receiver_details" "^Process: $receiver .*paced_transfer"
expect_line "sender process" "$sender_details" "^Process: $sender .*paced_transfer"
[ "$counted" = "$((rate / 100 * seconds * 100))" ] || { echo "FAIL: the receiver counted $counted"; fail=1; }

[ $fail = 0 ] && echo "PASS"
exit $fail
