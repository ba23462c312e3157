// A value built by the caller that claims it: the others go on without it
// or wait, and a forked process takes over a claim its parent's thread
// holds. The builds below hold on until the main thread has looked, with a
// long timeout only so that a broken claim fails instead of hanging.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "util/claimed_build.h"

namespace vurel {
namespace {

constexpr auto kPatience = std::chrono::seconds(20);

// Builds 1 on a thread of its own, once `release` is set.
class HeldBuild {
 public:
  explicit HeldBuild(ClaimedBuild<int> &value)
      : thread_([this, &value] {
          built_ = value.GetOrClaim([this] {
            started_.set_value();
            release_.get_future().wait_for(kPatience);
            return std::make_unique<const int>(1);
          });
        }) {
    started_.get_future().wait();
  }
  ~HeldBuild() {
    if (thread_.joinable()) Finish();
  }
  // The value the holding thread got.
  const int *Finish() {
    release_.set_value();
    thread_.join();
    return built_;
  }

 private:
  std::promise<void> started_;
  std::promise<void> release_;
  const int *built_ = nullptr;
  std::thread thread_;
};

TEST(ClaimedBuildTest, OthersGoOnWithoutTheValueWhileOneThreadBuildsIt) {
  ClaimedBuild<int> value;
  HeldBuild held(value);
  bool built_again = false;
  const auto build_again = [&] {
    built_again = true;
    return std::make_unique<const int>(2);
  };
  EXPECT_EQ(value.GetOrClaim(build_again), nullptr);
  EXPECT_EQ(value.Get(), nullptr);
  const int *built = held.Finish();
  ASSERT_NE(built, nullptr);
  EXPECT_EQ(*built, 1);
  EXPECT_EQ(value.GetOrClaim(build_again), built);
  EXPECT_EQ(value.GetOrWait(build_again), built);
  EXPECT_FALSE(built_again);
}

TEST(ClaimedBuildTest, AFailedBuildLeavesTheValueToTheNextCaller) {
  const auto failing = []() -> std::unique_ptr<const int> { throw std::runtime_error("no"); };
  for (const bool waiting : {false, true}) {
    ClaimedBuild<int> value;
    if (waiting) {
      EXPECT_THROW(value.GetOrWait(failing), std::runtime_error);
    } else {
      EXPECT_THROW(value.GetOrClaim(failing), std::runtime_error);
    }
    const int *built = value.GetOrClaim([] { return std::make_unique<const int>(3); });
    ASSERT_NE(built, nullptr) << "after a failed build " << (waiting ? "waited for" : "claimed");
    EXPECT_EQ(*built, 3);
  }
}

// The forked child has no thread that would finish the parent's build: it
// builds its own rather than going without, or waiting, for good.
TEST(ClaimedBuildTest, AProcessForkedDuringTheBuildBuildsItsOwn) {
  ClaimedBuild<int> value;
  HeldBuild held(value);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const int *own = value.GetOrClaim([] { return std::make_unique<const int>(4); });
    const bool ok = own != nullptr && *own == 4 &&
                    value.GetOrWait([] { return std::make_unique<const int>(5); }) == own;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const int *built = held.Finish();
  ASSERT_NE(built, nullptr);
  EXPECT_EQ(*built, 1);
}

}  // namespace
}  // namespace vurel
