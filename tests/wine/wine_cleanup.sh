#!/usr/bin/env bash
# Ends this test run's wineserver and X display.
WINE_WORK="$1"
source "$(dirname "$0")/wine_common.sh"
"$WINESERVER" -k 2>/dev/null || true
if [ -f "$WINE_WORK/xvfb.pid" ]; then
  kill "$(cat "$WINE_WORK/xvfb.pid")" 2>/dev/null || true
fi
exit 0
