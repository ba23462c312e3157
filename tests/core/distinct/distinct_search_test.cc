#include "distinct/distinct_search.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "address_space.h"
#include "decode_test_model.h"
#include "driver/driver.h"
#include "driver/tokenizer.h"
#include "driver/word_acceptor.h"
#include "fst_builder.h"
#include "random_model.h"

namespace vurel {
namespace {

using random_model::ModelFrom;
using test_fst::MakeFst;

struct Expected {
  std::vector<Label> uniques;
  float weight;
  double probability;
};

// Decodes `word` with both engines and checks each against `expected`.
void ExpectPronunciations(const Model &model, const std::string &word,
                          const DistinctOptions &options, const std::vector<Expected> &expected,
                          const std::string &context, double probability_tolerance = 1e-6) {
  for (const Engine engine : {Engine::kAuto, Engine::kReference}) {
    const DistinctDecoding decoding = DecodeDistinct(model, word, options, nullptr, engine);
    const std::string where = context + (engine == Engine::kAuto ? " (search)" : " (reference)");
    ASSERT_EQ(decoding.pronunciations.size(), expected.size()) << where;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const Pronunciation &found = decoding.pronunciations[i];
      EXPECT_EQ(found.record.uniques, expected[i].uniques) << where << " #" << i;
      EXPECT_NEAR(found.weight, expected[i].weight, 1e-5) << where << " #" << i;
      if (options.probabilities) {
        EXPECT_NEAR(found.probability, expected[i].probability, probability_tolerance)
            << where << " #" << i;
      }
    }
  }
}

// "abc" has A|B C (2.25), A B C (2.75), A|B X C (3.25) and A B X C (3.75):
// two pronunciations of two alignments each. Only the lighter alignment of
// each may be kept, and each probability sums both.
TEST(DistinctSearchTest, EachPronunciationIsItsBestPathWithTheMassOfAllItsPaths) {
  const Model model = testing_model::MakeModel();
  DistinctOptions options;
  options.count = 5;
  options.probabilities = true;
  const double odds = std::exp(-1.0);
  ExpectPronunciations(model, "abc", options,
                       {{{3, 4, 5}, 2.25f, 1.0 / (1.0 + odds)},
                        {{3, 4, 7, 5}, 3.25f, odds / (1.0 + odds)}},
                       "abc");
  // The record is the lighter alignment's: the cluster arc, then c.
  const DistinctDecoding decoding = DecodeDistinct(model, "abc", options);
  ASSERT_TRUE(decoding.direct);
  ASSERT_FALSE(decoding.pronunciations.empty());
  EXPECT_EQ(decoding.pronunciations[0].record.ilabels, (std::vector<Label>{3, 6, 0}));
}

// B has two paths (1.2 and 1.3), A one (1.0): A has the best path, B the
// larger probability.
TEST(DistinctSearchTest, RankingByProbabilitySumsEveryPath) {
  Result<Model> model =
      ModelFrom(MakeFst(3, {{0, 3, 3, 1.0f, 1}, {0, 3, 4, 1.2f, 1}, {0, 0, 0, 0.5f, 2},
                            {2, 3, 4, 0.8f, 1}},
                        {{1, 0.0f}}));
  ASSERT_TRUE(model.ok());
  const double a = std::exp(-1.0);
  const double b = std::exp(-1.2) + std::exp(-1.3);
  DistinctOptions options;
  options.count = 2;
  options.probabilities = true;
  ExpectPronunciations(*model, "a", options, {{{3}, 1.0f, a / (a + b)}, {{4}, 1.2f, b / (a + b)}},
                       "by best path");
  options.ranking = Ranking::kProbability;
  ExpectPronunciations(*model, "a", options, {{{4}, 1.2f, b / (a + b)}, {{3}, 1.0f, a / (a + b)}},
                       "by probability");
}

// Twelve a's are A (weight 0) or B through states B_0 ... B_12: every
// letter takes two arcs that stay in B_j (weight l) and two that go on to
// B_j+1 (l + 0.5), so the 4^12 paths of B weigh 12 l + 0.5 j at B_j.
// Pairs past B_2 at the end lie beyond the first reach, and they hold
// nine tenths of B's mass, 5% of the word's: summed only that far, A's
// probability would miss by 4%.
TEST(DistinctSearchTest, ProbabilitiesReachAsFarAsTheMassOfTheWordLies) {
  constexpr int kLetters = 12;
  const float light = 17.0f / kLetters;
  const float heavy = light + 0.5f;
  // State 0 starts, 1 is A, 2 + j is B_j.
  std::vector<test_fst::ArcSpec> arcs{{0, 3, 3, 0.0f, 1}, {1, 3, 3, 0.0f, 1}};
  std::vector<std::pair<int, float>> finals{{1, 0.0f}};
  for (int twice = 0; twice < 2; ++twice) {
    arcs.push_back({0, 3, 4, light, 2});
    arcs.push_back({0, 3, 4, heavy, 3});
    for (int j = 0; j <= kLetters; ++j) {
      arcs.push_back({2 + j, 3, 4, light, 2 + j});
      if (j < kLetters) arcs.push_back({2 + j, 3, 4, heavy, 2 + j + 1});
    }
  }
  for (int j = 0; j <= kLetters; ++j) finals.push_back({2 + j, 0.0f});
  Result<Model> model = ModelFrom(MakeFst(2 + kLetters + 1, arcs, finals));
  ASSERT_TRUE(model.ok());
  const double b = std::pow(2.0 * std::exp(-static_cast<double>(light)) +
                                2.0 * std::exp(-static_cast<double>(heavy)),
                            kLetters);
  DistinctOptions options;
  options.count = 1;
  options.probabilities = true;
  ExpectPronunciations(*model, std::string(kLetters, 'a'), options,
                       {{std::vector<Label>(kLetters, 3), 0.0f, 1.0 / (1.0 + b)}}, "A", 1e-5);
}

// Words the distinct search must leave to the reference, or stop on.
TEST(DistinctSearchTest, WordsTheSearchCannotTakeGoToTheReference) {
  // An input-epsilon loop that writes B: "a" is A, A B, A B B, ... with
  // weights 1, 1 + w, 1 + 2w, ...; the sums of probabilities run round the
  // loop. At w = 2 they converge in a few dozen rounds; at w = 0.001 the
  // loop holds 99.9% of the mass, and the reference takes the word.
  DistinctOptions options;
  options.count = 2;
  options.probabilities = true;
  for (const float loop_weight : {2.0f, 0.001f}) {
    Result<Model> model =
        ModelFrom(MakeFst(2, {{0, 3, 3, 1.0f, 1}, {1, 0, 4, loop_weight, 1}}, {{1, 0.0f}}));
    ASSERT_TRUE(model.ok());
    const double loop = std::exp(-static_cast<double>(loop_weight));
    const bool slow = loop_weight < 1.0f;
    ExpectPronunciations(*model, "a", options,
                         {{{3}, 1.0f, 1.0 - loop}, {{3, 4}, 1.0f + loop_weight, loop * (1.0 - loop)}},
                         "loop " + std::to_string(loop_weight), slow ? 1e-5 : 1e-6);
    EXPECT_EQ(DecodeDistinct(*model, "a", options).fell_back, slow);
  }
  const VectorFst looped = MakeFst(2, {{0, 3, 3, 1.0f, 1}, {1, 0, 4, 2.0f, 1}}, {{1, 0.0f}});
  Result<Model> model = ModelFrom(looped);
  ASSERT_TRUE(model.ok());
  options.probabilities = false;

  // A negative weight: best-first search cannot take the model at all.
  Result<Model> negative =
      ModelFrom(MakeFst(2, {{0, 3, 3, 1.0f, 1}, {0, 3, 4, -0.5f, 1}}, {{1, 0.0f}}));
  ASSERT_TRUE(negative.ok());
  ASSERT_FALSE(negative->suits_direct_search());
  const DistinctDecoding refused = DecodeDistinct(*negative, "a", options);
  EXPECT_FALSE(refused.direct);
  ASSERT_EQ(refused.pronunciations.size(), 2u);
  EXPECT_EQ(refused.pronunciations[0].record.uniques, (std::vector<Label>{4}));
  EXPECT_FLOAT_EQ(refused.pronunciations[0].weight, -0.5f);

  // Past the word budget, and once cancelled, both engines stop.
  DecodeSettings tiny;
  tiny.word_budget_bytes = 1;
  Result<Model> starved = ModelFrom(looped, tiny);
  ASSERT_TRUE(starved.ok());
  options.count = 1000;
  for (const Engine engine : {Engine::kAuto, Engine::kReference}) {
    EXPECT_EQ(DecodeDistinct(*starved, "aaa", options, nullptr, engine).status,
              DecodeStatus::kOverBudget);
    const std::atomic<bool> cancelled{true};
    EXPECT_EQ(DecodeDistinct(*model, "a", options, &cancelled, engine).status,
              DecodeStatus::kCancelled);
  }
}

// "ab" on a model where 200 states read "a" as B at 0.1 and lead on only
// through "b" at 10, while one reads it as A at 1 and "b" as B at 0.1 or C
// at 0.2: the two best pronunciations. Settled by
// distance alone, all 200 dead ends lie below the best path (1.1) and reach
// 200 more pairs; with bounds to the end, at any count, none is settled.
// Budgets of pairs that the first way outgrows tell the two apart.
TEST(DistinctSearchTest, BoundsToTheEndKeepPairsOffTheBestPathsUnsettledAtAnyCount) {
  constexpr int kDeadEnds = 200;
  std::vector<test_fst::ArcSpec> arcs = {{0, 3, 3, 1.0f, 1}, {1, 4, 4, 0.1f, 2}, {1, 4, 5, 0.2f, 2}};
  std::vector<std::pair<int, float>> finals = {{2, 0.0f}};
  for (int i = 0; i < kDeadEnds; ++i) {
    const int dead_end = 3 + 2 * i;
    arcs.push_back({0, 3, 4, 0.1f, dead_end});
    arcs.push_back({dead_end, 4, 4, 10.0f, dead_end + 1});
    finals.push_back({dead_end + 1, 0.0f});
  }
  Result<Model> model = ModelFrom(MakeFst(3 + 2 * kDeadEnds, arcs, finals));
  ASSERT_TRUE(model.ok());
  const HistoryQuotient quotient(model->fst());
  const VectorFst acceptor = BuildWordAcceptor(
      Tokenize("ab", model->delimiter(), model->input_symbols()), model->input_clusters());
  DirectSearchBudget budget;
  budget.lattice_states = kDeadEnds + 10;
  struct Case {
    std::uint64_t count;
    bool bounds;
    DirectSearchOutcome outcome;
  };
  for (const Case &c : {Case{1, true, DirectSearchOutcome::kFound},
                        Case{2, true, DirectSearchOutcome::kFound},
                        Case{1, false, DirectSearchOutcome::kOverBudget}}) {
    const DistinctSearchResult result =
        SearchDistinct(model->fst(), model->start_closure(), c.bounds ? &quotient : nullptr,
                       acceptor, c.count, false, model->output_clusters(), model->veto_set(), budget);
    const std::string context =
        "count " + std::to_string(c.count) + (c.bounds ? " with bounds" : " without");
    ASSERT_EQ(result.outcome, c.outcome) << context;
    if (c.outcome != DirectSearchOutcome::kFound) continue;
    ASSERT_GE(result.pronunciations.size(), 1u) << context;
    EXPECT_EQ(result.pronunciations[0].record.uniques, (std::vector<Label>{3, 4})) << context;
    EXPECT_NEAR(result.pronunciations[0].weight, 1.1f, 1e-5) << context;
  }
}

// A loop that writes B makes endless pronunciations (A, A B, A B B, ...):
// whatever count is asked for, up to 2^64 - 1, both engines stop at the
// word budget, with the address space limited to grow by the budget and a
// little more.
TEST(DistinctSearchTest, EndlessPronunciationsStayWithinTheWordBudgetForAnyCount) {
  DecodeSettings settings;
  settings.word_budget_bytes = std::uint64_t{64} << 20;
  Result<Model> model =
      ModelFrom(MakeFst(2, {{0, 3, 3, 1.0f, 1}, {1, 0, 4, 0.5f, 1}}, {{1, 0.0f}}), settings);
  ASSERT_TRUE(model.ok());
  for (const std::uint64_t count :
       {std::uint64_t{100000}, std::numeric_limits<std::uint64_t>::max()}) {
    const auto decode_within_memory = [&] {
      const rlim_t most = MappedBytes() + (std::uint64_t{320} << 20);
      const rlimit limit{most, most};
      setrlimit(RLIMIT_AS, &limit);
      DistinctOptions options;
      options.count = count;
      const DistinctDecoding found = DecodeDistinct(*model, "a", options);
      const DistinctDecoding reference =
          DecodeDistinct(*model, "a", options, nullptr, Engine::kReference);
      std::exit(found.direct && found.status == DecodeStatus::kOverBudget &&
                        reference.status == DecodeStatus::kOverBudget
                    ? 0
                    : 1);
    };
    EXPECT_EXIT(decode_within_memory(), ::testing::ExitedWithCode(0), "") << "count " << count;
  }
}

TEST(DistinctSearchTest, PronunciationsAgreeWithOpenFstsOnRandomModels) {
  std::mt19937 random(23);
  int several = 0;
  int fell_back = 0;
  int unsuited = 0;
  int with_probabilities = 0;
  for (int trial = 0; trial < 500; ++trial) {
    const bool hostile = trial % 4 == 0;
    const bool probabilities = trial % 2 == 1;
    // Input-epsilon cycles whose paths add up to a probability of 1 or
    // more give sums without end: the model is not one of probabilities.
    Result<Model> model =
        ModelFrom(random_model::RandomModel(random, hostile, probabilities ? 2.0f : 0.0f));
    if (!model.ok()) continue;  // a negative input-epsilon cycle
    unsuited += model->suits_direct_search() ? 0 : 1;
    for (int word_index = 0; word_index < 4; ++word_index) {
      const std::string word = random_model::RandomWord(random, 4);
      for (const std::uint64_t count : {1, 2, 5, 10}) {
        DistinctOptions options;
        options.count = count;
        options.probabilities = probabilities;
        const DistinctDecoding found = DecodeDistinct(*model, word, options);
        const DistinctDecoding reference =
            DecodeDistinct(*model, word, options, nullptr, Engine::kReference);
        const std::string context = "trial " + std::to_string(trial) + " word " + word +
                                    " count " + std::to_string(count);
        ASSERT_EQ(found.status, reference.status) << context;
        ASSERT_TRUE(AgreesWithReference(found.pronunciations, reference.pronunciations))
            << context << ": " << found.pronunciations.size() << " against "
            << reference.pronunciations.size();
        several += found.direct && found.pronunciations.size() > 1 ? 1 : 0;
        with_probabilities += found.direct && probabilities && !found.pronunciations.empty();
        fell_back += found.fell_back ? 1 : 0;
      }
    }
  }
  // The comparisons reached every case: the search's answers with several
  // pronunciations and with probabilities, and models it refuses.
  std::printf("%d answers with several pronunciations, %d with probabilities, %d fell back, "
              "%d unsuited models\n",
              several, with_probabilities, fell_back, unsuited);
  EXPECT_GT(several, 200);
  EXPECT_GT(with_probabilities, 250);
  EXPECT_GT(unsuited, 40);
}

// Many pronunciations share more prefixes than the sums tell apart by a
// mask of 64 nodes: the sums by prefix must still take every path. Models
// where every letter may be any phoneme, with phonemes written between
// letters round cycles, give a word of a few letters hundreds of them. In
// every second model, the arcs of the first letter hold almost all the
// weight: the distances to the end of the pairs after it crowd together far
// below the bound.
TEST(DistinctSearchTest, ProbabilitiesOfManyPronunciationsAgreeWithOpenFsts) {
  constexpr int kStates = 24;
  std::mt19937 random(29);
  std::uniform_real_distribution<float> weight(0.0f, 3.0f);
  int past_64_prefixes = 0;
  for (int trial = 0; trial < 20; ++trial) {
    const float start_weight = trial % 2 == 1 ? 1000.0f : 0.0f;
    std::vector<test_fst::ArcSpec> arcs;
    for (int letter = 3; letter <= 6; ++letter) {
      arcs.push_back({kStates, letter, 3, start_weight + weight(random), letter});
    }
    std::vector<std::pair<int, float>> finals;
    for (int from = 0; from < kStates; ++from) {
      for (int letter = 3; letter <= 6; ++letter) {
        for (int phoneme = 3; phoneme <= 6; ++phoneme) {
          arcs.push_back({from, letter, phoneme, weight(random),
                          (7 * from + 3 * letter + phoneme + trial) % kStates});
        }
      }
      arcs.push_back(
          {from, 0, 3 + (from + trial) % 4, 2.0f + weight(random), (from + 1) % kStates});
      arcs.push_back({from, 0, 0, 2.0f + weight(random), (from + 5) % kStates});
      finals.push_back({from, weight(random)});
    }
    VectorFst fst = MakeFst(kStates + 1, arcs, finals);
    fst.SetStart(kStates);
    Result<Model> model = ModelFrom(std::move(fst));
    ASSERT_TRUE(model.ok());
    const std::string word = random_model::RandomWord(random, 7);
    DistinctOptions options;
    options.count = 100;
    options.probabilities = true;
    const DistinctDecoding found = DecodeDistinct(*model, word, options);
    const DistinctDecoding reference =
        DecodeDistinct(*model, word, options, nullptr, Engine::kReference);
    const std::string context = "trial " + std::to_string(trial) + " word " + word;
    ASSERT_EQ(found.status, reference.status) << context;
    ASSERT_TRUE(AgreesWithReference(found.pronunciations, reference.pronunciations)) << context;
    if (!found.direct || found.fell_back) continue;
    // The last pronunciations have the deepest prefixes and probabilities
    // far below AgreesWithReference's tolerance: each is held to its own,
    // plus the few 1e-5 of the word's mass that the sums may leave out.
    std::set<std::vector<Label>> prefixes;
    for (const Pronunciation &pronunciation : found.pronunciations) {
      const std::vector<Label> &uniques = pronunciation.record.uniques;
      for (const Pronunciation &other : reference.pronunciations) {
        if (other.record.uniques != uniques) continue;
        EXPECT_NEAR(pronunciation.probability, other.probability,
                    1e-3 * other.probability + 3e-5)
            << context;
      }
      for (std::size_t length = 0; length <= uniques.size(); ++length) {
        prefixes.emplace(uniques.begin(), uniques.begin() + static_cast<std::ptrdiff_t>(length));
      }
    }
    past_64_prefixes += prefixes.size() > 64 ? 1 : 0;
  }
  EXPECT_GT(past_64_prefixes, 10);
}

}  // namespace
}  // namespace vurel
