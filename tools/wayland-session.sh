# A private Wayland compositor with XWayland for the tests, sourced by them (bash):
#   . tools/wayland-session.sh
#   start_wayland_session WORK COMPOSITOR [WIDTHxHEIGHT]
# COMPOSITOR is sway, kwin, mutter or weston, each started headless (weston in an Xvfb of its
# own: its headless backend has no seat). It exports WAYLAND_DISPLAY (a path, so that it holds
# whatever XDG_RUNTIME_DIR a client has), DISPLAY and, where there is one, XAUTHORITY for its
# XWayland, XDG_RUNTIME_DIR (WORK/run, mode 700) and WAYLAND_SESSION_COMPOSITOR; it unsets
# QT_QPA_PLATFORM, so that Qt picks as it would on that desktop. WORK is a folder the caller
# removes. stop_wayland_session ends what it started, the compositor's XWayland included;
# callers put it in their EXIT trap.
#
# sway refuses to run as root: as root it runs as nobody, in a folder nobody owns, and lets the
# caller's user into its XWayland with xhost. kwin_wayland carries file capabilities that a
# container may not grant: a copy of it (cp drops them) runs instead. kwin and mutter get a
# session bus of their own. Headless mutter has no keyboard, and without one no Wayland client
# may touch the clipboard ("This seat has no keyboard"): a virtual one is made through mutter's
# remote-desktop interface, and wayland_session_key KEYSYM... (hex, e.g. ff0d for Return) types
# on it into the focused window. Compositors put their X sockets in /tmp/.X11-unix, made (1777)
# if missing and removed again if then empty.

WAYLAND_SESSION_PIDS=()
WAYLAND_SESSION_MADE_X11_DIR=
WAYLAND_SESSION_KEYS=

# Waits up to 20 s for FILE to hold something; 1 when it never does.
_wayland_session_wait_file() {
  local i
  for ((i = 0; i < 200; i++)); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Writes the script the compositor starts once it is up (mutter and weston are not given it: it
# is run from here): it waits for XWayland to answer, then writes which displays are up to OUT.
# Its argument, if any, is a user to let into XWayland.
_wayland_session_ready_script() {
  local script=$1 out=$2
  cat >"$script" <<EOF
#!/bin/sh
if [ -n "\$1" ]; then xhost "+si:localuser:\$1" >/dev/null; else xhost >/dev/null; fi
case \$WAYLAND_DISPLAY in /*) ;; *) WAYLAND_DISPLAY=\$XDG_RUNTIME_DIR/\$WAYLAND_DISPLAY ;; esac
echo "\$WAYLAND_DISPLAY \$DISPLAY \${XAUTHORITY:-}" >"$out.part"
mv "$out.part" "$out"
EOF
  chmod 755 "$script"
}

# True while PID runs (a zombie, not yet waited for, has ended).
_wayland_session_alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${state#Z}" = "$state" ]
}

# Runs PROGRAM ARGS... in the background with its output in LOG, and keeps its pid.
_wayland_session_run() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  WAYLAND_SESSION_PIDS+=($!)
}

# A session bus of its own for the compositor, in DBUS_SESSION_BUS_ADDRESS.
_wayland_session_bus() {
  local work=$1 i
  _wayland_session_run "$work/dbus.log" dbus-daemon --session --nofork --nopidfile \
    --address="unix:path=$work/bus"
  for ((i = 0; i < 100; i++)); do
    [ -S "$work/bus" ] && break
    sleep 0.1
  done
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
}

# mutter's virtual keyboard: a remote-desktop session, which lives as long as this helper, types
# the keysyms (hex, one a line) it reads from WORK/keys. Debian's own Python, where python3-gi is.
_wayland_session_mutter_keyboard() {
  local work=$1
  mkfifo "$work/keys"
  exec {WAYLAND_SESSION_KEYS}<>"$work/keys"
  # Its input is named on the command itself: a background command's would be /dev/null.
  /usr/bin/python3 -c '
import sys
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
name, root = "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop"
def call(path, interface, method, args=None, reply=None):
    return bus.call_sync(name, path, interface, method, args, reply, 0, -1, None)
session = call(root, name, "CreateSession", None, GLib.VariantType("(o)")).unpack()[0]
call(session, name + ".Session", "Start")
for line in sys.stdin:
    for down in (True, False):
        key = GLib.Variant("(ub)", (int(line, 16), down))
        call(session, name + ".Session", "NotifyKeyboardKeysym", key)
    print(line.strip(), flush=True)
' <"$work/keys" >"$work/keyboard.log" 2>&1 &
  WAYLAND_SESSION_PIDS+=($!)
  # The keyboard comes with its first key: Shift, which types nothing.
  wayland_session_key ffe1
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q ffe1 "$work/keyboard.log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "mutter's virtual keyboard did not start: $(cat "$work/keyboard.log")" >&2
  return 1
}

# Types KEYSYM... (hex) into the focused window; mutter only (elsewhere use xdotool or wtype).
wayland_session_key() {
  local key
  for key in "$@"; do echo "$key" >&"$WAYLAND_SESSION_KEYS"; done
}

start_wayland_session() {
  local work=$1 compositor=$2 size=${3:-1920x1080}
  local width=${size%x*} height=${size#*x} ready=$work/ready socket=wayland-vantoly i fd
  mkdir -p -m 700 "$work/run"
  export XDG_RUNTIME_DIR=$work/run
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY WAYLAND_SOCKET DISPLAY XAUTHORITY
  if [ ! -d /tmp/.X11-unix ]; then
    mkdir -m 1777 /tmp/.X11-unix && WAYLAND_SESSION_MADE_X11_DIR=1
  fi
  # sway's script runs as nobody, so it answers where nobody may write.
  [ "$compositor" = sway ] && ready=$work/sway/ready
  mkdir -p -m 700 "${ready%/*}"
  _wayland_session_ready_script "$work/ready.sh" "$ready"
  case $compositor in
  sway)
    local home=$work/sway as_user=()
    mkdir -p -m 700 "$home/run"
    cat >"$home/config" <<EOF
output * resolution ${width}x${height}
xwayland force
exec $work/ready.sh $(id -un)
EOF
    if [ "$(id -u)" -eq 0 ]; then
      chmod o+x "$work"
      chown -R nobody:nogroup "$home"
      as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    fi
    _wayland_session_run "$work/sway.log" "${as_user[@]}" env -i PATH=/usr/bin:/bin \
      HOME="$home" XDG_RUNTIME_DIR="$home/run" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
      WLR_RENDERER=pixman sway -c "$home/config"
    ;;
  kwin)
    _wayland_session_bus "$work"
    cp /usr/bin/kwin_wayland "$work/kwin_wayland"
    _wayland_session_run "$work/kwin.log" env KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 \
      "$work/kwin_wayland" --virtual --xwayland --width "$width" --height "$height" \
      --socket "$socket" --no-lockscreen --no-global-shortcuts --no-kactivities "$work/ready.sh"
    ;;
  mutter)
    _wayland_session_bus "$work"
    _wayland_session_run "$work/mutter.log" mutter --wayland --headless \
      --virtual-monitor "$size" --wayland-display="$socket"
    # A program started by mutter would end the session when it ends: the log names the
    # display, and the authority file is mutter's own.
    local display=
    for ((i = 0; i < 200; i++)); do
      display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' \
        "$work/mutter.log" 2>/dev/null)
      [ -n "$display" ] && break
      sleep 0.1
    done
    [ -n "$display" ] && WAYLAND_DISPLAY=$socket DISPLAY=$display \
      XAUTHORITY=$(ls "$work/run"/.mutter-Xwaylandauth.* 2>/dev/null | head -n 1) "$work/ready.sh"
    _wayland_session_mutter_keyboard "$work" || return 1
    ;;
  weston)
    # Its X11 backend draws into an Xvfb of its own (-displayfd: a free number).
    exec {fd}>"$work/outer-display"
    _wayland_session_run "$work/xvfb.log" Xvfb -displayfd "$fd" -screen 0 "${size}x24" \
      -nolisten tcp -noreset
    exec {fd}>&-
    if ! _wayland_session_wait_file "$work/outer-display"; then
      echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2
      return 1
    fi
    DISPLAY=:$(head -n 1 "$work/outer-display") _wayland_session_run "$work/weston.log" \
      weston --backend=x11-backend.so --xwayland --socket="$socket" --width="$width" \
      --height="$height" --idle-time=0
    # Its log names its XWayland's display.
    local display=
    for ((i = 0; i < 200; i++)); do
      display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' \
        "$work/weston.log" 2>/dev/null)
      [ -n "$display" ] && break
      sleep 0.1
    done
    [ -n "$display" ] && WAYLAND_DISPLAY=$socket DISPLAY=$display "$work/ready.sh"
    ;;
  *)
    echo "start_wayland_session: unknown compositor '$compositor'" >&2
    return 1
    ;;
  esac
  if ! _wayland_session_wait_file "$ready"; then
    echo "$compositor did not start: $(tail -n 20 "$work"/*.log)" >&2
    return 1
  fi
  local wayland x11 auth
  read -r wayland x11 auth <"$ready"
  export WAYLAND_DISPLAY=$wayland DISPLAY=$x11 WAYLAND_SESSION_COMPOSITOR=$compositor
  if [ -n "$auth" ]; then export XAUTHORITY=$auth; else unset XAUTHORITY; fi
}

stop_wayland_session() {
  local pid i children=()
  # The compositor's children (XWayland above all) end with it; any left are ended after it.
  for pid in "${WAYLAND_SESSION_PIDS[@]}"; do
    children+=($(pgrep -P "$pid" 2>/dev/null || true))
  done
  for ((i = ${#WAYLAND_SESSION_PIDS[@]} - 1; i >= 0; i--)); do
    kill "${WAYLAND_SESSION_PIDS[i]}" 2>/dev/null || true
  done
  for pid in "${WAYLAND_SESSION_PIDS[@]}"; do
    for ((i = 0; i < 50; i++)); do
      _wayland_session_alive "$pid" || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  for pid in "${children[@]}"; do
    _wayland_session_alive "$pid" && kill "$pid" 2>/dev/null
  done
  WAYLAND_SESSION_PIDS=()
  if [ -n "${WAYLAND_SESSION_KEYS:-}" ]; then
    exec {WAYLAND_SESSION_KEYS}>&-
    WAYLAND_SESSION_KEYS=
  fi
  if [ -n "$WAYLAND_SESSION_MADE_X11_DIR" ]; then
    rmdir /tmp/.X11-unix 2>/dev/null || true
    WAYLAND_SESSION_MADE_X11_DIR=
  fi
  unset WAYLAND_SESSION_COMPOSITOR
}
