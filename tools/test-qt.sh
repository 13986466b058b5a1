#!/usr/bin/env bash
# vantoly, the Linux desktop program: a Release and an ASan+UBSan build, and its tests in both
# (Qt Test on the offscreen platform, then the real program under Xvfb with xclip and xdotool,
# and under headless Wayland compositors).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
ensure_packages "${CORE_PACKAGES[@]}" "${QT_PACKAGES[@]}" "${QT_TEST_PACKAGES[@]}" \
  "${WAYLAND_TEST_PACKAGES[@]}"
for preset in release asan; do
  echo "== $preset build, desktop program"
  build_preset "$preset"
  # Built only when Qt 6 was found: make sure it was, rather than pass with nothing run.
  [ -x "build/$preset/bin/vantoly" ] || { echo "vantoly was not built (Qt 6 not found?)" >&2; exit 1; }
  ctest --preset "$preset" -L qt -j 2
done
