#!/usr/bin/env bash
# Whole-process speed of vantoly-convert, measured beside `cp` of the same file in the same
# hyperfine run, on generated 3840 × 2160 pictures: a photo-like 24-bit BMP, the same picture
# as a 32-bit bit-field BMP (as screen captures are stored), and a flat screenshot-like 32-bit
# one. Prints per input and mode the mean time, its ratio to cp and the peak RSS, and for the
# error diffusion (modes 6 and 7, which spread over every core) the time pinned to one core
# (taskset -c 0) and how many times faster every core is. Then the PNG
# inputs, a screenshot-like and a photo-like one: each mode to PNG and to BMP, beside cp and
# beside the fastest other programs doing that mode's closest operation to PNG (Pillow; libvips
# for 256 grays), with the ratio of each. A benchmark, not a test: nothing here fails on a slow
# machine.
#
#   bash tools/bench.sh [bmp] [png] [dialog]   # the parts to run, all by default
# Environment: VANTOLY_BENCH_RUNS (timed runs per command, 15), VANTOLY_BENCH_BASELINE (another
# build's vantoly-convert, timed in the same runs, to compare two builds).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. tools/lib.sh

ensure_packages "${CORE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target vantoly-convert vantoly-make-sample >/dev/null

bin=$PWD/build/release/bin
work=$PWD/build/bench
runs=${VANTOLY_BENCH_RUNS:-15}
baseline=${VANTOLY_BENCH_BASELINE:-}
[ -z "$baseline" ] || baseline=$(realpath "$baseline")
parts=" ${*:-bmp png dialog} "
mkdir -p "$work"
"$bin/vantoly-make-sample" --photo "$work/photo-24.bmp" 3840 2160

echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
  "Linux $(uname -r), $(hyperfine --version)"
# Runs hyperfine on the commands given and leaves command,mean,stddev,median,user,system,min,
# max (seconds) per command, in order, in $work/times.csv. Its warnings about outliers would
# break the tables; a failure still shows.
time_commands() {
  hyperfine -N --style none --warmup 3 --runs "$runs" --export-csv "$work/times.csv" "$@" \
    >/dev/null 2>"$work/hyperfine.err" || { cat "$work/hyperfine.err" >&2; exit 1; }
}
# Field $2 (the mean) or user + system of command $1 (1-based) of the last run, in ms. On a
# shared machine the wall time waits for other processes too; user + system shows what the
# process itself spent.
mean_ms() { awk -F, -v n="$(($1 + 1))" 'NR == n {print $2 * 1000}' "$work/times.csv"; }
cpu_ms() { awk -F, -v n="$(($1 + 1))" 'NR == n {print ($5 + $6) * 1000}' "$work/times.csv"; }

# ---- BMP in, BMP out ----------------------------------------------------------------------------
if [[ $parts == *" bmp "* ]]; then
  "$bin/vantoly-make-sample" --photo --bitfields "$work/photo-32-bitfields.bmp" 3840 2160
  "$bin/vantoly-make-sample" --screen --bitfields "$work/screen-32-bitfields.bmp" 3840 2160
  # The most each mode may take, in multiples of cp.
  limit=(3 3 3 3 3 3 3 2)
  for input in photo-24 photo-32-bitfields screen-32-bitfields; do
    in="$work/$input.bmp"
    echo
    echo "== $input.bmp ($(($(stat -c %s "$in") / 1048576)) MiB), $runs runs each"
    printf '%-5s %8s %8s %7s %6s %8s %8s %13s %10s %9s %8s%s\n' mode "time ms" "cp ms" "× cp" \
      limit "cpu ms" "cp cpu" "peak RSS KiB" "bound KiB" "1 core ms" "÷ 1 core" \
      "${baseline:+   baseline ms}"
    for mode in 0 1 2 3 4 5 6 7; do
      out="$work/out.bmp"
      pinned=()
      [ "$mode" -lt 6 ] || pinned=("taskset -c 0 $bin/vantoly-convert $mode $in $out")
      time_commands "cp $in $work/copy.bmp" "$bin/vantoly-convert $mode $in $out" "${pinned[@]}" \
        ${baseline:+"$baseline $mode $in $work/baseline.bmp"}
      rss=$( (/usr/bin/time -f %M "$bin/vantoly-convert" "$mode" "$in" "$out") 2>&1 >/dev/null)
      # Peak RSS allowed: input + output + 16 MiB.
      bound=$(( ($(stat -c %s "$in") + $(stat -c %s "$out")) / 1024 + 16384 ))
      awk -v m="$mode" -v t="$(mean_ms 2)" -v c="$(mean_ms 1)" -v l="${limit[$mode]}" -v r="$rss" \
        -v b="$bound" -v u="$(cpu_ms 2)" -v v="$(cpu_ms 1)" -v p="${pinned:+$(mean_ms 3)}" \
        -v base="${baseline:+$(mean_ms $((3 + ${#pinned[@]})))}" \
        'BEGIN { printf "%-5s %8.1f %8.1f %7.2f %6s %8.1f %8.1f %13d %10d", m, t, c, t / c, l, u, v,
                 r, b
                 if (p != "") printf " %9.1f %8.2f", p, p / t; else printf " %9s %8s", "-", "-"
                 if (base != "") printf " %13.1f", base
                 print (t / c > l || r > b) ? "   over" : "" }'
    done
  done
fi

# ---- PNG in, PNG or BMP out ---------------------------------------------------------------------
# The peers, each doing the mode's closest operation and writing a PNG at its fastest zlib
# level (ours writes at level 1): Pillow for every mode (it has no ordered dither, so modes 4
# and 5 take its Floyd-Steinberg one, mode 5 after doubling the picture), libvips for 256
# grays. Peers with a PNG writer of zlib's default level would look slower than they are.
if [[ $parts == *" png "* ]]; then
  # The pictures as other programs write PNG (Pillow: zlib's default level, adaptive filters),
  # not as our own writer does, whose streams may suit our reader better.
  for input in screen photo; do
    "$bin/vantoly-make-sample" "--$input" "$work/$input.bmp" 3840 2160
    /usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])' \
      "$work/$input.bmp" "$work/$input.png"
    rm "$work/$input.bmp"
  done
  # Debian's interpreter: the one python3-pil installs into.
  pillow="/usr/bin/python3 $work/pillow.py"
  cat >"$work/pillow.py" <<'PY'
import sys
from PIL import Image
mode, source, target = int(sys.argv[1]), sys.argv[2], sys.argv[3]
image = Image.open(source).convert("RGB")
levels = [0, 128, 255]
colours = Image.new("P", (1, 1))
colours.putpalette([0, 0, 0, 128, 0, 0, 0, 128, 0, 128, 128, 0, 0, 0, 128, 128, 0, 128,
                    0, 128, 128, 192, 192, 192, 128, 128, 128, 255, 0, 0, 0, 255, 0,
                    255, 255, 0, 0, 0, 255, 255, 0, 255, 0, 255, 255, 255, 255, 255])
none, fs = Image.Dither.NONE, Image.Dither.FLOYDSTEINBERG
if mode == 0:
    result = image.convert("L").point(lambda v: v // 16 * 17)
elif mode == 1:
    result = image.convert("L")
elif mode == 2:
    result = image.quantize(palette=colours, dither=none)
elif mode == 3:
    result = image.convert("L").convert("1", dither=none)
elif mode == 4:
    result = image.convert("1")
elif mode == 5:
    result = image.resize((image.width * 2, image.height * 2), Image.Resampling.NEAREST).convert("1")
elif mode == 6:
    result = image.convert("1")
else:
    result = image.quantize(palette=colours, dither=fs)
result.save(target, compress_level=1)
PY
  for input in screen photo; do
    in="$work/$input.png"
    echo
    echo "== $input.png ($(($(stat -c %s "$in") / 1024)) KiB), $runs runs each: ms, and × cp or"\
      "peer ÷ PNG -> PNG"
    printf '%-5s %7s %9s %6s %9s %6s %9s %9s %7s %7s %8s%s\n' mode "cp" "-> PNG" "× cp" "-> BMP" \
      "× cp" "Pillow" "vips" "Pil ÷" "vips ÷" "cpu PNG" "${baseline:+ base PNG  base BMP}"
    for mode in 0 1 2 3 4 5 6 7; do
      vips=()
      [ "$mode" != 1 ] || vips=("vips colourspace $in $work/vips.png[compression=1] b-w")
      time_commands "cp $in $work/copy.png" "$bin/vantoly-convert $mode $in $work/out.png" \
        "$bin/vantoly-convert $mode $in $work/out.bmp" "$pillow $mode $in $work/pillow.png" \
        "${vips[@]}" \
        ${baseline:+"$baseline $mode $in $work/base.png" "$baseline $mode $in $work/base.bmp"}
      next=$((5 + ${#vips[@]}))
      awk -v m="$mode" -v c="$(mean_ms 1)" -v p="$(mean_ms 2)" -v b="$(mean_ms 3)" \
        -v pil="$(mean_ms 4)" -v vips="${vips:+$(mean_ms 5)}" -v u="$(cpu_ms 2)" \
        -v bp="${baseline:+$(mean_ms $next)}" -v bb="${baseline:+$(mean_ms $((next + 1)))}" \
        'BEGIN { printf "%-5s %7.1f %9.1f %6.2f %9.1f %6.2f %9.1f", m, c, p, p / c, b, b / c, pil
                 if (vips != "") printf " %9.1f", vips; else printf " %9s", "-"
                 printf " %7.2f", pil / p
                 if (vips != "") printf " %7.2f", vips / p; else printf " %7s", "-"
                 printf " %8.1f", u
                 if (bp != "") printf " %9.1f %9.1f", bp, bb
                 printf "\n" }'
    done
  done
fi
rm -f "$work"/{out,copy,baseline,base,pillow,vips}.{bmp,png} "$work/times.csv" "$work/hyperfine.err"

# ---- The Linux dialog -------------------------------------------------------------------------
# tools/bench-dialog.sh measures the desktop program under Xvfb (Enter until the clipboard is
# owned, per mode; the first paste of image/png and image/bmp; another client's transfer of
# the input as the floor). It runs here when it exists and a display server can be started.
[[ $parts == *" dialog "* ]] || exit 0
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
