#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The README's test command.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/test-core.sh
bash tools/test-qt.sh
bash tools/test-package.sh
bash tools/test-wine.sh
bash tools/test-fuzz.sh
echo "== all tests passed"
