#!/usr/bin/env bash
# The Windows updater built with a publisher key, under Wine: it installs a
# package signed with that key (CNG checks the signature) and refuses the same
# package with one byte changed, leaving the old application in place.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
key="$WINDOWS_BIN/../signing/publisher-private.pem"
app="$(c_drive)/signed-test"
root="$WINE_WORK/signed-server"
status=0
for case in signed tampered; do
  rm -rf "$app" "$root" && mkdir -p "$app" "$root/update"
  cp "$WINDOWS_BIN/signed/update.exe" "$app/"
  cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$app/Pellarion.exe"
  : >"$app/format.dll"
  package="$root/update/Pellarion.bin"
  cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$package"
  openssl dgst -sha256 -sign "$key" "$package" | openssl base64 -A >"$package.sig"
  printf '31012*1*2\r\nany\r\nx*y*20055\r\n' >"$root/update/update.txt"
  if [ "$case" = tampered ]; then
    # One byte in the middle of the package, after it was signed.
    middle=$(( $(stat -c %s "$package") / 2 ))
    printf '\x5a' | dd of="$package" bs=1 seek="$middle" conv=notrunc status=none
  fi

  start_http_server "$root" 120
  export PELLARION_UPDATE_SERVER="$server_address"
  "$WINE" 'C:\signed-test\update.exe' &
  updater=$!
  # A refused package leaves the window open: the test closes the program it
  # started once the log says so; an installed one ends the run by itself.
  for _ in $(seq 1 240); do
    grep -q "the window stays open\|end (exit code" "$app/update.log" 2>/dev/null && break
    sleep 0.25
  done
  if grep -q "the window stays open" "$app/update.log" 2>/dev/null; then kill "$updater" 2>/dev/null || true; fi
  wait "$updater" 2>/dev/null || true
  kill "$server" 2>/dev/null || true
  "$WINESERVER" -w

  grep "gate:" "$app/update.log" | sed "s/^/  $case: /"
  if [ "$case" = signed ]; then
    cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe" &&
      grep -q "accepted: .*signed by the publisher" "$app/update.log" &&
      echo "ok: the signed package is installed" || { echo "FAIL: the signed package was not installed"; status=1; }
  else
    cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-1.0.0.1.exe" &&
      grep -q "refused: the signature is not the publisher's" "$app/update.log" &&
      [ ! -e "$app/Pellarion.bin" ] &&
      echo "ok: the tampered package is refused, the old application stays" ||
      { echo "FAIL: the tampered package was not refused as it should be"; status=1; }
  fi
done
exit $status
