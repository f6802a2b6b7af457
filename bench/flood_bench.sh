#!/usr/bin/env bash
# The real program under a flood of room messages, on a private X desktop (Xvfb + openbox):
# 5 000 messages/s for 10 s (RATE and SECONDS_OF_FLOOD change that). Prints the UI thread's CPU
# during the flood, the time a click on the bar's skin button takes to be handled during it (from
# the moment the click reached the X server to the skin file's change), the UI thread's CPU after
# the flood and the resident memory.
#   bench/flood_bench.sh [build folder, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release}
rate=${RATE:-5000}
seconds=${SECONDS_OF_FLOOD:-10}
source bench/desktop.sh
mkdir -p "$work/config/QvGameAssist"
printf '<AutoConnect>1</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n' >"$work/config/QvGameAssist/QvGameAssit.xml"
export XDG_CONFIG_HOME=$work/config
# The flood starts 7 s after the join, once the bar is up.
"$bin/tools/roomsim/qvroomsim" --rate "$rate" --burst "$seconds" --burst-delay 7000 --log "$work/sim.jsonl" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -qs listening "$work/sim.out" && break; sleep 0.1; done
"$bin/qvgameassist" >"$work/program.out" 2>&1 &
program=$!
pids+=($program)
hz=$(getconf CLK_TCK)
ui_ticks() { awk '{print $14 + $15}' "/proc/$program/task/$program/stat"; }
for _ in $(seq 200); do grep -q '"join"' "$work/sim.jsonl" 2>/dev/null && break; sleep 0.1; done
grep -q '"join"' "$work/sim.jsonl" || { echo "the program never joined the room" >&2; exit 1; }
sleep 9
before=$(ui_ticks); sleep 1
echo "UI thread during the flood: $(( ($(ui_ticks) - before) * 100 / hz )) % of a core"
skin=$work/config/QvGameAssist/QvGameAssistSkin.xml
old=$(cat "$skin" 2>/dev/null || true)
xdotool mousemove 1241 256
sleep 0.2
# Timed from the moment xdotool has handed the click to the X server (its own start-up left out).
xdotool click 1
start=$(date +%s%N)
for _ in $(seq 1000); do [[ "$(cat "$skin" 2>/dev/null || true)" != "$old" ]] && break; sleep 0.005; done
[[ "$(cat "$skin" 2>/dev/null || true)" != "$old" ]] || { echo "the click during the flood was never handled" >&2; exit 1; }
echo "a click on the bar during the flood: handled after $(( ($(date +%s%N) - start) / 1000000 )) ms"
for _ in $(seq 600); do grep -q '"burst-end"' "$work/sim.jsonl" && break; sleep 0.05; done
grep -h '"burst-end"' "$work/sim.jsonl" | head -1
sleep 1
before=$(ui_ticks); sleep 1
echo "UI thread 1 to 2 s after the flood: $(( ($(ui_ticks) - before) * 100 / hz )) % of a core"
echo "resident memory: $(awk '/VmHWM/{print $2}' "/proc/$program/status") kB at most, $(awk '/VmRSS/{print $2}' "/proc/$program/status") kB now"
