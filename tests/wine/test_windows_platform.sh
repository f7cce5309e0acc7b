#!/usr/bin/env bash
# The Windows platform's GoogleTest suite, run under Wine from a copy of the
# Windows build's programs on drive C:, with the tests' HTTP server beside it.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
bin="$(c_drive)/platform-tests"
rm -rf "$bin" && mkdir -p "$bin"
cp "$WINDOWS_BIN"/{windows_platform_tests,update,windows_sleeper,fixture-1.0.0.1,fixture-3.1.0.12}.exe "$bin/"

# A cache folder with a link out of it: Wine cannot make a junction, but it
# reports a Unix symbolic link to a folder as one.
mkdir -p "$bin/linked/cache/sub" "$bin/linked/outside"
echo "not the cache's" >"$bin/linked/outside/keep.txt"
ln -s "$bin/linked/outside" "$bin/linked/cache/sub/link"
export PELLARION_TEST_LINKED_CACHE='C:\platform-tests\linked\cache'

rm -f "$WINE_WORK/port"
"$HTTP_SERVER" --port-file "$WINE_WORK/port" --seconds 300 >/dev/null &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -s "$WINE_WORK/port" ] && break; sleep 0.05; done
export PELLARION_TEST_SERVER="127.0.0.1:$(cat "$WINE_WORK/port")"
timeout 180 "$WINE" 'C:\platform-tests\windows_platform_tests.exe' 2>&1 | tr -d '\r'
