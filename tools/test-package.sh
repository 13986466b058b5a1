#!/usr/bin/env bash
# The packages. Builds the .deb (cmake --workflow --preset deb), checks it with lintian and its
# AppStream data with appstreamcli, installs it on this machine with apt-get, converts a sample
# with the installed vantoly-convert, validates the installed desktop entry and manual pages,
# and removes the package again. A vantoly package that was installed before is never touched:
# the .deb is then unpacked into a throwaway folder and its programs and files are checked
# there instead (under CI, where there is none, that is an error). Then builds the Windows
# .zip (cmake --workflow --preset zip) and checks what it holds. Run as root (or with sudo).
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
version=$(sed -n 's/^project(Vantoly VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
desktop_entry=share/applications/org.example.vantoly.desktop
metainfo=share/metainfo/org.example.vantoly.metainfo.xml
contents=$(dpkg-deb -c "$deb")
for file in bin/vantoly bin/vantoly-convert $desktop_entry $metainfo \
  share/icons/hicolor/16x16/apps/vantoly.png share/icons/hicolor/32x32/apps/vantoly.png \
  share/icons/hicolor/scalable/apps/vantoly.svg share/doc/vantoly/vantoly.html \
  share/doc/vantoly/copyright share/doc/vantoly/changelog.gz \
  share/man/man1/vantoly.1.gz share/man/man1/vantoly-convert.1.gz lib/vantoly/vantoly-keeper; do
  grep -q " \./usr/$file\$" <<<"$contents" || { echo "$(basename "$deb") lacks /usr/$file" >&2; exit 1; }
done
# dpkg-shlibdeps found the libraries the programs link.
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' ||
  { echo "the package does not depend on Qt: $(dpkg-deb -f "$deb" Depends)" >&2; exit 1; }
# The PNG codec is isa-l's and zlib's; libpng serves the tests alone.
! dpkg-deb -f "$deb" Depends | grep -q 'libpng' ||
  { echo "the package depends on libpng: $(dpkg-deb -f "$deb" Depends)" >&2; exit 1; }

echo "== lintian"
# Errors and warnings fail; info tags are shown. lintian warns when run as root: not ours.
report=$(lintian --pedantic --display-info --fail-on error,warning "$deb" 2>&1) && failed=0 || failed=1
grep -v '^running with root privileges is not recommended!$' <<<"$report" || true
[ "$failed" -eq 0 ] || { echo "lintian: errors or warnings" >&2; exit 1; }

work=build/package-test
rm -rf "$work" && mkdir -p "$work/root"
dpkg-deb -x "$deb" "$work/root"

echo "== AppStream data"
# The metainfo file with the desktop entry and icon it names, offline; warnings fail too.
appstreamcli validate-tree --no-net --pedantic "$work/root"

# Where the package is installed already, ours is not installed over it (and then removed):
# its programs and files are used from the unpacked copy instead.
status=$(dpkg-query -W -f='${Status}' vantoly 2>/dev/null || true)
case "$status" in
"" | *" not-installed" | *" config-files")
  echo "== installing $(basename "$deb")"
  trap 'as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vantoly >/dev/null 2>&1 || true' EXIT
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
  usr=/usr
  ;;
*)
  installed="vantoly $(dpkg-query -W -f='${Version}' vantoly) is installed on this machine"
  if [ "${CI:-}" = true ]; then
    echo "$installed; CI installs and removes its own package, on a machine without one" >&2
    exit 1
  fi
  echo "== $installed: left alone; the .deb is tested unpacked in $work/root, not installed"
  # Its dependencies would still be met here.
  apt-get install -s -qq "$deb" >/dev/null
  usr=$PWD/$work/root/usr
  ;;
esac

build/deb/bin/vantoly-make-sample "$work/sample.bmp" 97 61
"$usr/bin/vantoly-convert" 6 "$work/sample.bmp" "$work/installed.bmp"
build/deb/bin/vantoly-convert 6 "$work/sample.bmp" "$work/built.bmp"
cmp "$work/installed.bmp" "$work/built.bmp"
file -b "$work/installed.bmp" | grep -q '^PC bitmap' ||
  { echo "not a bitmap: $(file -b "$work/installed.bmp")" >&2; exit 1; }
"$usr/bin/vantoly-convert" 6 "$work/sample.bmp" "$work/installed.png"
file -b "$work/installed.png" | grep -q '^PNG image data, 97 x 61, 1-bit colormap' ||
  { echo "not the PNG expected: $(file -b "$work/installed.png")" >&2; exit 1; }
[ "$("$usr/bin/vantoly-convert" --version)" = "vantoly-convert $version" ]
# The changelog's latest entry is this version.
changelog_version=$(zcat "$usr/share/doc/vantoly/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[ "$changelog_version" = "$version" ] ||
  { echo "the changelog's latest entry is $changelog_version, not $version" >&2; exit 1; }

echo "== desktop entry and manual pages"
# Both print nothing when all is well (hints and warnings included).
report=$(desktop-file-validate "$usr/$desktop_entry" 2>&1) || true
[ -z "$report" ] || { echo "$report" >&2; exit 1; }
for name in vantoly vantoly-convert; do
  page=$(LC_ALL=C.UTF-8 MANPATH="$usr/share/man" man -w "$name")
  [ "$page" = "$usr/share/man/man1/$name.1.gz" ] || { echo "man finds $page" >&2; exit 1; }
  report=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$report" ] || { echo "$report" >&2; exit 1; }
done

if [ "$usr" = /usr ]; then
  echo "== removing the package"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vantoly >/dev/null
  trap - EXIT
  for file in /usr/bin/vantoly /usr/bin/vantoly-convert /usr/$desktop_entry; do
    [ ! -e "$file" ] || { echo "$file is still there" >&2; exit 1; }
  done
fi

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
