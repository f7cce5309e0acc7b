#!/usr/bin/env bash
# The Windows updater under Wine updating from a share: it installs a newer
# application, shows its success box (dismissed here), and stages a newer
# updater as update.bin.
WINE_WORK="$1"; WINDOWS_BIN="$2"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/share-test/app"
share="$(c_drive)/share-test/host/Pellarion"
rm -rf "$(c_drive)/share-test" && mkdir -p "$app" "$share"
cp "$WINDOWS_BIN/update.exe" "$app/"
cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$app/Pellarion.exe"
printf 'C:\\share-test\\host\r\n' >"$app/host.dll"
cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$share/pellarion.exe"
cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$share/update.exe"

"$WINE" 'C:\share-test\app\update.exe' &
updater=$!
# The success box bears the window's title; Enter dismisses it (and is
# harmless to the status window, which has the same title).
shot="$WINE_WORK/share-mode-message.png"
for _ in $(seq 1 240); do
  kill -0 "$updater" 2>/dev/null || break
  for id in $(xdotool search --name "Osmerin Pellarion Updater" 2>/dev/null || true); do
    [ -f "$shot" ] || { sleep 0.5; import -window root "$shot" || true; }
    xdotool windowfocus --sync "$id" key Return 2>/dev/null || true
  done
  sleep 0.25
done
if kill -0 "$updater" 2>/dev/null; then
  echo "FAIL: the updater did not end"; kill "$updater"; exit 1
fi
wait "$updater" || true
"$WINESERVER" -w

status=0
check() { if cmp -s "$1" "$2"; then echo "ok: $3"; else echo "FAIL: $3"; status=1; fi; }
check "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe" "the newer application is installed"
check "$app/update.bin" "$WINDOWS_BIN/fixture-3.1.0.12.exe" "the newer updater is staged as update.bin"
check "$app/update.exe" "$WINDOWS_BIN/update.exe" "update.exe itself is unchanged"
[ ! -e "$app/NewVersion.exe" ] || { echo "FAIL: NewVersion.exe left behind"; status=1; }
exit $status
