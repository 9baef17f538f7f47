#pragma once

#include <cstddef>
#include <functional>

namespace sorvel {

// Runs task(i) for every i in [0, count) on the calling thread plus up to max_threads - 1 helper
// threads (max_threads 0: one per hardware thread), each i exactly once, and returns when all have
// run. Tasks must be independent: the outcome may not depend on which thread runs which i. When a
// helper thread cannot be started the remaining tasks run on the threads that exist. The first
// exception thrown by a task is rethrown here after every thread has stopped; tasks not yet started
// are then skipped.
void parallel_for(std::size_t count, std::size_t max_threads,
                  const std::function<void(std::size_t)>& task);

}  // namespace sorvel
