#!/bin/sh
# Builds the hnswlib benchmark peer for this CPU: a small pybind11 module over Debian's
# libhnswlib-dev headers, compiled with -O3 -march=native (Debian's python3-hnswlib is an SSE build),
# into a cache folder outside the repository.
# Usage: bench/build_hnswlib_native.sh [cache-dir]   (default $SORVEL_BENCH_CACHE/hnswlib-native, the cache being
#   ${XDG_CACHE_HOME:-~/.cache}/sorvel-bench unless SORVEL_BENCH_CACHE is set)
# Afterwards: /usr/bin/python3 bench/hnsw_bench.py --peer-path <cache-dir>
# The module, hnswlib_native, offers what the benchmark calls: Index(space, dim),
# init_index(max_elements, M, ef_construction, random_seed), add_items(data, num_threads),
# set_ef(ef) and knn_query(data, k) -> (labels, distances); the interpreter lock is released while
# it inserts and searches, as in hnswlib's own binding.
set -eu
CACHE=${1:-${SORVEL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sorvel-bench}/hnswlib-native}
PY=/usr/bin/python3
for p in libhnswlib-dev python3-pybind11 python3-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || apt-get install -y -qq "$p" >/dev/null
done
mkdir -p "$CACHE"
cat > "$CACHE/hnswlib_native.cc" <<'SRC'
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <hnswlib/hnswlib.h>

namespace py = pybind11;
using Array = py::array_t<float, py::array::c_style | py::array::forcecast>;

// Rows [begin, end) spread over `threads` threads, each taking the next row as it gets free.
template <class F>
void parallel_for(std::size_t begin, std::size_t end, std::size_t threads, F fn) {
  if (threads <= 1) {
    for (std::size_t i = begin; i < end; ++i) fn(i);
    return;
  }
  std::atomic<std::size_t> next(begin);
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < end;) fn(i);
    });
  }
  for (auto& t : pool) t.join();
}

class Index {
 public:
  Index(const std::string& space, std::size_t dim) : dim_(dim) {
    if (space == "l2") {
      space_ = std::make_unique<hnswlib::L2Space>(dim);
    } else if (space == "ip") {
      space_ = std::make_unique<hnswlib::InnerProductSpace>(dim);
    } else {
      throw std::invalid_argument("space must be l2 or ip");
    }
  }

  void init_index(std::size_t max_elements, std::size_t m, std::size_t ef_construction,
                  std::size_t random_seed) {
    alg_ = std::make_unique<hnswlib::HierarchicalNSW<float>>(space_.get(), max_elements, m,
                                                             ef_construction, random_seed);
  }

  void set_ef(std::size_t ef) { alg_->setEf(ef); }

  // Labels are the row numbers after the rows already added; the first row of an empty index goes
  // in alone so that the parallel rows find an entry point.
  void add_items(Array data, std::size_t num_threads) {
    const py::buffer_info buf = data.request();
    if (buf.ndim != 2 || static_cast<std::size_t>(buf.shape[1]) != dim_) {
      throw std::invalid_argument("data must be rows x dim");
    }
    const std::size_t rows = buf.shape[0];
    const float* p = static_cast<const float*>(buf.ptr);
    const std::size_t base = added_;
    py::gil_scoped_release release;
    std::size_t start = 0;
    if (added_ == 0 && rows > 0) {
      alg_->addPoint(p, base);
      start = 1;
    }
    if (num_threads == 0) num_threads = std::thread::hardware_concurrency();
    parallel_for(start, rows, num_threads,
                 [&](std::size_t i) { alg_->addPoint(p + i * dim_, base + i); });
    added_ += rows;
  }

  // One query (1-d) or a batch (2-d); results nearest first, shaped (rows, k).
  py::tuple knn_query(Array data, std::size_t k) {
    const py::buffer_info buf = data.request();
    const std::size_t rows = buf.ndim == 1 ? 1 : buf.shape[0];
    const float* p = static_cast<const float*>(buf.ptr);
    py::array_t<std::uint64_t> labels({rows, k});
    py::array_t<float> distances({rows, k});
    std::uint64_t* l = labels.mutable_data();
    float* d = distances.mutable_data();
    {
      py::gil_scoped_release release;
      for (std::size_t r = 0; r < rows; ++r) {
        auto result = alg_->searchKnn(p + r * dim_, k);
        // Fewer than k when the search reaches fewer nodes: the rest is padded with label -1.
        for (std::size_t i = k; i-- > 0;) {
          if (i >= result.size()) {
            l[r * k + i] = static_cast<std::uint64_t>(-1);
            d[r * k + i] = std::numeric_limits<float>::infinity();
            continue;
          }
          l[r * k + i] = result.top().second;
          d[r * k + i] = result.top().first;
          result.pop();
        }
      }
    }
    return py::make_tuple(labels, distances);
  }

 private:
  std::size_t dim_;
  std::size_t added_ = 0;
  std::unique_ptr<hnswlib::SpaceInterface<float>> space_;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> alg_;
};

PYBIND11_MODULE(hnswlib_native, m) {
  py::class_<Index>(m, "Index")
      .def(py::init<const std::string&, std::size_t>(), py::arg("space"), py::arg("dim"))
      .def("init_index", &Index::init_index, py::arg("max_elements"), py::arg("M") = 16,
           py::arg("ef_construction") = 200, py::arg("random_seed") = 100)
      .def("set_ef", &Index::set_ef, py::arg("ef"))
      .def("add_items", &Index::add_items, py::arg("data"), py::arg("num_threads") = 1)
      .def("knn_query", &Index::knn_query, py::arg("data"), py::arg("k") = 1);
}
SRC
SUFFIX=$($PY -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
# shellcheck disable=SC2046
g++ -O3 -march=native -DNDEBUG -std=c++17 -fPIC -shared -fvisibility=hidden -pthread \
  $($PY -m pybind11 --includes) "$CACHE/hnswlib_native.cc" -o "$CACHE/hnswlib_native$SUFFIX"
echo "built $CACHE/hnswlib_native$SUFFIX"
