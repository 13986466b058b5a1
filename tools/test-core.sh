#!/usr/bin/env bash
# The core and vantoly-convert: a Release build and an ASan+UBSan build, every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
ensure_packages "${CORE_PACKAGES[@]}"
for preset in release asan; do
  echo "== $preset build"
  build_preset "$preset"
  # The desktop program's tests (label qt) run in tools/test-qt.sh, once per build.
  ctest --preset "$preset" -j "$(nproc)" -LE qt
done
