#!/usr/bin/env bash
# The layers point one way: app/ may use download/, versions/ and platform/;
# download/ only platform/; versions/ nothing of ours; platform/ nothing above
# it. Fails on every include of the project's own headers that points upward.
set -euo pipefail
cd "$1"
status=0
check() {  # folder, then the folders it may include from
  local folder=$1; shift
  local allowed="$folder${*/#/|}"
  allowed=${allowed// /}
  while IFS= read -r line; do
    echo "FAIL: $line reaches above $folder/"; status=1
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^#include "(app|download|versions|platform|tools|tests)/' "$folder" |
           grep -v -E "#include \"($allowed)/" || true)
}
check platform
check versions
check download platform
check app download versions platform
[ $status -eq 0 ] && echo "ok: every include points down"
exit $status
