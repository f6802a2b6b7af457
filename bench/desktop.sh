# Sourced by the scripts that measure the running program: a work folder, a private X desktop
# (Xvfb on a free display, and openbox) exported as DISPLAY, and the cleanup that stops what was
# started here (by PID) and removes the folder when the script ends. Add the PIDs of other
# processes started to `pids` (or to `session`, for those a script also stops itself with `stop`).
work=$(mktemp -d)
pids=()
session=()
stop() {  # stop PID...: processes started here
  for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}
cleanup() {
  stop ${session[@]+"${session[@]}"} "${pids[@]}"
  rm -rf "$work"
}
trap cleanup EXIT
for n in $(seq 150 199); do [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { display=":$n"; break; }; done
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X${display#:} ]] && break; sleep 0.1; done
export DISPLAY=$display
openbox >"$work/openbox.out" 2>&1 &
pids+=($!)
