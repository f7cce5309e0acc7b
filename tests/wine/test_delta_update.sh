#!/usr/bin/env bash
# The keyed Windows updater under Wine updates the application by delta:
# the Windows publisher's tool stages a signed tree with a delta from the
# installed build (3.1.0.11), the tests' HTTP server serves it, and the
# updater downloads that delta instead of the package, applies it with the
# decoder it links and installs the result, which its log tells.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/delta-test"
root="$WINE_WORK/delta-server"
rm -rf "$app" "$root" && mkdir -p "$app"
# The Windows tool, with Linux paths given as the Z: drive's.
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }
"$WINE" "$WINDOWS_BIN/pellarion-publish.exe" stage --app "$(winpath "$WINDOWS_BIN/fixture-3.1.0.12.exe")" \
  --updater "$(winpath "$WINDOWS_BIN/signed/update.exe")" \
  --key "$(winpath "$WINDOWS_BIN/../signing/publisher-private.pem")" \
  --delta-from "$(winpath "$WINDOWS_BIN/fixture-3.1.0.11.exe")" "$(winpath "$root")" \
  >"$WINE_WORK/delta-stage.txt" 2>&1 ||
  { cat "$WINE_WORK/delta-stage.txt"; echo "FAIL: the Windows tool did not stage the tree with its delta"; exit 1; }
grep "^delta: " "$WINE_WORK/delta-stage.txt" | sed 's/^/  stage: /'

cp "$WINDOWS_BIN/signed/update.exe" "$app/"
cp "$WINDOWS_BIN/fixture-3.1.0.11.exe" "$app/Pellarion.exe"
: >"$app/format.dll"
start_http_server "$root" 120
export PELLARION_UPDATE_SERVER="$server_address"
run_updater 'C:\delta-test\update.exe' "$app/update.log"
kill "$server" 2>/dev/null || true

grep "download\|delta\|gate:\|end (" "$app/update.log" | sed 's/^/  run: /'
cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe" &&
  grep -q "delta from the installed 3\.1\.0\.11: [0-9]* bytes instead of [0-9]* ([0-9.]*% saved)" "$app/update.log" &&
  ! grep -q "/update/Pellarion\.bin: HTTP" "$app/update.log" &&
  grep -q "end (exit code 0): updated" "$app/update.log" &&
  [ ! -e "$app/Pellarion.bin.delta" ] && [ ! -e "$app/Pellarion.bin.patched" ] &&
  echo "ok: the application is installed from the delta the Windows tool made, not the whole package" ||
  { echo "FAIL: the update by delta"; exit 1; }
