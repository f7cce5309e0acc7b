#!/usr/bin/env bash
# The Windows updater under Wine replacing Pellarion.exe while another
# program holds it open without delete sharing, as an antivirus scanner
# holds a new executable for a moment (windows_holder, for 8 s): the run
# tries again until the file is let go and installs the new application.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/in-use-test"
serve_newer_application "$app" "$WINE_WORK/in-use-server" 120
cp "$WINDOWS_BIN/windows_holder.exe" "$app/"

"$WINE" 'C:\in-use-test\windows_holder.exe' 'C:\in-use-test\Pellarion.exe' 8000 &
holder=$!
sleep 1  # the holder has the file open by now (wineserver is up)
code=0
timeout 90 "$WINE" 'C:\in-use-test\update.exe' || code=$?
wait "$holder" || true
"$WINESERVER" -w

status=0
if [ "$code" = 0 ]; then echo "ok: the run ended normally"
else echo "FAIL: the run ended with exit code $code"; status=1; fi
if cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe"; then
  echo "ok: the newer application is installed once let go"
else
  echo "FAIL: Pellarion.exe was not replaced"; status=1
fi
if grep -q "in use by another program: trying again" "$app/update.log"; then
  echo "ok: the held file was waited for"
else
  echo "FAIL: the log tells no wait for the held file (was it held?)"; status=1
fi
[ ! -e "$app/Pellarion.bin" ] || { echo "FAIL: Pellarion.bin left behind"; status=1; }
[ ! -e "$app/Pellarion.stopped" ] || { echo "FAIL: Pellarion.stopped left behind"; status=1; }
tr -d '\r' <"$app/update.log" | sed 's/^/  log: /'
exit $status
