#pragma once

#include <cstdint>

namespace sorvel {

// The calling thread's random generator (xoshiro256**), seeded from the operating system
// (getrandom) at its first use on that thread. It draws HNSW levels, the k-means seed shuffle and
// the product quantizer's permutations; nothing else in the system is random.
std::uint64_t thread_random_u64();

// A uniform integer in [0, bound] (bound inclusive), without modulo bias.
std::uint64_t thread_random_at_most(std::uint64_t bound);

// Reseeds the calling thread's generator, so tests can fix the outcome of a training or a level draw.
void seed_thread_random(std::uint64_t seed);

}  // namespace sorvel
