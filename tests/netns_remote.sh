#!/usr/bin/env bash
# Another host through SSH.  OpenSSH's server runs in a network and mount
# namespace of the test's own (with its own /sys), reached over a veth pair
# from a second namespace where the program runs, with a host key, user keys
# and a known-hosts file made here.  `tessaline --remote` must report that
# namespace as `tessaline --print` run inside it does: the same sockets with
# the same owners, the same configuration, addresses and protocols, and
# counters between two local readings taken around it.  A host key that is
# not the known one is refused; a host that answers garbage, or stops in
# the middle of its answer, gives a clear error.  A program ended by
# SIGKILL leaves no ssh master behind.  Needs root, unshare,
# nsenter, sshd and python3; skips (77) elsewhere.
#
#   netns_remote.sh TESSALINE_BIN
set -euo pipefail
[ -n "${TESSALINE_TRACE:-}" ] && set -x
tessaline=$(realpath "$1")

if [ "${2:-}" != --in-namespace ]; then
  if [ "$EUID" -ne 0 ]; then echo "skipped: needs root"; exit 77; fi
  for tool in unshare nsenter ip ssh ssh-keygen /usr/sbin/sshd /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  unshare -n true 2>/dev/null || { echo "skipped: no network namespaces here"; exit 77; }
  exec unshare -n bash "$0" "$tessaline" --in-namespace
fi

# ------------------------------------------ the client's own namespace
. "$(dirname "${BASH_SOURCE[0]}")/remote_host.sh"
unset TESSALINE_LIBRARY_PATH
ip link set lo up
dir=$(mktemp -d)
chmod 700 "$dir"
server= server_ns= holder= watcher= opener= killed= master= killed_folder=
cleanup() {
  local pid
  for pid in $watcher $opener $holder $killed; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -z "$master" ] || kill -KILL -- "-$master" 2>/dev/null || true
  [ -z "$killed_folder" ] || rm -rf "$killed_folder"
  remote_host_stop
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "FAIL: $*"; exit 1; }

ssh-keygen -q -t ed25519 -N '' -C host -f "$dir/host_key"
ssh-keygen -q -t ed25519 -N '' -C other -f "$dir/other_host_key"
for key in good garbage cut; do ssh-keygen -q -t ed25519 -N '' -C "$key" -f "$dir/$key"; done
{
  cat "$dir/good.pub"
  echo "command=\"echo this is not what was asked for\" $(cat "$dir/garbage.pub")"
  echo "command=\"sh -s | head -c 3000\" $(cat "$dir/cut.pub")"
} >"$dir/authorized_keys"
remote_host_start "$dir" 10.201.0.1 10.201.0.2
# Ping sockets allowed there, so that a probe inside lists ICMP as the
# kernel's registration does.
in_server sysctl -q -w net.ipv4.ping_group_range="0 2147483647"

echo "10.201.0.2 $(cut -d' ' -f1,2 "$dir/host_key.pub")" >"$dir/known_hosts"
echo "10.201.0.2 $(cut -d' ' -f1,2 "$dir/other_host_key.pub")" >"$dir/wrong_known_hosts"
cat >"$dir/ssh_config" <<EOF
Host *
  User root
  IdentitiesOnly yes
  StrictHostKeyChecking yes
  GlobalKnownHostsFile /dev/null
  UserKnownHostsFile $dir/known_hosts
EOF
export TESSALINE_SSH_COMMAND="ssh -F $dir/ssh_config -i $dir/good"
for _ in $(seq 1 50); do
  ssh -F "$dir/ssh_config" -i "$dir/good" -o BatchMode=yes -o ConnectTimeout=2 10.201.0.2 true 2>/dev/null && break
  sleep 0.2
done

# The link up, with its IPv6 link-local address past duplicate detection.
for _ in $(seq 1 100); do
  state=$(in_server ip -6 -o addr show dev tsls scope link)
  [ -n "$state" ] && [[ "$state" != *tentative* ]] && in_server ip -o link show tsls | grep -q LOWER_UP && break
  sleep 0.1
done

# A process with a socket there, whose owner both readings must name.
nsenter -t "$server" -n -m /usr/bin/python3 -c '
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 47777)); s.listen()
u = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); u.bind(("::1", 47778))
d = socket.socket(socket.AF_INET6); d.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
d.bind(("::", 47779)); d.listen()
print("listening", flush=True); time.sleep(120)' >"$dir/holder.out" &
holder=$!
for _ in $(seq 1 50); do grep -q listening "$dir/holder.out" 2>/dev/null && break; sleep 0.1; done

# --------------------------------------------------------- the readings
kinds="network adapters interfaces protocols ip icmp tcp-stats udp-stats ip6 tcp udp tcp6 udp6 listening"
in_server "$tessaline" --print all --format json >"$dir/before.json"
"$tessaline" --remote 10.201.0.2 --print all --format json >"$dir/remote.json" 2>"$dir/remote.err" ||
  fail "--remote --print all: $(cat "$dir/remote.err")"
in_server "$tessaline" --print all --format json >"$dir/after.json"
for kind in tcp udp6 listening; do
  in_server "$tessaline" --print $kind --format json >"$dir/local-$kind.json"
  "$tessaline" --remote 10.201.0.2 --print $kind --format json >"$dir/remote-$kind.json" ||
    fail "--remote --print $kind"
done
# Text as the panes show it: the configuration and the adapters alike.
for kind in network adapters; do
  in_server "$tessaline" --print $kind >"$dir/local-$kind.txt"
  "$tessaline" --remote 10.201.0.2 --print $kind >"$dir/remote-$kind.txt"
  diff -u "$dir/local-$kind.txt" "$dir/remote-$kind.txt" || fail "--print $kind differs"
done
# A dual-stack listener alone on its port is marked from the host's files
# (its system default) as the kernel's own flag marks it here.
in_server "$tessaline" --print listening | grep -q ':47779 .*(IPv4 and IPv6)' ||
  fail "the local dual-stack listener is not marked"
"$tessaline" --remote 10.201.0.2 --print listening | grep -q ':47779 .*(IPv4 and IPv6)' ||
  fail "the remote dual-stack listener is not marked"

/usr/bin/python3 - "$dir" <<'PYEOF' || fail "the remote records differ from the local ones"
import json, sys
d = sys.argv[1]
load = lambda name: json.load(open(f"{d}/{name}"))
before, remote, after = load("before.json"), load("remote.json"), load("after.json")
problems = []
# Counters: between the two local readings.  The gauges of open sockets
# move with the SSH connection itself.
gauges = {"CurrEstab", "NumConns", "NumAddrs"}
for kind in ["ip", "icmp", "tcp-stats", "udp-stats", "ip6", "icmp6", "udp6-stats"]:
    for field, value in remote[kind][0].items():
        low, high = sorted((before[kind][0][field], after[kind][0][field]))
        if field in gauges:
            low, high = low - 3, high + 3
        if not low <= value <= high:
            problems.append(f"{kind}.{field}: {value} not within [{low}, {high}]")
# Records without counters: equal.
for kind in ["network", "adapters", "addresses"]:
    if remote[kind] != before[kind]:
        problems.append(f"{kind}: {remote[kind]} != {before[kind]}")
counters = {"ipackets", "opackets", "ibytes", "obytes", "ierrors", "oerrors", "idrops", "odrops"}
strip = lambda rows: [{k: v for k, v in r.items() if k not in counters} for r in rows]
if strip(remote["interfaces"]) != strip(before["interfaces"]):
    problems.append(f"interfaces: {strip(remote['interfaces'])} != {strip(before['interfaces'])}")
for b, r, a in zip(before["interfaces"], remote["interfaces"], after["interfaces"]):
    for field in counters:
        if not b[field] <= r[field] <= a[field]:
            problems.append(f"interfaces {r['interface']}.{field}: {r[field]} not within [{b[field]}, {a[field]}]")
key = lambda r: (r["name"], r["address_family"], r["socket_type"], r["protocol"])
if sorted(map(key, remote["protocols"])) != sorted(map(key, before["protocols"])):
    problems.append("protocols differ")
# Sockets: the holder's, with its owner, in both; every listener alike.
for kind in ["tcp", "udp6", "listening"]:
    local, there = load(f"local-{kind}.json")[kind], load(f"remote-{kind}.json")[kind]
    if kind == "listening":
        if local != there:
            problems.append(f"listening: {there} != {local}")
        continue
    port = 47777 if kind == "tcp" else 47778
    mine = lambda rows: [r for r in rows if r["local_port"] == port]
    if not mine(local) or mine(local) != mine(there) or not mine(there)[0]["path"].startswith("/"):
        problems.append(f"{kind}: {mine(there)} != {mine(local)}")
print("\n".join(problems))
sys.exit(1 if problems else 0)
PYEOF

# --watch: a socket opened there is seen at the next refresh, with its owner.
"$tessaline" --remote 10.201.0.2 --watch tcp >"$dir/watch.out" 2>"$dir/watch.err" &
watcher=$!
sleep 3
nsenter -t "$server" -n -m /usr/bin/python3 -c '
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 47790)); s.listen(); time.sleep(5)' &
opener=$!
for _ in $(seq 1 80); do grep -q "opened .*127.0.0.1:47790 .*python" "$dir/watch.out" && break; sleep 0.1; done
kill -INT "$watcher"; wait "$watcher" || fail "--watch exited with status $?"
kill "$opener" 2>/dev/null || true; wait "$opener" 2>/dev/null || true
grep -q "opened .*127.0.0.1:47790 .*python" "$dir/watch.out" || fail "--watch: $(cat "$dir/watch.out" "$dir/watch.err")"

# ------------------------------------------------ killed, the master ends
# The program killed by SIGKILL has no time to end its master: the master's
# watcher ends the master's process group (ssh, under the shell that
# TESSALINE_SSH_COMMAND runs) within a bounded time.  Orphans that nobody
# reaps stay as zombies: only the live members count.
live_in_group() { ps -eo pgid=,stat=,pid=,args= | awk -v g="$1" '$1 == g && $2 !~ /^Z/'; }
"$tessaline" --remote 10.201.0.2 --watch tcp >/dev/null 2>"$dir/killed.err" &
killed=$!
for _ in $(seq 1 100); do
  for pid in $(ps -o pid= --ppid "$killed"); do
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qx -- '-M' && master=$pid
  done
  [ -n "$master" ] && break
  sleep 0.1
done
[ -n "$master" ] || fail "no ssh master under the program: $(cat "$dir/killed.err")"
# Its private folder, which a program killed so leaves behind: the test's to
# remove.
killed_folder=$(tr '\0' '\n' <"/proc/$master/cmdline" | grep -A1 -x -- '-S' | tail -n 1)
killed_folder=${killed_folder%/ssh-control}
case $killed_folder in /*/tessaline-remote-??????) ;; *) killed_folder= ;; esac
for _ in $(seq 1 100); do  # connected: the first capture is taken through it
  in_server ss -Htn state established '( sport = :22 )' | grep -q . && break
  sleep 0.1
done
sleep 1
[ -n "$(live_in_group "$master")" ] || fail "the master ended before the program was killed"
kill -KILL "$killed"; wait "$killed" 2>/dev/null || true; killed=
for _ in $(seq 1 50); do [ -n "$(live_in_group "$master")" ] || break; sleep 0.1; done
[ -z "$(live_in_group "$master")" ] ||
  fail "the ssh master outlived the program killed by SIGKILL: $(live_in_group "$master")"
master=

# ------------------------------------------------------------- refusals
expect_error() {  # WHAT PATTERN
  local status=0
  "$tessaline" --remote 10.201.0.2 --print ip >"$dir/out" 2>"$dir/err" || status=$?
  [ "$status" -eq 3 ] || fail "$1: exit status $status, not 3"
  [ ! -s "$dir/out" ] || fail "$1: printed a report"
  grep -q "$2" "$dir/err" || fail "$1: said '$(cat "$dir/err")', not '$2'"
}
TESSALINE_SSH_COMMAND="ssh -F $dir/ssh_config -i $dir/good -o UserKnownHostsFile=$dir/wrong_known_hosts" \
  expect_error "a host key not the known one" "Host key verification failed"
TESSALINE_SSH_COMMAND="ssh -F $dir/ssh_config -i $dir/garbage" \
  expect_error "an answer of garbage" "did not answer with a capture"
TESSALINE_SSH_COMMAND="ssh -F $dir/ssh_config -i $dir/cut" \
  expect_error "an answer that stops in the middle" "the answer was cut before its end"
echo "remote readings equal the local ones; --watch sees a new socket; the master ends with a killed program;" \
  "wrong key, garbage and a cut answer refused"
