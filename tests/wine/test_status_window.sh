#!/usr/bin/env bash
# The Windows updater's status window under Wine: a screenshot shows the
# searching text in blue on white inside the frame. The PNG stays in the build
# folder for a person to look at.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/window-test"
rm -rf "$app" && mkdir -p "$app"
cp "$WINDOWS_BIN/window_probe.exe" "$app/"
cp "$FIXTURES/pe-1.0.0.1.exe" "$app/Pellarion.exe"
# A share that offers the installed version: the run ends on blue texts.
share="$(c_drive)/window-share"
rm -rf "$share" && mkdir -p "$share/Pellarion"
cp "$FIXTURES/pe-1.0.0.1.exe" "$share/Pellarion/pellarion.exe"
printf 'C:\\window-share\r\n' >"$app/host.dll"

# A Wine-drawn desktop gives the window its title bar.
"$WINE" explorer /desktop=statuswindow,640x160 'C:\window-test\window_probe.exe' &
id=$(wait_for_window "Osmerin Pellarion Updater")
sleep 1.5   # the searching text follows the firewall registration
shot="$WINE_WORK/status-window.png"
import -window root -crop 640x160+0+0 "$shot"
xdotool windowfocus --sync "$id" key --clearmodifiers alt+F4 || true
python3 "$(dirname "$0")/check_status_window.py" "$shot"
"$WINESERVER" -k 2>/dev/null || true
