#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: vantoly-convert on a sample picture,
# writing all eight results to build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
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
