#!/usr/bin/env bash
# The fuzz targets (clang, libFuzzer, ASan+UBSan): replays the seed corpus and every kept
# crasher, then fuzzes each target for a bounded time on a copy of the corpus. Fails on any
# crash. VANTOLY_FUZZ_SECONDS sets the time per target (default 60); tools/fuzz-campaign.sh
# runs a long campaign.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
ensure_packages "${CORE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"

seconds=${VANTOLY_FUZZ_SECONDS:-60}
echo "== fuzz build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz-run
rm -rf "$out"
mkdir -p "$out/crashes"
status=0
for target in packed_dib bmp_file png_file; do
  fuzzer="build/fuzz/bin/${target}_fuzzer"
  mkdir -p "$out/$target"
  cp tests/fuzz/corpus/"$target"/* "$out/$target/"
  crashers=(tests/fuzz/crashers/"$target"/*)
  [ -e "${crashers[0]}" ] || crashers=()
  echo "== $target: ${#crashers[@]} crashers, then ${seconds} s of fuzzing"
  if [ ${#crashers[@]} -gt 0 ] && ! "$fuzzer" -runs=1 "${crashers[@]}" >"$out/$target-crashers.log" 2>&1; then
    tail -n 30 "$out/$target-crashers.log"
    echo "== $target: a kept crasher fails again"
    status=1
    continue
  fi
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/crashes/$target-" "$out/$target" >"$out/$target.log" 2>&1; then
    tail -n 40 "$out/$target.log"
    echo "== $target crashed; the input is in $out/crashes/ (keep it in tests/fuzz/crashers/$target/)"
    status=1
    continue
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$out/$target.log"
done
exit $status
