#!/usr/bin/env bash
# A demo without the hardware: the simulated instrument on the program's
# compiled-in instrument address, both in private network namespaces joined
# by a virtual cable, and the real program's window on your display.
# Nothing reaches your own network. Needs root, for the namespaces.
#   sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR ./tools/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh needs root to create network namespaces; run it as:" >&2
  echo "  sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR $0" >&2
  exit 1
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo.sh: no display (DISPLAY or WAYLAND_DISPLAY) to show the window on" >&2
  exit 1
fi

build=${BUILD_DIR:-build}
./build.sh build >/dev/null
instrument=$(sed -n 's/^VANTREL_INSTRUMENT_ADDRESS:STRING=//p' "$build/CMakeCache.txt")
# The program's side: the same /24, another host number.
last=${instrument##*.}
program_address="${instrument%.*}.$(( last == 10 ? 11 : 10 ))"

tag="vtdemo$$"
app_ns="$tag-app" sim_ns="$tag-sim"
sim_pid="" app_pid=""
cleanup() {
  trap - EXIT INT TERM
  for pid in $app_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done
  ip netns pids "$app_ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  ip netns pids "$sim_ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  ip netns delete "$app_ns" 2>/dev/null || true
  ip netns delete "$sim_ns" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$app_ns"
ip netns add "$sim_ns"
ip link add "${tag}a" netns "$app_ns" type veth peer name "${tag}s" netns "$sim_ns"
ip -n "$app_ns" addr add "$program_address/24" dev "${tag}a"
ip -n "$sim_ns" addr add "$instrument/24" dev "${tag}s"
for ns in "$app_ns" "$sim_ns"; do
  ip -n "$ns" link set lo up
done
ip -n "$app_ns" link set "${tag}a" up
ip -n "$sim_ns" link set "${tag}s" up

ip netns exec "$sim_ns" "$build/tools/vantrel-sim" --address "$instrument" \
  --run-time 20-60 --delay 2 &
sim_pid=$!
sleep 0.5

echo "Instrument simulated at $instrument; close the window or press Ctrl+C to end."
# In the background, so that a signal to this script is handled at once.
ip netns exec "$app_ns" "$build/app/vantrel-speedtest" &
app_pid=$!
wait "$app_pid"
