// Models that a well-meaning trainer never writes: cycles that read no
// letter, NaN and infinite weights, states with a million arcs. Loading
// either rejects them with a clear message or decodes them in bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fst_builder.h"
#include "model/fst_file.h"
#include "model/model.h"

namespace vurel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

using test_fst::ArcSpec;

// Inputs 3 "a", 4 "b"; outputs 3 "A", 4 "B", 5 "X". States 0..num_states-1,
// start 0, then the arcs and final weights given.
VectorFst MakeModelFst(int num_states, const std::vector<ArcSpec> &arcs,
                  const std::vector<std::pair<int, float>> &finals) {
  fst::SymbolTable graphemes;
  for (const char *text : {"<eps>", "|", "_", "a", "b"}) graphemes.AddSymbol(text);
  fst::SymbolTable phonemes;
  for (const char *text : {"<eps>", "|", "_", "A", "B", "X"}) phonemes.AddSymbol(text);
  VectorFst fst = test_fst::MakeFst(num_states, arcs, finals);
  fst.SetInputSymbols(&graphemes);
  fst.SetOutputSymbols(&phonemes);
  return fst;
}

// "a" reads A into state 1, final; `loop` adds arcs from there.
VectorFst WithLoop(const std::vector<ArcSpec> &loop, int num_states = 3) {
  std::vector<ArcSpec> arcs = {{0, 3, 3, 1.0f, 1}};
  arcs.insert(arcs.end(), loop.begin(), loop.end());
  return MakeModelFst(num_states, arcs, {{1, 0.0f}});
}

std::vector<PathData> Decode(const Model &model, const std::string &word,
                             std::uint64_t nbest = 1) {
  PhoneticizeOptions options;
  options.nbest = nbest;
  return Phoneticize(model, word, options);
}

TEST(HostileModelTest, NegativeInputEpsilonCyclesAreRejected) {
  const std::vector<std::vector<ArcSpec>> cycles = {
      {{1, 0, 5, -1.0f, 1}},                        // a loop
      {{1, 0, 5, 0.5f, 2}, {2, 0, 0, -1.0f, 1}},    // two states, total -0.5
      {{1, 0, 5, -1e-5f, 1}},                       // barely negative
      {{1, 0, 5, 2.0f, 2}, {2, 0, 5, -3.0f, 1}, {2, 0, 5, 5.0f, 1}},
  };
  for (const std::vector<ArcSpec> &cycle : cycles) {
    Result<Model> model = Model::FromFst(WithLoop(cycle), "");
    ASSERT_FALSE(model.ok());
    EXPECT_EQ(model.error().code, ErrorCode::kInvalidInput);
    EXPECT_EQ(model.error().message,
              "model has a cycle of input-epsilon arcs with negative weight "
              "through state 1: its best paths are undefined");
  }
}

// Phonemes A then `xs` times X.
std::vector<Label> AThenX(std::size_t xs) {
  std::vector<Label> labels(1 + xs, 5);
  labels[0] = 3;
  return labels;
}

TEST(HostileModelTest, CyclesThatCannotLowerAPathForeverAreKept) {
  struct Case {
    std::vector<ArcSpec> loop;
    // What "a" decodes to with nbest 5: each record's weight and number of X.
    std::vector<std::pair<float, std::size_t>> best;
    // Endless paths of one weight: any five different A X...X of weight 1.
    bool tied = false;
    // After `best`, records of infinite weight fill the five: the search
    // still returns paths through a +inf arc, once no finite one is left.
    bool then_infinite = false;
  };
  const std::vector<Case> kept = {
      // positive loop
      {{{1, 0, 5, 0.5f, 1}}, {{1.0f, 0}, {1.5f, 1}, {2.0f, 2}, {2.5f, 3}, {3.0f, 4}}},
      {{{1, 0, 5, 0.0f, 1}}, {}, true},    // zero loop
      {{{1, 0, 5, -1e-7f, 1}}, {}, true},  // within the search's delta
      // negative arc, positive cycle
      {{{1, 0, 5, 1.0f, 2}, {2, 0, 5, -0.5f, 1}},
       {{1.0f, 0}, {1.5f, 2}, {2.0f, 4}, {2.5f, 6}, {3.0f, 8}}},
      // negative, acyclic: back to the start reads "a"
      {{{1, 0, 0, -2.0f, 2}, {2, 0, 0, -2.0f, 0}}, {{1.0f, 0}}},
      {{{1, 4, 5, -1.0f, 1}}, {{1.0f, 0}}},                       // reads a letter each round
      {{{2, 0, 5, -1.0f, 2}}, {{1.0f, 0}}},                       // unreachable
      {{{1, 0, 5, -1.0f, 2}, {2, 0, 5, -1.0f, 2}}, {{1.0f, 0}}},  // a dead end
      {{{1, 0, 5, kNaN, 1}}, {}},  // NaN and -inf make the search fail at once
      {{{1, 0, 5, -kInfinity, 1}}, {}},
      {{{1, 0, 5, kInfinity, 2}, {2, 0, 5, -1.0f, 1}}, {{1.0f, 0}}, false, true},
  };
  for (std::size_t i = 0; i < kept.size(); ++i) {
    SCOPED_TRACE(i);
    Result<Model> model = Model::FromFst(WithLoop(kept[i].loop), "");
    ASSERT_TRUE(model.ok()) << model.error().message;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<PathData> paths = Decode(*model, "a", 5);
    if (kept[i].tied) {
      ASSERT_EQ(paths.size(), 5u);
      std::set<std::size_t> lengths;
      for (const PathData &path : paths) {
        EXPECT_NEAR(path.path_weight, 1.0f, 1e-5f);
        ASSERT_FALSE(path.uniques.empty());
        EXPECT_EQ(path.uniques, AThenX(path.uniques.size() - 1));
        lengths.insert(path.uniques.size());
      }
      EXPECT_EQ(lengths.size(), 5u);
    } else {
      const std::size_t finite = kept[i].best.size();
      ASSERT_EQ(paths.size(), kept[i].then_infinite ? 5u : finite);
      for (std::size_t k = 0; k < finite; ++k) {
        EXPECT_EQ(paths[k].path_weight, kept[i].best[k].first) << k;
        EXPECT_EQ(paths[k].uniques, AThenX(kept[i].best[k].second)) << k;
      }
      for (std::size_t k = finite; k < paths.size(); ++k) {
        EXPECT_EQ(paths[k].path_weight, kInfinity) << k;
        // Each round through the +inf arc and back writes X twice.
        EXPECT_EQ(paths[k].uniques.size() % 2, 1u) << k;
        EXPECT_EQ(paths[k].uniques, AThenX(paths[k].uniques.size() - 1)) << k;
      }
    }
    // Nothing reads "aba": the one loop that reads "b" never leads back to
    // the start, the only state that reads "a".
    EXPECT_TRUE(Decode(*model, "aba", 1000).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

TEST(HostileModelTest, TheCheckRunsAtLoadFromAFile) {
  std::filesystem::create_directories(VUREL_TEST_TMPDIR);
  const std::string path = std::string(VUREL_TEST_TMPDIR) + "/negative-cycle.fst";
  ASSERT_TRUE(WriteFstFile(WithLoop({{1, 0, 5, 0.5f, 2}, {2, 0, 5, -1.0f, 1}}), path).ok());
  Result<Model> model = Model::Load(path, "");
  ASSERT_FALSE(model.ok());
  EXPECT_EQ(model.error().code, ErrorCode::kInvalidInput);
  EXPECT_NE(model.error().message.find("negative weight"), std::string::npos);
  std::filesystem::remove(path);
}

TEST(HostileModelTest, NaNAndInfiniteWeightsDecodeWithoutFault) {
  // A NaN final weight is a final state and travels into the path weight.
  Result<Model> nan_final =
      Model::FromFst(MakeModelFst(2, {{0, 3, 3, 1.0f, 1}}, {{1, kNaN}}), "");
  ASSERT_TRUE(nan_final.ok());
  std::vector<PathData> paths = Decode(*nan_final, "a");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].uniques, std::vector<Label>({3}));
  EXPECT_TRUE(std::isnan(paths[0].path_weight));

  // Arcs that OpenFst cannot add up make the word's search fail: no paths.
  for (const float weight : {kNaN, -kInfinity}) {
    Result<Model> model = Model::FromFst(
        MakeModelFst(2, {{0, 3, 3, 1.0f, 1}, {0, 3, 4, weight, 1}}, {{1, 0.0f}}), "");
    ASSERT_TRUE(model.ok());
    EXPECT_TRUE(Decode(*model, "a", 3).empty()) << weight;
    EXPECT_TRUE(Decode(*model, "b").empty()) << weight;
  }
}

// One state with a quarter of a million arcs from "a" and "b": load,
// decoding and a huge request all stay within seconds.
TEST(HostileModelTest, AStateWithManyArcs) {
  constexpr int kArcs = 1 << 18;
  std::vector<ArcSpec> arcs;
  arcs.reserve(kArcs);
  for (int i = 0; i < kArcs; ++i) {
    arcs.push_back({0, 3 + i % 2, 3 + i % 3, 1.0f + static_cast<float>(i) * 1e-6f, 0});
  }
  const auto start = std::chrono::steady_clock::now();
  Result<Model> model = Model::FromFst(MakeModelFst(1, arcs, {{0, 0.0f}}), "");
  ASSERT_TRUE(model.ok());
  std::vector<PathData> best = Decode(*model, "ab", 3);
  ASSERT_EQ(best.size(), 3u);
  EXPECT_FLOAT_EQ(best[0].path_weight, 2.0f);
  EXPECT_FALSE(Decode(*model, "aab", std::numeric_limits<std::uint64_t>::max()).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

}  // namespace
}  // namespace vurel
