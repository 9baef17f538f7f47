#!/usr/bin/env bash
# A long fuzzing session of one target, outside CI:
#
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#
# TARGET is a directory name under core/fuzz/corpus (flat_file, wal_replay, ...). Builds the target
# in build-asan, runs it over its corpus and then for SECONDS; new inputs collect in
# build-asan/fuzz-sessions/TARGET/corpus, a finding in build-asan/fuzz-sessions/TARGET/.
exec bash "$(dirname "$0")/dev.sh" fuzz "$@"
