#!/usr/bin/env bash
# Makes a fresh Wine prefix and a private X display for this test run; the
# prefix is 64-bit, or 32-bit when the second argument is win32.
WINE_WORK="$1"; ARCH="${2:-win64}"
rm -rf "$WINE_WORK"
mkdir -p "$WINE_WORK"
echo "$ARCH" >"$WINE_WORK/arch"
source "$(dirname "$0")/wine_common.sh"

# Some machines (virtual machines without 32-bit user mode) cannot start a
# 32-bit program at all: the 32-bit build's Wine tests are then skipped, and
# say so, rather than fail on the machine.
if [ "$ARCH" = win32 ] && ! "$WINE" --version >/dev/null 2>&1; then
  echo "this machine cannot run 32-bit programs ($WINE does not start): the 32-bit Wine tests are skipped"
  touch "$WINE_WORK/no-32-bit"
  exit 77
fi

# Xvfb picks a free display and tells it on a pipe.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -nolisten tcp -screen 0 1024x768x24 >"$WINE_WORK/xvfb.log" 2>&1 &
echo $! >"$WINE_WORK/xvfb.pid"
read -r -t 20 -u "$fd" display
echo "$display" >"$WINE_WORK/display"
export DISPLAY=":$display"

"$WINE" wineboot -i >"$WINE_WORK/wineboot.log" 2>&1
# Arial falls back to a monospaced face without this; DejaVu Sans shapes Arabic.
"$WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d "DejaVu Sans" /f \
  >/dev/null 2>&1
"$WINESERVER" -w
echo "prefix ready at $WINEPREFIX on display :$display"
