#!/usr/bin/env bash
# The Windows platform's GoogleTest suite, run under Wine from a copy of the
# Windows build's programs on drive C:, with the tests' HTTP server beside it.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
bin="$(c_drive)/platform-tests"
rm -rf "$bin" && mkdir -p "$bin"
cp "$WINDOWS_BIN"/{windows_platform_tests,update,windows_sleeper,windows_holder,fixture-1.0.0.1,fixture-3.1.0.12}.exe \
  "$bin/"

# A cache folder with a link out of it: Wine cannot make a junction, but it
# reports a Unix symbolic link to a folder as one.
mkdir -p "$bin/linked/cache/sub" "$bin/linked/outside"
echo "not the cache's" >"$bin/linked/outside/keep.txt"
ln -s "$bin/linked/outside" "$bin/linked/cache/sub/link"
export PELLARION_TEST_LINKED_CACHE='C:\platform-tests\linked\cache'

# Policy values as administrators set them, in the 64-bit registry.
policies='HKLM\SOFTWARE\Policies\Osmerin\Pellarion Updater'
"$WINE" reg add "$policies" /v Server /t REG_SZ /d 'https://updates.example/Pellarion' /f >/dev/null
"$WINE" reg add "$policies" /v Hours /t REG_DWORD /d 30 /f >/dev/null
"$WINE" reg add "$policies" /v Expanded /t REG_EXPAND_SZ /d '%SystemRoot%' /f >/dev/null

# A publisher key and signatures made the way a publisher makes them.
openssl ecparam -name prime256v1 -genkey -noout -out "$WINE_WORK/publisher.pem"
openssl pkey -in "$WINE_WORK/publisher.pem" -pubout -outform DER -out "$bin/publisher.spki"
head -c 3000001 /dev/urandom >"$bin/signed.bin"
head -c 1000 /dev/urandom >"$bin/other.bin"
for name in signed other; do
  openssl dgst -sha256 -sign "$WINE_WORK/publisher.pem" -out "$bin/$name.sig" "$bin/$name.bin"
done
sha256sum "$bin/signed.bin" | cut -c1-64 >"$bin/signed.sha256"

# Two builds for the delta test: update.exe and a rebuild of it (a few bytes
# changed in the middle, a block added), with the delta Debian's zstd makes.
cp "$bin/update.exe" "$bin/delta-base.exe"
cp "$bin/update.exe" "$bin/delta-next.exe"
printf 'a rebuilt function' | dd of="$bin/delta-next.exe" bs=1 seek=40000 conv=notrunc status=none
head -c 8192 /dev/urandom >>"$bin/delta-next.exe"
zstd -qq -f -19 --long --patch-from="$bin/delta-base.exe" "$bin/delta-next.exe" -o "$bin/delta-cli.zst"

root="$WINE_WORK/platform-server"
rm -rf "$root" && mkdir -p "$root"
start_http_server "$root" 300
export PELLARION_TEST_SERVER="$server_address"
# Proxy configuration scripts: one naming the server as the proxy, one
# sending everything direct.
echo "function FindProxyForURL(url, host) { return \"PROXY $PELLARION_TEST_SERVER\"; }" >"$root/proxy.pac"
echo 'function FindProxyForURL(url, host) { return "DIRECT"; }' >"$root/nowhere.pac"
# An HTTPS server whose certificate nobody signed; it tells its port.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost" -keyout "$WINE_WORK/tls.key" -out "$WINE_WORK/tls.pem" 2>/dev/null
timeout 300 openssl s_server -accept 127.0.0.1:0 -www -naccept 5 -cert "$WINE_WORK/tls.pem" \
  -key "$WINE_WORK/tls.key" >"$WINE_WORK/tls.log" 2>&1 &
tls_server=$!
trap 'kill $server $tls_server 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do grep -q '^ACCEPT' "$WINE_WORK/tls.log" && break; sleep 0.05; done
export PELLARION_TLS_PORT="$(sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$WINE_WORK/tls.log")"

timeout 180 "$WINE" 'C:\platform-tests\windows_platform_tests.exe' 2>&1 | tr -d '\r'
