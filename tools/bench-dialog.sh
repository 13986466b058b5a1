#!/usr/bin/env bash
# Times the Linux dialog under Xvfb (with openbox), per mode: from Enter until vantoly owns the
# clipboard with its result, then the first paste of image/png and of image/bmp by another
# client (xclip). The floor beside it, measured in each run just before Enter: another client
# reading the input's image/bmp over X11. Each figure is the median of several runs.
#
# Usage: tools/bench-dialog.sh [INPUT.bmp [VANTOLY]]
#   INPUT.bmp  the picture xclip offers as image/bmp (default: a 3840 x 2160 24-bit sample made
#              by vantoly-make-sample beside VANTOLY)
#   VANTOLY    the program (default: build/release/bin/vantoly); vantoly-clipboard-probe is
#              taken from beside it
# Environment: VANTOLY_BENCH_INPUT, VANTOLY, VANTOLY_PROBE, VANTOLY_BENCH_RUNS (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

input=${1:-${VANTOLY_BENCH_INPUT:-}}
vantoly=$(realpath "${2:-${VANTOLY:-build/release/bin/vantoly}}")
bin=$(dirname "$vantoly")
probe=${VANTOLY_PROBE:-$bin/vantoly-clipboard-probe}
runs=${VANTOLY_BENCH_RUNS:-5}
for tool in Xvfb openbox xclip xdotool; do
  command -v "$tool" >/dev/null || { echo "bench-dialog: $tool is not installed" >&2; exit 1; }
done
[ -x "$vantoly" ] || { echo "bench-dialog: no program at $vantoly" >&2; exit 1; }
[ -x "$probe" ] || { echo "bench-dialog: no $probe (libxcb-xfixes0-dev, libxcb-xtest0-dev)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$input" ]; then
  input=$work/input.bmp
  "$bin/vantoly-make-sample" "$input" 3840 2160
fi

mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
exec 7>"$work/display"
Xvfb -displayfd 7 -screen 0 1280x1024x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 7>&-
for ((i = 0; i < 100; i++)); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$work/display")
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

# Seconds (to the millisecond) that the command takes; its output is dropped.
timed() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  printf '%d.%03d\n' $(((${end/./} - ${start/./}) / 1000000)) $((((${end/./} - ${start/./}) / 1000) % 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Offers the input as image/bmp and waits until the clipboard shows it.
offer_input() {
  xclip -selection clipboard -t image/bmp -quiet "$input" >/dev/null 2>&1 &
  pids+=($!)
  local i
  for ((i = 0; i < 100; i++)); do
    xclip -selection clipboard -t TARGETS -o 2>/dev/null | grep -qx image/bmp && return 0
    sleep 0.05
  done
  echo "bench-dialog: the input was never offered" >&2
  exit 1
}

"$vantoly" 2>"$work/vantoly.err" &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Vantoly$' | head -n 1)
[ -n "$window" ] || { echo "bench-dialog: no dialog" >&2; exit 1; }

printf '%-5s %12s %12s %12s %12s %12s\n' mode "Enter->owned" floor "over floor" "paste png" "paste bmp"
for mode in 0 1 2 3 4 5 6 7; do
  # Alt+M to the list, Home, then down to the mode; Enter from the list presses Convert.
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  keys=(alt+m Home)
  for ((k = 0; k < mode; k++)); do keys+=(Down); done
  xdotool key --delay 30 "${keys[@]}"
  : >"$work/floor"
  : >"$work/owned"
  : >"$work/png"
  : >"$work/bmp"
  for ((r = 0; r < runs; r++)); do
    offer_input
    # The floor, in the same moment: another client reading the input.
    timed xclip -selection clipboard -t image/bmp -o >>"$work/floor"
    xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
    sleep 0.2
    "$probe" 30 >>"$work/owned"
    # The beep and the repaint after it are over before the pastes.
    sleep 0.5
    timed xclip -selection clipboard -t image/png -o >>"$work/png"
    timed xclip -selection clipboard -t image/bmp -o >>"$work/bmp"
  done
  owned=$(median <"$work/owned")
  floor=$(median <"$work/floor")
  printf '%-5s %12s %12s %12s %12s %12s\n' "$mode" "$owned" "$floor" \
    "$(awk -v a="$owned" -v b="$floor" 'BEGIN { printf "%+.3f", a - b }')" \
    "$(median <"$work/png")" "$(median <"$work/bmp")"
done
echo "(seconds, median of $runs runs; input $(basename "$input"), $(stat -c %s "$input") bytes)"
