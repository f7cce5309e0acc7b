#!/usr/bin/env bash
# The Windows updater under Wine, started outside the application's folder:
# it plants copies of itself on drives D: and E:, where the application is
# installed, starts them, and ends without a window.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"
source "$(dirname "$0")/wine_common.sh"
drives="$WINE_WORK/drives"
rm -rf "$drives" "$(c_drive)/downloads"
mkdir -p "$drives/d/Pellarion" "$drives/e/PELLARION" "$(c_drive)/downloads"
cp "$FIXTURES/pe-1.0.0.1.exe" "$drives/d/Pellarion/pellarion.exe"
cp "$FIXTURES/pe-1.0.0.1.exe" "$drives/e/PELLARION/Pellarion.exe"
ln -sfn "$drives/d" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$drives/e" "$WINEPREFIX/dosdevices/e:"
cp "$WINDOWS_BIN/update.exe" "$(c_drive)/downloads/"

code=0
timeout 60 "$WINE" 'C:\downloads\update.exe' || code=$?
"$WINESERVER" -w   # the started copies run their own start-up and end
status=0
# Exit code 0: started outside an application folder, copies placed (a normal end).
[ "$code" = 0 ] || { echo "FAIL: exit code $code, not 0"; status=1; }
for copy in "$drives/d/Pellarion/update.exe" "$drives/e/PELLARION/update.exe"; do
  if cmp -s "$copy" "$WINDOWS_BIN/update.exe"; then
    echo "planted: $copy"
  else
    echo "FAIL: $copy was not planted"; status=1
  fi
done
rm -f "$WINEPREFIX/dosdevices/d:" "$WINEPREFIX/dosdevices/e:"
exit $status
