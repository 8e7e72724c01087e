#!/usr/bin/env bash
# Installs every dependency, builds the normal and the sanitizer tree and runs
# every test in both. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
# The layer map first: an include against it fails in seconds, not after a build.
bash scripts/check-includes.sh
bash scripts/install-deps.sh
jobs=$(nproc)
for variant in release asan; do
  dir=build/$variant
  flags=()
  [ "$variant" = asan ] && flags+=(-DKMR_SANITIZE=ON -DKMR_BENCH=OFF)
  if [ "$variant" = release ]; then
    # dpkg-buildpackage configures and builds the release tree with Debian's
    # hardening flags and makes the packages from it: one build for both.
    bash scripts/package-test.sh --build-only "$dir"
  else
    cmake -S . -B "$dir" -G Ninja "${flags[@]}"
  fi
  cmake --build "$dir" -j "$jobs"
  ( cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 )
  # The packages checked and installed as README says, in private namespaces.
  if [ "$variant" = release ]; then bash scripts/package-test.sh --check-only "$dir"; fi
done
# Thread sanitizer over the places where threads share state: the queue and
# the query thread, and the recreation workers (4 workers, a stop midway).
# Builds just those two test programs.
dir=build/tsan
supp="$PWD/scripts/tsan.supp"
cmake -S . -B "$dir" -G Ninja -DKMR_TSAN=ON -DKMR_BENCH=OFF
cmake --build "$dir" -j "$jobs" --target unit_server unit_reconcile
( cd "$dir" && TSAN_OPTIONS="suppressions=$supp halt_on_error=1" \
    ctest --output-on-failure -j "$jobs" --timeout 600 \
    -R '^(Queue|QueryThread|ThreadBase|SyncCondition)\.|^ModeTest\.FourWorkers' )
