#!/usr/bin/env bash
# The packages. Builds the .deb (cmake --workflow --preset deb), installs it on this machine
# with apt-get, converts a sample with the installed /usr/bin/vantoly-convert, validates the
# installed desktop entry and manual page, and removes the package again. Then builds the
# Windows .zip (cmake --workflow --preset zip) and checks what it holds. Run as root (or with
# sudo): it installs and removes the package `vantoly`.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
ensure_packages "${CORE_PACKAGES[@]}" "${QT_PACKAGES[@]}" "${PACKAGE_TEST_PACKAGES[@]}" \
  g++-mingw-w64-x86-64-posix

# A build's output only when it fails.
quietly() {
  local log
  log=$(mktemp)
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; rm -f "$log"; return 1; }
  rm -f "$log"
}

echo "== deb package"
rm -f build/deb/vantoly_*.deb
quietly cmake --workflow --preset deb
debs=(build/deb/vantoly_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single .deb in build/deb" >&2; exit 1; }
deb="$PWD/${debs[0]}"
contents=$(dpkg-deb -c "$deb")
for file in /usr/bin/vantoly /usr/bin/vantoly-convert /usr/share/applications/vantoly.desktop \
  /usr/share/icons/hicolor/16x16/apps/vantoly.png /usr/share/icons/hicolor/32x32/apps/vantoly.png \
  /usr/share/icons/hicolor/scalable/apps/vantoly.svg /usr/share/doc/vantoly/vantoly.html \
  /usr/share/man/man1/vantoly-convert.1.gz /usr/lib/vantoly/vantoly-keeper; do
  grep -q " \.$file\$" <<<"$contents" || { echo "$(basename "$deb") lacks $file" >&2; exit 1; }
done
# dpkg-shlibdeps found the libraries the programs link.
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' ||
  { echo "the package does not depend on Qt: $(dpkg-deb -f "$deb" Depends)" >&2; exit 1; }

echo "== installing $(basename "$deb")"
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
trap 'as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vantoly >/dev/null 2>&1 || true' EXIT

work=build/package-test
rm -rf "$work" && mkdir -p "$work"
build/deb/bin/vantoly-make-sample "$work/sample.bmp" 97 61
/usr/bin/vantoly-convert 6 "$work/sample.bmp" "$work/installed.bmp"
build/deb/bin/vantoly-convert 6 "$work/sample.bmp" "$work/built.bmp"
cmp "$work/installed.bmp" "$work/built.bmp"
file -b "$work/installed.bmp" | grep -q '^PC bitmap' ||
  { echo "not a bitmap: $(file -b "$work/installed.bmp")" >&2; exit 1; }
/usr/bin/vantoly-convert 6 "$work/sample.bmp" "$work/installed.png"
file -b "$work/installed.png" | grep -q '^PNG image data, 97 x 61, 1-bit colormap' ||
  { echo "not the PNG expected: $(file -b "$work/installed.png")" >&2; exit 1; }
[ "$(/usr/bin/vantoly-convert --version)" = "vantoly-convert $(sed -n 's/^project(Vantoly VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]

echo "== desktop entry and manual page"
# Both print nothing when all is well (hints and warnings included).
report=$(desktop-file-validate /usr/share/applications/vantoly.desktop 2>&1) || true
[ -z "$report" ] || { echo "$report" >&2; exit 1; }
page=$(LC_ALL=C.UTF-8 man -w vantoly-convert)
[ "$page" = /usr/share/man/man1/vantoly-convert.1.gz ] || { echo "man finds $page" >&2; exit 1; }
report=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$report" ] || { echo "$report" >&2; exit 1; }

echo "== removing the package"
as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vantoly >/dev/null
trap - EXIT
for file in /usr/bin/vantoly /usr/bin/vantoly-convert /usr/share/applications/vantoly.desktop; do
  [ ! -e "$file" ] || { echo "$file is still there" >&2; exit 1; }
done

echo "== zip package"
rm -f build/zip/vantoly-*.zip
quietly cmake --workflow --preset zip
zips=(build/zip/vantoly-*-win64.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || { echo "no single .zip in build/zip" >&2; exit 1; }
listing=$(unzip -Z1 "${zips[0]}" | sort)
expected=$(printf '%s\n' "$(basename "${zips[0]}" .zip)/"{vantoly.exe,vantoly.html} | sort)
[ "$listing" = "$expected" ] || { printf 'the zip holds:\n%s\n' "$listing" >&2; exit 1; }
unzip -p "${zips[0]}" "$(basename "${zips[0]}" .zip)/vantoly.exe" >"$work/vantoly.exe"
file -b "$work/vantoly.exe" | grep -q '^PE32+ executable (GUI) x86-64' ||
  { echo "not a Windows program: $(file -b "$work/vantoly.exe")" >&2; exit 1; }
echo "== packages: $(basename "$deb"), $(basename "${zips[0]}")"
