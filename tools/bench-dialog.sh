#!/usr/bin/env bash
# Times the Linux dialog under Xvfb (with openbox), per mode: from Enter until vantoly owns the
# clipboard with its result, then the first paste of image/png and of image/bmp by another
# client (xclip), and the same BMP bytes pasted from `xclip -i` instead. The floor beside it:
# another client reading the input over X11, taken before every request (one median
# for all modes). After a warm-up round the modes take turns; each figure is the median of
# several runs.
#
# Usage: tools/bench-dialog.sh [INPUT [VANTOLY]]
#   INPUT      the picture xclip offers: a .png as image/png only (as browsers offer pictures),
#              anything else as image/bmp (default: a 3840 x 2160 24-bit BMP sample made by
#              vantoly-make-sample beside VANTOLY)
#   VANTOLY    the program (default: build/release/bin/vantoly); vantoly-clipboard-probe is
#              taken from beside it
# Environment: VANTOLY_BENCH_INPUT, VANTOLY, VANTOLY_PROBE, VANTOLY_BENCH_RUNS (default 5).
set -euo pipefail
input=${1:-${VANTOLY_BENCH_INPUT:-}}
[ -z "$input" ] || input=$(realpath "$input")
vantoly=${2:-${VANTOLY:-}}
[ -z "$vantoly" ] || vantoly=$(realpath "$vantoly")
cd "$(dirname "$0")/.."
vantoly=${vantoly:-$PWD/build/release/bin/vantoly}
bin=$(dirname "$vantoly")
probe=${VANTOLY_PROBE:-$bin/vantoly-clipboard-probe}
runs=${VANTOLY_BENCH_RUNS:-5}
for tool in Xvfb openbox xclip xdotool; do
  command -v "$tool" >/dev/null || { echo "bench-dialog: $tool is not installed" >&2; exit 1; }
done
[ -x "$vantoly" ] || { echo "bench-dialog: no program at $vantoly" >&2; exit 1; }
[ -x "$probe" ] || { echo "bench-dialog: no $probe (libxcb-xfixes0-dev, libxcb-xtest0-dev)" >&2; exit 1; }

. tools/x11-session.sh
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  stop_x11_session
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$input" ]; then
  input=$work/input.bmp
  "$bin/vantoly-make-sample" "$input" 3840 2160
fi

start_x11_session "$work" 1280x1024 openbox

# Seconds (to the millisecond) that the command takes; its output is dropped.
timed() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  printf '%d.%03d\n' $(((${end/./} - ${start/./}) / 1000000)) $((((${end/./} - ${start/./}) / 1000) % 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
type=image/bmp
[[ $input != *.png ]] || type=image/png
# Offers the input as $type and waits until the clipboard shows it.
offer_input() {
  xclip -selection clipboard -t "$type" -quiet "$input" >/dev/null 2>&1 &
  pids+=($!)
  local i
  for ((i = 0; i < 100; i++)); do
    xclip -selection clipboard -t TARGETS -o 2>/dev/null | grep -qx "$type" && return 0
    sleep 0.05
  done
  echo "bench-dialog: the input was never offered" >&2
  exit 1
}

"$vantoly" 2>"$work/vantoly.err" &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Vantoly$' | head -n 1)
[ -n "$window" ] || { echo "bench-dialog: no dialog" >&2; exit 1; }

# Picks the mode: Alt+M to the list, Home, then down to it.
choose_mode() {
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  local keys=(alt+m Home) k
  for ((k = 0; k < $1; k++)); do keys+=(Down); done
  xdotool key --delay 30 "${keys[@]}"
}
# One request in mode $1, its figures appended to the mode's files: the floor in the same
# moment (another client reading the input), Enter (from the list it presses Convert) until
# the clipboard changes hands, then the two pastes once the beep and the repaint are over.
request() {
  choose_mode "$1"
  offer_input
  timed xclip -selection clipboard -t "$type" -o >>"$work/floor$1"
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  sleep 0.2
  "$probe" 30 >>"$work/owned$1"
  sleep 0.5
  timed xclip -selection clipboard -t image/png -o >>"$work/png$1"
  timed xclip -selection clipboard -t image/bmp -o >>"$work/bmp$1"
  # The result's BMP served by xclip, for comparison.
  xclip -selection clipboard -t image/bmp -o >"$work/result.bmp"
  xclip -selection clipboard -t image/bmp -quiet "$work/result.bmp" >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.2
  timed xclip -selection clipboard -t image/bmp -o >>"$work/xclip$1"
}

# A warm-up round, not counted: the X server, xclip and vantoly have their memory then.
for mode in 0 1 2 3 4 5 6 7; do request "$mode"; done
rm -f "$work"/floor? "$work"/owned? "$work"/png? "$work"/bmp? "$work"/xclip?
# The modes take turns, so a busy moment of the machine falls on all of them alike.
for ((r = 0; r < runs; r++)); do
  for mode in 0 1 2 3 4 5 6 7; do request "$mode"; done
done

printf '%-5s %12s %12s %12s %12s %12s %12s\n' mode "Enter->owned" floor "over floor" "paste png" \
  "paste bmp" "xclip bmp"
# One floor for all modes: taken before every request, it varies with what ran before more
# than with anything else, so the median of all of them.
floor=$(cat "$work"/floor? | median)
for mode in 0 1 2 3 4 5 6 7; do
  owned=$(median <"$work/owned$mode")
  printf '%-5s %12s %12s %12s %12s %12s %12s\n' "$mode" "$owned" "$floor" \
    "$(awk -v a="$owned" -v b="$floor" 'BEGIN { printf "%+.3f", a - b }')" \
    "$(median <"$work/png$mode")" "$(median <"$work/bmp$mode")" "$(median <"$work/xclip$mode")"
done
echo "(seconds, median of $runs runs; input $(basename "$input"), $(stat -c %s "$input") bytes)"
