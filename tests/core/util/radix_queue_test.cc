#include "util/radix_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace vurel {
namespace {

// Used as Dijkstra's algorithm uses it: each key pushed is the last key
// taken out plus a weight, from 0 through huge weights to infinity, with
// many ties. Every entry must come out once, in order of key.
TEST(RadixQueueTest, TakesOutEveryEntryInOrderOfKeyAsDijkstraFeedsIt) {
  std::mt19937 random(7);
  const std::vector<float> weights = {0.0f, 1e-30f, 1e-6f, 0.25f, 1.0f, 3.5f, 1e20f,
                                      std::numeric_limits<float>::infinity()};
  for (int round = 0; round < 50; ++round) {
    RadixQueue queue;
    std::vector<std::pair<float, std::uint32_t>> pushed;
    std::vector<std::pair<float, std::uint32_t>> taken;
    std::uint32_t next_item = 0;
    float last = 0.0f;
    const auto push = [&](float key) {
      queue.Push(key, next_item);
      pushed.emplace_back(key, next_item++);
    };
    push(0.0f);
    while (!queue.empty()) {
      const RadixQueue::Entry top = queue.Top();
      ASSERT_GE(top.key, last);
      last = top.key;
      taken.emplace_back(top.key, top.item);
      queue.Pop();
      if (pushed.size() < 2000) {
        for (int i = std::uniform_int_distribution<int>(0, 3)(random); i > 0; --i) {
          push(last + weights[random() % weights.size()]);
        }
      }
    }
    std::sort(pushed.begin(), pushed.end());
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(taken, pushed);
  }
}

}  // namespace
}  // namespace vurel
