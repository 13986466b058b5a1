#!/usr/bin/env bash
# vantoly-convert as a user runs it: exit codes, messages, and files left behind.
set -uo pipefail
convert=${VANTOLY_CONVERT:?path of vantoly-convert}
sample="$(dirname "$convert")/vantoly-make-sample"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/check.sh"
read_message='クリップボードからビットマップを取得できません'
run() { # mode input output: runs the converter, keeping its exit code and standard error
  "$convert" "$@" 2>"$work/stderr" >"$work/stdout"
  status=$?
}

"$sample" "$work/in.bmp" 33 17
cp "$work/in.bmp" "$work/in.orig"

"$convert" --help >"$work/help"
check "--help succeeds and lists every mode" \
  grep -q '7  標準16色カラー誤差拡散' "$work/help"
check "--help lists mode 2's full-width digits" grep -q '2  標準１６色カラー' "$work/help"
# Help that cannot be written is a failure like any other write.
"$convert" --help >/dev/full 2>"$work/stderr"
check "--help to a full disk: exit 1 and a message" test $? -eq 1 -a -s "$work/stderr"

run
check "no arguments is a usage error" test "$status" -eq 2
check "usage goes to standard error" grep -q '^usage: vantoly-convert \[--format=png|bmp\] MODE INPUT OUTPUT' "$work/stderr"
run --format=gif 0 "$work/in.bmp" "$work/x.bmp"
check "an unknown format is a usage error" test "$status" -eq 2 -a ! -e "$work/x.bmp"
check "an unknown format is named" grep -qx "vantoly-convert: invalid argument 'gif' for '--format'" "$work/stderr"
# Options are matched exactly: a misspelt one is named, then the usage follows.
run --FORMAT=png 3 "$work/in.bmp" "$work/x.png"
check "an unknown option is a usage error" test "$status" -eq 2 -a ! -e "$work/x.png"
check "an unknown option is named" \
  test "$(head -n 1 "$work/stderr")" = "vantoly-convert: unrecognized option '--FORMAT=png'"
check "an unknown option: then the usage" test "$(sed -n '2s/ .*//p' "$work/stderr")" = usage:
run --version
check "--version names the program and its version" grep -qx 'vantoly-convert [0-9]*\.[0-9]*' "$work/stdout"

for mode in 0 1 2 3 4 5 6 7; do
  run "$mode" "$work/in.bmp" "$work/out$mode.bmp"
  check "mode $mode succeeds silently" test "$status" -eq 0 -a ! -s "$work/stderr" -a ! -s "$work/stdout"
  check "mode $mode writes a BMP file" test "$(head -c 2 "$work/out$mode.bmp")" = BM
done
check "the input is not touched" cmp -s "$work/in.bmp" "$work/in.orig"
check "mode 5 doubles the size" test "$(od -An -tu4 -j18 -N8 "$work/out5.bmp" | tr -s ' ')" = " 66 34"

cp "$work/out0.bmp" "$work/keep.bmp"
for mode in 8 -1 x 00; do
  run "$mode" "$work/in.bmp" "$work/keep.bmp"
  check "mode '$mode' is no mode" test "$status" -eq 1
  check "mode '$mode' says so" grep -q '変換方法が選択されていません' "$work/stderr"
done
check "a refused mode leaves the output alone" cmp -s "$work/keep.bmp" "$work/out0.bmp"

"$convert" 6 - - <"$work/in.bmp" >"$work/piped.bmp" 2>"$work/stderr"
check "standard input to standard output" cmp -s "$work/piped.bmp" "$work/out6.bmp"

# PNG: INPUT is told by its first bytes, OUTPUT's format by its name (in any case) or --format,
# which may stand anywhere; PNG in gives the same conversion as BMP in.
"$sample" "$work/in.png" 33 17
for mode in 0 1 2 3 4 5 6 7; do
  run "$mode" "$work/in.png" "$work/png$mode.bmp"
  check "mode $mode: a PNG converts as the same BMP does" cmp -s "$work/png$mode.bmp" "$work/out$mode.bmp"
done
run 6 "$work/in.bmp" "$work/out6.PNG"
check "an OUTPUT named .PNG is a PNG file" \
  test "$status" -eq 0 -a "$(head -c 8 "$work/out6.PNG" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a
"$convert" 6 - --format=png - <"$work/in.png" >"$work/piped.png"
check "PNG on standard input to standard output as PNG" cmp -s "$work/piped.png" "$work/out6.PNG"
cp "$work/in.png" "$work/inplace.png"
run 6 "$work/inplace.png" "$work/inplace.png"
check "a PNG converts in place" cmp -s "$work/inplace.png" "$work/out6.PNG"
run --format=bmp 6 "$work/in.png" "$work/forced.png"
check "--format=bmp over the name" cmp -s "$work/forced.png" "$work/out6.bmp"
# Damaged and hostile PNGs (the fuzzer's seeds, less their mode byte): the read message, and
# OUTPUT as it was.
seeds="$(dirname "${BASH_SOURCE[0]}")/../../fuzz/corpus/png_file"
for seed in bad-truncated-in-idat bad-crc-idat bad-too-wide bad-bomb-16385x16385; do
  tail -c +2 "$seeds/$seed" >"$work/$seed.png"
  cp "$work/out0.bmp" "$work/keep.png"
  run 0 "$work/$seed.png" "$work/keep.png"
  check "$seed: exit 1 with the read message" \
    test "$status" -eq 1 -a "$(grep -c 'クリップボードからビットマップを取得できません' "$work/stderr")" -eq 1
  check "$seed: OUTPUT is untouched" cmp -s "$work/keep.png" "$work/out0.bmp"
  check "$seed: the file is named, with the reader's reason" grep -q "$seed.png: PNG: [a-z]" "$work/stderr"
done
# A PNG that breaks off halfway: its first rows are converted and written while the rest is
# read, yet OUTPUT stays as it was (in any format, doubled or not) and standard output gets
# nothing.
"$sample" --photo "$work/tall.png" 256 4096
head -c $(($(stat -c %s "$work/tall.png") / 2)) "$work/tall.png" >"$work/half.png"
for mode in 1 5 7; do
  for keep in keep.png keep.bmp; do
    cp "$work/out0.bmp" "$work/$keep"
    run "$mode" "$work/half.png" "$work/$keep"
    check "half a PNG, mode $mode to $keep: exit 1 with the read message" \
      test "$status" -eq 1 -a "$(grep -c 'クリップボードからビットマップを取得できません' "$work/stderr")" -eq 1
    check "half a PNG, mode $mode to $keep: OUTPUT untouched" cmp -s "$work/$keep" "$work/out0.bmp"
  done
done
run --format=png 6 "$work/half.png" -
check "half a PNG to standard output: exit 1, nothing written" test "$status" -eq 1 -a ! -s "$work/stdout"

cp "$work/in.bmp" "$work/inplace.bmp"
run 7 "$work/inplace.bmp" "$work/inplace.bmp"
check "converts in place" cmp -s "$work/inplace.bmp" "$work/out7.bmp"

echo "not a picture" >"$work/text.bmp"
run 3 "$work/text.bmp" "$work/keep.bmp"
check "text input fails" test "$status" -eq 1
# A failure names its file and says why, then gives the command's own message.
check "text input: named, with why" \
  grep -qx "vantoly-convert: $work/text.bmp: not a BMP or PNG file ($read_message)" "$work/stderr"
run 3 "$work/missing.bmp" "$work/keep.bmp"
check "a missing input fails" test "$status" -eq 1
check "a missing input: named, with why" grep -q "missing.bmp: No such file or directory ($read_message)" "$work/stderr"
check "failed reads leave the output alone" cmp -s "$work/keep.bmp" "$work/out0.bmp"

run 3 "$work/in.bmp" "$work/no/such/folder/out.bmp"
check "an unwritable output fails" test "$status" -eq 1
check "an unwritable output: named, with why" \
  grep -q 'folder/out.bmp: No such file or directory (クリップボードに貼り付けられません)' "$work/stderr"

# Mode 5 of a picture whose double no reader takes: refused from its header, before any row
# is read (these files hold none).
{ printf 'BM\0\0\0\0\0\0\0\0\x36\0\0\0(\0\0\0\0\x40\0\0\0\x40\0\0\x01\0\x18\0' && head -c 24 /dev/zero; } >"$work/side16384.bmp"
# The PNG: a 1 × 1 picture's, its header saying 16384 × 16384 (CRC from gzip's trailer).
"$sample" "$work/dot.bmp" 1 1 && "$convert" 1 "$work/dot.bmp" "$work/dot.png"
{ printf 'IHDR\0\0\x40\0\0\0\x40\0' && tail -c +25 "$work/dot.png" | head -c 5; } >"$work/ihdr"
crc=$(gzip -c "$work/ihdr" | tail -c 8 | od -An -N4 -tx1 | awk '{printf "\\x%s\\x%s\\x%s\\x%s", $4, $3, $2, $1}')
{ head -c 12 "$work/dot.png" && cat "$work/ihdr" && printf "$crc" && tail -c +34 "$work/dot.png"; } >"$work/side16384.png"
for picture in side16384.bmp side16384.png; do
  run 5 "$work/$picture" "$work/big.bmp"
  check "$picture, mode 5: refused from its header" \
    grep -q "$picture: ...: picture too large for this mode (ビットマップの変換に失敗しました)" "$work/stderr"
done

# OUTPUT through symbolic links: the file at the end of the chain is replaced (relative links
# resolved from their own folder), every link stays a link, and a dangling one names the file
# to create.
mkdir -p "$work/links/real" "$work/links/via"
cp "$work/in.bmp" "$work/links/real/pic.bmp"
ln -s ../real/pic.bmp "$work/links/via/hop"
ln -s via/hop "$work/links/pic.bmp"
run 7 "$work/links/pic.bmp" "$work/links/pic.bmp"
check "a linked OUTPUT: exit 0" test "$status" -eq 0
check "a linked OUTPUT: the file at the end is converted" cmp -s "$work/links/real/pic.bmp" "$work/out7.bmp"
check "a linked OUTPUT: the links stay links" \
  test -L "$work/links/pic.bmp" -a -L "$work/links/via/hop" -a ! -L "$work/links/real/pic.bmp"
ln -s real/new.bmp "$work/links/dangling.bmp"
run 3 "$work/in.bmp" "$work/links/dangling.bmp"
check "a dangling link: the file it names is made" \
  test "$status" -eq 0 -a -L "$work/links/dangling.bmp" -a -f "$work/links/real/new.bmp"
check "a dangling link: with the converted picture" cmp -s "$work/links/real/new.bmp" "$work/out3.bmp"

# OUTPUT that cannot be replaced: devices, FIFOs (or links to them) are written into, never
# replaced; a folder is refused.
run 0 "$work/in.bmp" /dev/null
check "/dev/null as OUTPUT: exit 0, and it stays a device" test "$status" -eq 0 -a -c /dev/null
"$convert" 0 "$work/in.bmp" /dev/stdout 2>"$work/stderr" | cat >"$work/devstdout.bmp"
check "/dev/stdout on a pipe as OUTPUT: the picture comes through" cmp -s "$work/devstdout.bmp" "$work/out0.bmp"
mkfifo "$work/fifo"
ln -s fifo "$work/fifo-link"
timeout 10 cat "$work/fifo" >"$work/fromfifo.bmp" &
reader=$!
run 6 "$work/in.bmp" "$work/fifo-link"
wait "$reader"
check "a link to a FIFO as OUTPUT: written into" test "$status" -eq 0 -a -p "$work/fifo" -a -L "$work/fifo-link"
check "a link to a FIFO as OUTPUT: the picture comes through" cmp -s "$work/fromfifo.bmp" "$work/out6.bmp"
mkdir "$work/folder"
run 0 "$work/in.bmp" "$work/folder"
check "a folder as OUTPUT is refused" test "$status" -eq 1 -a -d "$work/folder"
check "a folder as OUTPUT cannot be pasted" grep -q 'クリップボードに貼り付けられません' "$work/stderr"

# Endless input: refused after its first bytes, or read only as far as its header says.
timeout 10 "$convert" 0 /dev/zero "$work/zero.bmp" 2>"$work/stderr"
check "/dev/zero as INPUT: refused at once" test $? -eq 1 -a ! -e "$work/zero.bmp"
check "/dev/zero as INPUT: the read message" grep -q "$read_message" "$work/stderr"
timeout 10 "$convert" 0 - "$work/closed.bmp" <&- 2>"$work/stderr"
check "standard input closed: refused at once" test $? -eq 1 -a ! -e "$work/closed.bmp"
yes | timeout 10 "$convert" 0 - "$work/yes.bmp" 2>"$work/stderr"
check "endless text on standard input: refused at once" test $? -eq 1 -a ! -e "$work/yes.bmp"
(cat "$work/in.bmp" && cat /dev/zero) | timeout 10 "$convert" 0 - "$work/endless.bmp"
check "a picture followed by endless bytes: read as far as its header says" \
  cmp -s "$work/endless.bmp" "$work/out0.bmp"
# 16384 x 16385 pixels: one row more than the readers take.
(printf 'BM\0\0\0\0\0\0\0\0\x36\0\0\0(\0\0\0\0\x40\0\0\x01\x40\0\0\x01\0\x18\0' && cat /dev/zero) |
  timeout 10 "$convert" 0 - "$work/huge.bmp" 2>"$work/stderr"
check "a header beyond the pixel limit: refused at once" test $? -eq 1 -a ! -e "$work/huge.bmp"

# Where no thread can be started (no address space left for its stack), the steps run one
# after another; never an abort.
"$sample" "$work/tiny.png" 2 2
"$convert" 1 "$work/tiny.png" "$work/tiny.bmp"
for limits in "ulimit -v 14336" "ulimit -s 262144; ulimit -v 400000"; do
  if ! (eval "$limits" && exec "$convert" --version) >/dev/null 2>&1; then
    echo "skipped: $limits (this build cannot start under it)"
    continue
  fi
  (eval "$limits" && exec "$convert" 1 "$work/tiny.png" "$work/limited.bmp") 2>"$work/stderr"
  check "$limits: converted" test $? -eq 0 -a ! -s "$work/stderr"
  check "$limits: the same picture" cmp -s "$work/limited.bmp" "$work/tiny.bmp"
done

# Once the run has failed (OUTPUT may not grow), it ends at once, though its input stalls.
"$sample" --photo "$work/photo.png" 2000 2000
mkfifo "$work/stalling"
{ head -c 2000000 "$work/photo.png" && exec sleep 6; } >"$work/stalling" &
feeder=$!
start=$(date +%s%N)
(ulimit -f 16 && exec "$convert" 1 - "$work/stalled.png") <"$work/stalling" 2>"$work/stderr"
status=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
kill "$feeder" 2>/dev/null
check "a failed write, the input stalled: ends at once (${elapsed} ms)" test "$elapsed" -lt 3000
check "a failed write, the input stalled: exit 1, OUTPUT named" test "$status" -eq 1 -a ! -e "$work/stalled.png" -a \
  "$(grep -c "stalled.png: File too large (クリップボードに貼り付けられません)" "$work/stderr")" -eq 1

# A long OUTPUT path: its folder plus a temporary name exceed PATH_MAX, the path itself not.
long=$work/long
while [ ${#long} -lt 4080 ]; do
  n=$((4080 - ${#long} - 1))
  long=$long/$(head -c $((n > 250 ? 250 : n < 1 ? 1 : n)) /dev/zero | tr '\0' d)
done
mkdir -p "$long"
run 2 "$work/in.bmp" "$long/o.bmp"
check "a long OUTPUT path: exit 0" test "$status" -eq 0
check "a long OUTPUT path: written" cmp -s "$long/o.bmp" "$work/out2.bmp"
run 2 "$long/o.bmp" "$long/o.bmp"
check "a long OUTPUT path: converted in place" test "$status" -eq 0

leftovers=$(find "$work" -name '.*.vantoly-tmp-*' | wc -l)
check "no temporary file is left" test "$leftovers" -eq 0

# What a replaced OUTPUT keeps, as cp -a and sed -i keep it: its mode, ACL and extended
# attributes, and as root its owner and group. An owner that cannot be kept takes set-user-ID
# with it, and a folder's default ACL does not widen a file that had no ACL.
if command -v setfacl >/dev/null && command -v setfattr >/dev/null &&
  cp "$work/out0.bmp" "$work/acl.bmp" && chmod 640 "$work/acl.bmp" &&
  setfacl -m u:999:rw "$work/acl.bmp" 2>/dev/null && setfattr -n user.note -v kept "$work/acl.bmp" 2>/dev/null; then
  acl=$(getfacl -cp "$work/acl.bmp" 2>/dev/null)
  run 3 "$work/in.bmp" "$work/acl.bmp"
  check "an ACL is kept" test "$status" -eq 0 -a "$(getfacl -cp "$work/acl.bmp" 2>/dev/null)" = "$acl"
  check "an extended attribute is kept" test "$(getfattr --only-values -n user.note "$work/acl.bmp" 2>/dev/null)" = kept
  mkdir "$work/inherits"
  cp "$work/out0.bmp" "$work/inherits/plain.bmp"
  chmod 640 "$work/inherits/plain.bmp"
  setfacl -d -m u:999:rw "$work/inherits"
  run 3 "$work/in.bmp" "$work/inherits/plain.bmp"
  check "a folder's default ACL does not widen a file without one" \
    test "$status" -eq 0 -a -z "$(getfacl -cps "$work/inherits/plain.bmp" 2>/dev/null)" -a "$(stat -c %a "$work/inherits/plain.bmp")" = 640
else
  echo "skipped: ACLs and extended attributes (acl or attr not installed, or not supported here)"
fi
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  cp "$work/out0.bmp" "$work/owned.bmp"
  chown 1234:2345 "$work/owned.bmp" && chmod 600 "$work/owned.bmp"
  run 3 "$work/in.bmp" "$work/owned.bmp"
  check "as root, owner, group and mode are kept" test "$(stat -c %u:%g:%a "$work/owned.bmp")" = 1234:2345:600
  chmod 4755 "$work/owned.bmp"
  run 3 "$work/in.bmp" "$work/owned.bmp"
  check "as root, set-user-ID stays with its owner" test "$(stat -c %u:%a "$work/owned.bmp")" = 1234:4755
  # A user replacing root's set-user-ID file in the user's own folder.
  mkdir "$work/users"
  cp "$work/in.bmp" "$work/users/in.bmp"
  cp "$work/out0.bmp" "$work/users/setuid.bmp"
  chmod 4755 "$work/users/setuid.bmp"
  chown 65534:65534 "$work/users" "$work/users/in.bmp"
  chmod 755 "$work"
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$convert" 3 "$work/users/in.bmp" "$work/users/setuid.bmp" 2>"$work/stderr"
  check "an owner that cannot be kept takes set-user-ID with it" \
    test $? -eq 0 -a "$(stat -c %u:%a "$work/users/setuid.bmp")" = 65534:755
  chmod 700 "$work"
else
  echo "skipped: owners (needs root and setpriv)"
fi

echo "$passes passed, $failures failed"
test "$failures" -eq 0
