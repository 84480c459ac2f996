#!/usr/bin/env bash
# In a network namespace of its own, with a veth pair and addresses chosen
# here, the interface, address and route counts of `tessaline --print ip`
# must equal what `ip` counts.  Needs root (CI runs as root); skips elsewhere.
set -euo pipefail
tessaline=$1
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! unshare -n true 2>/dev/null; then
  echo "skipped: needs root, ip and network namespaces"
  exit 77
fi
exec unshare -n bash -s "$tessaline" <<'INNER'
set -euo pipefail
tessaline=$1
value() { "$tessaline" --print ip | awk -v k="$1" '$1 == k { print $2 }'; }
check() {
  local want_if want_addr want_routes
  want_if=$(ip -o link | wc -l)
  want_addr=$(ip -4 -o addr | wc -l)
  want_routes=$(ip -4 route show table all | wc -l)
  [ "$(value NumIf)" = "$want_if" ] || { echo "NumIf $(value NumIf) != $want_if"; exit 1; }
  [ "$(value NumAddr)" = "$want_addr" ] || { echo "NumAddr $(value NumAddr) != $want_addr"; exit 1; }
  [ "$(value NumRoutes)" = "$want_routes" ] || { echo "NumRoutes $(value NumRoutes) != $want_routes"; exit 1; }
  echo "ok: $want_if interfaces, $want_addr addresses, $want_routes routes"
}
check                                   # lo alone, down
ip link set lo up
check
ip link add tsl0 type veth peer name tsl1
ip addr add 169.254.10.1/24 dev tsl0
ip addr add 169.254.11.1/24 dev tsl0
ip link set tsl0 up
ip link set tsl1 up
check
[ "$(value NumIf)" = 3 ] || { echo "expected 3 interfaces"; exit 1; }
INNER
