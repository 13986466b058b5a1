#!/usr/bin/env bash
# Screenshots of vantoly.exe's two dialogs under Wine, on a private Xvfb display, for checking
# the Japanese texts by eye. Needs the mingw build (tools/test-wine.sh) first.
#
#   bash tools/wine-screenshots.sh OUTPUT_FOLDER
#
# The dialogs run in a Wine virtual desktop, which draws the captions itself (there is no
# window manager), and the dialog font is replaced by IPA P Gothic in Wine's registry.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
. tools/wine-env.sh
. tools/x11-session.sh
ensure_packages xvfb xauth xdotool imagemagick fonts-ipafont-gothic
out=$(realpath "${1:?usage: wine-screenshots.sh OUTPUT_FOLDER}")
mkdir -p "$out"
exe="$PWD/build/mingw/bin/vantoly.exe"
[ -f "$exe" ] || { echo "build vantoly.exe first: bash tools/test-wine.sh" >&2; exit 1; }

# A prefix of its own: the test prefix keeps the null graphics driver.
use_wine_prefix "$PWD/build/mingw/wineprefix-screenshots"
work=$(mktemp -d)
trap 'stop_wine_session; stop_x11_session; rm -rf "$work"' EXIT
start_x11_session "$work" 1024x768
start_wine_session
# The dialog font, and Wine's own face for captions and menus, which has no Japanese.
for face in 'ＭＳ Ｐゴシック' Tahoma; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d IPAPGothic /f >/dev/null
done

wine explorer /desktop=Vantoly,400x260 "$exe" >/dev/null 2>&1 &
sleep 4
import -display "$DISPLAY" -window root "$out/win32-main-dialog.png"

# Alt+Space opens the system menu; the About item is its last.
desktop=$(xdotool search --name 'Vantoly - Wine desktop' | head -1)
xdotool mousemove --window "$desktop" 300 200 click 1  # the dialog's caption area: activates it
sleep 1
xdotool key alt+space
sleep 1
import -display "$DISPLAY" -window root "$out/win32-system-menu.png"
xdotool key Up Return
sleep 2
import -display "$DISPLAY" -window root "$out/win32-about-box.png"
# Esc closes the box; Enter converts, and this Wine session's clipboard holds no bitmap.
xdotool key Escape
sleep 1
xdotool key Return
sleep 2
import -display "$DISPLAY" -window root "$out/win32-message.png"
xdotool key Return Escape
sleep 1
echo "screenshots in $out"
