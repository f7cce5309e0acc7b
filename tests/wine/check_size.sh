#!/usr/bin/env bash
# Fails when a Windows program is over its size budget (bytes).
set -euo pipefail
budget="$1"; shift
status=0
for exe in "$@"; do
  size=$(stat -c %s "$exe")
  if [ "$size" -le "$budget" ]; then echo "ok: $exe is $size bytes (budget $budget)"
  else echo "FAIL: $exe is $size bytes, over the budget of $budget"; status=1; fi
done
exit $status
