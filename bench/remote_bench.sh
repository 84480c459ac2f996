#!/usr/bin/env bash
# Another host through SSH over a link of 50 ms round trip (25 ms each way
# on a veth pair between two network namespaces of the bench's own: netem,
# or a relay that holds each chunk where the kernel has no netem) with 2,000 TCP sockets open there (1,000 loopback connections):
#
#   - the wall time of `tessaline --remote HOST --print all` (connection,
#     one capture, every report), against what a user would run instead
#     over the same link: `ssh HOST` with ss, ip and the counter files;
#   - one refresh: the time and the bytes of one capture through the open
#     connection, as the window and --watch take one every 2 s;
#   - the bytes on the link per refresh while --watch runs.
#
#   remote_bench.sh TESSALINE_BIN CAPTURE_BENCH_BIN [RUNS]
# Needs root, unshare, nsenter, tc (netem), sshd and python3.
set -euo pipefail
tessaline=$(realpath "$1")
capture_bench=$(realpath "$2")
runs=${3:-5}

if [ "${4:-}" != --in-namespace ]; then
  [ "$EUID" -eq 0 ] || { echo "needs root"; exit 1; }
  exec unshare -n bash "$0" "$tessaline" "$capture_bench" "$runs" --in-namespace
fi

. "$(dirname "$(realpath "$0")")/../tests/remote_host.sh"
ip link set lo up
dir=$(mktemp -d)
chmod 700 "$dir"
server= server_ns= holder= watcher= relay=
cleanup() {
  local pid
  for pid in $watcher $holder $relay; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  remote_host_stop
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$dir/user_key"
cp "$dir/user_key.pub" "$dir/authorized_keys"
remote_host_start "$dir" 10.202.0.1 10.202.0.2

# 25 ms each way: netem where the kernel has it, else a relay in front of
# the link that holds every chunk 25 ms in each direction.
target=10.202.0.2
if tc qdisc add dev tslc root netem delay 25ms 2>/dev/null && in_server tc qdisc add dev tsls root netem delay 25ms; then
  delay="netem"
else
  /usr/bin/python3 -c '
import asyncio, socket
DELAY = 0.025
async def pump(reader, writer):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()
    async def deliver():
        while True:
            due, data = await queue.get()
            await asyncio.sleep(max(0, due - loop.time()))
            if data is None:
                writer.close(); return
            writer.write(data); await writer.drain()
    task = asyncio.create_task(deliver())
    while True:
        data = await reader.read(65536)
        await queue.put((loop.time() + DELAY, data or None))
        if not data:
            break
    await task
async def handle(r1, w1):
    r2, w2 = await asyncio.open_connection("10.202.0.2", 22)
    for w in (w1, w2):
        w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    await asyncio.gather(pump(r1, w2), pump(r2, w1), return_exceptions=True)
async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", 2222)
    print("relaying", flush=True)
    await server.serve_forever()
asyncio.run(main())' >"$dir/relay.out" 2>&1 &
  relay=$!
  for _ in $(seq 1 50); do grep -q relaying "$dir/relay.out" 2>/dev/null && break; sleep 0.1; done
  target=bench-host
  delay="a relay holding each chunk 25 ms each way (this kernel has no netem)"
fi

echo "10.202.0.2 $(cut -d' ' -f1,2 "$dir/host_key.pub")" >"$dir/known_hosts"
cat >"$dir/ssh_config" <<EOF
Host bench-host
  HostName 127.0.0.1
  Port 2222
  HostKeyAlias 10.202.0.2
Host *
  User root
  IdentityFile $dir/user_key
  IdentitiesOnly yes
  StrictHostKeyChecking yes
  GlobalKnownHostsFile /dev/null
  UserKnownHostsFile $dir/known_hosts
EOF
ssh_cmd="ssh -F $dir/ssh_config -o BatchMode=yes"
for _ in $(seq 1 50); do $ssh_cmd "$target" true 2>/dev/null && break; sleep 0.2; done

nsenter -t "$server" -n -m /usr/bin/python3 -c '
import socket, time
server = socket.socket(); server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 48000)); server.listen(2048)
keep = []
for _ in range(1000):
    c = socket.create_connection(("127.0.0.1", 48000)); a, _ = server.accept(); keep += [c, a]
print("open", flush=True); time.sleep(600)' >"$dir/holder.out" &
holder=$!
for _ in $(seq 1 100); do grep -q open "$dir/holder.out" 2>/dev/null && break; sleep 0.1; done
t0=$(date +%s%N); $ssh_cmd "$target" true; t1=$(date +%s%N)
echo "delay: $delay; sockets there: $(in_server ss -tan | tail -n +2 | wc -l) TCP; one ssh login and command: $(((t1 - t0) / 1000000)) ms"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ms() { date +%s%N; }
export TESSALINE_SSH_COMMAND="$ssh_cmd"

: >"$dir/tessaline.ms"; : >"$dir/ssh.ms"
for _ in $(seq 1 "$runs"); do
  t0=$(ms)
  "$tessaline" --remote "$target" --print all >/dev/null
  t1=$(ms)
  $ssh_cmd "$target" 'ss -tanp; ss -uanp; ip -s link; ip addr; cat /proc/net/snmp /proc/net/snmp6' >/dev/null
  t2=$(ms)
  echo $(((t1 - t0) / 1000000)) >>"$dir/tessaline.ms"
  echo $(((t2 - t1) / 1000000)) >>"$dir/ssh.ms"
done
t=$(median <"$dir/tessaline.ms"); s=$(median <"$dir/ssh.ms")
echo "--print all --remote: ${t} ms (median of $runs); ssh with ss, ip and the counter files: ${s} ms; ratio $(awk -v a="$t" -v b="$s" 'BEGIN { printf "%.2f", a / b }')"

# Refreshes through one open connection, each timed, with their bytes.
"$capture_bench" "$target" "$runs"

# The link's bytes per refresh while --watch takes one every 2 s.
bytes() { in_server sh -c "echo \$((\$(cat /sys/class/net/tsls/statistics/rx_bytes) + \$(cat /sys/class/net/tsls/statistics/tx_bytes)))"; }
"$tessaline" --remote "$target" --watch >/dev/null 2>&1 &
watcher=$!
sleep 5
b0=$(bytes)
sleep 20
b1=$(bytes)
kill -INT "$watcher"; wait "$watcher" 2>/dev/null || true; watcher=
echo "bytes on the link per refresh (--watch, 10 refreshes in 20 s): $(((b1 - b0) / 10))"
