# Shared by the tools/ scripts: run as root, or with sudo where it exists.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages given that are not installed yet (without recommends).
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  if [ -z "${VANTOLY_APT_UPDATED:-}" ]; then
    as_root apt-get update -qq
    export VANTOLY_APT_UPDATED=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds a preset, once per run of tools/test.sh (which sets VANTOLY_RUN): the
# scripts it calls share the release and asan builds. Run alone, a script configures afresh.
# Extra arguments go to the configure step.
build_preset() {
  local preset=$1 stamp="build/$1/.vantoly-run"
  shift
  if [ -z "${VANTOLY_RUN:-}" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$VANTOLY_RUN" ] || [ $# -gt 0 ]; then
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset"
    [ -z "${VANTOLY_RUN:-}" ] || echo "$VANTOLY_RUN" >"$stamp"
  fi
}

# acl and attr: the command-line tests check that a replaced file keeps its ACL and attributes.
# libisal-dev and zlib1g-dev: the PNG codec; libpng-dev: the PNGs of the tests and their oracle.
CORE_PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libisal-dev
               zlib1g-dev acl attr)

# The Linux desktop program (vantoly) and its tests: Qt 6 Widgets (qt6-wayland for native
# Wayland), libxcb for its own X11 clipboard and the keeper (XFixes tells the keeper who takes
# the clipboard; XTest for the timing probe of tools/bench-dialog.sh), libwayland-client and
# wayland-scanner for the keeper's Wayland clipboard, the desktop's sounds, a Japanese
# proportional Gothic for the dialog font, and an X server with clipboard and keyboard tools, a
# small window manager and pgrep (which finds the keeper) for the tests.
QT_PACKAGES=(qt6-base-dev qt6-wayland libxcb1-dev libxcb-xfixes0-dev libxcb-xtest0-dev
             libwayland-dev libwayland-bin libcanberra-dev pkg-config fonts-ipafont-gothic)
QT_TEST_PACKAGES=(xvfb xauth xclip xdotool openbox x11-utils procps)

# The Wayland desktops the tests start headless (tools/wayland-session.sh): the compositors and
# their XWayland, a session bus for kwin and mutter, xhost (sway's XWayland lets the tests in
# by it), setpriv (sway as nobody), Python's GLib bindings (mutter's virtual keyboard),
# wl-clipboard's Wayland clipboard tools, and wtype, which types into native Wayland windows.
WAYLAND_TEST_PACKAGES=(sway kwin-wayland mutter weston xwayland dbus-daemon x11-xserver-utils
                       util-linux python3-gi wl-clipboard wtype)

# The packages' test (tools/test-package.sh): dpkg-shlibdeps for the .deb's dependencies, and
# the tools that check what it installs and what the .zip holds, lintian and appstreamcli
# included.
PACKAGE_TEST_PACKAGES=(dpkg-dev desktop-file-utils man-db file unzip lintian appstream)

# The Windows program, cross-built and tested under Wine (tools/test-wine.sh).
WINE_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 googletest)

# The fuzz targets (tools/test-fuzz.sh): clang with libFuzzer.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# tools/bench.sh only: hyperfine for the timings, GNU time for the peak RSS; for its PNG rows,
# the other programs timed beside vantoly-convert (Pillow, libvips).
BENCH_PACKAGES=(hyperfine time python3-pil libvips-tools)
