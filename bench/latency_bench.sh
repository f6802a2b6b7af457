#!/usr/bin/env bash
# From a room message's send to its pixels in the overlay window, for the real program on a
# private X desktop (Xvfb + openbox): 20 msg/s for 15 s, then 1 000 msg/s for 10 s, each in a
# session of its own (simulator, program, observer). Prints p50, p99 and max per rate beside the
# targets; bench_latency's header says how lines are recognised and paired.
#   bench/latency_bench.sh [build folder, default build/release]
# DUMP_DIR=folder keeps each line's times there (20.txt, 1000.txt).
set -euo pipefail
self=$(readlink -f "$0")
if [[ -n ${DUMP_DIR:-} ]]; then mkdir -p "$DUMP_DIR" && export DUMP_DIR=$(readlink -f "$DUMP_DIR"); fi
cd "$(dirname "$self")/.."
bin=${1:-build/release}
for f in qvgameassist tools/roomsim/qvroomsim bench/bench_latency; do
  [[ -x $bin/$f ]] || { echo "no $bin/$f: build qvgameassist, qvroomsim and bench_latency first" >&2; exit 1; }
done
# The program talks to the compiled-in 127.0.0.1:8080 and :8081; a network namespace of our own
# keeps any other simulator on those ports out of the way (run as is where none can be made).
if [[ -z ${QV_LATENCY_NETNS:-} ]]; then
  flags=(-n)
  [[ $(id -u) == 0 ]] || flags=(-r -n)
  if command -v ip >/dev/null && unshare "${flags[@]}" true 2>/dev/null; then
    export QV_LATENCY_NETNS=1
    exec unshare "${flags[@]}" -- bash -c 'ip link set lo up && exec bash "$0" "$@"' "$self" "$@"
  fi
fi
source bench/desktop.sh  # session: the running session's processes
delay_ms=7000  # the lines start this long after the join, once the bar and the overlay are up

# session RATE SECONDS LABEL TARGET_MS
session() {
  local dir=$work/$1
  mkdir -p "$dir/config/QvGameAssist"
  printf '<AutoConnect>1</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n' >"$dir/config/QvGameAssist/QvGameAssit.xml"
  # Skin 3: pink nicknames, green text (the colours the observer looks for).
  printf '<SkinOpt>3</SkinOpt>\r\n' >"$dir/config/QvGameAssist/QvGameAssistSkin.xml"
  "$bin/tools/roomsim/qvroomsim" --host 127.0.0.1 --stamp --rate "$1" --burst "$2" --burst-delay "$delay_ms" \
    --log "$dir/sim.jsonl" >"$dir/sim.out" 2>&1 &
  session=($!)
  for _ in $(seq 100); do grep -qs listening "$dir/sim.out" && break; sleep 0.1; done
  grep -q listening "$dir/sim.out" || { cat "$dir/sim.out" >&2; return 1; }
  XDG_CONFIG_HOME=$dir/config "$bin/qvgameassist" >"$dir/program.out" 2>&1 &
  session+=($!)
  "$bin/bench/bench_latency" --title "Qv直播助手消息窗体" --stamps "$dir/sim.jsonl" \
    --nickname-colour ff80da --text-colour 83ff72 --label "$3" --target-ms "$4" \
    --timeout $(( delay_ms / 1000 + $2 + 30 )) ${DUMP_DIR:+--dump "$DUMP_DIR/$1.txt"} || return 1
  stop "${session[@]}"
  session=()
}
session 20 15 "20 msg/s" 5
session 1000 10 "1 000 msg/s" 16
