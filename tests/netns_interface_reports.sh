#!/usr/bin/env bash
# In network and mount namespaces of its own: a veth pair, one end (tsl0)
# with the hardware address 00:1a:2b:3c:4d:5e, two IPv4 addresses and a
# dhclient lease, the other end (tsl1) up without addresses, and lo up.  The
# interface and adapter reports must show exactly these links, with the
# expansion the reports give them, the same lines through `tessaline
# --print`, and counters equal to what `ip -s link` shows, before and after
# traffic crosses the pair.  Needs root, ip and namespaces; skips (77)
# elsewhere.
#
#   netns_interface_reports.sh TESSALINE_BIN REPORT_DUMP_BIN
set -euo pipefail
tessaline=$1
dump=$2

if [ "${3:-}" != --in-namespace ]; then
  if [ "$EUID" -ne 0 ]; then
    echo "skipped: needs root to create network and mount namespaces"
    exit 77
  fi
  for tool in unshare ip mount; do
    if ! command -v "$tool" >/dev/null; then
      echo "skipped: $tool is not available"
      exit 77
    fi
  done
  if ! unshare -n -m true 2>/dev/null; then
    echo "skipped: unshare cannot create network and mount namespaces here"
    exit 77
  fi
  exec unshare -n -m --propagation private bash "$0" "$tessaline" "$dump" --in-namespace
fi

# ---------------------------------------------- inside the new namespaces
unset TESSALINE_LIBRARY_PATH  # the provider next to the program
export TZ=UTC LC_ALL=C.UTF-8
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The machine's DHCP leases are hidden behind an empty /var/lib of this
# mount namespace, which holds the test's own lease instead.
mount -t tmpfs tessaline-test /var/lib
mkdir -p /var/lib/dhcp
cat >/var/lib/dhcp/dhclient.leases <<'LEASE'
lease {
  interface "tsl0";
  fixed-address 10.77.0.1;
  option subnet-mask 255.255.255.0;
  option dhcp-lease-time 3600;
  option dhcp-server-identifier 10.77.0.254;
  renew 2 2026/12/08 10:30:00;
  rebind 2 2026/12/08 10:52:30;
  expire 2 2026/12/08 11:00:00;
}
LEASE

# No IPv6: its neighbour discovery would move the counters on its own.
echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6 2>/dev/null || true
echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 2>/dev/null || true
ip link set lo up
ip link add tsl0 type veth peer name tsl1
ip link set tsl0 address 00:1a:2b:3c:4d:5e
ip addr add 10.77.0.1/24 dev tsl0
ip addr add 10.78.0.1/16 dev tsl0
ip link set tsl0 up
ip link set tsl1 up
for _ in $(seq 1 50); do
  ip link show tsl1 | grep -q LOWER_UP && ip link show tsl0 | grep -q LOWER_UP && break
  sleep 0.1
done

# Links in index order, and the bare end's own hardware address.
mapfile -t links < <(ip -o link show | sed -E 's/^[0-9]+: ([^:@]+).*/\1/')
tsl1_mac=$(ip -o link show tsl1 | sed -E 's/.*link\/ether ([0-9a-f:]+).*/\1/')

# The DNS servers the adapters list: this namespace is not the one the
# system's network managers keep per-link state for, so the machine's
# servers, as the network configuration report lists them.
mapfile -t servers < <("$tessaline" --print network | sed -n '/^  Available DNS Servers$/,$p' | sed -n 's/^    //p')
[ ${#servers[@]} -gt 0 ] || servers=("")

# An expected line: depth, flags ("+" expanded, "B" bold), text.
emit() {
  printf '%*s%s %s\n' $((2 * $1)) '' "$2" "$3"
}

# Counter lines other than AdminStatus and OperStatus hold a number that
# moves; they are compared with ip -s link further on.
normalise() {
  sed -E 's/^( +(LastChange|In[A-Za-z]+|Out[A-Za-z]+) *: ) *-?[0-9]+$/\1N/'
}

interface_block() {  # name flags type status mac mtu speed
  emit 1 "$2" "$1"
  emit 2 "" "Type: $3"
  emit 2 "" "OperationalStatus: $4"
  emit 2 "" "MACAddr: $5"
  emit 2 "" "MTUSize: $6"
  emit 2 "" "Speed: $7"
  emit 2 "$2" "Statistics"
  emit 3 "" "AdminStatus    :          1"
  emit 3 "" "OperStatus     :          5"
  local label
  for label in LastChange InOctets InUcastPkts InNUcastPkts InDiscards InErrors InUnknownProtos \
    OutOctets OutUcastPkts OutNUcastPkts OutDiscards OutErrors OutQLen; do
    emit 3 "" "$(printf '%-15s: N' "$label")"
  done
}

adapter_block() {  # name
  if [ "$1" = tsl0 ]; then
    emit 1 + tsl0
    emit 2 "" "Type: ETHERNET"
    emit 2 "" "HW Addr: 00:1a:2b:3c:4d:5e:00:00"
    emit 2 "" "OS Name: tsl0"
    emit 2 + "IP Addresses"
    emit 3 "" "10.77.0.1 - Mask: 255.255.255.0"
    emit 3 "" "10.78.0.1 - Mask: 255.255.0.0"
    emit 2 "" "DHCP Server: 10.77.0.254"
    emit 3 "" "Lease Obtained: Tue Dec 08 10:00:00 2026"
    emit 3 "" "Lease Expires: Tue Dec 08 11:00:00 2026"
  else
    emit 1 "" tsl1
    emit 2 "" "Type: ETHERNET"
    emit 2 "" "HW Addr: $tsl1_mac:00:00"
    emit 2 "" "OS Name: tsl1"
    emit 2 "" "IP Addresses"
    emit 3 "" "0.0.0.0 - Mask: 0.0.0.0"
  fi
  emit 2 "" "DNS Servers"
  local s
  for s in "${servers[@]}"; do emit 3 "" "${s:-[UNKNOWN]}"; done
}

expected_interfaces() {
  emit 0 +B "Interface List"
  local name
  for name in "${links[@]}"; do
    case $name in
      lo) interface_block lo "" LOOPBACK OPERATIONAL 00:00:00:00:00:00 65536 0 ;;
      # A veth link reports 10 Gbit/s, beyond the 32-bit field: all ones.
      tsl0) interface_block tsl0 + ETHERNET OPERATIONAL 00:1a:2b:3c:4d:5e 1500 -1 ;;
      tsl1) interface_block tsl1 + ETHERNET OPERATIONAL "$tsl1_mac" 1500 -1 ;;
    esac
  done
}

expected_adapters() {
  emit 0 +B "Adapter List"
  local name
  for name in "${links[@]}"; do
    [ "$name" = lo ] || adapter_block "$name"
  done
}

compare() {  # what expected actual
  if [ "$2" != "$3" ]; then
    fail "$1 differs from what is expected:"
    diff <(echo "$2") <(echo "$3") || true
  fi
}

# The report with its expansion, and the same lines through --print.
check_report() {  # kind expected normalise?
  local dumped printed
  dumped=$("$dump" "$1")
  printed=$("$tessaline" --print "$1")
  compare "--print $1" "$(sed -E 's/^( *)[+B]* /\1/' <<<"$dumped")" "$printed"
  if [ "$3" = yes ]; then dumped=$(normalise <<<"$dumped"); fi
  compare "report $1" "$2" "$dumped"
}

check_report 16 "$(expected_interfaces)" yes
check_report 15 "$(expected_adapters)" no

# The counters of a link as the interface report gives them, from the
# report in $report (or a new one).
counter() {  # link label [report]
  local text=${3:-$("$tessaline" --print interfaces)}
  awk -v link="  $1" -v label="$2" '
      $0 == link { inside = 1; next }
      /^  [^ ]/ { inside = 0 }
      inside && index($0, "      " label) == 1 { sub(/.*: */, ""); print; exit }' <<<"$text"
}

# What ip -s link shows: RX and TX bytes, packets and multicast.
ip_counts() {  # link
  ip -s link show dev "$1" | awk '$1 == "RX:" || $1 == "TX:" { getline; printf "%s %s %s ", $1, $2, $6 }'
}

# The report's counters equal ip's, read while nothing moved: the kernel may
# still be retrying its address question, so a reading that a packet
# crossed is taken again (bounded).
check_counters() {  # link
  local before after report attempt
  for attempt in $(seq 1 30); do
    before=$(ip_counts "$1")
    report=$("$tessaline" --print interfaces)
    after=$(ip_counts "$1")
    [ "$before" = "$after" ] && break
    sleep 0.2
  done
  local rx_bytes rx_packets rx_mcast tx_bytes tx_packets tx_mcast
  read -r rx_bytes rx_packets rx_mcast tx_bytes tx_packets tx_mcast <<<"$after"
  local got
  got="$(counter "$1" InOctets "$report") $(counter "$1" InUcastPkts "$report") $(counter "$1" InNUcastPkts "$report")"
  got+=" $(counter "$1" OutOctets "$report") $(counter "$1" OutUcastPkts "$report")"
  local want="$rx_bytes $((rx_packets - rx_mcast)) $rx_mcast $tx_bytes $tx_packets"
  [ "$got" = "$want" ] || fail "$1 counters in, unicast, multicast, out, out unicast: $got; ip says $want"
}

before_out=$(counter tsl0 OutOctets)
before_in=$(counter tsl1 InOctets)
# A datagram to a neighbour that does not exist: tsl0 asks for its address,
# and the question arrives at tsl1.
for _ in 1 2 3; do
  (echo probe >/dev/udp/10.77.0.2/9) 2>/dev/null || true
  sleep 0.3
done
after_out=$(counter tsl0 OutOctets)
after_in=$(counter tsl1 InOctets)
[ "$after_out" -gt "$before_out" ] || fail "tsl0 OutOctets did not move: $before_out then $after_out"
[ "$after_in" -gt "$before_in" ] || fail "tsl1 InOctets did not move: $before_in then $after_in"
check_counters tsl0
check_counters tsl1

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "interface and adapter reports match the namespace's links"
