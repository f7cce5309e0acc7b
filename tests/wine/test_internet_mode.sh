#!/usr/bin/env bash
# The Windows updater under Wine installing a newer application from an
# update server on 127.0.0.1; a screenshot catches the green success text.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/internet-test"
serve_newer_application "$app" "$WINE_WORK/update-server" 120

"$WINE" explorer /desktop=internetmode,640x160 'C:\internet-test\update.exe' &
wait_for_window "Osmerin Pellarion Updater" >/dev/null
# The success text stays for 3 seconds: look until a shot shows it in green.
shot="$WINE_WORK/internet-mode-success.png"
found=1
for _ in $(seq 1 60); do
  import -window root -crop 640x160+0+0 "$shot" 2>/dev/null || true
  if python3 "$(dirname "$0")/check_status_window.py" "$shot" --green --single-line >"$WINE_WORK/check.txt" 2>&1; then
    found=0; break
  fi
  sleep 0.2
done
cat "$WINE_WORK/check.txt"
"$WINESERVER" -w
status=$found
if cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe"; then
  echo "ok: the newer application is installed"
else
  echo "FAIL: Pellarion.exe was not replaced"; status=1
fi
[ ! -e "$app/Pellarion.bin" ] || { echo "FAIL: Pellarion.bin left behind"; status=1; }
exit $status
