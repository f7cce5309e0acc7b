#!/usr/bin/env bash
# The keyed Windows updater under Wine (WinHTTP) against Debian's nginx over
# HTTPS, serving a tree staged by pellarion-publish: a whole signed update, a
# package resumed after its connection was cut, and the refusals of an
# untrusted authority and of a certificate for another host name, told apart
# by WinHTTP's own reason (WINEDEBUG=trace+winhttp).
#
# Wine's crypt32 trusts the host's CA bundle: the test authority joins a copy
# of it that is bind-mounted over the original in a private mount namespace
# (needs root, as in CI; skipped otherwise).
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"; PUBLISH="$5"; TEST_NGINX="$6"
source "$(dirname "$0")/wine_common.sh"
bundle_in_use=/etc/ssl/certs/ca-certificates.crt
if [ "$(id -u)" -ne 0 ] || ! unshare --mount --propagation private true 2>/dev/null; then
  echo "skipped: a private mount namespace needs root"
  exit 77
fi
work="$WINE_WORK/nginx-https"
app="$(c_drive)/nginx-test"
rm -rf "$work" && mkdir -p "$work/tls"
tls="$work/tls"

# A test authority, a certificate it signed for localhost and one for another name.
quiet() { "$@" >/dev/null 2>&1 || { echo "FAIL: $*"; exit 1; }; }
quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$tls/ca.key" \
  -out "$tls/ca.pem" -days 2 -subj "/CN=Pellarion Wine Test CA" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign
for name in localhost wrong.example; do
  quiet openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$tls/$name.key" \
    -out "$tls/$name.csr" -subj "/CN=$name"
  printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$name" >"$tls/$name.ext"
  quiet openssl x509 -req -in "$tls/$name.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -set_serial "$RANDOM" \
    -days 2 -extfile "$tls/$name.ext" -out "$tls/$name.pem"
done
cat "$bundle_in_use" "$tls/ca.pem" >"$tls/bundle.crt"

# The release, staged and signed as a publisher does.
quiet "$PUBLISH" stage --app "$WINDOWS_BIN/fixture-3.1.0.12.exe" --updater "$WINDOWS_BIN/signed/update.exe" \
  --key "$WINDOWS_BIN/../signing/publisher-private.pem" "$work/www"
package_size=$(stat -c %s "$work/www/update/Pellarion.bin")

# nginx with the right certificate (and a relay that cuts the first connection
# carrying half the package), and nginx with the wrong one.
servers=()
trap 'for p in "${servers[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT
start_nginx() {  # name cert [relay]
  local extra=()
  [ -n "${3:-}" ] && extra=(--relay-port-file "$work/$1.relay" --cut-after $((package_size / 2)))
  "$TEST_NGINX" --root "$work/www" --work "$work/$1" --port-file "$work/$1.port" --cert "$tls/$2.pem" \
    --key "$tls/$2.key" --seconds 300 "${extra[@]}" &
  servers+=($!)
  for _ in $(seq 1 100); do [ -s "$work/$1.port" ] && return 0; sleep 0.05; done
  echo "FAIL: nginx $1 did not start"; exit 1
}
start_nginx good localhost relay
start_nginx wrong wrong.example
good=$(cat "$work/good.port"); relay=$(cat "$work/good.relay"); wrong=$(cat "$work/wrong.port")

# One run of the updater on a fresh workstation against https://localhost:PORT,
# with the test authority trusted or not; its trace of WinHTTP in $work/trace.
run() {  # port trusted(yes|no)
  rm -rf "$app" && mkdir -p "$app"
  cp "$WINDOWS_BIN/signed/update.exe" "$app/"
  cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$app/Pellarion.exe"
  : >"$app/format.dll"
  "$WINESERVER" -w
  local command="WINEDEBUG=trace+winhttp PELLARION_UPDATE_SERVER=https://localhost:$1 \"$WINE\" 'C:\\nginx-test\\update.exe' 2>\"$work/trace\" & updater=\$!
    for _ in \$(seq 1 240); do grep -q 'the window stays open\|end (exit code' \"$app/update.log\" 2>/dev/null && break; sleep 0.25; done
    grep -q 'the window stays open' \"$app/update.log\" 2>/dev/null && kill \$updater 2>/dev/null
    wait \$updater 2>/dev/null; \"$WINESERVER\" -w"
  if [ "$2" = yes ]; then
    unshare --mount --propagation private bash -c "mount --bind '$tls/bundle.crt' '$bundle_in_use' && $command"
  else
    bash -c "$command"
  fi
}

status=0
check() {  # description command...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; status=1; fi
}
installed() { cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe"; }
untouched() { cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-1.0.0.1.exe"; }
# WinHTTP's reason, as Wine traces it in hexadecimal: 12045 invalid authority, 12038 wrong name.
refused_for() { grep -qa "netconn_verify_cert returning $(printf '0x%x' "$1")$" "$work/trace"; }
named_the_fleet() {
  ! grep -v 'OsmerinPellarionUpdater/2\.0\.0\.55 (Pellarion 1\.0\.0\.1; Windows [0-9.]*; x[0-9]*)' \
    "$work/good/access.log" | grep -q .
}
asked_the_rest() { grep -q '^206 .*"bytes=[0-9]*-"' "$work/good/access.log"; }
untrusted() { refused_for 12045 && ! refused_for 12038 && untouched; }
wrong_name() { refused_for 12038 && ! refused_for 12045 && untouched; }

run "$good" yes
grep "download\|gate:" "$app/update.log" | sed 's/^/  whole: /'
check "a whole signed update over HTTPS with the test authority trusted" installed
check "every request named the fleet's User-Agent" named_the_fleet

run "$relay" yes
grep "download\|gate:" "$app/update.log" | sed 's/^/  resumed: /'
check "the package cut halfway is resumed and installed" installed
check "the second request asked for the rest, and got it" asked_the_rest

run "$good" no
grep "download" "$app/update.log" | sed 's/^/  untrusted: /'
check "refused: the authority is not trusted (12045), the application untouched" untrusted

run "$wrong" yes
grep "download" "$app/update.log" | sed 's/^/  wrong name: /'
check "refused: the certificate is for another host name (12038), the application untouched" wrong_name
exit $status
