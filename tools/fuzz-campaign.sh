#!/usr/bin/env bash
# A long fuzzing campaign: each target in turn for SECONDS (default 3600), one core, on a
# working corpus under build/fuzz-campaign/ that grows from run to run (seeded from
# tests/fuzz/corpus). Crashing inputs land in build/fuzz-campaign/crashes/; copy each to
# tests/fuzz/crashers/<target>/ once it is fixed, so that every build replays it.
#
#   bash tools/fuzz-campaign.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
ensure_packages "${CORE_PACKAGES[@]}" clang libclang-rt-14-dev

seconds=${1:-3600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(packed_dib bmp_file png_file)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
work=build/fuzz-campaign
mkdir -p "$work/crashes"
status=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  cp -n tests/fuzz/corpus/"$target"/* "$work/$target/"
  echo "== $target: $seconds s"
  # Bigger inputs than the seeds, so large pictures are reached too.
  if ! "build/fuzz/bin/${target}_fuzzer" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/crashes/$target-" \
    "$work/$target" >"$work/$target.log" 2>&1; then
    status=1
    echo "== $target crashed: see $work/$target.log and $work/crashes/"
  fi
  grep -E '^#[0-9]+ +(INITED|DONE)|^stat::|ERROR|invariant' "$work/$target.log" || true
done
exit $status
