# Shared by the Wine tests: the private prefix and X display of this test run.
# WINE_WORK (a folder in the build tree) holds both.
set -euo pipefail
: "${WINE_WORK:?}"
export WINEPREFIX="$WINE_WORK/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
# A 32-bit prefix (wine_setup.sh writes "win32" to arch) runs the 32-bit
# programs as 32-bit Windows would, with the 32-bit loader.
if [ "$(cat "$WINE_WORK/arch" 2>/dev/null || true)" = win32 ]; then
  export WINEARCH=win32
  WINE=/usr/lib/wine/wine
fi
# wine_setup.sh found that this machine cannot run 32-bit programs.
if [ -f "$WINE_WORK/no-32-bit" ] && [ "$(basename "$0")" != wine_cleanup.sh ]; then
  echo "skipped: this machine cannot run 32-bit programs"
  exit 77
fi
if [ -f "$WINE_WORK/display" ]; then
  export DISPLAY=":$(cat "$WINE_WORK/display")"
fi

# Windows path of a file under drive C: of the prefix.
c_drive() { echo "$WINEPREFIX/drive_c"; }

# Waits for a top-level window whose title is $1; prints its id.
wait_for_window() {
  local id=""
  for _ in $(seq 1 120); do
    id=$(xdotool search --name "$1" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.25
  done
  echo "no window named '$1' appeared" >&2
  return 1
}

# Starts the tests' HTTP server ($HTTP_SERVER) on the folder $1 for at most $2
# seconds, and waits until it listens. Sets `server` (its process, stopped
# when the script exits) and `server_address` (127.0.0.1:PORT).
start_http_server() {
  rm -f "$WINE_WORK/port"
  "$HTTP_SERVER" --root "$1" --port-file "$WINE_WORK/port" --seconds "$2" >/dev/null &
  server=$!
  trap 'kill $server 2>/dev/null || true' EXIT
  for _ in $(seq 1 100); do [ -s "$WINE_WORK/port" ] && break; sleep 0.05; done
  server_address="127.0.0.1:$(cat "$WINE_WORK/port")"
}

# Runs the updater at the Windows path $1 under Wine until its log $2 (a
# Linux path) shows the run's end; a run whose window stays open for the user
# is stopped there. Then waits for every Wine process to end.
run_updater() {
  "$WINE" "$1" &
  local updater=$!
  for _ in $(seq 1 240); do
    grep -q "the window stays open\|end (exit code" "$2" 2>/dev/null && break
    sleep 0.25
  done
  if grep -q "the window stays open" "$2" 2>/dev/null; then kill "$updater" 2>/dev/null || true; fi
  wait "$updater" 2>/dev/null || true
  "$WINESERVER" -w
}

# An application folder for the update server ($1, under drive C:) with
# update.exe and the application 1.0.0.1, and the server's tree ($2) offering
# the application 3.1.0.12 and no newer updater.
internet_folders() {
  rm -rf "$1" "$2" && mkdir -p "$1" "$2/update"
  cp "$WINDOWS_BIN/update.exe" "$1/"
  cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$1/Pellarion.exe"
  : >"$1/format.dll"
  cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$2/update/Pellarion.bin"
  printf '31012*1*2\r\nany\r\nx*y*20055\r\n' >"$2/update/update.txt"
}

# The same folders, with the tree served for $3 seconds;
# PELLARION_UPDATE_SERVER names the server.
serve_newer_application() {
  internet_folders "$1" "$2"
  start_http_server "$2" "$3"
  export PELLARION_UPDATE_SERVER="$server_address"
}
