#!/usr/bin/env bash
# The updater's main job on a local demo, signed end to end: a publisher key
# made on the fly, an updater built to trust it and a newer updater built the
# same way, a server tree staged and signed with pellarion-publish and served
# over HTTPS on 127.0.0.1 (with a test authority the updater is told to
# trust), and an application folder with an old Pellarion.exe running and
# the marker format.dll. The Linux update.exe checks each package (whole,
# the offered version, the publisher's signature), stops the running
# application, installs the new one, starts it and stages the new updater;
# its update.log is shown. With Wine and Xvfb present (they are after
# scripts/test.sh), the Windows build does the same and a screenshot of its
# window is saved. The demo ends with the fleet as its server's access log
# shows it. Installs what it needs with apt-get first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libcurl4-openssl-dev libssl-dev openssl zlib1g-dev libzstd-dev
          g++-mingw-w64-x86-64-win32 mingw-w64-tools libz-mingw-w64-dev python3)
source scripts/install-packages.sh
echo "building the Linux updater, its tools and the demo's stand-in applications..."
cmake -S . -B build/linux -G Ninja >/dev/null
cmake --build build/linux -j "$(nproc)" --target pellarion_publish_tool test_http_server show_version \
  linux_app_1_0_0_1 linux_app_3_1_0_12 >/dev/null
fixtures=build/linux/fixtures
tools=build/linux/tests
publish=build/linux/bin/pellarion-publish

demo="$root/build/demo"
rm -rf "$demo" && mkdir -p "$demo/app" "$demo/tls"

echo "making a publisher key, an updater 2.0.0.55 that trusts it and a newer one, 2.0.0.56..."
"$publish" keygen "$demo/keys" | sed 's/^/  /'
# One build tree for both: only the version record differs between them.
for version in 2.0.0.56 2.0.0.55; do
  cmake -S . -B build/demo-signed -G Ninja -DPELLARION_BUILD_TESTS=OFF \
    -DPELLARION_PUBLISHER_KEY="$demo/keys/publisher-public.pem" -DPELLARION_UPDATER_VERSION=$version >/dev/null
  cmake --build build/demo-signed -j "$(nproc)" --target update >/dev/null
  cp build/demo-signed/bin/update.exe "$demo/update-$version.exe"
done

echo "staging the signed server tree (application 3.1.0.12, updater 2.0.0.56)..."
"$publish" stage --app "$fixtures/linux-app-3.1.0.12" --updater "$demo/update-2.0.0.56.exe" \
  --key "$demo/keys/publisher-private.pem" "$demo/server" | sed 's/^/  /'

cp "$demo/update-2.0.0.55.exe" "$demo/app/update.exe"
cp "$fixtures/linux-app-1.0.0.1" "$demo/app/Pellarion.exe"
: >"$demo/app/format.dll"

"$tools/test_http_server" --root "$demo/server" --port-file "$demo/port" --seconds 300 \
  --tls "$demo/tls" --access-log "$demo/access.log" >/dev/null 2>&1 &
server=$!
"$demo/app/Pellarion.exe" &
app=$!
disown "$app"
# Stops what the demo started: the server, the old application, and the new
# one the updater started from the demo's own folder.
cleanup() {
  kill "$server" "$app" 2>/dev/null || true
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$demo/app/Pellarion.exe" ] && kill "$(basename "$(dirname "$exe")")" 2>/dev/null
  done
  true
}
trap cleanup EXIT
for _ in $(seq 1 200); do [ -s "$demo/port" ] && break; sleep 0.05; done
[ -s "$demo/port" ] || { echo "the demo's update server did not start" >&2; exit 1; }
export PELLARION_UPDATE_SERVER="https://127.0.0.1:$(cat "$demo/port")"
export PELLARION_CA_FILE="$demo/tls/ca.pem"

echo
echo "application folder: $demo/app"
echo "update server:      $PELLARION_UPDATE_SERVER/update/ (test authority $PELLARION_CA_FILE)"
echo "the server as the publisher's tool sees it:"
"$publish" verify "$PELLARION_UPDATE_SERVER" --key "$demo/keys/publisher-public.pem" | sed 's/^/  /'
echo "before:"
"$tools/show_version" "$demo/app/Pellarion.exe" "$demo/app/update.exe" | sed 's/^/  /'
echo "  running Pellarion.exe: process $app"
echo
echo "update.exe says:"
code=0
"$demo/app/update.exe" </dev/null || code=$?
echo "(exit code $code)"
echo
echo "after:"
"$tools/show_version" "$demo/app/Pellarion.exe" "$demo/app/update.exe" "$demo/app/update.bin" | sed 's/^/  /'
if kill -0 "$app" 2>/dev/null; then
  echo "  the old Pellarion.exe (process $app) still runs"
else
  echo "  the old Pellarion.exe (process $app) was asked to close and has ended"
fi
for exe in /proc/[0-9]*/exe; do
  if [ "$(readlink "$exe" 2>/dev/null)" = "$demo/app/Pellarion.exe" ]; then
    echo "  the new Pellarion.exe runs: process $(basename "$(dirname "$exe")")"
  fi
done
echo
echo "update.log:"
sed 's/^/  /' "$demo/app/update.log"

if command -v Xvfb >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  echo
  echo "the same with the Windows build under Wine..."
  cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/windows -j "$(nproc)" >/dev/null
  wine_work="$demo/wine"
  bash tests/wine/wine_setup.sh "$wine_work" >/dev/null
  if bash tests/wine/test_internet_mode.sh "$wine_work" build/windows/bin "$fixtures" "$tools/test_http_server"; then
    cp "$wine_work/internet-mode-success.png" "$demo/windows-window.png"
    echo "screenshot of the Windows window: $demo/windows-window.png"
  fi
  bash tests/wine/wine_cleanup.sh "$wine_work"
fi

echo
echo "the fleet in the demo server's access log ($demo/access.log):"
"$publish" fleet --svg "$demo/fleet.svg" "$demo/access.log" | sed 's/^/  /'
