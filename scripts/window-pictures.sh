#!/usr/bin/env bash
# The README's pictures of the status window as a workstation user sees it:
# the Windows build's own window code under Wine, with a title bar, in each
# state of a run (blue searching; green downloading and done; red failure).
# Run it again whenever the window changes; it checks each picture (frame,
# white inside, the text in its colour) before it replaces the old one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 xvfb xauth xdotool imagemagick
          fonts-dejavu-core python3)
source scripts/install-packages.sh
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/windows --target window_states >/dev/null

work="$root/build/window-pictures"
bash tests/wine/wine_setup.sh "$work" >/dev/null
trap 'bash tests/wine/wine_cleanup.sh "$work"' EXIT
WINE_WORK="$work"
source tests/wine/wine_common.sh
cp build/windows/bin/window_states.exe "$(c_drive)/"

for shot in "searching --blue" "downloading --green" "updated --green --single-line" "failed --red"; do
  set -- $shot
  state=$1; shift
  # A Wine-drawn desktop gives the window its title bar.
  "$WINE" explorer /desktop=pictures,480x200 'C:\window_states.exe' "$state" &
  id=$(wait_for_window "Osmerin Pellarion Updater")
  sleep 1   # until it is painted
  import -window root -crop 480x200+0+0 "$work/$state-desktop.png"
  xdotool windowfocus --sync "$id" key --clearmodifiers alt+F4 2>/dev/null || true
  "$WINESERVER" -w
  colour=$1
  [ "$colour" = --blue ] && shift
  python3 tests/wine/check_status_window.py "$work/$state-desktop.png" "$@" | sed "s/^/$state: /"
  # Only the window, in few colours: a small file beside the README.
  convert "$work/$state-desktop.png" -trim +repage -strip -colors 32 "PNG8:$root/window-$state.png"
  echo "window-$state.png: $(identify -format '%wx%h' "$root/window-$state.png"), $(stat -c %s "$root/window-$state.png") bytes"
done
