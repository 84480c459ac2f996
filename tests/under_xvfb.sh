#!/usr/bin/env bash
# Runs a command under an X server of its own (Xvfb) with one screen of the
# given size, through the toolkit's X platform: under_xvfb.sh WxH COMMAND...
# The server takes a free display number and is ended by its pid.  Exits 77
# (skipped) where no Xvfb is installed, else with the command's status.
set -u
size=$1
shift
if ! command -v Xvfb >/dev/null; then
  echo "skipped: Xvfb is not installed"
  exit 77
fi

ready=$(mktemp)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -f "$ready"
}
trap cleanup EXIT

# The server writes the display number it took on descriptor 3 once it
# accepts connections.
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset 3>"$ready" >/dev/null 2>&1 &
xvfb_pid=$!
display=
for _ in $(seq 1 100); do
  display=$(head -n 1 "$ready")
  [ -n "$display" ] && break
  if ! kill -0 "$xvfb_pid" 2>/dev/null; then
    echo "Xvfb did not start"
    exit 1
  fi
  sleep 0.1
done
if [ -z "$display" ]; then
  echo "Xvfb gave no display within 10 s"
  exit 1
fi

# The X keyboard library hands strndup a counted name without a final NUL,
# which the sanitizers' strict string checks take for an overflow; they stay
# on for everything else.
if [ -n "${ASAN_OPTIONS:-}" ]; then
  export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"
fi
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$@"
status=$?
exit $status
