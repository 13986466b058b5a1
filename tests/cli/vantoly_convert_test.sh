#!/usr/bin/env bash
# vantoly-convert as a user runs it: exit codes, messages, and files left behind.
set -uo pipefail
convert=${VANTOLY_CONVERT:?path of vantoly-convert}
sample="$(dirname "$convert")/vantoly-make-sample"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/check.sh"
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

run
check "no arguments is a usage error" test "$status" -eq 2
check "usage goes to standard error" grep -q '^usage: vantoly-convert MODE INPUT OUTPUT' "$work/stderr"

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

cp "$work/in.bmp" "$work/inplace.bmp"
run 7 "$work/inplace.bmp" "$work/inplace.bmp"
check "converts in place" cmp -s "$work/inplace.bmp" "$work/out7.bmp"

echo "not a picture" >"$work/text.bmp"
run 3 "$work/text.bmp" "$work/keep.bmp"
check "text input fails" test "$status" -eq 1
check "text input names the clipboard" grep -q 'クリップボードからビットマップを取得できません' "$work/stderr"
run 3 "$work/missing.bmp" "$work/keep.bmp"
check "a missing input fails" test "$status" -eq 1
check "failed reads leave the output alone" cmp -s "$work/keep.bmp" "$work/out0.bmp"

run 3 "$work/in.bmp" "$work/no/such/folder/out.bmp"
check "an unwritable output fails" test "$status" -eq 1
check "an unwritable output cannot be pasted" grep -q 'クリップボードに貼り付けられません' "$work/stderr"

leftovers=$(find "$work" -name '.vantoly-*' | wc -l)
check "no temporary file is left" test "$leftovers" -eq 0

echo "$passes passed, $failures failed"
test "$failures" -eq 0
