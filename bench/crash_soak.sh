#!/bin/sh
# Runs the writer-kill test for a long time: KILLS kills per collection kind (default 2000), with a
# fresh random seed per run unless SEED is given. The seed of a failing run is printed by the test.
#
#   bench/crash_soak.sh [build-dir]        e.g. bench/crash_soak.sh build-coll
set -eu
build=${1:-build}
binary="$build/core/sorvel_collection_test"
if [ ! -x "$binary" ]; then
  echo "no test binary at $binary (build the target sorvel_collection_test first)" >&2
  exit 2
fi
export SORVEL_CRASH_KILLS="${KILLS:-2000}"
if [ -n "${SEED:-}" ]; then export SORVEL_CRASH_SEED="$SEED"; fi
exec "$binary" --gtest_filter='*CrashTest*' --gtest_brief=1
