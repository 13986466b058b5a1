#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: on a desktop (X11 or Wayland) the
# dialog, vantoly; without a display, the headless demo: vantoly-convert on a sample picture,
# writing all eight results to build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  ensure_packages "${CORE_PACKAGES[@]}" "${QT_PACKAGES[@]}"
  cmake -S . -B build -G Ninja -DVANTOLY_BUILD_TESTS=OFF >/dev/null
  cmake --build build
  echo "Starting build/bin/vantoly: the dialog sits in the bottom-right corner of the screen."
  echo "(If a copy is running already, this one ends at once: only one runs at a time.)"
  exec build/bin/vantoly
fi
echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): the dialog cannot be shown."
echo "Running the headless demo instead: vantoly-convert on a sample picture."
ensure_packages "${CORE_PACKAGES[@]}"
cmake -S . -B build -G Ninja -DVANTOLY_BUILD_TESTS=OFF >/dev/null
cmake --build build
mkdir -p build/demo
build/bin/vantoly-make-sample build/demo/sample.bmp
for mode in 0 1 2 3 4 5 6 7; do
  build/bin/vantoly-convert "$mode" build/demo/sample.bmp "build/demo/mode$mode.bmp"
done
build/bin/vantoly-convert --help
echo "Converted build/demo/sample.bmp in all eight modes: build/demo/mode0.bmp ... mode7.bmp"
