#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its tests, the
# Windows build cross-compiled with MinGW-w64, and the Windows programs under
# Wine. Installs what it needs with apt-get first (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libcurl4-openssl-dev
          libssl-dev openssl g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 xvfb xauth xdotool
          imagemagick fonts-dejavu-core python3)
source scripts/install-packages.sh

jobs=$(nproc)
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build build/windows -j "$jobs"
cmake -S . -B build/linux -G Ninja -DPELLARION_WINDOWS_BUILD_DIR="$root/build/windows"
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"
