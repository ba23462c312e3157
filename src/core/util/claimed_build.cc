#include "util/claimed_build.h"

#include <pthread.h>

namespace vurel {
namespace {

// Changed only in a forked child, before it runs anything else.
std::atomic<std::uint32_t> fork_generation{1};

void CountFork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint32_t ForkGeneration() {
  // Registered before the first claim, so before any fork that could leave
  // one unfinished.
  static const bool counting = pthread_atfork(nullptr, nullptr, CountFork) == 0;
  (void)counting;
  return fork_generation.load(std::memory_order_relaxed);
}

}  // namespace vurel
