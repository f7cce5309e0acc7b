#!/usr/bin/env bash
# The Windows updater under Wine takes its servers and its deadline from the
# machine's policy, as Group Policy writes them (HKLM\SOFTWARE\Policies\
# Osmerin\Pellarion Updater, `reg add` in the prefix), before the
# environment's: the policy's list skips an entry that is no server and names
# the server that serves the release; the server the environment names is
# never asked. The values are removed again, whatever happens.
WINE_WORK="$1"; WINDOWS_BIN="$2"; FIXTURES="$3"; HTTP_SERVER="$4"
source "$(dirname "$0")/wine_common.sh"
app="$(c_drive)/policy-test"
root="$WINE_WORK/policy-server"
internet_folders "$app" "$root"

start_http_server "$root" 120
policies='HKLM\SOFTWARE\Policies\Osmerin\Pellarion Updater'
remove_policy() {
  "$WINE" reg delete "$policies" /v UpdateServers /f >/dev/null 2>&1 || true
  "$WINE" reg delete "$policies" /v RunDeadlineSeconds /f >/dev/null 2>&1 || true
}
trap 'remove_policy; kill $server 2>/dev/null || true' EXIT
"$WINE" reg add "$policies" /v UpdateServers /t REG_SZ /d "ftp://nowhere.example;$server_address" /f >/dev/null
"$WINE" reg add "$policies" /v RunDeadlineSeconds /t REG_DWORD /d 600 /f >/dev/null
# The environment names a server on which nothing listens.
environment="127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
export PELLARION_UPDATE_SERVER="$environment"

run_updater 'C:\policy-test\update.exe' "$app/update.log"
grep "policy\|download\|end (" "$app/update.log" | sed 's/^/  /'

status=0
check() {  # what, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; status=1; fi
}
check "the policy's servers, an entry that is no server skipped" \
  grep -qF "the policy UpdateServers: update servers $server_address; not a server, skipped: \"ftp://nowhere.example\"" \
  "$app/update.log"
check "the policy's deadline" grep -qF "the policy RunDeadlineSeconds 600 s: the run's deadline" "$app/update.log"
check "the release came from the policy's server" \
  grep -qF "download http://$server_address/update/Pellarion.bin: HTTP 200" "$app/update.log"
check "the environment's server was never asked" bash -c "! grep -qF '$environment' '$app/update.log'"
check "the newer application is installed" cmp -s "$app/Pellarion.exe" "$WINDOWS_BIN/fixture-3.1.0.12.exe"
check "the run ended well" grep -q "end (exit code 0): updated" "$app/update.log"
exit $status
