#!/usr/bin/env bash
# The layers point one way: app/ may use download/, gate/, versions/ and
# platform/; download/ and gate/ only versions/ and platform/ (neither the
# other); versions/ nothing of ours; platform/ nothing above it; the
# publisher's tool nothing of app/. Fails on every include of the project's
# own headers that points elsewhere. (The build checks the calls: see
# tests/CMakeLists.txt.)
set -euo pipefail
cd "$1"
status=0
check() {  # folder, then the folders it may include from
  local folder=$1; shift
  local allowed="$folder${*/#/|}"
  allowed=${allowed// /}
  while IFS= read -r line; do
    echo "FAIL: $line reaches outside what $folder/ may use"; status=1
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^#include "(app|download|gate|versions|platform|tools|tests)/' "$folder" |
           grep -v -E "#include \"($allowed)/" || true)
}
check platform
check versions
check download versions platform
check gate versions platform
check app download gate versions platform
check tools/publish tools download gate versions platform
[ $status -eq 0 ] && echo "ok: every include points down"
exit $status
