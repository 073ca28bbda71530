#!/usr/bin/env bash
# Sets everything up and starts the console, with the terminal simulator on
# loopback as its terminal (the shipped config.xml points at 127.0.0.1:6688
# for TCP and 127.0.0.1:6689 for UDP).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/port-file.sh
sim_pid=""
port_file=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  [ -z "$port_file" ] || rm -f "$port_file"
}
trap cleanup EXIT

if [ -x build/bin/quillmark-sim ]; then
  port_file="$(mktemp)"
  rm -f "$port_file"
  build/bin/quillmark-sim --tcp 127.0.0.1:6688 --udp 127.0.0.1:6689 --port-file "$port_file" &
  sim_pid=$!
  # The console may connect as soon as it shows: wait until the simulator listens.
  if wait_port_file "$port_file" "$sim_pid"; then
    echo "Terminal simulator running on 127.0.0.1 (TCP 6688, UDP 6689); choose TCP and press 建立连接."
  else
    echo "The terminal simulator did not start (are ports 6688/6689 in use?); the console starts without it."
  fi
fi

status=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display here: starting the console under Xvfb (xvfb-run), where it runs but cannot be seen."
  xvfb-run -a build/bin/quillmark "$@" || status=$?
else
  build/bin/quillmark "$@" || status=$?
fi
exit "$status"
