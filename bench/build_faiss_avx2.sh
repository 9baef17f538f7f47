#!/bin/sh
# Builds a wide (AVX2) faiss with its Python module from Debian's source package into a cache folder
# outside the repository, as the fair benchmark peer (Debian's python3-faiss has no AVX2 code).
# Usage: bench/build_faiss_avx2.sh [cache-dir]   (default $SORVEL_BENCH_CACHE/faiss-avx2, the cache being
#   ${XDG_CACHE_HOME:-~/.cache}/sorvel-bench unless SORVEL_BENCH_CACHE is set)
# Afterwards: PYTHONPATH=<cache-dir>/build/faiss/python/build/lib /usr/bin/python3 bench/...
set -eu
CACHE=${1:-${SORVEL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sorvel-bench}/faiss-avx2}
mkdir -p "$CACHE"
cd "$CACHE"
if ! grep -rqs "deb-src\|Types: deb deb-src\|Types: deb-src" /etc/apt/sources.list.d/ /etc/apt/sources.list; then
  cat > /etc/apt/sources.list.d/debian-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt-get update -qq
fi
command -v swig >/dev/null || apt-get install -y -qq swig >/dev/null
dpkg -s libopenblas0-openmp >/dev/null 2>&1 || true  # see PERFORMANCE.md on OpenBLAS threading
[ -d src ] || { mkdir -p src && cd src && apt-get source -qq faiss && cd ..; }
SRCDIR=$(find "$CACHE/src" -maxdepth 1 -type d -name 'faiss-*' | head -1)
cmake -S "$SRCDIR" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DFAISS_OPT_LEVEL=avx2 \
  -DFAISS_ENABLE_GPU=OFF -DFAISS_ENABLE_PYTHON=ON -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON \
  -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
ninja -C build -j "${JOBS:-6}" swigfaiss_avx2 faiss_avx2
cd build/faiss/python && /usr/bin/python3 setup.py build >/dev/null
echo "PYTHONPATH=$CACHE/build/faiss/python/build/lib"
