#!/usr/bin/env bash
# Installs what is needed, builds the program and runs it against the bundled room simulator.
#
#   scripts/demo.sh            on your desktop ($DISPLAY): the login window shows room 888; press
#                              连接 (Connect) and the room's chat floats at the right of the screen.
#   scripts/demo.sh --headless on a private X server (Xvfb) for ~15 s: it connects by itself and
#                              saves a screenshot to build/demo/screenshot.png.
#
# The demo keeps its settings in build/demo/config, never in your own ~/.config.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
headless=0
[[ "${1:-}" == "--headless" || -z "${DISPLAY:-}" ]] && headless=1

scripts/install-deps.sh
scripts/build.sh release
bin=build/release
demo=build/demo
rm -rf "$demo" && mkdir -p "$demo/config/QvGameAssist"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# The simulator where the program looks for its servers (127.0.0.1:8080 and :8081, compiled in).
"$bin/tools/roomsim/qvroomsim" --rate 3 --log "$demo/roomsim-events.jsonl" >"$demo/roomsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q listening "$demo/roomsim.out" && break
  kill -0 "${pids[0]}" 2>/dev/null || { cat "$demo/roomsim.out" >&2; echo "free those ports and run the demo again" >&2; exit 1; }
  sleep 0.1
done
grep listening "$demo/roomsim.out" || { cat "$demo/roomsim.out" >&2; exit 1; }

# Room 888 (a vanity number of the simulator's first room) is in the history.
auto=$((headless ? 1 : 0))
printf '<AutoConnect>%d</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n' "$auto" >"$demo/config/QvGameAssist/QvGameAssit.xml"
export XDG_CONFIG_HOME="$root/$demo/config"

if [[ $headless == 0 ]]; then
  echo "Starting Qv直播助手 on $DISPLAY; press 连接 to join room 888. Close it (or its tray menu's 退出) to end the demo."
  "$bin/qvgameassist"
  exit 0
fi

# A private desktop: X server, window manager and tray host.
for n in $(seq 90 140); do [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { display=":$n"; break; }; done
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X${display#:} ]] && break; sleep 0.1; done
export DISPLAY=$display
openbox >"$demo/openbox.out" 2>&1 &
pids+=($!)
trayer --edge bottom --align right --widthtype request --height 24 >"$demo/trayer.out" 2>&1 &
pids+=($!)
sleep 1
"$bin/qvgameassist" >"$demo/program.out" 2>&1 &
pids+=($!)
sleep 15
import -window root "$demo/screenshot.png"
joins=$(grep -c '"event":"join"' "$demo/roomsim-events.jsonl" || true)
echo "Joined the room $joins time(s); the screenshot is $demo/screenshot.png"
[[ $joins -ge 1 ]]
