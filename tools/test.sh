#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The README's test command.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
# Everything is installed first, so that the first configuration of a preset already finds
# Qt, and the scripts below share one configuration and build of each preset.
ensure_packages "${CORE_PACKAGES[@]}" "${QT_PACKAGES[@]}" "${QT_TEST_PACKAGES[@]}" \
  "${WAYLAND_TEST_PACKAGES[@]}" "${PACKAGE_TEST_PACKAGES[@]}" "${WINE_PACKAGES[@]}" \
  "${FUZZ_PACKAGES[@]}"
export VANTOLY_RUN="$$-$(date +%s%N)"
bash tools/test-core.sh
bash tools/test-qt.sh
bash tools/test-package.sh
bash tools/test-wine.sh
bash tools/test-fuzz.sh
echo "== all tests passed"
