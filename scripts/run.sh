#!/usr/bin/env bash
# The main job: sets up, builds, starts the simulated terminal on 127.0.0.1 and
# runs the programs against it: first the boot updater (a real boot-loader update
# into the simulated flash), then the configuration tool's window.
#
# The window's default address 192.168.1.201 is redirected to the simulated
# terminal with VORDLIX_NET_MAP, so nothing ever leaves this machine. The boot
# updater's neighbour-cache flush is replaced by a logger (QVEBUPD_ARP): the
# simulated terminal sits on loopback and the machine's cache stays untouched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
bash scripts/build.sh

bin="$here/build/bin"
work=$(mktemp -d /tmp/quelmark-run.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# The simulated terminal, in loader mode, on a port the OS chooses.
"$bin/quelmark-sim" --loader --udp 127.0.0.1:0 --flash "$work/flash.bin" \
  --pty-link "$work/com1" --panel-log "$work/panel.log" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out" | head -n1)
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; echo "run: the simulated terminal did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "run: the simulated terminal did not report its port" >&2; exit 1; }
echo "Simulated terminal: 127.0.0.1:$port (UDP), serial line $work/com1, flash file $work/flash.bin"

cat >"$work/arp-log" <<ARP
#!/bin/sh
echo "neighbour-cache flush (simulated): ip \$*" >>"$work/arp.log"
ARP
chmod +x "$work/arp-log"
export QVEBUPD_ARP="$work/arp-log"
export VORDLIX_NET_MAP="192.168.1.201=127.0.0.1:$port"
export VORDLIX_COM1="$work/com1"
export VORDLIX_LOCAL_PORT=0

echo
echo "== Boot-loader update with qvebupd over UDP =="
set +e
"$bin/qvebupd" 127.0.0.1 "$port"
rc=$?
set -e
printf '\nqvebupd exit code: %s\n' "$rc"

echo
echo "== Quelmark Config =="
echo "The window talks to the simulated terminal (the default address is redirected)."
cd "$work"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$bin/quelmark-config"
else
  echo "No display: showing the window off screen and saving a picture of it."
  QT_QPA_PLATFORM=offscreen QUELMARK_CONFIG_SCREENSHOT="$work/window.png" "$bin/quelmark-config" || true
  [ -f "$work/window.png" ] && echo "Window picture: $work/window.png"
fi
