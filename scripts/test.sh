#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its tests, the
# Windows build cross-compiled with MinGW-w64, and the Windows programs under
# Wine. Installs what it needs with apt-get first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libcurl4-openssl-dev
          libssl-dev openssl g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 mingw-w64-tools
          zlib1g-dev libz-mingw-w64-dev libzstd-dev zstd wine64 wine32:i386 xvfb xauth xdotool imagemagick librsvg2-bin
          fonts-dejavu-core python3 nginx libxml2-utils)
# 32-bit Wine is an i386 package: dpkg must know that architecture before the
# install (which then updates the package lists, as wine32 is missing).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
source scripts/install-packages.sh

jobs=$(nproc)
# The two Windows builds: x64, and 32-bit (which runs on both).
for build in "windows x86_64" "windows32 i686"; do
  set -- $build
  cmake -S . -B "build/$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release
  cmake --build "build/$1" -j "$jobs"
done
cmake -S . -B build/linux -G Ninja -DPELLARION_WINDOWS_BUILD_DIR="$root/build/windows" \
  -DPELLARION_WINDOWS32_BUILD_DIR="$root/build/windows32"
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"
