#!/usr/bin/env bash
# Runs the README's quick start as a newcomer would: the fenced sh blocks
# between <!-- quickstart --> and <!-- /quickstart -->, in order, in one shell
# started from the checkout, with its folder, build tree and the server's two
# ports set to a temporary folder and free loopback ports. It fails when a
# command fails or when the run did not put the published application in
# place of the old one.
#   run_quickstart.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
command -v nginx >/dev/null || PATH=$PATH:/usr/sbin
command -v nginx >/dev/null || { echo "nginx is not installed: skipped"; exit 77; }

scratch=$(mktemp -d)
work=$scratch/first-release
# Stops only what this run started: nginx by the pid file in its own prefix,
# and whatever runs from the workstation folder (the application the updater
# started); then removes the scratch folder.
cleanup() {
  local pid
  if [ -s "$work/server/nginx.pid" ]; then
    pid=$(cat "$work/server/nginx.pid")
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(command -v nginx)" ] && kill "$pid" 2>/dev/null
  fi
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$work"/app/*) kill "$(basename "$(dirname "$exe")")" 2>/dev/null ;;
    esac
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

awk '/<!-- quickstart -->/ { on = 1; next }
     /<!-- \/quickstart -->/ { on = 0 }
     on && /^```sh$/ { code = 1; next }
     on && /^```$/ { code = 0; next }
     on && code' "$source_dir/README.md" >"$scratch/quickstart.sh"
[ -s "$scratch/quickstart.sh" ] || { echo "README.md holds no quick start between its markers" >&2; exit 1; }

read -r port tls_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(2)]
for s in held: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')

cd "$source_dir"
start=$(date +%s)
WORK=$work BUILD=$scratch/build PORT=$port TLS_PORT=$tls_port CMAKE_BUILD_PARALLEL_LEVEL=2 \
  bash -euo pipefail "$scratch/quickstart.sh" </dev/null
echo "the quick start ran in $(($(date +%s) - start)) s"

# The workstation's application is now the package the server offered, and
# the run said so.
cmp "$work/app/Pellarion.exe" "$work/server/www/update/Pellarion.bin"
grep -q "end (exit code 0): updated" "$work/app/update.log"
echo "the quick start replaced the application"
