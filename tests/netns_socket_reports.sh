#!/usr/bin/env bash
# In a network namespace of its own, with the sockets that socket_holder
# opens on loopback, `tessaline --print tcp` and `--print udp` must show
# exactly those sockets with their owners, and as many lines as `ss` lists
# sockets.  Needs root, ss, ip and network namespaces; skips (77) elsewhere.
#
#   netns_socket_reports.sh TESSALINE_BIN SOCKET_HOLDER_BIN
set -euo pipefail
tessaline=$1
holder=$2

. "$(dirname "${BASH_SOURCE[0]}")/netns_holder.sh"

if [ "${3:-}" != --in-namespace ]; then
  netns_enter "$0" "$tessaline" "$holder"
fi

# ---------------------------------------------- inside the new namespace
netns_start_holder "$holder"

# "ready LISTEN UDP CLIENT TIME_WAIT", within 10 s.
word= listen_port= udp_port= client_port= timewait_port=
for _ in $(seq 1 100); do
  if read -r word listen_port udp_port client_port timewait_port <"$out" 2>/dev/null && [ "$word" = ready ]; then
    break
  fi
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
echo "holder pid $holder_pid: listener $listen_port, udp $udp_port, client $client_port, time-wait $timewait_port"

label=$(printf 'PID %5d : socket_holder' "$holder_pid")
kernel='PID     0 : NT Kernel & System'
# A local or remote end on loopback, the port padded on the right to 6.
ep() { printf '127.000.000.001:%-6s' "$1"; }

# TCP: the lines keyed by local port and remote port, the order they show in.
expected_tcp=$(
  {
    echo "$listen_port 0|  $(ep "$listen_port") => 000.000.000.000:0      [      LISTENING: $label ]"
    echo "$listen_port $client_port|  $(ep "$listen_port") => $(ep "$client_port") [    ESTABLISHED: $label ]"
    echo "$client_port $listen_port|  $(ep "$client_port") => $(ep "$listen_port") [    ESTABLISHED: $label ]"
    echo "$timewait_port $listen_port|  $(ep "$timewait_port") => $(ep "$listen_port") [      TIME_WAIT: $kernel ]"
  } | sort -k1,1n -k2,2n | cut -d'|' -f2-
)
expected_tcp=$(printf 'TCP Connections\n%s' "$expected_tcp")
expected_udp=$(printf 'UDP Connections\n  IP:: 127.000.000.001:%-5s [ %s ]' "$udp_port" "$label")

failed=0
check() {  # KIND EXPECTED SS_OPTIONS
  local kind=$1 expected=$2 ss_options=$3 actual lines sockets
  actual=$("$tessaline" --print "$kind")
  if [ "$actual" != "$expected" ]; then
    echo "FAIL: tessaline --print $kind"
    diff -u <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
    failed=1
  fi
  lines=$(printf '%s\n' "$actual" | grep -c '^  ' || true)
  sockets=$(ss "$ss_options" | tail -n +2 | wc -l)
  if [ "$lines" -ne "$sockets" ]; then
    echo "FAIL: $kind shows $lines sockets, ss $ss_options lists $sockets"
    ss "$ss_options"
    failed=1
  else
    echo "ok: $kind, $lines sockets"
  fi
}
check tcp "$expected_tcp" -tan4
check udp "$expected_udp" -uan4
exit "$failed"
