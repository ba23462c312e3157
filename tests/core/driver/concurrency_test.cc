// Several threads decoding at once, each with its own model or all with one
// shared model, get exactly what one thread gets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "decode_test_model.h"
#include "driver/driver.h"

namespace vurel {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 40;

// Words that take every road: clusters, epsilon arcs, dead ends, unknown
// letters (reported on descriptor 2).
const std::vector<std::string> kWords = {"abc", "ab", "c", "abcabc", "a", "", "xyz", "abxc"};

struct Request {
  std::string word;
  PhoneticizeOptions options;
};

std::vector<Request> Requests() {
  std::vector<Request> requests;
  for (const std::string &word : kWords) {
    for (const std::uint64_t nbest : {1, 2, 5}) {
      PhoneticizeOptions options;
      options.nbest = nbest;
      requests.push_back({word, options});
      options.accumulate = true;
      options.pmass = 0.5;
      requests.push_back({word, options});
    }
  }
  return requests;
}

using Outcome = std::vector<std::vector<PathData>>;

Outcome DecodeAll(const Model &model, const std::vector<Request> &requests) {
  Outcome outcome;
  for (const Request &request : requests) {
    outcome.push_back(Phoneticize(model, request.word, request.options));
  }
  return outcome;
}

bool Same(const Outcome &actual, const Outcome &expected) {
  if (actual.size() != expected.size()) return false;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i].size() != expected[i].size()) return false;
    for (std::size_t j = 0; j < actual[i].size(); ++j) {
      const PathData &a = actual[i][j];
      const PathData &e = expected[i][j];
      if (a.path_weight != e.path_weight || a.path_weights != e.path_weights ||
          a.ilabels != e.ilabels || a.olabels != e.olabels || a.uniques != e.uniques) {
        return false;
      }
    }
  }
  return true;
}

// Runs `kThreads` threads, each decoding every request `kRounds` times with
// the model `model_for(thread)` gives; true where every round of a thread
// gave `expected`.
std::vector<bool> RunThreads(const std::function<const Model &(int)> &model_for,
                             const std::vector<Request> &requests,
                             const Outcome &expected) {
  std::vector<char> agreed(kThreads, 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Model &model = model_for(t);
      for (int round = 0; round < kRounds; ++round) {
        if (!Same(DecodeAll(model, requests), expected)) agreed[t] = 0;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  return std::vector<bool>(agreed.begin(), agreed.end());
}

TEST(ConcurrencyTest, ThreadsWithTheirOwnModelsAgreeWithOneThread) {
  const std::vector<Request> requests = Requests();
  testing_model::Descriptor2Capture quiet;  // unknown letters are reported
  const Outcome expected = DecodeAll(testing_model::MakeModel(), requests);
  std::vector<Model> models;
  for (int t = 0; t < kThreads; ++t) models.push_back(testing_model::MakeModel());
  ASSERT_FALSE(expected[0].empty());
  EXPECT_EQ(RunThreads([&](int t) -> const Model & { return models[t]; }, requests, expected),
            std::vector<bool>(kThreads, true));
}

TEST(ConcurrencyTest, ThreadsSharingOneModelAgreeWithOneThread) {
  const std::vector<Request> requests = Requests();
  testing_model::Descriptor2Capture quiet;
  const Model model = testing_model::MakeModel();
  const Outcome expected = DecodeAll(model, requests);
  EXPECT_EQ(RunThreads([&](int) -> const Model & { return model; }, requests, expected),
            std::vector<bool>(kThreads, true));
}

}  // namespace
}  // namespace vurel
