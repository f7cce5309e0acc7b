#!/usr/bin/env bash
# DLLs planted beside update.exe under the names of system DLLs that are not
# KnownDLLs must never load: the updater runs from a folder users can write
# to. WINEDLLOVERRIDES makes Wine prefer a DLL found on the search path, as
# Windows does for such DLLs. The run is a whole InternetMode update, so every
# DLL it needs has been loaded by the time it ends.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
# Not version.dll: Wine's own user32 imports it, so under the override every
# program that shows a window loads a planted one before its first
# instruction (measured with WINEDEBUG=+module). On Windows user32 is a
# KnownDLL whose imports come from System32; that update.exe itself does not
# import version.dll, the import-table test checks.
planted=(winhttp.dll bcrypt.dll)
app="$(c_drive)/planted-test"
root="$WINE_WORK/planted-server"
rm -rf "$app" "$root" && mkdir -p "$app" "$root/update"
cp "$WINDOWS_BIN/update.exe" "$app/"
cp "$WINDOWS_BIN/fixture-1.0.0.1.exe" "$app/Pellarion.exe"
: >"$app/format.dll"
for dll in "${planted[@]}"; do cp "$WINDOWS_BIN/planted.dll" "$app/$dll"; done
cp "$WINDOWS_BIN/fixture-3.1.0.12.exe" "$root/update/Pellarion.bin"
printf '31012*1*2\r\nany\r\nx*y*20055\r\n' >"$root/update/update.txt"

start_http_server "$root" 120
export PELLARION_UPDATE_SERVER="$server_address"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winhttp,bcrypt=n,b"

timeout 40 "$WINE" 'C:\planted-test\update.exe' 2>&1 | tr -d '\r' | head -n 20 || true
"$WINESERVER" -w

status=0
for dll in "${planted[@]}"; do
  # The mark bears the name the program asked for, in its case.
  if [ -n "$(find "$app" -maxdepth 1 -iname "$dll.loaded")" ]; then echo "FAIL: the planted $dll was loaded"; status=1
  else echo "ok: the planted $dll was not loaded"; fi
done
if cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe"; then
  echo "ok: the update ran to its end"
else
  echo "FAIL: Pellarion.exe was not replaced (did the updater start?)"; status=1
fi
exit $status
