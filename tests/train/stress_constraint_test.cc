#include "stress_constraint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "trainer.h"

namespace vurel::train {
namespace {

TEST(StressConstraintTest, CountsPrimaryStressesOfUnits) {
  EXPECT_EQ(PrimaryStresses("AH1"), 1);
  EXPECT_EQ(PrimaryStresses("AH0"), 0);
  EXPECT_EQ(PrimaryStresses("AH2"), 0);
  EXPECT_EQ(PrimaryStresses("Y|UW1"), 1);
  EXPECT_EQ(PrimaryStresses("AH1|AH1"), 2);
  EXPECT_EQ(PrimaryStresses("K|S"), 0);
  EXPECT_EQ(PrimaryStresses("1"), 0);
  EXPECT_EQ(PrimaryStresses("_"), 0);
  EXPECT_EQ(PrimaryStresses(""), 0);

  Result<Dictionary> dictionary = ParseDictionary(
      "a AH0\nab AE1 B\nabc AE1 B S IY1\nb B IY1\nc S IY1\n", "share", {});
  ASSERT_TRUE(dictionary.ok());
  EXPECT_DOUBLE_EQ(ShareWithOnePrimaryStress(dictionary->entries), 0.6);
  EXPECT_EQ(ShareWithOnePrimaryStress({}), 0.0);
}

// Every complete path of at most `max_arcs` arcs: its input labels, output
// labels and total weight (final weight included), sorted.
using Path = std::tuple<std::vector<int>, std::vector<int>, float>;

std::vector<Path> Paths(const VectorFst &fst, int max_arcs) {
  std::vector<Path> paths;
  std::vector<int> inputs, outputs;
  const auto walk = [&](auto &&self, Arc::StateId state, float weight, int arcs) -> void {
    if (fst.Final(state) != Weight::Zero()) {
      paths.emplace_back(inputs, outputs, weight + fst.Final(state).Value());
    }
    if (arcs == max_arcs) return;
    for (fst::ArcIterator<VectorFst> it(fst, state); !it.Done(); it.Next()) {
      const Arc &arc = it.Value();
      inputs.push_back(arc.ilabel);
      outputs.push_back(arc.olabel);
      self(self, arc.nextstate, weight + arc.weight.Value(), arcs + 1);
      inputs.pop_back();
      outputs.pop_back();
    }
  };
  if (fst.Start() != fst::kNoStateId) walk(walk, fst.Start(), 0.0f, 0);
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Small random transducers with cycles, epsilon arcs on either side and
// units holding zero, one or two primary stresses: the constrained model's
// paths are exactly the model's paths with one primary stress.
TEST(StressConstraintTest, KeepsExactlyThePathsWithOnePrimaryStress) {
  fst::SymbolTable outputs("phonemes");
  const std::vector<std::string> symbols = {"<eps>", "|",   "_",      "AH0",    "AH1",
                                            "B",     "EY1", "Y|UW1", "AH1|AH1", "K|S"};
  for (const std::string &symbol : symbols) outputs.AddSymbol(symbol);
  fst::SymbolTable inputs("graphemes");
  for (const char *symbol : {"<eps>", "|", "_", "a", "b"}) inputs.AddSymbol(symbol);

  std::mt19937 random(7);
  int kept_some = 0, dropped_some = 0;
  for (int trial = 0; trial < 40; ++trial) {
    VectorFst model;
    const int states = 2 + static_cast<int>(random() % 4);
    for (int s = 0; s < states; ++s) model.AddState();
    model.SetStart(0);
    for (int s = 0; s < states; ++s) {
      const int arcs = 1 + static_cast<int>(random() % 3);
      for (int a = 0; a < arcs; ++a) {
        model.AddArc(s, Arc(static_cast<int>(random() % 5), static_cast<int>(random() % symbols.size()),
                            static_cast<float>(random() % 8) / 4.0f,
                            static_cast<int>(random() % states)));
      }
      if (random() % 2 == 0) model.SetFinal(s, static_cast<float>(random() % 4) / 2.0f);
    }
    model.SetInputSymbols(&inputs);
    model.SetOutputSymbols(&outputs);

    Result<VectorFst> constrained = RequireOnePrimaryStress(model);
    ASSERT_TRUE(constrained.ok()) << constrained.error().message;
    std::vector<Path> all = Paths(model, 5);
    std::vector<Path> expected;
    for (Path &path : all) {
      int stresses = 0;
      for (int label : std::get<1>(path)) stresses += PrimaryStresses(symbols[label]);
      if (stresses == 1) expected.push_back(std::move(path));
    }
    const std::vector<Path> kept = Paths(*constrained, 5);
    EXPECT_EQ(kept, expected) << "trial " << trial;
    kept_some += !kept.empty();
    dropped_some += kept.size() < all.size();
    ASSERT_NE(constrained->OutputSymbols(), nullptr);
    EXPECT_EQ(constrained->OutputSymbols()->NumSymbols(), outputs.NumSymbols());
    EXPECT_NE(constrained->InputSymbols(), nullptr);
  }
  // The constraint is seen keeping paths and dropping them: with this random state,
  // 21 random models kept some path and 30 dropped some.
  EXPECT_GE(kept_some, 10);
  EXPECT_GE(dropped_some, 10);
}

void ExpectRefused(const VectorFst &model, const std::string &reason) {
  Result<VectorFst> constrained = RequireOnePrimaryStress(model);
  ASSERT_FALSE(constrained.ok()) << reason;
  EXPECT_EQ(constrained.error().code, ErrorCode::kInvalidInput);
  EXPECT_EQ(constrained.error().message, reason);
}

TEST(StressConstraintTest, RefusesModelsItCannotConstrain) {
  fst::SymbolTable stressed("phonemes");
  for (const char *symbol : {"<eps>", "|", "_", "AH1", "B"}) stressed.AddSymbol(symbol);
  fst::SymbolTable unstressed("phonemes");
  for (const char *symbol : {"<eps>", "|", "_", "AH", "B"}) unstressed.AddSymbol(symbol);
  VectorFst model;
  model.AddState();
  ExpectRefused(model, "the model has no output symbols");
  model.SetOutputSymbols(&stressed);
  ExpectRefused(model, "the model has no start state");
  model.SetStart(0);
  model.SetFinal(0, 0.0f);
  model.SetOutputSymbols(&unstressed);
  ExpectRefused(model, "no phoneme of the model carries a primary stress");
}

TEST(StressConstraintTest, TrainingAppliesTheConstraintWhereTheEntriesAgree) {
  const char kDictionary[] =
      "cat K AE1 T\ncats K AE1 T S\ntax T AE1 K S\nhat HH AE1 T\n"
      "hats HH AE1 T S\nham HH AE1 M\nsax S AE1 K S\n";
  std::filesystem::create_directories(VUREL_TEST_TMPDIR);
  const std::string path = std::string(VUREL_TEST_TMPDIR) + "/stress.fst";
  DictionaryOptions stripped;
  stripped.strip_stress = true;
  struct Case {
    PrimaryStress rule;
    bool strip;
    bool applied;
  };
  for (const Case &test : {Case{PrimaryStress::kAuto, false, true},
                           Case{PrimaryStress::kAuto, true, false},
                           Case{PrimaryStress::kAny, false, false},
                           Case{PrimaryStress::kOne, false, true}}) {
    Result<Dictionary> dictionary =
        ParseDictionary(kDictionary, "stress", test.strip ? stripped : DictionaryOptions{});
    ASSERT_TRUE(dictionary.ok());
    TrainOptions options;
    options.ngram.order = 3;
    options.primary_stress = test.rule;
    Result<TrainReport> report = TrainModel(*dictionary, options, path);
    ASSERT_TRUE(report.ok()) << report.error().message;
    EXPECT_EQ(report->one_primary_stress, test.applied);
    EXPECT_DOUBLE_EQ(report->one_primary_stress_share, test.strip ? 0.0 : 1.0);
  }
  // Asking for one primary stress where no phoneme has one would write a
  // model that decodes nothing.
  Result<Dictionary> dictionary = ParseDictionary(kDictionary, "stress", stripped);
  ASSERT_TRUE(dictionary.ok());
  TrainOptions options;
  options.primary_stress = PrimaryStress::kOne;
  Result<TrainReport> refused = TrainModel(*dictionary, options, path);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "no phoneme of the model carries a primary stress");
}

}  // namespace
}  // namespace vurel::train
