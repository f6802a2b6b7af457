#!/usr/bin/env bash
# What the running program costs: starts the room simulator and the program on a private X
# desktop (Xvfb + openbox), connects to a room with RATE messages a second (default 20) and, over
# SECONDS_OF_PROFILE seconds (default 30) from SETTLE seconds after the start (default 8), prints
# the CPU it used, its wake-ups per second (context switches of every thread, the busiest listed)
# and its resident memory by mapping. IDLE=1 measures the login window instead, without
# connecting.
#   scripts/profile.sh [build folder, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release}
rate=${RATE:-20}
seconds=${SECONDS_OF_PROFILE:-30}
idle=${IDLE:-0}
source bench/desktop.sh
mkdir -p "$work/config/QvGameAssist"
printf '<AutoConnect>%d</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n' $((idle ? 0 : 1)) >"$work/config/QvGameAssist/QvGameAssit.xml"
export XDG_CONFIG_HOME=$work/config
"$bin/tools/roomsim/qvroomsim" --rate "$rate" --log "$work/sim.jsonl" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -qs listening "$work/sim.out" && break; sleep 0.1; done
"$bin/qvgameassist" >"$work/program.out" 2>&1 &
program=$!
pids+=($program)
if [[ $idle == 0 ]]; then
  for _ in $(seq 200); do grep -q '"join"' "$work/sim.jsonl" 2>/dev/null && break; sleep 0.1; done
  grep -q '"join"' "$work/sim.jsonl" || { echo "the program never joined the room" >&2; exit 1; }
fi
sleep "${SETTLE:-8}"  # the connection's progress bar, the bar and its first messages
switches() {  # per thread: tid name switches
  for task in /proc/$program/task/*; do
    echo "${task##*/} $(tr ' ' '_' <"$task/comm") $(awk '/ctxt_switches/{s += $2} END {print s}' "$task/status")"
  done
}
hz=$(getconf CLK_TCK)
cpu0=$(awk '{print $14 + $15}' "/proc/$program/stat")
switches >"$work/before"
sleep "$seconds"
cpu1=$(awk '{print $14 + $15}' "/proc/$program/stat")
switches >"$work/after"
what=$([[ $idle == 1 ]] && echo "at the login window, idle" || echo "connected, $rate room messages/s")
echo "over $seconds s, $what:"
echo "  CPU: $(awk -v c=$((cpu1 - cpu0)) -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.2f", c * 100 / hz / s}') % of a core"
join "$work/before" "$work/after" | awk -v s="$seconds" '{d = $5 - $3; total += d; printf "%8.2f /s  %s (%s)\n", d / s, $2, $1 > "/dev/stderr"} END {printf "  wake-ups: %.2f /s (every thread)\n", total / s}' 2> >(sort -rn | head -6 | sed 's/^/    /')
sleep 0.2
echo "  resident memory: $(awk '/VmRSS/{print $2}' "/proc/$program/status") kB"
# Where the memory is: resident kB by mapping (libraries by name, the heap, anonymous memory and
# thread stacks together), the largest first.
awk '/^[0-9a-f]+-[0-9a-f]+ / {name = ($6 == "" ? "[anonymous: heaps, stacks]" : $6); sub(".*/", "", name)}
     /^Rss:/ {rss[name] += $2}
     END {for (n in rss) if (rss[n] > 0) printf "%8d kB  %s\n", rss[n], n}' "/proc/$program/smaps" | sort -rn | head -12 | sed 's/^/    /'
