#!/usr/bin/env bash
# Builds the Linux updater and runs it on a demo application folder, so the
# status lines it shows can be seen. Installs what it needs with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libcurl4-openssl-dev
          g++-mingw-w64-x86-64-posix mingw-w64-tools python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake -S . -B build/linux -G Ninja >/dev/null
cmake --build build/linux -j "$(nproc)" >/dev/null

demo="$root/build/demo"
rm -rf "$demo" && mkdir -p "$demo/app"
cp build/linux/bin/update.exe "$demo/app/"
cp build/linux/fixtures/pe-1.0.0.1.exe "$demo/app/Pellarion.exe"
: >"$demo/app/format.dll"
echo "demo application folder: $demo/app"
"$demo/app/update.exe"
