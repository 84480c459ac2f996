# Sourced by the namespace tests that check the socket reports against the
# sockets a holder program opens: entering a network namespace of their own,
# and starting the holder there with its output in a file and its end by pid.

# Runs the calling script again inside a new network namespace, with its two
# arguments and --in-namespace; exits 77 (skipped) where that cannot be done.
netns_enter() {  # SCRIPT ARG1 ARG2
  if [ "$EUID" -ne 0 ]; then
    echo "skipped: needs root to create a network namespace"
    exit 77
  fi
  for tool in unshare ss ip; do
    if ! command -v "$tool" >/dev/null; then
      echo "skipped: $tool is not available"
      exit 77
    fi
  done
  if ! unshare -n true 2>/dev/null; then
    echo "skipped: unshare -n cannot create a network namespace here"
    exit 77
  fi
  exec unshare -n bash "$1" "$2" "$3" --in-namespace
}

# Inside the namespace: loopback up, the holder started (with its
# arguments) with its standard output in $out and its pid in $holder_pid,
# both cleaned up on exit.
netns_start_holder() {  # HOLDER [ARGUMENT...]
  unset TESSALINE_LIBRARY_PATH  # the provider next to the program
  ip link set lo up
  out=$(mktemp)
  holder_pid=
  trap netns_cleanup EXIT
  trap 'exit 1' INT TERM HUP
  "$@" >"$out" </dev/null &
  holder_pid=$!
}

netns_cleanup() {
  if [ -n "$holder_pid" ]; then
    kill "$holder_pid" 2>/dev/null || true
    wait "$holder_pid" 2>/dev/null || true
  fi
  rm -f "$out"
}
