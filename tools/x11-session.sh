# A private X display for the tests and benchmarks, sourced by them (bash):
#   . tools/x11-session.sh
#   start_x11_session WORK [WIDTHxHEIGHT] [openbox [OPENBOX_CONFIG]]
# starts Xvfb on a free display number (-displayfd, so parallel runs never collide; -noreset
# keeps it up while no program is connected), optionally openbox, and exports DISPLAY,
# XDG_RUNTIME_DIR (WORK/run, mode 700) and QT_QPA_PLATFORM=xcb. WORK is a folder the caller
# removes. stop_x11_session ends what it started; callers put it in their EXIT trap.

X11_SESSION_PIDS=()

start_x11_session() {
  local work=$1 size=${2:-1024x768} wm=${3:-} wm_config=${4:-} i
  mkdir -p -m 700 "$work/run"
  export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb
  # Nothing of the desktop the tests run on: the keeper would offer on its Wayland clipboard.
  unset WAYLAND_DISPLAY WAYLAND_SOCKET
  exec {x11_fd}>"$work/display"
  Xvfb -displayfd "$x11_fd" -screen 0 "${size}x24" -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
  X11_SESSION_PIDS+=($!)
  exec {x11_fd}>&-
  for ((i = 0; i < 100; i++)); do [ -s "$work/display" ] && break; sleep 0.1; done
  if [ ! -s "$work/display" ]; then
    echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2
    return 1
  fi
  export DISPLAY=:$(head -n 1 "$work/display")
  if [ "$wm" = openbox ]; then
    openbox ${wm_config:+--config-file "$wm_config"} >"$work/openbox.log" 2>&1 &
    X11_SESSION_PIDS+=($!)
    # Up once it has set the root window's work area.
    for ((i = 0; i < 100; i++)); do
      xprop -root _NET_WORKAREA 2>/dev/null | grep -q '=' && break
      sleep 0.1
    done
  fi
}

stop_x11_session() {
  local pid
  for pid in "${X11_SESSION_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  X11_SESSION_PIDS=()
}
