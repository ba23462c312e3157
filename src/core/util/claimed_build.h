// A value built at most once per process, by the first caller that claims
// it, on that caller's own thread. Callers that only want the value if it
// is there go on without it while another thread builds; callers that need
// it wait. No thread of its own, and no lock: a process forked while a
// thread builds (Python's multiprocessing does) holds a claim nobody will
// finish, and takes the claim over rather than wait for it.
#ifndef VUREL_CORE_CLAIMED_BUILD_H_
#define VUREL_CORE_CLAIMED_BUILD_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace vurel {

// The number of forks between the process that first called this and the
// calling one, plus 1: a process's own claims carry its number, and those
// of the processes it was forked from carry lower ones.
std::uint32_t ForkGeneration();

template <class T>
class ClaimedBuild {
 public:
  // The value, or null if it is not built yet.
  const T *Get() const { return ready_.load(std::memory_order_acquire); }

  // The value; if it is not built and no thread of this process is
  // building it, built now with `build` (returning a non-null
  // std::unique_ptr<const T>); else null, at once.
  template <class Build>
  const T *GetOrClaim(Build &&build) {
    if (const T *ready = Get()) return ready;
    std::uint32_t claim = 0;
    if (Claim(claim)) return BuildClaimed(std::forward<Build>(build));
    return Get();
  }

  // The value, built now with `build` if no thread of this process is
  // building it, else waited for.
  template <class Build>
  const T *GetOrWait(Build &&build) {
    for (;;) {
      if (const T *ready = Get()) return ready;
      std::uint32_t claim = 0;
      if (Claim(claim)) return BuildClaimed(std::forward<Build>(build));
      if (claim != kBuilt) claim_.wait(claim, std::memory_order_acquire);
    }
  }

 private:
  static constexpr std::uint32_t kUnclaimed = 0;
  static constexpr std::uint32_t kBuilt = ~std::uint32_t{0};

  // Claims the build unless it is built or claimed in this process; else
  // leaves the claim seen in `claim`.
  bool Claim(std::uint32_t &claim) {
    const std::uint32_t mine = ForkGeneration();
    claim = claim_.load(std::memory_order_acquire);
    while (claim != kBuilt && claim != mine) {
      if (claim_.compare_exchange_weak(claim, mine, std::memory_order_acquire)) return true;
    }
    return false;
  }

  template <class Build>
  const T *BuildClaimed(Build &&build) {
    std::unique_ptr<const T> built;
    try {
      built = std::forward<Build>(build)();
    } catch (...) {
      // The next caller tries again.
      claim_.store(kUnclaimed, std::memory_order_release);
      claim_.notify_all();
      throw;
    }
    // In a forked process this may drop a copy of a value its parent built
    // but had not published: nothing else holds it.
    value_ = std::move(built);
    ready_.store(value_.get(), std::memory_order_release);
    claim_.store(kBuilt, std::memory_order_release);
    claim_.notify_all();
    return value_.get();
  }

  std::atomic<const T *> ready_{nullptr};
  // kUnclaimed, kBuilt, or the ForkGeneration() of the process building.
  std::atomic<std::uint32_t> claim_{kUnclaimed};
  std::unique_ptr<const T> value_;
};

}  // namespace vurel

#endif  // VUREL_CORE_CLAIMED_BUILD_H_
