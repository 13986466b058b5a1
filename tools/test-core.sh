#!/usr/bin/env bash
# The core and vantoly-convert: a Release build and an ASan+UBSan build, every test in both;
# then the error diffusion's threads under ThreadSanitizer.
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
# The error diffusion's threads under ThreadSanitizer: the tests that run them, the rest of
# the core being single-threaded (its overlapped steps have tests of their own).
echo "== tsan build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target vantoly_convert_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/bin/vantoly_convert_tests \
  --gtest_filter='FastConverters.Diffusion*:ErrorDiffusion.*:Diffuse*'
