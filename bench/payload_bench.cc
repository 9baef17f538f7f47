// bench-deps: sorvel_payload
// The payload text of the log: writing a payload's compact text and reading it back (log replay),
// side by side with RapidJSON's own DOM writer and parser on the same text as the peer.
//
//   write/ours      Payload::to_compact_text
//   write/peer      rapidjson::Writer over a Document holding the same value
//   read/ours       Payload::from_text (SAX events into a Payload, with our failure positions)
//   read/peer       rapidjson::Document::Parse of the same text (numbers parsed as numbers)
//
// Counters: "MB/s" is the compact text's bytes per operation divided by the time, decimal. The
// figure to quote is ours / peer of the same operation in the same run.

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <random>
#include <string>

#include "payload/payload.h"

namespace {

using sorvel::Payload;

// A record-like payload: a title, numbers of every form, tags, and a nested record list.
Payload sample_payload(std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  Payload::Array items;
  for (int i = 0; i < 8; ++i) {
    items.push_back(Payload::object({
        {"sku", Payload::string("item-" + std::to_string(gen() % 100000))},
        {"price", Payload::floating(static_cast<double>(gen() % 100000) / 100.0)},
        {"qty", Payload::unsigned_integer(gen() % 50)},
        {"delta", Payload::integer(-static_cast<std::int64_t>(gen() % 1000) - 1)},
    }));
  }
  Payload::Array tags;
  for (int i = 0; i < 6; ++i) tags.push_back(Payload::string("tag" + std::to_string(i)));
  return Payload::object({
      {"title", Payload::string("A document title with \"quotes\" and a tab\t inside")},
      {"score", Payload::floating(0.123456789)},
      {"views", Payload::unsigned_integer(123456789)},
      {"published", Payload::boolean(true)},
      {"tags", Payload::array(std::move(tags))},
      {"items", Payload::array(std::move(items))},
      {"extra", Payload()},
  });
}

void set_bytes(benchmark::State& state, std::size_t bytes) {
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) * 1e-6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

void BM_WriteOurs(benchmark::State& state) {
  const Payload p = sample_payload(1);
  const std::size_t bytes = p.to_compact_text().size();
  for (auto _ : state) {
    std::string text = p.to_compact_text();
    benchmark::DoNotOptimize(text.data());
  }
  set_bytes(state, bytes);
}
BENCHMARK(BM_WriteOurs)->Name("write/ours");

void BM_WritePeer(benchmark::State& state) {
  const std::string text = sample_payload(1).to_compact_text();
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_WritePeer)->Name("write/peer");

void BM_ReadOurs(benchmark::State& state) {
  const std::string text = sample_payload(1).to_compact_text();
  for (auto _ : state) {
    auto p = Payload::from_text(text);
    benchmark::DoNotOptimize(p.has_value());
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_ReadOurs)->Name("read/ours");

void BM_ReadPeer(benchmark::State& state) {
  const std::string text = sample_payload(1).to_compact_text();
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    benchmark::DoNotOptimize(doc.HasParseError());
  }
  set_bytes(state, text.size());
}
BENCHMARK(BM_ReadPeer)->Name("read/peer");

}  // namespace

BENCHMARK_MAIN();
