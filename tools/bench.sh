#!/usr/bin/env bash
# Whole-process speed of vantoly-convert, measured beside `cp` of the same file in the same
# hyperfine run, on generated 3840 × 2160 pictures: a photo-like 24-bit BMP, the same picture
# as a 32-bit bit-field BMP (as screen captures are stored), and a flat screenshot-like 32-bit
# one. Prints per input and mode the mean time, its ratio to cp and the peak RSS. A benchmark,
# not a test: nothing here fails on a slow machine.
#
#   bash tools/bench.sh              # VANTOLY_BENCH_RUNS=15 timed runs per command
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. tools/lib.sh

ensure_packages "${CORE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target vantoly-convert vantoly-make-sample >/dev/null

bin=$PWD/build/release/bin
work=$PWD/build/bench
runs=${VANTOLY_BENCH_RUNS:-15}
mkdir -p "$work"
"$bin/vantoly-make-sample" --photo "$work/photo-24.bmp" 3840 2160
"$bin/vantoly-make-sample" --photo --bitfields "$work/photo-32-bitfields.bmp" 3840 2160
"$bin/vantoly-make-sample" --screen --bitfields "$work/screen-32-bitfields.bmp" 3840 2160

echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
  "Linux $(uname -r), $(hyperfine --version)"
# The most each mode may take, in multiples of cp.
limit=(3 3 3 3 3 3 4 5)
for input in photo-24 photo-32-bitfields screen-32-bitfields; do
  in="$work/$input.bmp"
  echo
  echo "== $input.bmp ($(($(stat -c %s "$in") / 1048576)) MiB), $runs runs each"
  printf '%-5s %8s %8s %7s %6s %8s %8s %13s %10s\n' mode "time ms" "cp ms" "× cp" limit \
    "cpu ms" "cp cpu" "peak RSS KiB" "bound KiB"
  for mode in 0 1 2 3 4 5 6 7; do
    out="$work/out.bmp"
    # Its warnings about outliers would break the table; a failure still shows.
    hyperfine -N --style none --warmup 3 --runs "$runs" --export-csv "$work/times.csv" \
      "cp $in $work/copy.bmp" "$bin/vantoly-convert $mode $in $out" >/dev/null 2>"$work/hyperfine.err" ||
      { cat "$work/hyperfine.err" >&2; exit 1; }
    # command,mean,stddev,median,user,system,min,max (seconds)
    # On a shared machine the wall time waits for other processes too; user + system shows
    # what the process itself spent.
    cp_mean=$(awk -F, 'NR == 2 {print $2}' "$work/times.csv")
    cp_cpu=$(awk -F, 'NR == 2 {print $5 + $6}' "$work/times.csv")
    mean=$(awk -F, 'NR == 3 {print $2}' "$work/times.csv")
    cpu=$(awk -F, 'NR == 3 {print $5 + $6}' "$work/times.csv")
    rss=$( (/usr/bin/time -f %M "$bin/vantoly-convert" "$mode" "$in" "$out") 2>&1 >/dev/null)
    # Peak RSS allowed: input + output + 16 MiB.
    bound=$(( ($(stat -c %s "$in") + $(stat -c %s "$out")) / 1024 + 16384 ))
    awk -v m="$mode" -v t="$mean" -v c="$cp_mean" -v l="${limit[$mode]}" -v r="$rss" -v b="$bound" \
      -v u="$cpu" -v v="$cp_cpu" \
      'BEGIN { printf "%-5s %8.1f %8.1f %7.2f %6s %8.1f %8.1f %13d %10d%s\n", m, t * 1000, c * 1000,
               t / c, l, u * 1000, v * 1000, r, b, (t / c > l || r > b) ? "   over" : "" }'
  done
done
rm -f "$work/out.bmp" "$work/copy.bmp" "$work/times.csv" "$work/hyperfine.err"

# ---- The Linux dialog -------------------------------------------------------------------------
# tools/bench-dialog.sh measures the desktop program under Xvfb (Enter until the clipboard is
# owned, per mode; the first paste of image/png and image/bmp; another client's transfer of
# the input as the floor). It runs here when it exists and a display server can be started.
echo
if [ ! -f tools/bench-dialog.sh ]; then
  echo "== the dialog: tools/bench-dialog.sh is not there, not measured"
elif ! command -v Xvfb >/dev/null && [ -z "${DISPLAY:-}" ]; then
  echo "== the dialog: no Xvfb and no display, not measured"
else
  ensure_packages "${QT_PACKAGES[@]}" "${QT_TEST_PACKAGES[@]}"
  cmake --build --preset release -j2 --target vantoly vantoly-clipboard-probe >/dev/null
  bash tools/bench-dialog.sh "$work/photo-24.bmp" "$bin/vantoly"
fi
