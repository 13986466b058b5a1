#!/usr/bin/env bash
# The Windows program: cross-built with MinGW-w64, then its tests, the core's tests and an
# end-to-end run of vantoly.exe, all under Wine with no X server. The end-to-end test compares
# vantoly.exe's clipboard results with those of the native vantoly-convert.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
ensure_packages "${CORE_PACKAGES[@]}" "${WINE_PACKAGES[@]}"

# Expected results from the native build: one odd-sized picture (rows need padding at every
# depth) in all eight modes.
echo "== mingw: expected results from the native vantoly-convert"
build_preset release
data="$PWD/build/mingw-e2e-data"
rm -rf "$data" && mkdir -p "$data"
build/release/bin/vantoly-make-sample "$data/sample.bmp" 97 61
for mode in 0 1 2 3 4 5 6 7; do
  build/release/bin/vantoly-convert "$mode" "$data/sample.bmp" "$data/mode$mode.bmp"
done

# One Wine session for the whole run, in a prefix of our own, drawing nothing.
. tools/wine-env.sh
use_wine_prefix "$PWD/build/mingw/wineprefix"
unset DISPLAY WAYLAND_DISPLAY
trap stop_wine_session EXIT
start_wine_session
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
wine wineboot >/dev/null 2>&1

echo "== mingw build"
cmake --preset mingw -DVANTOLY_E2E_DATA_DIR="$data" >/dev/null
cmake --build --preset mingw -j 2

# A Windows user gets one file: nothing but system DLLs may be imported.
imports=$(x86_64-w64-mingw32-objdump -p build/mingw/bin/vantoly.exe | awk '/DLL Name:/ {print $3}')
for dll in $imports; do
  case "${dll,,}" in
  kernel32.dll | user32.dll | gdi32.dll | shell32.dll | comctl32.dll | advapi32.dll | msvcrt.dll) ;;
  *) echo "vantoly.exe imports $dll, which is not a system DLL" >&2; exit 1 ;;
  esac
done

# Wine itself now and then ends a test program at its start, in 10 ms and without a word, or
# leaves one hanging after its last line (about one run in three of these 89 here, a different
# test each time, never twice in a row): a test that fails is run again, up to twice, and
# counts as failed only when it fails every time.
ctest --preset mingw -j 2 --repeat until-pass:3 --timeout 60
