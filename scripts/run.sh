#!/usr/bin/env bash
# The main job: sets up, builds, starts one simulated terminal in main-firmware
# mode on 127.0.0.1 and opens the configuration tool's window on it.
#
# The terminal's flash and option store are kept in $QUELMARK_DATA (default
# ~/.local/share/quelmark): flash.bin and quelmark-options.txt persist between
# runs. The window's default address 192.168.1.201 is redirected to the
# simulated terminal with VORDLIX_NET_MAP, so nothing ever leaves this machine;
# the boot updater's neighbour-cache flush ("Update") is replaced by a logger
# (QVEBUPD_ARP). Closing the window stops the terminal.
#
# Without a display the window is shown off screen: it runs one round of its
# own operations through its buttons (a preset, the serial number, the OEM
# identity, the voice, the diagnostics, a read), prints every message box and
# the option store before and after, and saves a picture of itself.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
bash scripts/build.sh

bin="$here/build/bin"
data="${QUELMARK_DATA:-${HOME:-/root}/.local/share/quelmark}"
mkdir -p "$data"
work=$(mktemp -d /tmp/quelmark-run.XXXXXX)
store="$data/quelmark-options.txt"

# The demo voice configuration beside the program; a file already there is kept.
if [ ! -f "$bin/voices.ini" ]; then
  printf '[QZX]\r\nVoices=7\r\n' >"$bin/voices.ini"
fi

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# One terminal: the ARM engine runs the boot loader, which starts the firmware
# stand-in from the flash; wall-clock time; a port the system chooses.
"$bin/quelmark-sim" --engine arm --time wall --udp 127.0.0.1:0 --flash "$data/flash.bin" \
  --options "$store" --pty-link "$work/com1" --panel-log "$work/panel.log" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out" | head -n1)
  [ -n "$port" ] && grep -q '^main firmware started' "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; echo "run: the simulated terminal did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "run: the simulated terminal did not report its port" >&2; exit 1; }
grep -q '^main firmware started' "$work/sim.out" ||
  echo "run: the terminal stays in loader mode (its flash holds no firmware: remove $data/flash.bin for a new one)" >&2
echo "Simulated terminal: 127.0.0.1:$port (UDP), serial line $work/com1"
echo "Flash: $data/flash.bin   Option store: $store"

cat >"$work/arp-log" <<ARP
#!/bin/sh
echo "neighbour-cache flush (simulated): ip \$*" >>"$work/arp.log"
ARP
chmod +x "$work/arp-log"
export QVEBUPD_ARP="$work/arp-log"
export VORDLIX_NET_MAP="192.168.1.201=127.0.0.1:$port"
export VORDLIX_COM1="$work/com1"
export VORDLIX_LOCAL_PORT=0

show_store() {
  echo "-- option store ($1): $store"
  sed 's/^/   /' "$store"
}

echo
echo "== Quelmark Config =="
echo "The window's address 192.168.1.201 reaches the simulated terminal."
cd "$work"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$bin/quelmark-config"
else
  echo "No display: the window runs off screen through one round of its operations."
  show_store "before"
  QT_QPA_PLATFORM=offscreen QUELMARK_CONFIG_DEMO=1 QUELMARK_CONFIG_SCREENSHOT="$data/window.png" \
    "$bin/quelmark-config"
  show_store "after"
  [ -f "$data/window.png" ] && echo "Window picture: $data/window.png"
fi
