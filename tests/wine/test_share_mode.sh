#!/usr/bin/env bash
# The Windows updater under Wine updating from a share: it installs a newer
# application, shows its success box (dismissed here), and stages a newer
# updater as update.bin. While the box is open, a copy of the updater left
# beside it ("update - Copy.exe") is started too: the folder has one lock, so
# that copy ends at once as another run (exit code 0, its end line says so).
WINE_WORK="$1"; WINDOWS_BIN="$2"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/share-test/app"
share="$(c_drive)/share-test/host/Pellarion"
rm -rf "$(c_drive)/share-test" && mkdir -p "$app" "$share"
cp "$WINDOWS_BIN/update.exe" "$app/"
cp "$WINDOWS_BIN/update.exe" "$app/update - Copy.exe"
cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$app/Pellarion.exe"
printf 'C:\\share-test\\host\r\n' >"$app/host.dll"
cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$share/pellarion.exe"
cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$share/update.exe"

"$WINE" 'C:\share-test\app\update.exe' &
updater=$!
# The success box bears the window's title; Enter dismisses it (and is
# harmless to the status window, which has the same title).
shot="$WINE_WORK/share-mode-message.png"
copy_code=none
for _ in $(seq 1 240); do
  kill -0 "$updater" 2>/dev/null || break
  for id in $(xdotool search --name "Osmerin Pellarion Updater" 2>/dev/null || true); do
    [ -f "$shot" ] || { sleep 0.5; import -window root "$shot" || true; }
    if [ "$copy_code" = none ]; then
      copy_code=0
      timeout 60 "$WINE" 'C:\share-test\app\update - Copy.exe' || copy_code=$?
    fi
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
if [ "$copy_code" = 0 ] && grep -q 'end (exit code 0): another updater runs' "$app/update.log"; then
  echo "ok: the copy beside it ended as another run"
else echo "FAIL: the copy beside it ended with $copy_code, and its log says: $(tail -n 1 "$app/update.log")"; status=1; fi
[ ! -e "$app/update.lock" ] || { echo "FAIL: update.lock stayed after the run"; status=1; }
[ ! -e "$app/NewVersion.exe" ] || { echo "FAIL: NewVersion.exe left behind"; status=1; }
exit $status
