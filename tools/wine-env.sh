# The Wine environment of every script that runs vantoly.exe (bash, sourced):
#   . tools/wine-env.sh
#   use_wine_prefix PREFIX   exports the prefix and Wine's settings
#   start_wine_session       creates the prefix if needed and keeps one wineserver up: without
#                            it every program pays ~3 s and the clipboard dies between them
#   stop_wine_session        ends it (put it in the EXIT trap)
# No .NET or HTML engine, and no browser or menu integration: a test must never reach the host.

use_wine_prefix() {
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winebrowser.exe,winemenubuilder.exe=d"
  mkdir -p "$WINEPREFIX"
}

start_wine_session() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver -w
  fi
  wineserver -p 2>/dev/null || true # already running is fine
}

stop_wine_session() {
  wineserver -k 2>/dev/null || true
}
