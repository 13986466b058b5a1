#!/usr/bin/env bash
# vantoly as a user runs it, on a real X server (Xvfb) with other programs on the clipboard:
# xclip offers a BMP, the dialog converts it on real key presses, xclip reads back image/bmp
# (byte for byte what vantoly-convert writes for the same mode) and image/png (same pixels
# and colour table); the same with a translucent PNG offered, against vantoly-convert reading
# that PNG file. A clipboard owner that never answers: one read message after the deadline,
# the window repainting, a second Enter starting nothing, and Esc ending the program while it
# waits; a TARGETS list of a million atoms and an INCR transfer without end each end in the read
# message too, with the memory bounded. The result outlives the program: vantoly-keeper takes it
# over at once (every request across Esc answered, the clipboard taken with the dialog's own
# time, never from a newer copy), and serves it until any other copy ends it (a second vantoly
# converts it); a manager that never answers or says yes and keeps nothing costs nothing, one
# that keeps the result ends the keeper; one MULTIPLE request naming the BMP hundreds of times
# costs the X server one copy. Then the single-instance rule with real processes: a second
# copy ends at once and silently, the first lives on, and a killed copy leaves no lock behind.
# Last, under a window manager, the frame's bottom-right corner sits on the screen's.
set -euo pipefail
: "${VANTOLY:?} ${VANTOLY_KEEPER:?} ${VANTOLY_CONVERT:?} ${VANTOLY_MAKE_SAMPLE:?} ${VANTOLY_COMPARE_IMAGE:?} ${VANTOLY_X11_HELPER:?}"
# Set to 1 when the programs carry AddressSanitizer, whose own bookkeeping costs memory.
VANTOLY_SANITIZED=${VANTOLY_SANITIZED:-0}

. "$(dirname "${BASH_SOURCE[0]}")/../../../tools/x11-session.sh"
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  stop_x11_session
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -s "$work/vantoly.err" ]; then echo "vantoly's standard error:" >&2; head -c 20000 "$work/vantoly.err" >&2; fi
  exit 1
}
# Waits up to $2 tenths of a second for process $1 to end.
wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}
# Pastes the clipboard (`paste -t TARGET` for a target); an owner that never answers fails it.
paste() { timeout 10 xclip -selection clipboard "$@" -o; }
# Waits until the clipboard offers MIME type $1, and another program than ours offers it (ours
# offer TIMESTAMP too, xclip does not).
wait_offered() {
  local i targets
  for ((i = 0; i < 100; i++)); do
    targets=$(paste -t TARGETS 2>/dev/null || true)
    grep -qx "$1" <<<"$targets" && ! grep -qx TIMESTAMP <<<"$targets" && return 0
    sleep 0.1
  done
  fail "the clipboard never offered $1"
}
# The keeper serving this display, if one runs (its arguments: the display's name, the time).
keeper_pid() { pgrep -f "vantoly-keeper $DISPLAY( [0-9]+)?\$" || true; }
# The visible dialog's window id; fails after 20 s.
dialog_window() {
  timeout 20 xdotool search --sync --onlyvisible --name '^Vantoly$' | head -n 1
}
# A visible message box's window id (its caption is the executable's name; xdotool's search
# ignores case, so the dialog "Vantoly" is told apart here); empty when there is none.
message_box() {
  local id
  for id in $(xdotool search --onlyvisible --name '^vantoly$'); do
    if [ "$(xdotool getwindowname "$id")" = vantoly ]; then
      echo "$id"
      return
    fi
  done
}

# A display of our own (tools/x11-session.sh): parallel runs never collide, and the server
# stays up while no program is connected (between two copies).
start_x11_session "$work" 1024x768 || fail "no X display"

# Large enough (1.8 MB) that xclip hands the BMP over in INCR pieces.
"$VANTOLY_MAKE_SAMPLE" "$work/sample.bmp" 1001 601
"$VANTOLY_COMPARE_IMAGE" --to-png "$work/sample.bmp" "$work/sample.png"

# Offers $2 as MIME type $1 (xclip serves it until another program takes the clipboard),
# presses the keys $3..., and checks the clipboard against vantoly-convert in mode $mode.
convert_offered() {
  local type=$1 file=$2
  shift 2
  xclip -selection clipboard -t "$type" -quiet "$file" >/dev/null 2>&1 &
  local server=$!
  pids+=($server)
  wait_offered "$type"
  local keeper
  for keeper in $(keeper_pid); do
    wait_gone "$keeper" 20 || fail "the keeper still runs after xclip took the clipboard"
  done
  xdotool key --delay 50 "$@"
  wait_gone "$server" 100 || fail "vantoly did not take the clipboard ($type in, mode $mode)"
  # The same file through vantoly-convert: a picture converts alike from a file and from the
  # clipboard.
  "$VANTOLY_CONVERT" "$mode" "$file" "$work/expected.bmp"
  paste -t image/bmp >"$work/out.bmp" || fail "no image/bmp ($type in, mode $mode)"
  cmp "$work/expected.bmp" "$work/out.bmp" || fail "image/bmp differs ($type in, mode $mode)"
  paste -t image/png >"$work/out.png" || fail "no image/png ($type in, mode $mode)"
  "$VANTOLY_COMPARE_IMAGE" "$work/expected.bmp" "$work/out.png" ||
    fail "image/png differs ($type in, mode $mode)"
  echo "ok: $type in, mode $mode: image/bmp and image/png as vantoly-convert"
}

"$VANTOLY" 2>"$work/vantoly.err" &
app=$!
pids+=($app)
window=$(dialog_window) || fail "no dialog"
# No window manager: give the dialog the keyboard ourselves.
xdotool windowfocus --sync "$window"
sleep 0.3

# The focus starts on Convert: Tab to the list, seven steps down to mode 7, Enter converts.
mode=7
convert_offered image/bmp "$work/sample.bmp" Tab Down Down Down Down Down Down Down Return
# A PNG, as most Linux programs offer pictures; two steps up to mode 5 (double size).
mode=5
convert_offered image/png "$work/sample.png" Up Up Return

# A PNG cut off halfway fails on the thread that decodes it while its first rows are being
# converted: the read message, and the clipboard stays with its owner.
head -c $(($(stat -c %s "$work/sample.png") / 2)) "$work/sample.png" >"$work/cut.png"
xclip -selection clipboard -t image/png -quiet "$work/cut.png" >/dev/null 2>&1 &
server=$!
pids+=($server)
wait_offered image/png
xdotool key Return
box=
for ((i = 0; i < 100; i++)); do box=$(message_box); [ -n "$box" ] && break; sleep 0.1; done
[ -n "$box" ] || fail "no message after a PNG cut off halfway"
kill -0 "$server" 2>/dev/null || fail "the clipboard changed hands after a PNG cut off halfway"
paste -t image/png | cmp - "$work/cut.png" ||
  fail "the clipboard changed after a PNG cut off halfway"
xdotool windowfocus --sync "$box" key Return
sleep 0.5
xdotool windowfocus --sync "$window"
echo "ok: a PNG cut off halfway: the read message, the clipboard as it was"

# An owner that never answers. The read gives up after its deadline (5 s) with the read
# message; meanwhile the window repaints what another window uncovers.
"$VANTOLY_X11_HELPER" own >"$work/owner.out" &
pids+=($!)
for ((i = 0; i < 50; i++)); do grep -q owned "$work/owner.out" && break; sleep 0.1; done
grep -q owned "$work/owner.out" || fail "the silent owner did not take the clipboard"
started=$EPOCHREALTIME
xdotool key Return
sleep 1
"$VANTOLY_X11_HELPER" cover "$window"
for ((i = 0; i < 20; i++)); do
  red=$("$VANTOLY_X11_HELPER" red "$window")
  [ "$red" -eq 0 ] && break
  sleep 0.1
done
[ "$red" -eq 0 ] || fail "the dialog did not repaint while waiting for the clipboard ($red red pixels)"
# Enter again meanwhile starts no second read (which would bring a second message).
xdotool key Return
box=
for ((i = 0; i < 100; i++)); do box=$(message_box); [ -n "$box" ] && break; sleep 0.1; done
[ -n "$box" ] || fail "no message after a silent owner"
waited=$(((${EPOCHREALTIME/./} - ${started/./}) / 1000))
((waited >= 4000 && waited <= 8000)) || fail "the message came after $waited ms, not after about 5 s"
xdotool windowfocus --sync "$box" key Return
sleep 1.5
[ -z "$(message_box)" ] || fail "a second message after a silent owner"
echo "ok: a silent owner: the window repaints, one read message after $waited ms"

# Esc while it waits ends the program at once, without a message.
xdotool windowfocus --sync "$window" key Return
sleep 1
xdotool key Escape
wait_gone "$app" 20 || fail "Esc did not end the program while it waited for the clipboard"
wait "$app" || fail "vantoly exited with $?"
echo "ok: Esc ends the program, also while it waits for the clipboard"

# Starts vantoly and gives its dialog the keyboard: $app, $window.
start_vantoly() {
  "$VANTOLY" 2>>"$work/vantoly.err" &
  app=$!
  pids+=($app)
  window=$(dialog_window) || fail "no dialog"
  xdotool windowfocus --sync "$window"
  sleep 0.3
}
# Starts the helper in role $@ and waits until it owns its selection: $owner.
start_owner() {
  rm -f "$work/owner.out"
  "$VANTOLY_X11_HELPER" "$@" >"$work/owner.out" &
  owner=$!
  pids+=($owner)
  for ((i = 0; i < 50; i++)); do grep -q owned "$work/owner.out" && break; sleep 0.1; done
  grep -q owned "$work/owner.out" || fail "the helper ($*) did not take its selection"
}
# The clipboard holds the result in expected.bmp: image/bmp byte for byte, image/png the same
# pixels.
check_result() {
  paste -t image/bmp >"$work/out.bmp" || fail "no image/bmp $1"
  cmp "$work/expected.bmp" "$work/out.bmp" || fail "image/bmp differs $1"
  paste -t image/png >"$work/out.png" || fail "no image/png $1"
  "$VANTOLY_COMPARE_IMAGE" "$work/expected.bmp" "$work/out.png" || fail "image/png differs $1"
}

# Hostile owners end in the read message too, the process's memory stays bounded, and Esc
# during the read ends the program. ($1: what the owner does; the rest: the helper's role.)
hostile_owner() {
  local what=$1
  shift
  start_vantoly
  start_owner "$@"
  xdotool key Return
  box=
  for ((i = 0; i < 80; i++)); do box=$(message_box); [ -n "$box" ] && break; sleep 0.1; done
  [ -n "$box" ] || fail "no read message after $what"
  peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$app/status")
  if [ "$VANTOLY_SANITIZED" != 1 ] && ((peak >= 300 * 1024)); then
    fail "$what: vantoly's memory peaked at $((peak / 1024)) MB"
  fi
  xdotool windowfocus --sync "$box" key Return
  for ((i = 0; i < 20; i++)); do [ -z "$(message_box)" ] && break; sleep 0.1; done
  if [ "${hostile_esc:-1}" = 1 ]; then
    xdotool windowfocus --sync "$window" key Return
    sleep 1
    [ -z "$(message_box)" ] || fail "$what: the read ended within a second"
    xdotool key Escape
    wait_gone "$app" 15 || fail "Esc did not end the program while it read from $what"
  else
    xdotool windowfocus --sync "$window" key Escape
    wait_gone "$app" 15 || fail "Esc did not end the program"
  fi
  kill "$owner"
  echo "ok: $what: the read message, memory peak $((peak / 1024)) MB; Esc ends the program"
}
# A million targets are refused at once (no owner offers that many), so no Esc can fall
# inside that read.
hostile_esc=0 hostile_owner "a TARGETS list of 1,000,000 atoms" targets 1000000
hostile_owner "an INCR transfer without end" endless

# Esc with no clipboard manager: the keeper takes the clipboard over with the dialog's own time
# and serves the result as vantoly-convert makes it. Requests every 5 ms across Esc are each
# answered, none refused: the keeper owns the clipboard before the dialog stops answering.
start_vantoly
mode=1
convert_offered image/bmp "$work/sample.bmp" Tab Down Return
stamp=$(paste -t TIMESTAMP)
"$VANTOLY_X11_HELPER" requests 100 >"$work/asked" &
asker=$!
sleep 0.15
started=$EPOCHREALTIME
xdotool key Escape
wait_gone "$app" 15 || fail "Esc did not end the program (no clipboard manager)"
gone=$(((${EPOCHREALTIME/./} - ${started/./}) / 1000))
wait "$asker"
grep -qx "answered 100 refused 0 of 100" "$work/asked" || fail "requests across Esc: $(cat "$work/asked")"
keeper=$(keeper_pid)
[ -n "$keeper" ] || fail "no keeper serves the result"
[ "$(paste -t TIMESTAMP)" = "$stamp" ] ||
  fail "the keeper took the clipboard at another time than the dialog ($stamp)"
check_result "from the keeper"
echo "ok: no clipboard manager: gone $gone ms after Esc, the keeper serves image/bmp and image/png, every request answered"

# A second vantoly converts the kept picture, and takes the clipboard from the keeper.
cp "$work/expected.bmp" "$work/kept.bmp"
start_vantoly
xdotool key --delay 50 Tab Down Return
wait_gone "$keeper" 100 || fail "the second vantoly did not take the clipboard from the keeper"
"$VANTOLY_CONVERT" 1 "$work/kept.bmp" "$work/expected.bmp"
check_result "after converting the kept picture"
xdotool key Escape
wait_gone "$app" 15 || fail "Esc did not end the second vantoly"
keeper=$(keeper_pid)
[ -n "$keeper" ] || fail "no keeper after the second vantoly"
# Copying anything else ends the keeper.
printf 'something else' | xclip -selection clipboard -quiet >/dev/null 2>&1 &
pids+=($!)
wait_gone "$keeper" 20 || fail "the keeper still runs after another program took the clipboard"
[ "$(paste)" = "something else" ] || fail "the other program's text is gone"
echo "ok: a second vantoly converts the kept picture; another copy ends the keeper"

# Starts the keeper on $work/expected.bmp and its PNG, as the dialog hands them over (two sizes,
# then the files) with the ownership time $1: $keeper, and its answer in $work/confirmed.
start_keeper() {
  "$VANTOLY_COMPARE_IMAGE" --to-png "$work/expected.bmp" "$work/expected.png"
  perl -e 'print pack("Q<Q<", -s $ARGV[0], -s $ARGV[1])' "$work/expected.bmp" "$work/expected.png" |
    cat - "$work/expected.bmp" "$work/expected.png" >"$work/handed"
  rm -f "$work/confirmed"
  "$VANTOLY_KEEPER" "$DISPLAY" "$1" <"$work/handed" >"$work/confirmed" &
  keeper=$!
  pids+=($keeper)
  for ((i = 0; i < 100; i++)); do [ -s "$work/confirmed" ] && break; sleep 0.1; done
}

# A result larger than one request the X server takes (16 MiB) goes out in INCR pieces, to
# several requestors at once.
"$VANTOLY_MAKE_SAMPLE" "$work/large.bmp" 4400 4000
"$VANTOLY_CONVERT" 1 "$work/large.bmp" "$work/expected.bmp"
printf 'something else' | xclip -selection clipboard -quiet >/dev/null 2>&1 &
pids+=($!)
wait_offered UTF8_STRING
# With a time from before that copy, the keeper leaves the clipboard to it and ends.
start_keeper 1
[ "$(cat "$work/confirmed")" = 0 ] || fail "the keeper took the clipboard from a newer copy"
wait_gone "$keeper" 20 || fail "the keeper did not end after a newer copy"
[ "$(paste)" = "something else" ] || fail "the newer copy is gone"
start_keeper 0
[ "$(cat "$work/confirmed")" = 1 ] || fail "the keeper did not take the clipboard"
readers=()
for i in 1 2 3; do
  paste -t image/bmp >"$work/large$i.bmp" &
  readers+=($!)
done
for i in 1 2 3; do
  wait "${readers[$((i - 1))]}" || fail "reader $i of the large result failed"
  cmp "$work/expected.bmp" "$work/large$i.bmp" || fail "reader $i got another large result"
done
printf 'something else' | xclip -selection clipboard -quiet >/dev/null 2>&1 &
pids+=($!)
wait_gone "$keeper" 20 || fail "the keeper still runs after another program took the clipboard"
rm -f "$work"/large*.bmp
echo "ok: a large result goes out in pieces to three requestors at once; a newer copy stays"

# One MULTIPLE request naming image/bmp 256 times: the keeper serves it once, so the X server
# grows by one copy rather than 256 (470 MB), and another requestor is answered meanwhile.
"$VANTOLY_CONVERT" 1 "$work/sample.bmp" "$work/expected.bmp"
start_keeper 0
xvfb_before=$(awk '/^VmRSS/ { print $2 }' "/proc/${X11_SESSION_PIDS[0]}/status")
"$VANTOLY_X11_HELPER" multiple 256 >"$work/asked" &
asker=$!
pids+=($asker)
for ((i = 0; i < 50; i++)); do grep -q sent "$work/asked" && break; sleep 0.1; done
started=$EPOCHREALTIME
paste -t TARGETS >/dev/null || fail "no TARGETS beside a MULTIPLE flood"
waited=$(((${EPOCHREALTIME/./} - ${started/./}) / 1000))
for ((i = 0; i < 100; i++)); do grep -q answered "$work/asked" && break; sleep 0.1; done
grown=$((($(awk '/^VmRSS/ { print $2 }' "/proc/${X11_SESSION_PIDS[0]}/status") - xvfb_before) / 1024))
grep -qx "answered 1 of 256" "$work/asked" || fail "MULTIPLE flood: $(cat "$work/asked")"
((grown < 200 && waited < 500)) || fail "MULTIPLE flood: the X server grew by $grown MB, TARGETS took $waited ms"
kill "$asker" "$keeper"
echo "ok: a MULTIPLE flood: the X server grew by $grown MB, another requestor answered in $waited ms"

# Managers: one that owns CLIPBOARD_MANAGER and never answers, one that says yes and keeps
# nothing (as some compositors' X11 bridges do), one that keeps the result. Each time the dialog
# is gone at once (the keeper asks the manager, not the dialog), and the keeper serves on
# until the manager owns the clipboard.
for manager in "own CLIPBOARD_MANAGER" empty-yes manager; do
  start_owner $manager
  start_vantoly
  mode=0
  convert_offered image/bmp "$work/sample.bmp" Return
  started=$EPOCHREALTIME
  xdotool key Escape
  wait_gone "$app" 10 || fail "Esc did not end the program within a second ($manager)"
  gone=$(((${EPOCHREALTIME/./} - ${started/./}) / 1000))
  if [ "$manager" = manager ]; then
    for ((i = 0; i < 50; i++)); do grep -q '^saved' "$work/owner.out" && break; sleep 0.1; done
    grep -q '^saved' "$work/owner.out" || fail "the manager did not save the result"
    for keeper in $(keeper_pid); do
      wait_gone "$keeper" 20 || fail "the keeper still runs after the manager took the result"
    done
  else
    [ -n "$(keeper_pid)" ] || fail "no keeper serves the result ($manager)"
    if [ "$manager" = empty-yes ] && ! grep -q asked "$work/owner.out"; then
      fail "the keeper did not ask the manager"
    fi
  fi
  check_result "after Esc ($manager)"
  kill "$owner"
  echo "ok: $manager: gone $gone ms after Esc; image/bmp and image/png still paste"
done

# One copy at a time.
"$VANTOLY" &
first=$!
pids+=($first)
dialog_window >/dev/null || fail "no dialog"
set +e
timeout 10 "$VANTOLY" >"$work/second.out" 2>&1
status=$?
set -e
[ "$status" -eq 0 ] || fail "the second copy exited with $status"
[ ! -s "$work/second.out" ] || fail "the second copy wrote: $(cat "$work/second.out")"
kill -0 "$first" 2>/dev/null || fail "the first copy died"
[ "$(xdotool search --onlyvisible --name '^Vantoly$' | wc -l)" -eq 1 ] || fail "not exactly one dialog"
echo "ok: a second copy ends at once and silently; the first runs on"

# Killed, the first copy leaves no lock: the next one starts.
kill -KILL "$first"
wait "$first" 2>/dev/null || true
"$VANTOLY" &
third=$!
pids+=($third)
window=$(dialog_window) || fail "no dialog after the first copy was killed"
xdotool windowfocus --sync "$window" key Escape
wait_gone "$third" 100 || fail "Esc did not end the program"
echo "ok: a killed copy leaves no lock behind"

# Under a window manager the frame, not just the client area, meets the corner of the work
# area, which panels make smaller than the screen: here the window manager keeps 30 pixels on
# the right and 40 at the bottom for them. On a small, a wide and a 4K screen, each a display of
# its own.
placed_in_corner() {
  local width=$1 height=$2
  local corner expected="$(($1 - 30)),$(($2 - 40))"
  start_x11_session "$work/screen-$width" "${width}x${height}" openbox "$work/openbox.xml" ||
    fail "no X display of $width × $height"
  for ((i = 0; i < 100; i++)); do
    xprop -root _NET_WORKAREA 2>/dev/null |
      grep -q "= 0, 0, $((width - 30)), $((height - 40))" && break
    sleep 0.1
  done
  "$VANTOLY" &
  local placed=$!
  pids+=($placed)
  window=$(dialog_window) || fail "no dialog under the window manager"
  for ((i = 0; i < 50; i++)); do
    # left, right, top, bottom. (xdotool's window geometry counts the frame twice under a
    # reparenting window manager; xwininfo's does not.)
    extents=$(xprop -id "$window" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ' ')
    if [ -n "$extents" ]; then
      IFS=, read -r left right top bottom <<<"$extents"
      info=$(xwininfo -id "$window")
      x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
      y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
      w=$(sed -n 's/^ *Width: *//p' <<<"$info")
      h=$(sed -n 's/^ *Height: *//p' <<<"$info")
      corner="$((x + w + right)),$((y + h + bottom))"
      [ "$corner" = "$expected" ] && break
    fi
    sleep 0.1
  done
  [ "$corner" = "$expected" ] || { cat "$work/screen-$width/openbox.log" >&2; false; } ||
    fail "on $width × $height the frame ends at ${corner:-?}, not at $expected (frame extents: ${extents:-none})"
  xdotool windowfocus --sync "$window" key Escape
  wait_gone "$placed" 100 || fail "Esc did not end the program"
  stop_x11_session
  echo "ok: on $width × $height under a window manager the frame sits in the work area's bottom-right corner"
}
if command -v openbox >/dev/null && command -v xprop >/dev/null && command -v xwininfo >/dev/null; then
  cat >"$work/openbox.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <margins><top>0</top><bottom>40</bottom><left>0</left><right>30</right></margins>
</openbox_config>
XML
  placed_in_corner 1024 768
  placed_in_corner 1600 900
  placed_in_corner 3840 2160
else
  echo "skipped: placement under a window manager (openbox or x11-utils not installed)"
fi
