#!/usr/bin/env bash
# The Windows updater built with a publisher key, under Wine, against a tree
# pellarion-publish staged and signed: it installs the signed release (CNG
# hashes the package and checks the description's signature), and one signed
# by a release key the build's key certified (CNG checks the certificate and
# then the description with the key it names), and refuses the same tree
# with the two packages swapped and their roles rewritten to fit, leaving the
# old application in place.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"; PUBLISH="$5"
source "$(dirname "$0")/wine_common.sh"
key="$WINDOWS_BIN/../signing/publisher-private.pem"
app="$(c_drive)/signed-test"
root="$WINE_WORK/signed-server"
status=0
release_keys="$WINE_WORK/release-keys"
rm -rf "$release_keys"
"$PUBLISH" keygen "$release_keys" >/dev/null &&
  "$PUBLISH" certify --root "$key" --key "$release_keys/publisher-public.pem" --sequence 1 \
    "$release_keys/certificate" >/dev/null || { echo "FAIL: cannot certify a release key"; exit 1; }
for case in signed certified swapped; do
  rm -rf "$app" "$root" && mkdir -p "$app"
  cp "$WINDOWS_BIN/signed/update.exe" "$app/"
  cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$app/Pellarion.exe"
  : >"$app/format.dll"
  signing=(--key "$key")
  [ "$case" = certified ] &&
    signing=(--key "$release_keys/publisher-private.pem" --certificate "$release_keys/certificate")
  "$PUBLISH" stage --app "$WINDOWS_BIN/fixture-3.1.0.12.exe" --updater "$WINDOWS_BIN/signed/update.exe" \
    "${signing[@]}" --release 1 "$root" >/dev/null || { echo "FAIL: cannot stage the signed tree"; exit 1; }
  if [ "$case" = swapped ]; then
    # What an attacker without the key can do: swap the packages and make
    # the description's roles and offers fit them.
    mv "$root/update/Pellarion.bin" "$root/swap"
    mv "$root/update/update.bin" "$root/update/Pellarion.bin"
    mv "$root/swap" "$root/update/update.bin"
    python3 - "$root/update/update.txt" <<'PY'
import sys
path = sys.argv[1]
lines = open(path, 'rb').read().split(b'\r\n')
app = next(i for i, l in enumerate(lines) if l.startswith(b'application '))
upd = next(i for i, l in enumerate(lines) if l.startswith(b'updater '))
a, u = lines[app].split(b' ', 1)[1], lines[upd].split(b' ', 1)[1]
lines[app], lines[upd] = b'application ' + u, b'updater ' + a
for i in range(3):
    lines[i] = b'20055*20055*31012'
open(path, 'wb').write(b'\r\n'.join(lines))
PY
  fi

  start_http_server "$root" 120
  export PELLARION_UPDATE_SERVER="$server_address"
  run_updater 'C:\signed-test\update.exe' "$app/update.log"
  kill "$server" 2>/dev/null || true

  grep "gate:\|release" "$app/update.log" | sed "s/^/  $case: /"
  if [ "$case" != swapped ]; then
    cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe" &&
      grep -q "accepted: .*the signed release's package" "$app/update.log" &&
      { [ "$case" = signed ] ||
        grep -q "signed by a release key the publisher certified (sequence 1)" "$app/update.log"; } &&
      echo "ok: the $case release is installed" || { echo "FAIL: the $case release was not installed"; status=1; }
  else
    cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-1.0.0.1.exe" &&
      grep -q "release refused: the signature is not the publisher's" "$app/update.log" &&
      grep -q "end (exit code 2)" "$app/update.log" &&
      [ ! -e "$app/Pellarion.bin" ] &&
      echo "ok: the swapped roles are refused before any download, the old application stays" ||
      { echo "FAIL: the swapped roles were not refused as they should be"; status=1; }
  fi
done
exit $status
