# Sourced by the remote test and the remote bench: OpenSSH's server in a
# network and mount namespace of its own, reached over a veth pair from the
# caller's namespace.  Its /sys is mounted again so that it shows that
# network's links, and this machine's root shell start-up file is hidden
# there (every command over SSH runs it; here it takes a second).

# remote_host_start DIR CLIENT_ADDRESS SERVER_ADDRESS
# DIR holds host_key and authorized_keys.  Sets $server (sshd's pid, which
# is the namespaces' first process) and $server_ns; the caller's end of the
# link is tslc, the server's tsls, both /24.
remote_host_start() {
  local dir=$1 client=$2 address=$3
  cat >"$dir/sshd_config" <<CONFIG
ListenAddress 0.0.0.0
Port 22
HostKey $dir/host_key
AuthorizedKeysFile $dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile none
MaxSessions 100
CONFIG
  mkdir -p /run/sshd
  unshare -n -m --propagation private bash -c \
    "mount -t sysfs sysfs /sys && { [ ! -f ~/.bashrc ] || mount --bind /dev/null ~/.bashrc; } && ip link set lo up && exec /usr/sbin/sshd -D -e -f '$dir/sshd_config'" \
    2>"$dir/sshd.log" &
  server=$!
  local _
  for _ in $(seq 1 50); do
    [ "$(readlink /proc/$server/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.1
  done
  server_ns=$(readlink /proc/$server/ns/net)
  ip link add tslc type veth peer name tsls netns "$server"
  ip addr add "$client/24" dev tslc
  ip link set tslc up
  in_server ip addr add "$address/24" dev tsls
  in_server ip link set tsls up
}

in_server() { nsenter -t "$server" -n -m "$@"; }

# Ends what sshd started for the connections (each found by its namespace),
# then sshd.
remote_host_stop() {
  local pid
  if [ -n "${server:-}" ] && [ -n "${server_ns:-}" ]; then
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
      [ "$pid" != "$server" ] && [ "$(readlink /proc/$pid/ns/net 2>/dev/null)" = "$server_ns" ] &&
        kill "$pid" 2>/dev/null || true
    done
  fi
  if [ -n "${server:-}" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
}
