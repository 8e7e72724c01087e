#!/usr/bin/env bash
# Builds the verb decoder fuzz target with clang in <build dir>/fuzz and runs
# it for a short, fixed time over the seed corpus. New inputs go to a work
# corpus inside the build tree; the seeds in the repository stay untouched.
set -euo pipefail
src=$1
build=$2
seconds=${3:-20}
cmake -S "$src/tests/fuzz" -B "$build/fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DKMR_SOURCE_DIR="$src" >/dev/null
cmake --build "$build/fuzz" >/dev/null
mkdir -p "$build/fuzz/work-corpus"
"$build/fuzz/verb_decoders_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "$build/fuzz/work-corpus" "$src/tests/fuzz/corpus"
