#include "distinct/pronunciation_probabilities.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fst_builder.h"
#include "random_model.h"
#include "util/unbounded_mass.h"

namespace vurel {
namespace {

using random_model::ModelFrom;
using test_fst::MakeFst;

// Models whose cycles hold unbounded mass on some words' paths, and models
// whose cycles look alike but hold a finite mass. State 0 starts; "a"
// (label 3) and "b" (4) lead on, A (3), B (4) and C (5) are phonemes.
TEST(PronunciationProbabilitiesTest, WordsOnCyclesOfUnboundedMassHaveNoProbabilities) {
  struct Case {
    const char *fault;
    int num_states;
    std::vector<test_fst::ArcSpec> arcs;
    std::vector<std::pair<int, float>> finals;
    const char *word;
    bool undefined;
  };
  const Case cases[] = {
      {"a loop of weight 0 that writes B taken for a sum that converges", 2,
       {{0, 3, 3, 1.0f, 1}, {1, 0, 4, 0.0f, 1}}, {{1, 0.0f}}, "a", true},
      {"a loop of positive weight taken for one of unbounded mass", 2,
       {{0, 3, 3, 1.0f, 1}, {1, 0, 4, 0.5f, 1}}, {{1, 0.0f}}, "a", false},
      {"a cycle of weight 0 through two states missed", 3,
       {{0, 3, 3, 1.0f, 1}, {1, 0, 4, 0.0f, 2}, {2, 0, 5, 0.0f, 1}}, {{1, 0.0f}}, "a", true},
      // Each loop alone keeps e^-0.6 = 0.55 of the mass round it; the two
      // together 1.1 of it.
      {"only single cycles of weight 0 or less looked for", 2,
       {{0, 3, 3, 1.0f, 1}, {1, 0, 4, 0.6f, 1}, {1, 0, 5, 0.6f, 1}}, {{1, 0.0f}}, "a", true},
      {"the loop reached after \"b\" only flagged on \"a\" too", 3,
       {{0, 3, 3, 1.0f, 1}, {0, 4, 4, 1.0f, 2}, {2, 0, 5, 0.0f, 2}}, {{1, 0.0f}, {2, 0.0f}},
       "a", false},
      {"the loop reached after \"b\" missed", 3,
       {{0, 3, 3, 1.0f, 1}, {0, 4, 4, 1.0f, 2}, {2, 0, 5, 0.0f, 2}}, {{1, 0.0f}, {2, 0.0f}},
       "b", true},
      {"a loop that no path goes on from to the end taken into the sums", 3,
       {{0, 3, 3, 1.0f, 1}, {0, 3, 4, 1.0f, 2}, {2, 0, 5, 0.0f, 2}}, {{1, 0.0f}}, "a", false},
  };
  for (const Case &row : cases) {
    Result<Model> model = ModelFrom(MakeFst(row.num_states, row.arcs, row.finals));
    ASSERT_TRUE(model.ok()) << row.fault;
    for (const Ranking ranking : {Ranking::kBestPath, Ranking::kProbability}) {
      DistinctOptions options;
      options.count = 3;
      options.probabilities = true;
      options.ranking = ranking;
      for (const Engine engine : {Engine::kAuto, Engine::kReference}) {
        const std::string where = std::string(row.fault) +
                                  (engine == Engine::kAuto ? " (search" : " (reference") +
                                  (ranking == Ranking::kBestPath ? ")" : ", by probability)");
        const DistinctDecoding decoding = DecodeDistinct(*model, row.word, options, nullptr, engine);
        ASSERT_EQ(decoding.status, DecodeStatus::kDecoded) << where;
        EXPECT_EQ(decoding.probabilities_undefined, row.undefined) << where;
        // The search decides it on its own, without OpenFst's sums.
        if (engine == Engine::kAuto) EXPECT_FALSE(decoding.fell_back) << where;
        ASSERT_FALSE(decoding.pronunciations.empty()) << where;
        double sum = 0.0;
        for (const Pronunciation &pronunciation : decoding.pronunciations) {
          if (row.undefined) {
            EXPECT_LT(pronunciation.probability, 0.0) << where;
          } else {
            EXPECT_GE(pronunciation.probability, 0.0) << where;
            sum += pronunciation.probability;
          }
        }
        EXPECT_LE(sum, 1.0 + 1e-9) << where;
        if (!row.undefined) EXPECT_GT(sum, 0.5) << where;
        // Best path first even when ranked by probability, which has none.
        if (row.undefined) {
          EXPECT_TRUE(std::is_sorted(decoding.pronunciations.begin(),
                                     decoding.pronunciations.end(), ComesBefore))
              << where;
        }
      }
    }
  }
}

// The paths through the loop weigh 40 and more, far past the reach of the
// sums, which find A's probability 1 without them; one pronunciation
// wanted, the search settles no pair that far. Only the whole lattice tells.
TEST(PronunciationProbabilitiesTest, UnboundedStatesPastTheReachLeaveTheWordToTheReference) {
  Result<Model> model = ModelFrom(MakeFst(
      3, {{0, 3, 3, 1.0f, 1}, {0, 3, 4, 40.0f, 2}, {2, 0, 5, 0.0f, 2}}, {{1, 0.0f}, {2, 0.0f}}));
  ASSERT_TRUE(model.ok());
  DistinctOptions options;
  options.probabilities = true;
  const DistinctDecoding decoding = DecodeDistinct(*model, "a", options);
  EXPECT_TRUE(decoding.fell_back);
  EXPECT_TRUE(decoding.probabilities_undefined);
  ASSERT_EQ(decoding.pronunciations.size(), 1u);
  EXPECT_LT(decoding.pronunciations[0].probability, 0.0);
}

// The shell of 4 below the bound holds `shell` of a word of 1, `upper` of it
// in its upper half: the bound goes up by half shells at the rate the mass
// falls off, until the shell would hold at most 2e-5.
TEST(PronunciationProbabilitiesTest, TheReachGoesAsFarAsTheMassFallingOffAcrossTheShellTells) {
  struct Case {
    const char *fault;
    double shell;
    double upper;
    double further;
  };
  const Case cases[] = {
      // 1.1e-3 at a tenth per half shell: 1.1e-4, then 1.1e-5.
      {"one step where the fall tells two", 1.1e-3, 1e-4, 4.0},
      {"more than one step just past the share", 2.1e-5, 0.7e-5, 2.0},
      {"more than four steps at once", 0.3, 0.1, 8.0},
      {"a jump where the mass grows across the shell", 1e-3, 0.6e-3, 2.0},
      {"a jump where the mass stays as it is", 1e-3, 0.5e-3, 2.0},
      {"a jump with no mass in the upper half", 1e-3, 0.0, 2.0},
  };
  for (const Case &row : cases) {
    EXPECT_DOUBLE_EQ(FurtherReach(row.shell, row.upper, 1.0, 4.0), row.further) << row.fault;
  }
}

// The measure itself, on cycles whose spectral radius is known.
TEST(PronunciationProbabilitiesTest, MassRoundCyclesComparesTheSpectralRadiusWithOne) {
  struct Case {
    const char *fault;
    std::size_t states;
    std::vector<MassArc> arcs;
    CycleMass expected;
  };
  const double half = 0.5;
  const Case cases[] = {
      {"a loop of factor 1 taken for a finite one", 1, {{0, 0, 1.0}}, CycleMass::kUnbounded},
      {"a loop of factor just below 1 taken for an infinite one", 1, {{0, 0, 1.0 - 1e-9}},
       CycleMass::kBounded},
      // Periodic: the power iteration of the matrix alone would never close in.
      {"a cycle of three whose factors multiply to 1 missed", 3,
       {{0, 1, 4.0}, {1, 2, 0.5}, {2, 0, half}}, CycleMass::kUnbounded},
      {"a cycle of three whose factors multiply to 0.9 flagged", 3,
       {{0, 1, 3.6}, {1, 2, 0.5}, {2, 0, half}}, CycleMass::kBounded},
      // Two cycles of two through state 0, with products 0.45 and 0.6:
      // rho^2 = 0.45 + 0.6.
      {"two cycles lighter than 1 each that hold more than 1 together missed", 3,
       {{0, 1, 0.9}, {1, 0, 0.5}, {0, 2, 1.2}, {2, 0, 0.5}}, CycleMass::kUnbounded},
      {"two such cycles that hold less than 1 together flagged", 3,
       {{0, 1, 0.9}, {1, 0, 0.5}, {0, 2, 0.8}, {2, 0, 0.5}}, CycleMass::kBounded},
  };
  for (const Case &row : cases) {
    EXPECT_EQ(MassRoundCycles(row.states, row.arcs), row.expected) << row.fault;
  }
}

}  // namespace
}  // namespace vurel
