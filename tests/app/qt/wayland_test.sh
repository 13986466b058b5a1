#!/usr/bin/env bash
# vantoly under Wayland compositors with XWayland, started headless (tools/wayland-session.sh):
# sway (wlroots: data control, and a bridge that carries the X11 clipboard only while an X11
# window has the focus), its dialog under XWayland and native, and kwin_wayland (whose bridge
# left Wayland programs a stale offer that hung their paste). Another program offers a BMP, the
# dialog converts it on real key presses and ends on Esc, and a Wayland program's paste of
# image/png, just after and 1 s later, gives the pixels vantoly-convert makes: the keeper
# serves the result. A compositor that is not installed or cannot start here is skipped; with
# none, the whole test is (77).
set -euo pipefail
: "${VANTOLY:?} ${VANTOLY_CONVERT:?} ${VANTOLY_MAKE_SAMPLE:?} ${VANTOLY_COMPARE_IMAGE:?}"

. "$(dirname "${BASH_SOURCE[0]}")/../../../tools/wayland-session.sh"
work=$(mktemp -d)
# sway runs as nobody, who must reach its session's folder inside.
chmod 711 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  stop_wayland_session
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -s "$work/vantoly.err" ]; then
    echo "vantoly's standard error:" >&2
    head -c 20000 "$work/vantoly.err" >&2
  fi
  exit 1
}
# Waits up to $2 hundredths of a second for process $1 to end.
wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.01; done
  return 1
}
# Pastes image/png as a Wayland program does, into $1; a paste that hangs fails.
wayland_paste() { timeout 5 wl-paste --no-newline --type image/png >"$1"; }

"$VANTOLY_MAKE_SAMPLE" "$work/sample.bmp" 1001 601
# The dialog starts on mode 0.
"$VANTOLY_CONVERT" 0 "$work/sample.bmp" "$work/expected.bmp"

# Converts the clipboard's BMP in the dialog on this desktop and ends it with Esc: a Wayland
# program's paste just after and 1 s later gives the result. $1: how the dialog runs, "xwayland"
# (as vantoly starts under these compositors) or "native" (QT_QPA_PLATFORM=wayland).
convert_and_end() {
  local how=$1 server app window started gone early
  if [ "$how" = native ]; then
    # A Wayland program's copy: sway's bridge carries none from X11 while no X11 window has the
    # focus. Keys through the compositor's virtual keyboard; wtype's first key is lost when it
    # comes before the window has its keymap.
    wl-copy --foreground --type image/bmp <"$work/sample.bmp" &
    server=$!
    pids+=($server)
    QT_QPA_PLATFORM=wayland "$VANTOLY" 2>>"$work/vantoly.err" &
    app=$!
    pids+=($app)
    sleep 1.5
    wtype -s 300 -k Return
  else
    xclip -selection clipboard -t image/bmp -quiet "$work/sample.bmp" >/dev/null 2>&1 &
    server=$!
    pids+=($server)
    "$VANTOLY" 2>>"$work/vantoly.err" &
    app=$!
    pids+=($app)
    window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Vantoly$' | head -n 1) ||
      fail "$compositor, $how: no dialog"
    xdotool windowfocus --sync "$window"
    sleep 0.3
    xdotool key Return
  fi
  wait_gone "$server" 1000 || fail "$compositor, $how: vantoly did not take the clipboard"
  if [ "$how" = native ]; then
    wtype -s 300 -k Escape
    started=$EPOCHREALTIME
  else
    xdotool windowfocus --sync "$window"
    started=$EPOCHREALTIME
    xdotool key Escape
  fi
  # A paste just after the window has gone, while the keeper settles in: whoever answers it,
  # it must not meet a stale offer that nobody serves (KWin's bridge left one).
  (sleep 0.15 && wayland_paste "$session/early.png") &
  early=$!
  wait_gone "$app" 150 || fail "$compositor, $how: the dialog still runs 1.5 s after Esc"
  gone=$(((${EPOCHREALTIME/./} - ${started/./}) / 1000))
  wait "$early" || fail "$compositor, $how: a Wayland paste 0.15 s after Esc failed or hung"
  "$VANTOLY_COMPARE_IMAGE" "$work/expected.bmp" "$session/early.png" ||
    fail "$compositor, $how: a Wayland paste 0.15 s after Esc differs"
  sleep 1
  wayland_paste "$session/late.png" || fail "$compositor, $how: no Wayland paste 1 s after Esc"
  "$VANTOLY_COMPARE_IMAGE" "$work/expected.bmp" "$session/late.png" ||
    fail "$compositor, $how: the Wayland paste 1 s after Esc differs"
  echo "ok: $compositor, $how: gone $gone ms after Esc; Wayland pastes give the result"
}

# sway: data control, with the XWayland dialog (as vantoly starts there) and the native one,
# whose result only the keeper's Wayland offer keeps. kwin: the stale offer of its bridge.
ran=0
for compositor in sway kwin; do
  session=$work/$compositor
  mkdir "$session"
  if ! start_wayland_session "$session" "$compositor" 1280x800 2>"$session/start.err"; then
    echo "skipped: $compositor does not start here ($(tail -n 1 "$session/start.err"))"
    stop_wayland_session
    continue
  fi
  convert_and_end xwayland
  [ "$compositor" = sway ] && convert_and_end native
  stop_wayland_session
  ran=$((ran + 1))
done
[ "$ran" -gt 0 ] || { echo "skipped: no compositor starts here"; exit 77; }
