#!/usr/bin/env bash
# vantoly-convert loses nothing when its write is cut short: killed mid-write, a read-only
# folder, a full disk, no /proc. OUTPUT keeps its old bytes, no temporary file is left behind
# (but for one named as such by a kill), no file it did not make is deleted, and where the
# program lives to say so it exits 1 with "クリップボードに貼り付けられません".
set -uo pipefail
convert=${VANTOLY_CONVERT:?path of vantoly-convert}
stop_at=${VANTOLY_STOP_AT_LIBRARY:?path of the stop-at library}
sample="$(dirname "$convert")/vantoly-make-sample"
message='クリップボードに貼り付けられません'
# The stop-at library is preloaded ahead of the sanitizer runtime in the ASan build.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
work=$(mktemp -d)
trap 'umount "$work/full" 2>/dev/null; rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/check.sh"
skips=0
skip() {
  echo "SKIP: $1"
  skips=$((skips + 1))
}
leftovers() { # temporary files in a folder
  find "$1" -maxdepth 1 -name '.*.vantoly-tmp-*' | wc -l
}
stopped() { # waits until process $1 has stopped itself (SIGSTOP)
  for _ in $(seq 200); do
    [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = T ] && return 0
    sleep 0.05
  done
  return 1
}

"$sample" "$work/in.bmp" 301 203
"$sample" "$work/old.bmp" 5 4

# Killed at each stage of the write: OUTPUT is as it was. Until the file is complete it has
# no name, so nothing is left; once named it is renamed at once, and a kill in between leaves
# it under a name that says what it is. No later run deletes it: it cannot tell that file
# from another run's, live in another container or on another machine.
for point in write fsync rename; do
  dir="$work/kill-$point"
  mkdir "$dir"
  cp "$work/old.bmp" "$dir/out.bmp"
  VANTOLY_STOP_AT=$point LD_PRELOAD="$stop_at" "$convert" 1 "$work/in.bmp" "$dir/out.bmp" 2>"$dir.err" &
  pid=$!
  check "killed at $point: stopped there" stopped "$pid"
  if [ "$point" = rename ]; then
    check "killed at $point: the finished file has its temporary name" test "$(leftovers "$dir")" -eq 1
  else
    # The file being written is open but has no name in the folder.
    unnamed=$(find "/proc/$pid/fd" -lname "$dir/*(deleted)" | wc -l)
    check "killed at $point: the file being written has no name" test "$unnamed" -eq 1 -a "$(leftovers "$dir")" -eq 0
  fi
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null
  status=$?
  check "killed at $point: died of SIGKILL" test "$status" -eq 137
  check "killed at $point: OUTPUT is untouched" cmp -s "$dir/out.bmp" "$work/old.bmp"
  if [ "$point" = rename ]; then
    "$convert" 3 "$work/in.bmp" "$dir/other.bmp"
    check "killed at $point: the next run succeeds" test $? -eq 0
    check "killed at $point: the next run leaves the temporary alone" test "$(leftovers "$dir")" -eq 1
    "$convert" 1 "$work/in.bmp" "$work/mode1.bmp"
    check "killed at $point: the temporary is the finished file" \
      cmp -s "$(find "$dir" -name '.out.bmp.vantoly-tmp-*')" "$work/mode1.bmp"
    rm -f "$dir"/.out.bmp.vantoly-tmp-*
  fi
  check "killed at $point: no temporary file is left" test "$(leftovers "$dir")" -eq 0
  check "killed at $point: nothing else is left" test "$(ls -A "$dir" | grep -cv '^other.bmp$')" -eq 1
done

# Interrupted, terminated or hung up while the file has a name: written where unnamed files
# cannot be made, the temporary goes and OUTPUT stays; caught in the rename, the rename ends
# first. Either way the run ends of the signal and nothing is left.
"$convert" 1 "$work/in.bmp" "$work/mode1.bmp"
for point in write rename; do
  for signal in INT TERM HUP; do
    dir="$work/signal-$point-$signal"
    mkdir "$dir"
    cp "$work/old.bmp" "$dir/out.bmp"
    VANTOLY_NO_TMPFILE=$([ $point = write ] && echo 1) VANTOLY_STOP_AT=$point LD_PRELOAD="$stop_at" \
      env --default-signal=INT "$convert" 1 "$work/in.bmp" "$dir/out.bmp" 2>"$dir.err" &
    pid=$!
    stopped "$pid"
    check "SIG$signal at $point: stopped with a named temporary" test "$(leftovers "$dir")" -eq 1
    kill -"$signal" "$pid" && kill -CONT "$pid"
    wait "$pid" 2>/dev/null
    check "SIG$signal at $point: ended of it" test $? -eq $((128 + $(kill -l "$signal")))
    check "SIG$signal at $point: nothing is left" test "$(ls -A "$dir")" = out.bmp
    check "SIG$signal at $point: OUTPUT whole" \
      cmp -s "$dir/out.bmp" "$work/$([ $point = write ] && echo old || echo mode1).bmp"
  done
done

# Files that look like temporaries are somebody's: a run, in place or not, failed or not,
# deletes nothing it did not make. (Runs once cleared names like these of processes they
# could not see, which took live runs' files in other PID namespaces, and users' files.)
dir="$work/others"
mkdir "$dir"
names=".out.bmp.vantoly-tmp-AbC123 .vantoly-1-0.tmp .vantoly-999999999-0.tmp .vantoly-999999999-1.tmp"
for name in $names; do
  cp "$work/old.bmp" "$dir/$name"
done
"$convert" 1 "$work/in.bmp" "$dir/out.bmp"
(ulimit -f 16 && exec "$convert" 1 "$work/in.bmp" "$dir/.vantoly-999999999-1.tmp") 2>/dev/null
check "others' temporaries: all are still there" \
  test "$(LC_ALL=C ls -A "$dir" | tr '\n' ' ')" = "$names out.bmp "
for name in $names; do
  check "others' temporaries: $name is untouched" cmp -s "$dir/$name" "$work/old.bmp"
done

# A read-only folder. Root writes anyway, so root runs the program as nobody.
dir="$work/readonly"
mkdir "$dir"
cp "$work/old.bmp" "$dir/out.bmp"
chmod 555 "$dir"
as_user=()
user_convert=$convert
if [ "$(id -u)" -eq 0 ]; then
  # A copy nobody can reach, wherever the build lies.
  chmod 755 "$work"
  user_convert="$work/vantoly-convert"
  cp "$convert" "$user_convert"
  chmod 755 "$user_convert"
  chmod 644 "$work/in.bmp" "$dir/out.bmp"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  if ! command -v setpriv >/dev/null || ! "${as_user[@]}" test -x "$user_convert" -a -r "$work/in.bmp"; then
    as_user=(none)
  fi
fi
if [ "${as_user[0]:-}" = none ]; then
  skip "read-only folder: running as root, and nobody cannot run $user_convert"
else
  "${as_user[@]}" "$user_convert" 2 "$work/in.bmp" "$dir/out.bmp" 2>"$work/readonly.err"
  status=$?
  check "read-only folder: exit 1" test "$status" -eq 1
  check "read-only folder: the message" grep -q "$message" "$work/readonly.err"
  check "read-only folder: OUTPUT is untouched" cmp -s "$dir/out.bmp" "$work/old.bmp"
  check "read-only folder: nothing is left" test "$(ls -A "$dir")" = out.bmp
  "${as_user[@]}" "$user_convert" 2 "$work/in.bmp" "$dir/new.bmp" 2>"$work/readonly.err"
  check "read-only folder, new OUTPUT: exit 1 and the message" \
    test $? -eq 1 -a "$(grep -c "$message" "$work/readonly.err")" -eq 1
  check "read-only folder, new OUTPUT: nothing is made" test "$(ls -A "$dir")" = out.bmp
fi
chmod 755 "$dir"

# A file-size limit below the output's size: the write fails part-way.
dir="$work/limit"
mkdir "$dir"
cp "$work/old.bmp" "$dir/out.bmp"
(ulimit -f 16 && exec "$convert" 1 "$work/in.bmp" "$dir/out.bmp") 2>"$work/limit.err"
status=$?
check "file-size limit: exit 1" test "$status" -eq 1
check "file-size limit: the message" grep -q "$message" "$work/limit.err"
check "file-size limit: OUTPUT is untouched" cmp -s "$dir/out.bmp" "$work/old.bmp"
check "file-size limit: nothing is left" test "$(ls -A "$dir")" = out.bmp

# A full disk: a small tmpfs, mounted in a mount namespace of our own where that is allowed.
dir="$work/full"
mkdir "$dir"
if unshare -m true 2>/dev/null; then
  VANTOLY_CONVERT="$convert" unshare -m bash -c '
    dir=$1 old=$2 in=$3
    mount -t tmpfs -o size=32k tmpfs "$dir" || exit 99
    cp "$old" "$dir/out.bmp"
    "$VANTOLY_CONVERT" 1 "$in" "$dir/out.bmp" 2>"$dir/../full.err"
    echo $? >"$dir/../full.status"
    cmp -s "$dir/out.bmp" "$old" && echo untouched >"$dir/../full.output"
    ls -A "$dir" >"$dir/../full.left"' _ "$dir" "$work/old.bmp" "$work/in.bmp"
  if [ $? -eq 99 ]; then
    skip "full disk: tmpfs cannot be mounted here"
  else
    check "full disk: exit 1" test "$(cat "$work/full.status")" -eq 1
    check "full disk: the file, why, and the message" grep -q "out.bmp: No space left on device ($message)" "$work/full.err"
    check "full disk: OUTPUT is untouched" test "$(cat "$work/full.output" 2>/dev/null)" = untouched
    check "full disk: nothing is left" test "$(cat "$work/full.left")" = out.bmp
  fi
else
  skip "full disk: no mount namespace here"
fi

# An append-only folder takes new names but gives none up: the run is refused before it writes
# anything there (on tmpfs, in a mount namespace of our own).
mkdir "$work/appendonly"
if unshare -m true 2>/dev/null && command -v chattr >/dev/null; then
  unshare -m bash -c '
    convert=$1 dir=$2 old=$3 in=$4
    mount -t tmpfs -o size=1m tmpfs "$dir" && cp "$old" "$dir/out.bmp" && chattr +a "$dir" || exit 99
    "$convert" 1 "$in" "$dir/out.bmp" 2>"$dir.err"
    echo $? "$(ls -A "$dir")" >"$dir.status"
    chattr -a "$dir"' _ "$convert" "$work/appendonly" "$work/old.bmp" "$work/in.bmp"
  if [ $? -eq 99 ]; then
    skip "append-only folder: no tmpfs with attributes here"
  else
    check "append-only folder: exit 1, nothing left" test "$(cat "$work/appendonly.status")" = "1 out.bmp"
    check "append-only folder: the file and why" grep -q "out.bmp: Operation not permitted ($message)" "$work/appendonly.err"
  fi
else
  skip "append-only folder: no mount namespace or chattr here"
fi

# Another process renames a file over OUTPUT while the run looks its name up: no error, the
# last writer wins, as with mv.
dir="$work/renamed"
mkdir "$dir"
cp "$work/old.bmp" "$dir/out.bmp"
cp "$work/old.bmp" "$dir/other.bmp"
"$convert" 1 "$work/in.bmp" "$work/expected.bmp"
VANTOLY_RENAME_DURING_LOOKUP="$dir/other.bmp" LD_PRELOAD="$stop_at" \
  "$convert" 1 "$work/in.bmp" "$dir/out.bmp" 2>"$dir.err"
check "renamed over during the lookup: exit 0" test $? -eq 0 -a ! -s "$dir.err"
check "renamed over during the lookup: the result wins" cmp -s "$dir/out.bmp" "$work/expected.bmp"
check "renamed over during the lookup: nothing else is there" test "$(ls -A "$dir")" = out.bmp

# No /proc, as in a chroot or a container without it: the finished unnamed file cannot be
# named through /proc/self/fd, so its bytes go to a named temporary instead.
dir="$work/noproc"
mkdir "$dir"
cp "$work/old.bmp" "$dir/out.bmp"
"$convert" 1 "$work/in.bmp" "$work/expected.bmp"
if unshare -m true 2>/dev/null; then
  unshare -m bash -c '
    convert=$1 in=$2 dir=$3
    mount -t tmpfs -o size=16k tmpfs /proc || exit 99
    "$convert" --help >/dev/null 2>&1 || exit 98
    "$convert" 1 "$in" "$dir/out.bmp" 2>"$dir/../noproc.err"' _ "$convert" "$work/in.bmp" "$dir"
  status=$?
  if [ $status -eq 99 ]; then
    skip "no /proc: tmpfs cannot be mounted here"
  elif [ $status -eq 98 ]; then
    skip "no /proc: this build of the program cannot start without it (sanitizer runtime)"
  else
    check "no /proc: exit 0" test "$status" -eq 0
    check "no /proc: OUTPUT is replaced" cmp -s "$dir/out.bmp" "$work/expected.bmp"
    check "no /proc: nothing is left" test "$(ls -A "$dir")" = out.bmp
  fi
else
  skip "no /proc: no mount namespace here"
fi

echo "$passes passed, $failures failed, $skips skipped"
test "$failures" -eq 0
