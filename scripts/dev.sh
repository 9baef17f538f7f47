#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, builds, then runs the demo or
# every test.
#
#   scripts/dev.sh demo    build the module alone and run the demo
#   scripts/dev.sh test    build everything and run every test (GoogleTest through ctest, then pytest)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SORVEL_BUILD_DIR:-$here/build}"
python=/usr/bin/python3

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          rapidjson-dev libopenblas-dev python3-dev python3-numpy python3-pytest python3-setuptools
          python3-venv python3-pip)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
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
  ninja -C "$build"
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

run_tests() {
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
  if compgen -G "$here/python/tests/test_*.py" >/dev/null; then
    local rc=0
    SORVEL_BUILD_DIR="$build" "$python" -m pytest -q "$here/python/tests" || rc=$?
    if ((rc == 5)); then
      echo "pytest collected no tests" >&2
      exit 1
    fi
    ((rc == 0)) || exit "$rc"
  fi
}

run_demo() {
  echo "== examples/demo.py (data in ./data) =="
  (cd "$here" && PYTHONPATH="$build/python" "$python" examples/demo.py)
}

case "${1:-}" in
  demo) install_missing; build_module; run_demo ;;
  test) install_missing; build_all; run_tests ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac
