#include "search/direct_search.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "address_space.h"
#include "driver/driver.h"
#include "model/model.h"
#include "random_model.h"

namespace vurel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using random_model::ModelFrom;
using random_model::RandomModel;

void ExpectIdentical(const Decoding &direct, const Decoding &reference,
                     const std::string &context) {
  EXPECT_EQ(direct.status, reference.status) << context;
  EXPECT_TRUE(IdenticalRecords(direct.paths, reference.paths))
      << context << ": " << direct.paths.size() << " records against "
      << reference.paths.size();
}

// Decodes `word` with both engines at nbest 3, plain and with accumulate,
// expecting identical answers; returns the direct search's two answers.
std::vector<Decoding> DecodeWithBothEngines(const Model &model, const std::string &word,
                                            const std::string &context) {
  std::vector<Decoding> answers;
  for (const bool accumulate : {false, true}) {
    PhoneticizeOptions options;
    options.nbest = 3;
    options.accumulate = accumulate;
    answers.push_back(Decode(model, word, options));
    ExpectIdentical(answers.back(), Decode(model, word, options, nullptr, Engine::kReference),
                    context + (accumulate ? ", accumulate" : ""));
  }
  return answers;
}

std::vector<PhoneticizeOptions> OptionSets() {
  std::vector<PhoneticizeOptions> sets;
  for (const std::uint64_t nbest : {1, 2, 5, 10, 1000}) {
    for (const bool accumulate : {false, true}) {
      PhoneticizeOptions options;
      options.nbest = nbest;
      options.accumulate = accumulate;
      sets.push_back(options);
      options.pmass = 0.9;
      sets.push_back(options);
      options.pmass = kOptionOff;
      options.threshold = 1.5f;
      options.beam = 2;
      sets.push_back(options);
    }
  }
  return sets;
}

TEST(DirectSearchTest, EveryRecordEqualsTheOpenFstPipelinesOnRandomModels) {
  std::mt19937 random(14);
  const std::vector<PhoneticizeOptions> option_sets = OptionSets();
  int direct_answers = 0;
  int direct_paths = 0;
  int fallbacks = 0;
  int unsuited_models = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const bool hostile = trial % 4 == 0;
    Result<Model> model = ModelFrom(RandomModel(random, hostile));
    if (!model.ok()) continue;  // a negative input-epsilon cycle
    if (!model->suits_direct_search()) ++unsuited_models;
    const bool cyclic = model->fst().Properties(fst::kCyclic, true) != 0;
    for (int word_index = 0; word_index < 4; ++word_index) {
      std::string word;
      const int length = std::uniform_int_distribution<int>(1, 4)(random);
      for (int i = 0; i < length; ++i) {
        word += "abc"[std::uniform_int_distribution<int>(0, 2)(random)];
      }
      for (const PhoneticizeOptions &options : option_sets) {
        // A cyclic model has endless paths: OpenFst's search for a thousand
        // outputs would run up to 256,000 of them, for seconds.
        if (options.nbest > 10 && cyclic) continue;
        const Decoding direct = Decode(*model, word, options);
        const Decoding reference = Decode(*model, word, options, nullptr, Engine::kReference);
        ExpectIdentical(direct, reference,
                        "trial " + std::to_string(trial) + " word " + word + " nbest " +
                            std::to_string(options.nbest));
        if (HasFailure()) return;
        direct_answers += direct.direct ? 1 : 0;
        direct_paths += direct.direct && !direct.paths.empty() ? 1 : 0;
        fallbacks += direct.fell_back ? 1 : 0;
      }
    }
  }
  // The comparisons reached every case: answers of the direct search with
  // paths, fallbacks on ties, and models the direct search refuses.
  std::printf("%d direct answers (%d with paths), %d fallbacks, %d unsuited models\n",
              direct_answers, direct_paths, fallbacks, unsuited_models);
  EXPECT_GT(direct_paths, 1000);
  EXPECT_GT(direct_answers, direct_paths);
  EXPECT_GT(fallbacks, 200);
  EXPECT_GT(unsuited_models, 10);
}

// The trainer numbers states for the decoder's sake: numbered otherwise,
// with each state's arcs in the same order, a model gives the same records,
// ties and all, from both engines.
TEST(DirectSearchTest, RecordsDoNotDependOnHowStatesAreNumbered) {
  std::mt19937 random(15);
  PhoneticizeOptions options;
  options.nbest = 5;
  for (int trial = 0; trial < 150; ++trial) {
    VectorFst fst = RandomModel(random, trial % 4 == 0);
    Result<Model> model = ModelFrom(fst);
    if (!model.ok()) continue;
    std::vector<Arc::StateId> numbers(static_cast<std::size_t>(fst.NumStates()));
    std::iota(numbers.begin(), numbers.end(), 0);
    std::shuffle(numbers.begin(), numbers.end(), random);
    fst::StateSort(&fst, numbers);
    Result<Model> renumbered = ModelFrom(std::move(fst));
    ASSERT_TRUE(renumbered.ok());
    for (const std::string word : {"a", "ab", "ba", "abc", "cab", "aab"}) {
      for (const bool accumulate : {false, true}) {
        options.accumulate = accumulate;
        for (const Engine engine : {Engine::kAuto, Engine::kReference}) {
          ExpectIdentical(Decode(*renumbered, word, options, nullptr, engine),
                          Decode(*model, word, options, nullptr, engine),
                          "trial " + std::to_string(trial) + " word " + word);
        }
      }
    }
    if (HasFailure()) return;
  }
}

// Two paths for the word a, both of weight 1, with equal uniques but
// different records: A then the skip symbol, or A alone. Which one OpenFst
// reads first is its own affair, so the direct search must leave the word
// to it, whatever order the model's arcs come in.
TEST(DirectSearchTest, ExactTiesThatDecideTheRecordGoToOpenFst) {
  for (const bool tied_path_first : {false, true}) {
    VectorFst fst;
    for (int i = 0; i < 3; ++i) fst.AddState();
    fst.SetStart(0);
    const Arc direct_arc(3, 3, 1.0f, 1);
    const Arc split_arc(3, 3, 0.5f, 2);
    if (tied_path_first) fst.AddArc(0, split_arc);
    fst.AddArc(0, direct_arc);
    if (!tied_path_first) fst.AddArc(0, split_arc);
    fst.AddArc(2, Arc(0, 2, 0.5f, 1));
    fst.SetFinal(1, 0.0f);
    const Result<Model> model = ModelFrom(std::move(fst));
    ASSERT_TRUE(model.ok());
    ASSERT_TRUE(model->suits_direct_search());

    const Decoding decoded = Decode(*model, "a", {});
    EXPECT_TRUE(decoded.fell_back);
    ExpectIdentical(decoded, Decode(*model, "a", {}, nullptr, Engine::kReference),
                    tied_path_first ? "split path first" : "direct path first");

  }
}

struct ModelArc {
  int from, input, output;
  float weight;
  int to;
};

Result<Model> ModelFromArcs(int num_states, const std::vector<ModelArc> &arcs,
                            const std::vector<std::pair<int, float>> &finals,
                            const DecodeSettings &settings = {}) {
  VectorFst fst;
  for (int i = 0; i < num_states; ++i) fst.AddState();
  fst.SetStart(0);
  for (const ModelArc &arc : arcs) {
    fst.AddArc(arc.from, Arc(arc.input, arc.output, arc.weight, arc.to));
  }
  for (const auto &[state, weight] : finals) fst.SetFinal(state, weight);
  return ModelFrom(std::move(fst), settings);
}

// Decodes `word` with both engines; `model` must suit the direct search.
void ExpectEnginesAgree(const Result<Model> &model, const std::string &word,
                        std::uint64_t nbest) {
  ASSERT_TRUE(model.ok());
  ASSERT_TRUE(model->suits_direct_search());
  PhoneticizeOptions options;
  options.nbest = nbest;
  ExpectIdentical(Decode(*model, word, options),
                  Decode(*model, word, options, nullptr, Engine::kReference), word);
}

// Both models were found by a random search for models on which the
// direct search, without one of its rules for runs of partial paths of
// equal weight, answers otherwise than OpenFst.
TEST(DirectSearchTest, PartialPathsOfEqualWeightWhoseOrderMattersGoToOpenFst) {
  // With "bb", partial paths of equal weight lead to entries that come out
  // before them, so the order OpenFst's heap takes them in decides the
  // second pronunciation.
  const Result<Model> model = ModelFromArcs(
      6,
      {{0, 0, 0, 0.1f, 0}, {0, 0, 5, 0.7f, 5}, {0, 4, 3, 0.7f, 0}, {0, 0, 1, 0.1f, 5},
       {1, 0, 4, 0.3f, 2}, {1, 4, 5, 0.7f, 2}, {2, 3, 4, 0.0f, 1}, {2, 4, 1, 0.3f, 5},
       {2, 3, 3, 0.3f, 2}, {2, 0, 3, 0.1f, 0}, {5, 4, 2, 0.3f, 4}, {5, 4, 1, 1.1f, 0},
       {5, 1, 4, 0.1f, 5}, {5, 0, 5, 1.1f, 0}, {5, 0, 3, 0.2f, 1}, {5, 2, 1, 0.7f, 3},
       {5, 1, 5, 0.7f, 2}, {5, 4, 2, 1.1f, 1}},
      {{0, 0.0f}, {2, 0.1f}});
  ExpectEnginesAgree(model, "bb", 2);
}

TEST(DirectSearchTest, RunsWhereTwoPartialPathsLeadAheadGoToOpenFst) {
  // With "bbb", two partial paths of a run of equal weight each lead to
  // entries that come out before the run, and whole paths come out during
  // it: which of the two OpenFst's heap takes first orders those paths.
  const Result<Model> model = ModelFromArcs(
      5,
      {{0, 0, 3, 0x1.466666p+2f, 2}, {0, 1, 3, 0x1p+0f, 3}, {0, 3, 5, 0x1p+0f, 2},
       {0, 3, 3, 0x0p+0f, 0}, {0, 4, 0, 0x1.666666p-1f, 1}, {0, 6, 0, 0x1.333334p+2f, 3},
       {1, 1, 5, 0x1.4cccccp+2f, 2}, {1, 2, 0, 0x1.39999ap+2f, 4}, {1, 5, 3, 0x1.333334p+2f, 3},
       {1, 6, 2, 0x1.666666p-1f, 0}, {1, 6, 2, 0x1.466666p+2f, 1}, {2, 0, 4, 0x1.133334p+2f, 4},
       {2, 1, 1, 0x1.266666p+2f, 4}, {2, 2, 0, 0x1.333334p+2f, 3}, {2, 5, 1, 0x1.066666p+2f, 2},
       {2, 6, 5, 0x1p+2f, 3}, {3, 1, 3, 0x1.39999ap+2f, 4}, {3, 4, 0, 0x1.39999ap+2f, 0},
       {3, 6, 4, 0x0p+0f, 0}, {3, 6, 3, 0x1p+0f, 3}, {4, 0, 1, 0x1p+0f, 0},
       {4, 0, 5, 0x1.066666p+2f, 4}, {4, 0, 5, 0x1p+0f, 1}, {4, 2, 1, 0x1.99999ap-4f, 4},
       {4, 2, 6, 0x1.266666p+2f, 3}, {4, 4, 4, 0x1.266666p+2f, 2}, {4, 4, 5, 0x1.4cccccp+2f, 1},
       {4, 5, 0, 0x1.466666p+2f, 3}, {4, 6, 5, 0x1p+0f, 3}},
      {{2, 0x1.39999ap+2f}});
  ExpectEnginesAgree(model, "bbb", 10);
}

TEST(DirectSearchTest, PathsFarBeyondTheBestAreFound) {
  // The other paths weigh 50 and 100 more than the best: the search must
  // widen until it reaches them rather than stop when its first pairs run
  // out. The heaviest ends where the best does, after that end was taken
  // from the heap; the other ends in a final state not settled at first.
  VectorFst fst;
  for (int i = 0; i < 5; ++i) fst.AddState();
  fst.SetStart(0);
  fst.AddArc(0, Arc(3, 3, 1.0f, 1));
  fst.AddArc(0, Arc(3, 4, 100.0f, 2));
  fst.AddArc(0, Arc(3, 5, 50.0f, 3));
  fst.AddArc(1, Arc(4, 4, 1.0f, 1));
  fst.AddArc(2, Arc(4, 5, 1.0f, 1));
  fst.AddArc(3, Arc(4, 6, 1.0f, 4));
  fst.SetFinal(1, 0.0f);
  fst.SetFinal(4, 0.0f);
  const Result<Model> model = ModelFrom(std::move(fst));
  ASSERT_TRUE(model.ok());
  for (const Decoding &decoded : DecodeWithBothEngines(*model, "ab", "ab")) {
    EXPECT_TRUE(decoded.direct);
    EXPECT_EQ(decoded.paths.size(), 3u);
  }
}

// One model per rule that makes the direct search exact, each found (or
// built) so that the direct search, without that rule, answers otherwise
// than OpenFst: with the rule it leaves the word to OpenFst.
TEST(DirectSearchTest, EachExactnessRuleSendsItsWordToOpenFst) {
  const float unit = std::ldexp(1.0f, -26);  // the last place between 1/8 and 1/4
  struct Case {
    const char *fault;
    int num_states;
    std::vector<ModelArc> arcs;
    std::vector<std::pair<int, float>> finals;
    const char *word;
    std::uint64_t nbest;
    bool accumulate;
  };
  const Case cases[] = {
      // OpenFst's shortest distance keeps the first value offered to a
      // state unless a later one is better by more than its delta: at the
      // pair of state 3 after "a" it keeps 0.1875 (through state 1, done
      // first) over 0.1875 - 60 units (through 2), and at state 4 after
      // "ab", 0.21875 + 60 units (through 5) over the 0.21875 its stale
      // distance offers. Its key for the path B A, 0.21875 - 60 units,
      // is then 120 units too high, more than its delta (67 units): it
      // reads A|B C (0.21875 - 34) first. Each gap is within the window of
      // twice the delta but outside one of half the delta.
      {"a distance window of half the delta",
       8,
       {{0, 3, 4, 0.125f, 2}, {0, 3, 3, 0.125f, 1}, {0, 3, 5, 0.125f, 5}, {0, 3, 6, 0.125f, 6},
        {1, 0, 0, 0.0625f, 3}, {2, 0, 0, 0.0625f - 60 * unit, 3}, {3, 4, 3, 0.03125f, 4},
        {5, 4, 3, 0.09375f + 60 * unit, 4}, {6, 4, 5, 0.09375f - 34 * unit, 7}},
       {{4, 0.0f}, {7, 0.0f}},
       "ab",
       1,
       false},
      // Found by a random search: whole paths of one weight and one
      // pronunciation, already kept, whose weights summed from the start
      // differ in the last place, so that log-adding them in OpenFst's
      // order and in the direct search's gives different bits.
      {"log-adds taken to ignore their order",
       3,
       {{0, 4, 3, 0x1.44b914p+1f, 0}, {0, 4, 1, 0x1.0624dep-11f, 2}, {1, 0, 0, 0x0p+0f, 2},
        {1, 3, 6, 0x1p-1f, 2}, {1, 3, 1, 0x1.538778p+1f, 2}, {1, 1, 5, 0x1.99999ap-4f, 2},
        {1, 2, 3, 0x1.2aabeap+0f, 1}, {1, 5, 4, 0x1p+0f, 0}, {2, 4, 1, 0x1.209e72p+0f, 1},
        {2, 3, 4, 0x1.2b3406p+1f, 1}, {2, 0, 0, 0x1.47a93p-1f, 2}, {2, 3, 1, 0x1.99999ap-4f, 2},
        {2, 4, 6, 0x1.b4db9ep-5f, 0}, {2, 5, 1, 0x1p+0f, 1}},
       {{0, 0x1.99999ap-4f}, {2, 0x1.8046ep+0f}},
       "bab",
       2,
       true},
  };
  for (const Case &row : cases) {
    const Result<Model> model = ModelFromArcs(row.num_states, row.arcs, row.finals);
    ASSERT_TRUE(model.ok()) << row.fault;
    ASSERT_TRUE(model->suits_direct_search()) << row.fault;
    PhoneticizeOptions options;
    options.nbest = row.nbest;
    options.accumulate = row.accumulate;
    const Decoding direct = Decode(*model, row.word, options);
    EXPECT_TRUE(direct.fell_back) << row.fault;
    ExpectIdentical(direct, Decode(*model, row.word, options, nullptr, Engine::kReference),
                    row.fault);
  }
}

// A word of eleven a's, read along a chain of states. Each letter is A by
// either of two arcs, the second heavier by 0.01 times a power of two, so
// that the 2,048 alignments of A...A weigh 11 + 0.01 k for k = 0 to 2,047,
// each once. The last letter may also be B, with weight 1 + `b_extra`;
// with `c_loop`, the start also has a loop writing C without reading.
Result<Model> ManyAlignments(float b_extra, float c_loop = 0.0f,
                             const DecodeSettings &settings = {}) {
  std::vector<ModelArc> arcs;
  for (int state = 0; state < 11; ++state) {
    arcs.push_back({state, 3, 3, 1.0f, state + 1});
    arcs.push_back({state, 3, 3, 1.0f + 0.01f * static_cast<float>(1 << state), state + 1});
  }
  arcs.push_back({10, 3, 4, 1.0f + b_extra, 11});
  if (c_loop > 0.0f) arcs.push_back({0, 0, 5, c_loop, 0});
  return ModelFromArcs(12, arcs, {{11, 0.0f}}, settings);
}

TEST(DirectSearchTest, OutputsAreReadWithOnePathEachAndPlacedAmongOpenFstsPaths) {
  const std::string word(11, 'a');
  PhoneticizeOptions options;
  options.nbest = 2;
  // The first path with B comes after m + 1 alignments of A...A. OpenFst
  // reads at most 1,024 paths for two outputs: past that, only A...A. The
  // rest put it in the first pass (16 paths), the second, one of the later
  // passes, and the last pass below the cap.
  for (const int m : {2000, 1023, 1022, 14, 20, 500, 1020}) {
    const Result<Model> model = ManyAlignments(0.01f * static_cast<float>(m) + 0.005f);
    ASSERT_TRUE(model.ok());
    const Decoding direct = Decode(*model, word, options);
    const Decoding reference = Decode(*model, word, options, nullptr, Engine::kReference);
    ExpectIdentical(direct, reference, "m " + std::to_string(m));
    EXPECT_TRUE(direct.distinct_outputs) << m;
    EXPECT_EQ(direct.paths.size(), m + 2 <= 1024 ? 2u : 1u) << m;
  }
  // Paths that loop on the start, writing C each time, come between: the
  // pairs on paths of interest form a cycle, and are counted one by one.
  options.nbest = 3;
  for (const int m : {150, 400}) {
    const Result<Model> model = ManyAlignments(0.01f * static_cast<float>(m) + 0.005f, 3.0f);
    ASSERT_TRUE(model.ok());
    const Decoding direct = Decode(*model, word, options);
    ExpectIdentical(direct, Decode(*model, word, options, nullptr, Engine::kReference),
                    "loop, m " + std::to_string(m));
    EXPECT_TRUE(direct.distinct_outputs) << m;
  }
}

TEST(DirectSearchTest, OutputsOpenFstsBudgetWouldCutOffGoToOpenFst) {
  // With a word budget of 256 KiB, OpenFst's search holds at most 1,024
  // result states: it stops its pass before the first path with B, which
  // comes after 501 alignments of A...A (and fewer states' worth at m 20).
  DecodeSettings settings;
  settings.word_budget_bytes = std::uint64_t{1} << 18;
  PhoneticizeOptions options;
  options.nbest = 2;
  const std::string word(11, 'a');
  for (const int m : {20, 500}) {
    const float b_extra = 0.01f * static_cast<float>(m) + 0.005f;
    const Result<Model> bounded = ManyAlignments(b_extra, 0.0f, settings);
    ASSERT_TRUE(bounded.ok());
    const Decoding direct = Decode(*bounded, word, options);
    const Decoding reference = Decode(*bounded, word, options, nullptr, Engine::kReference);
    ExpectIdentical(direct, reference, "m " + std::to_string(m));
    EXPECT_EQ(reference.paths.size(), m == 500 ? 1u : 2u) << m;
    EXPECT_EQ(direct.distinct_outputs, m == 20) << m;
  }
}

// Both models were found by a random search for models on which the pass
// over distinct outputs answers otherwise than OpenFst when it skips every
// partial path whose output was expanded at its pair before: also those
// whose weight is so close that rounding could put their paths first.
TEST(DirectSearchTest, PartialPathsOfOneOutputAndNearlyEqualWeightGoToTheFullSearch) {
  const Result<Model> first = ModelFromArcs(
      4,
      {{0, 0, 5, 0x1.99999ap-4f, 0}, {0, 0, 6, 0x1.99999ap-4f, 1}, {0, 2, 2, 0x1.1d865cp+1f, 1},
       {0, 4, 2, 0x1.789e84p+0f, 1}, {0, 6, 0, 0x1.024e1ep+0f, 2}, {1, 5, 2, 0x1.c465c2p+0f, 0},
       {2, 1, 0, 0x1.333334p-2f, 3}, {2, 2, 1, 0x1.0bbae2p+1f, 3}, {2, 2, 0, 0x1.02e96cp-1f, 0},
       {2, 6, 3, 0x1.99999ap-4f, 1}, {3, 0, 5, 0x1.1c20c8p+0f, 2}, {3, 3, 2, 0x1.2e096cp+1f, 3},
       {3, 4, 4, 0x1.e3e848p-1f, 3}, {3, 5, 5, 0x1.b702dcp-1f, 3}},
      {{0, 0x1.c29754p-5f}, {1, 0x1.333334p-2f}});
  ExpectEnginesAgree(first, "bc", 3);
  const Result<Model> second = ModelFromArcs(
      4,
      {{0, 0, 0, 0x1.7a4704p-1f, 3}, {0, 1, 6, 0x1.cda564p+0f, 1}, {0, 2, 1, 0x1.99999ap-4f, 0},
       {0, 5, 2, 0x1p-1f, 2}, {0, 5, 4, 0x1p+0f, 1}, {1, 1, 3, 0x1p-1f, 0},
       {1, 1, 4, 0x1.e9a3dcp+0f, 1}, {1, 3, 2, 0x1p+0f, 2}, {1, 4, 2, 0x1.75319cp+0f, 3},
       {1, 6, 6, 0x1.1e5bcep+0f, 1}, {1, 6, 3, 0x1p-1f, 3}, {2, 1, 1, 0x1.0624dep-11f, 2},
       {2, 2, 4, 0x1.7fb012p+0f, 0}, {2, 3, 2, 0x1.0ec598p+1f, 3}, {2, 4, 5, 0x1.1541dcp-4f, 0},
       {2, 6, 4, 0x1.65779cp+1f, 2}, {2, 6, 2, 0x1.60982p+1f, 1}, {3, 0, 6, 0x1.a2a736p-1f, 3},
       {3, 2, 2, 0x1.fa9b38p-1f, 0}, {3, 3, 0, 0x1.980338p-1f, 2}, {3, 5, 2, 0x1.47403ap+1f, 2}},
      {{1, 0x1.2ea51cp-1f}, {2, 0x1.42fe3ep-1f}});
  ExpectEnginesAgree(second, "aac", 3);
}

TEST(DirectSearchTest, SumsThatOverflowGoToOpenFst) {
  // Two finite weights whose sum is infinite: OpenFst reads a path of
  // weight Zero (and so no record), where best-first search sees no path.
  for (const float final_weight : {0.0f, 3e38f}) {
    VectorFst fst;
    for (int i = 0; i < 3; ++i) fst.AddState();
    fst.SetStart(0);
    fst.AddArc(0, Arc(3, 3, 3e38f, 1));
    fst.AddArc(1, Arc(4, 4, final_weight == 0.0f ? 3e38f : 0.0f, 2));
    fst.SetFinal(2, final_weight);
    const Result<Model> model = ModelFrom(std::move(fst));
    ASSERT_TRUE(model.ok());
    for (const Decoding &decoded :
         DecodeWithBothEngines(*model, "ab", "final weight " + std::to_string(final_weight))) {
      EXPECT_TRUE(decoded.fell_back);
    }
  }
}

// The pairs before the first letter are settled once per model, unless
// there are too many of them to keep: then each word settles them. Either
// way the words decode as OpenFst decodes them.
TEST(DirectSearchTest, PairsBeforeTheFirstLetterAreSettledOnceUnlessTooMany) {
  for (const int chain : {3, static_cast<int>(kLargestStartClosure) + 1}) {
    VectorFst fst;
    for (int i = 0; i < chain + 2; ++i) fst.AddState();
    fst.SetStart(0);
    // Phoneme insertions before the word, each state one more; the last
    // reads a or b; so does the start, and a loop back to it.
    for (int i = 0; i < chain; ++i) fst.AddArc(i, Arc(0, 3, 0.001f, i + 1));
    fst.AddArc(chain, Arc(0, 0, 0.5f, 0));
    fst.AddArc(chain, Arc(3, 4, 1.0f, chain + 1));
    fst.AddArc(0, Arc(3, 5, 1.0f, chain + 1));
    fst.AddArc(0, Arc(4, 4, 2.0f, chain + 1));
    fst.AddArc(chain + 1, Arc(4, 3, 1.0f, chain + 1));
    fst.SetFinal(chain + 1, 0.0f);
    const Result<Model> model = ModelFrom(std::move(fst));
    ASSERT_TRUE(model.ok());
    const StartClosure::Data *closure = model->start_closure().data();
    if (chain > static_cast<int>(kLargestStartClosure)) {
      EXPECT_EQ(closure, nullptr);
    } else {
      ASSERT_NE(closure, nullptr);
    }
    for (const std::string word : {"a", "ab", "abb", "b"}) {
      DecodeWithBothEngines(*model, word, "chain " + std::to_string(chain) + " word " + word);
    }
  }
}

// Decodes `word` with both engines with the address space limited to grow
// by at most `growth` bytes, and exits with 0 when the direct search was
// tried, both give the same status and records, and there are records. An
// allocation past the limit fails, and the exit is another.
[[noreturn]] void DecodeWithinMemoryAndExit(const Model &model, const std::string &word,
                                            const PhoneticizeOptions &options,
                                            std::uint64_t growth) {
  const rlim_t most = MappedBytes() + growth;
  const rlimit limit{most, most};
  setrlimit(RLIMIT_AS, &limit);
  const Decoding direct = Decode(model, word, options);
  const Decoding reference = Decode(model, word, options, nullptr, Engine::kReference);
  std::fprintf(stderr, "%zu records against %zu\n", direct.paths.size(), reference.paths.size());
  const bool agree = (direct.direct || direct.fell_back) && direct.status == reference.status &&
                     !reference.paths.empty() && IdenticalRecords(direct.paths, reference.paths);
  std::exit(agree ? 0 : 1);
}

// A model whose lattice has a cycle (a loop that writes without reading)
// has endless paths: whatever nbest asks for, up to 2^64 - 1, the direct
// search stays within the word budget and answers as the pipeline does,
// which its own budget stops. Each row and nbest is a test of its own, so
// that ctest runs these slow cases side by side.
struct EndlessPathsCase {
  const char *fault;
  int loop_state;
  float loop_weight;
  const char *word;
  std::uint64_t budget_megabytes;
};

// 0 -a:A/1-> 1 -b:C/0.25-> 1, 1 final, and a loop writing B at
// `loop_state`.
const EndlessPathsCase kEndlessPathsCases[] = {
    // Each path is a new output, each longer: the distinct pass (and
    // with accumulate, the passes) keeps records without end.
    {"records kept without bound", 1, 0.5f, "a", 64},
    // The paths weigh the same: one run of whole paths, read whole
    // before any is merged. Under a smaller budget the partial paths
    // stop the search first.
    {"a run of equal weight read whole", 0, 0.0f, "ab", 512},
};

// Names each case by its fault in the test's name, rather than its bytes.
void PrintTo(const EndlessPathsCase &row, std::ostream *out) { *out << row.fault; }

class EndlessPathsTest
    : public ::testing::TestWithParam<std::tuple<EndlessPathsCase, std::uint64_t>> {};

TEST_P(EndlessPathsTest, StayWithinTheWordBudgetForAnyNbest) {
  const auto &[row, nbest] = GetParam();
  VectorFst fst;
  fst.AddState();
  fst.AddState();
  fst.SetStart(0);
  fst.AddArc(0, Arc(3, 3, 1.0f, 1));
  fst.AddArc(1, Arc(4, 5, 0.25f, 1));
  fst.AddArc(row.loop_state, Arc(0, 4, row.loop_weight, row.loop_state));
  fst.SetFinal(1, 0.0f);
  DecodeSettings settings;
  settings.word_budget_bytes = row.budget_megabytes << 20;
  const Result<Model> model = ModelFrom(std::move(fst), settings);
  ASSERT_TRUE(model.ok());
  ASSERT_TRUE(model->suits_direct_search());
  // The budget, and room for the records SearchNbest reads, which a
  // fixed budget of its own bounds.
  const std::uint64_t growth = (row.budget_megabytes + 256) << 20;
  for (const bool accumulate : {false, true}) {
    PhoneticizeOptions options;
    options.nbest = nbest;
    options.accumulate = accumulate;
    EXPECT_EXIT(DecodeWithinMemoryAndExit(*model, row.word, options, growth),
                ::testing::ExitedWithCode(0), "")
        << row.fault << ", nbest " << nbest << (accumulate ? ", accumulate" : "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    DirectSearchTest, EndlessPathsTest,
    ::testing::Combine(::testing::ValuesIn(kEndlessPathsCases),
                       ::testing::Values(std::uint64_t{100000}, std::uint64_t{1} << 40,
                                         std::numeric_limits<std::uint64_t>::max())));

TEST(DirectSearchTest, ModelsWithWeightsBestFirstSearchCannotTakeAreRefused) {
  const auto suits = [](float arc_weight, float final_weight) {
    VectorFst fst;
    fst.AddState();
    fst.AddState();
    fst.SetStart(0);
    fst.AddArc(0, Arc(3, 3, arc_weight, 1));
    fst.SetFinal(1, final_weight);
    return SuitsDirectSearch(ModelFst(fst));
  };
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(suits(0.0f, 0.0f));
  EXPECT_TRUE(suits(-0.0f, kInfinity));
  EXPECT_FALSE(suits(-1e-30f, 0.0f));
  EXPECT_FALSE(suits(kNaN, 0.0f));
  EXPECT_FALSE(suits(kInfinity, 0.0f));
  EXPECT_FALSE(suits(1.0f, -kInfinity));
  EXPECT_FALSE(suits(1.0f, kNaN));
}

}  // namespace
}  // namespace vurel
