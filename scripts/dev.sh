#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, builds, then runs the demo,
# every test, or one fuzz target.
#
#   scripts/dev.sh demo    build the module alone and run the demo
#   scripts/dev.sh test    build everything and run every test: GoogleTest through ctest and pytest in the normal
#                          build; then the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#                          the threaded programs under ThreadSanitizer, and every fuzz target over
#                          its corpus for SORVEL_FUZZ_SECONDS (default 30) seconds
#   scripts/dev.sh fuzz TARGET SECONDS [libFuzzer options...]
#                          one fuzz target (core/fuzz/TARGET.cc) for a long session (scripts/fuzz.sh)
#   scripts/dev.sh seeds   rewrite the seed corpora in core/fuzz/corpus
#
# Build directories: SORVEL_BUILD_DIR (default build), build-asan (clang, ASan + UBSan, with the
# fuzz targets) and build-tsan (clang, TSan, threaded programs only). SORVEL_JOBS (default: the
# processors) bounds the parallel builds, test programs and fuzz targets.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SORVEL_BUILD_DIR:-$here/build}"
asan_build="$here/build-asan"
tsan_build="$here/build-tsan"
python=/usr/bin/python3
jobs="${SORVEL_JOBS:-$(nproc)}"  # parallel builds, test programs and fuzz targets
fuzz_seconds="${SORVEL_FUZZ_SECONDS:-30}"

# clang 19 is the first clang whose __cpp_concepts (202002) lets libstdc++ 12 define std::expected,
# which Result is built on.
clang_version=19
# strace kills the child of the crash tests at chosen system calls.
packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          rapidjson-dev libopenblas-dev python3-dev python3-numpy python3-pytest python3-setuptools
          python3-venv python3-pip strace)
# Only the sanitizer and fuzz builds need clang; the demo does without.
clang_packages=("clang-$clang_version" "libclang-rt-$clang_version-dev" "llvm-$clang_version")

# The programs that start threads (HNSW parallel insert and searches, the contract suite's
# concurrent searches) and the collection and client-state tests, run under ThreadSanitizer.
tsan_programs=(sorvel_hnsw_test sorvel_index_contract_test sorvel_collection_test)

# install_missing [extra packages...]: apt-get installs whichever of packages and the extras are
# missing.
install_missing() {
  local missing=()
  for p in "${packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
  fi
}

configure() {
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEL_WERROR=ON \
    -DPython3_EXECUTABLE="$python" >/dev/null
}

build_all() {
  configure
  ninja -C "$build" -j "$jobs"
}

# Builds only the extension module (the demo needs nothing else) and shows one line of progress;
# the build's own output goes to a log, printed only when the build fails.
build_module() {
  local log="$build/module-build.log" start=$SECONDS rc=0
  configure
  if [[ -t 1 ]]; then
    NINJA_STATUS="[%f/%t] " ninja -C "$build" sorvel_vector_db 2>&1 | tee "$log" |
      while IFS= read -r line; do
        if [[ $line =~ ^\[([0-9]+/[0-9]+)\] ]]; then
          printf '\rbuilding the module: %s' "${BASH_REMATCH[1]}"
        fi
      done || rc=$?
  else
    echo "building the module"
    ninja -C "$build" sorvel_vector_db >"$log" 2>&1 || rc=$?
  fi
  if ((rc != 0)); then
    printf '\nthe build failed (log: %s):\n' "$log" >&2
    cat "$log" >&2
    exit "$rc"
  fi
  printf '\rbuilt %s in %ds\n\n' "${build#"$here"/}/python/sorvel_vector_db.abi3.so" $((SECONDS - start))
}

# configure_clang DIR [cmake options...]: a clang build without the benchmarks.
configure_clang() {
  local dir=$1
  shift
  CC="clang-$clang_version" CXX="clang++-$clang_version" cmake -S "$here" -B "$dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DSORVEL_WERROR=ON -DSORVEL_BUILD_BENCH=OFF \
    -DPython3_EXECUTABLE="$python" "$@" >/dev/null
}

build_asan() {
  configure_clang "$asan_build" -DSORVEL_SANITIZE=address,undefined -DSORVEL_FUZZ=ON
  ninja -C "$asan_build" -j "$jobs" "$@"
}

build_tsan() {
  configure_clang "$tsan_build" -DSORVEL_SANITIZE=thread -DSORVEL_BUILD_PYTHON=OFF
  ninja -C "$tsan_build" -j "$jobs" "${tsan_programs[@]}"
}

# run_pytest BUILD_DIR: the pytest suite against BUILD_DIR's module; nothing collected fails.
run_pytest() {
  compgen -G "$here/python/tests/test_*.py" >/dev/null || return 0
  local rc=0
  SORVEL_BUILD_DIR="$1" "$python" -m pytest -q -p no:cacheprovider "$here/python/tests" || rc=$?
  if ((rc == 5)); then
    echo "pytest collected no tests" >&2
    exit 1
  fi
  ((rc == 0)) || exit "$rc"
}

run_tests() {
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
  run_pytest "$build"
}

run_demo() {
  echo "== examples/demo.py (data in ./data) =="
  (cd "$here" && PYTHONPATH="$build/python" "$python" examples/demo.py)
}

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_asan_tests() {
  echo "== ASan + UBSan: GoogleTest"
  ctest --test-dir "$asan_build" --output-on-failure -j "$jobs"
  echo "== ASan + UBSan: pytest"
  # The interpreter is not instrumented: the sanitizer runtime has to come first, and libstdc++
  # with it so that its exceptions are seen; the interpreter's own memory kept to exit is no leak.
  local runtime
  runtime="$("clang++-$clang_version" -print-file-name=libclang_rt.asan-x86_64.so)"
  local libstdcxx
  libstdcxx="$(readlink -f "$(g++ -print-file-name=libstdc++.so.6)")"
  LD_PRELOAD="$runtime $libstdcxx" ASAN_OPTIONS=detect_leaks=0 \
    SORVEL_SANITIZER=address,undefined run_pytest "$asan_build"
}

run_tsan_tests() {
  echo "== TSan: ${tsan_programs[*]}"
  local pids=() p failed=0
  for p in "${tsan_programs[@]}"; do
    TSAN_OPTIONS="halt_on_error=1" "$tsan_build/core/$p" >"$tsan_build/$p.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
      tail -n 60 "$tsan_build/${tsan_programs[$i]}.log" >&2
      failed=1
    fi
  done
  ((failed == 0)) || exit 1
}

# fuzz_one TARGET SECONDS WORK_DIR [libFuzzer options...]: the target over its corpus and then
# mutations for SECONDS. New inputs go to WORK_DIR/corpus (the repository's corpus is only read),
# a crashing input to WORK_DIR/crash-* (an input that runs for 20 s counts as one); output in
# WORK_DIR/log.
fuzz_one() {
  local target=$1 seconds=$2 work=$3
  shift 3
  mkdir -p "$work/corpus"
  "$asan_build/core/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus" \
    "$here/core/fuzz/corpus/$target" >"$work/log" 2>&1
}

fuzz_targets() {
  local d
  for d in "$here"/core/fuzz/corpus/*/; do basename "$d"; done
}

run_fuzz() {
  echo "== fuzz: every target over its corpus, then ${fuzz_seconds} s each"
  local root="$asan_build/fuzz-ci"
  rm -rf "$root"
  local targets
  mapfile -t targets < <(fuzz_targets)
  local failed=()
  local pids=() names=() t
  for t in "${targets[@]}"; do
    fuzz_one "$t" "$fuzz_seconds" "$root/$t" &
    pids+=($!)
    names+=("$t")
    if ((${#pids[@]} >= jobs)); then
      wait "${pids[0]}" || failed+=("${names[0]}")
      pids=("${pids[@]:1}")
      names=("${names[@]:1}")
    fi
  done
  for i in "${!pids[@]}"; do wait "${pids[$i]}" || failed+=("${names[$i]}"); done
  for t in "${targets[@]}"; do
    printf '  %-16s %s\n' "$t" "$(grep -o 'stat::number_of_executed_units: [0-9]*' \
      "$root/$t/log" | awk '{print $2}') runs"
  done
  if ((${#failed[@]})); then
    for t in "${failed[@]}"; do
      echo "fuzz target $t failed (input saved in $root/$t):" >&2
      tail -n 60 "$root/$t/log" >&2
    done
    exit 1
  fi
}

run_fuzz_session() {
  local target=${1:?usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]}
  local seconds=${2:?usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]}
  shift 2
  [[ -d "$here/core/fuzz/corpus/$target" ]] || {
    echo "unknown target $target; targets: $(fuzz_targets | tr '\n' ' ')" >&2
    exit 2
  }
  build_asan "fuzz_$target"
  local work="$asan_build/fuzz-sessions/$target"
  echo "fuzzing $target for $seconds s; new inputs in $work/corpus, findings in $work/"
  local rc=0
  fuzz_one "$target" "$seconds" "$work" "$@" || rc=$?
  tail -n 25 "$work/log"
  if ((rc != 0)); then
    echo "finding: fix it and add the input to core/fuzz/corpus/$target as regress-<what>" >&2
  fi
  exit "$rc"
}

case "${1:-}" in
  demo) install_missing; build_module; run_demo ;;
  test)
    start=$SECONDS
    install_missing "${clang_packages[@]}"
    build_all
    run_tests
    echo "== normal build and tests: $((SECONDS - start)) s"
    build_asan
    echo "== ASan + UBSan build: $((SECONDS - start)) s"
    run_asan_tests
    echo "== ASan + UBSan tests: $((SECONDS - start)) s"
    build_tsan
    run_tsan_tests
    echo "== TSan build and tests: $((SECONDS - start)) s"
    run_fuzz
    echo "== all tests: $((SECONDS - start)) s"
    ;;
  fuzz) shift; install_missing "${clang_packages[@]}"; run_fuzz_session "$@" ;;
  seeds)
    install_missing "${clang_packages[@]}"
    build_asan fuzz_seeds
    "$asan_build/core/fuzz/fuzz_seeds" "$here/core/fuzz/corpus"
    ;;
  *) echo "usage: $0 demo|test|seeds|fuzz TARGET SECONDS" >&2; exit 2 ;;
esac
