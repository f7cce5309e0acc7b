#!/usr/bin/env bash
# The updater's main job on a local demo: an application folder with an old
# Pellarion.exe (running) and the marker format.dll, and an update server on
# 127.0.0.1 offering a newer application and a newer updater. The Linux
# update.exe, pointed at that server, stops the running application, installs
# the new one, starts it and stages the new updater. Installs what it needs
# with apt-get first. With Wine and Xvfb present (they are after
# scripts/test.sh), the Windows build does the same and a screenshot of its
# window is saved.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libcurl4-openssl-dev
          g++-mingw-w64-x86-64-posix mingw-w64-tools python3)
source scripts/install-packages.sh
echo "building the Linux updater..."
cmake -S . -B build/linux -G Ninja >/dev/null
cmake --build build/linux -j "$(nproc)" >/dev/null
fixtures=build/linux/fixtures
tools=build/linux/tests

demo="$root/build/demo"
rm -rf "$demo" && mkdir -p "$demo/app" "$demo/server/update"
cp build/linux/bin/update.exe "$demo/app/"
cp "$fixtures/linux-app-1.0.0.1" "$demo/app/Pellarion.exe"
: >"$demo/app/format.dll"
cp "$fixtures/linux-app-3.1.0.12" "$demo/server/update/Pellarion.bin"
cp "$fixtures/linux-app-3.1.0.12" "$demo/server/update/update.bin"
# Key 1 (line 1, field 1): the application's version digits; key 3 (line 3,
# field 3): the updater's.
printf '31012*31012*31012\r\n31012*31012*31012\r\n31012*31012*31012\r\n' >"$demo/server/update/update.txt"

"$tools/test_http_server" --root "$demo/server" --port-file "$demo/port" --seconds 300 >/dev/null &
server=$!
"$demo/app/Pellarion.exe" &
app=$!
disown "$app"
trap 'kill $server $app 2>/dev/null || true; pkill -f "$demo/app/Pellarion.exe" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -s "$demo/port" ] && break; sleep 0.05; done
export PELLARION_UPDATE_SERVER="127.0.0.1:$(cat "$demo/port")"

echo
echo "application folder: $demo/app"
echo "update server:      http://$PELLARION_UPDATE_SERVER/update/ (manifest offers 3.1.0.12)"
echo "before:"
"$tools/show_version" "$demo/app/Pellarion.exe" "$demo/app/update.exe" | sed 's/^/  /'
echo "  running Pellarion.exe: process $app"
echo
echo "update.exe says:"
"$demo/app/update.exe" </dev/null
echo
echo "after:"
"$tools/show_version" "$demo/app/Pellarion.exe" "$demo/app/update.exe" "$demo/app/update.bin" | sed 's/^/  /'
if kill -0 "$app" 2>/dev/null; then
  echo "  the old Pellarion.exe (process $app) still runs"
else
  echo "  the old Pellarion.exe (process $app) was stopped"
fi
if pgrep -f "$demo/app/Pellarion.exe" >/dev/null; then
  echo "  the new Pellarion.exe runs: process $(pgrep -f "$demo/app/Pellarion.exe" | head -n 1)"
fi

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
