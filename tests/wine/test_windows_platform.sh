#!/usr/bin/env bash
# The Windows platform's GoogleTest suite, run under Wine from a copy of the
# Windows build's programs on drive C:.
WINE_WORK="$1"; WINDOWS_BIN="$2"
source "$(dirname "$0")/wine_common.sh"
bin="$(c_drive)/platform-tests"
rm -rf "$bin" && mkdir -p "$bin"
cp "$WINDOWS_BIN"/{windows_platform_tests,update,windows_sleeper,fixture-1.0.0.1,fixture-3.1.0.12}.exe "$bin/"
timeout 120 "$WINE" 'C:\platform-tests\windows_platform_tests.exe' 2>&1 | tr -d '\r'
