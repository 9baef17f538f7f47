#include "random.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>

namespace sorvel {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct Xoshiro256 {
  std::uint64_t s[4];
  bool seeded = false;

  void seed(std::uint64_t value) {
    for (auto& word : s) word = splitmix64(value);
    seeded = true;
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
};

thread_local Xoshiro256 tls_generator;

Xoshiro256& generator() {
  Xoshiro256& g = tls_generator;
  if (!g.seeded) [[unlikely]] {
    std::uint64_t seed = 0;
    ssize_t n;
    do {
      n = ::getrandom(&seed, sizeof seed, 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof seed)) {
      // getrandom is unavailable: the clock still gives every thread a different sequence.
      seed = static_cast<std::uint64_t>(
                 std::chrono::steady_clock::now().time_since_epoch().count()) ^
             reinterpret_cast<std::uintptr_t>(&g);
    }
    g.seed(seed);
  }
  return g;
}

}  // namespace

std::uint64_t thread_random_u64() { return generator().next(); }

std::uint64_t thread_random_at_most(std::uint64_t bound) {
  if (bound == UINT64_MAX) return thread_random_u64();
  const std::uint64_t range = bound + 1;
  // Rejection of the top partial block keeps every value equally likely.
  const std::uint64_t limit = UINT64_MAX - UINT64_MAX % range;
  std::uint64_t x;
  do {
    x = thread_random_u64();
  } while (x >= limit);
  return x % range;
}

void seed_thread_random(std::uint64_t seed) { tls_generator.seed(seed); }

}  // namespace sorvel
