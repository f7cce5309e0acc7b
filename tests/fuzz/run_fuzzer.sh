#!/usr/bin/env bash
# Builds one libFuzzer target with clang (address and undefined-behaviour
# sanitizers) and runs it for a few seconds from its seed corpus.
#   run_fuzzer.sh SOURCE_DIR WORK_DIR TARGET SECONDS SEED_DIR...
set -euo pipefail
src="$1"; work="$2"; target="$3"; seconds="$4"; shift 4
mkdir -p "$work/corpus-$target"
sources=("$src/tests/fuzz/$target.cpp" "$src/versions/VersionRecord.cpp" "$src/versions/ExecutableImage.cpp"
         "$src/versions/ExecutableHeaders.cpp" "$src/versions/LineFile.cpp" "$src/versions/Manifest.cpp"
         "$src/versions/ReleaseDescription.cpp" "$src/versions/SignatureText.cpp" "$src/versions/Versions.cpp"
         "$src/versions/Decimal.cpp")
# Both executable formats are read, as in the Linux build.
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -DPELLARION_SYSTEM_RUNS_ELF=true -I"$src" "${sources[@]}" -o "$work/$target"
# New inputs go to the work corpus; the seeds are only read.
"$work/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  "$work/corpus-$target" "$@" 2>&1 | tail -n 12
