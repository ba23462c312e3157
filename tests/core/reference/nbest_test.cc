#include "reference/nbest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "fst_builder.h"

namespace vurel {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint64_t>::max();

using test_fst::ArcSpec;
using test_fst::MakeFst;

// Output labels 2..9 are plain symbols, 10 the cluster of 3 and 4, 11 a
// symbol made only of ties, 12 a cluster whose first piece is vetoed.
ClusterTable OutputClusters() {
  ClusterTable table;
  for (Label label = 2; label <= 9; ++label) table.decompositions[label] = {label};
  table.decompositions[10] = {3, 4};
  table.decompositions[11] = {};
  table.decompositions[12] = {2, 5};
  table.longest = 2;
  return table;
}

const VetoSet kVeto = {0, 1, 2};

struct Search {
  Result<PathCollection> result;
  std::vector<std::uint64_t> requests;
};

Search RunSearch(const VectorFst &lattice, std::uint64_t nbest,
                 bool accumulate = false) {
  std::vector<std::uint64_t> requests;
  Result<PathCollection> result =
      SearchNbest(lattice, nbest, accumulate, OutputClusters(), kVeto,
                  [&](std::uint64_t requested) { requests.push_back(requested); });
  return Search{std::move(result), std::move(requests)};
}

const PathData &Kept(const PathCollection &collection, std::size_t index) {
  return collection.paths.at(collection.keys.at(index));
}

TEST(LogAddTest, FollowsTheInfinityRulesAndSinglePrecisionFormula) {
  EXPECT_EQ(LogAdd(kInfinity, 2.5f), 2.5f);
  EXPECT_EQ(LogAdd(-kInfinity, 2.5f), 2.5f);
  EXPECT_EQ(LogAdd(2.5f, kInfinity), 2.5f);
  EXPECT_EQ(LogAdd(2.5f, -kInfinity), 2.5f);
  EXPECT_EQ(LogAdd(kInfinity, -kInfinity), -kInfinity);

  const float expected = 1.0f - log1pf(expf(-1.0f));
  EXPECT_EQ(LogAdd(1.0f, 2.0f), expected);
  EXPECT_EQ(LogAdd(2.0f, 1.0f), expected);
  EXPECT_NEAR(expected, 0.6867f, 1e-4);
  EXPECT_NEAR(LogAdd(1.0f, 1.0f), 1.0f - std::log(2.0f), 1e-6);
}

TEST(PathRequestsTest, StartAtEightTimesAndCapAtTwoHundredFiftySixTimes) {
  struct Case {
    std::uint64_t nbest, first, cap;
  };
  const std::vector<Case> cases = {
      {0, 16, 1024},   {1, 16, 1024},   {2, 16, 1024},
      {3, 24, 1024},   {4, 32, 1024},   {5, 40, 1280},
      {10, 80, 2560},  {std::uint64_t{1} << 60, std::uint64_t{1} << 63, kMaxCount},
      {kMaxCount, kMaxCount, kMaxCount},
  };
  for (const Case &c : cases) {
    const PathRequests requests = PathRequestsFor(c.nbest);
    EXPECT_EQ(requests.first, c.first) << c.nbest;
    EXPECT_EQ(requests.cap, c.cap) << c.nbest;
  }
}

TEST(PathRequestsTest, PathsArePlacedInThePassThatReadsThem) {
  struct Case {
    std::uint64_t below, within;
    bool last;
    PassPlace place;
  };
  // nbest 5: passes of 40, 80, 160, 320, 640 and 1280 paths.
  const std::vector<Case> cases = {
      // A path that is not the last output needs only to come within the cap.
      {0, 1, false, PassPlace::kRead},
      {600, 1280, false, PassPlace::kRead},
      {600, 1281, false, PassPlace::kUnknown},
      {1280, 5000, false, PassPlace::kPastCap},
      // The last output ends the search in the first pass that reaches it,
      // which must hold all the paths up to it.
      {0, 40, true, PassPlace::kRead},
      {39, 41, true, PassPlace::kUnknown},
      {40, 41, true, PassPlace::kRead},
      {40, 80, true, PassPlace::kRead},
      {40, 81, true, PassPlace::kUnknown},
      {639, 640, true, PassPlace::kRead},
      {640, 1280, true, PassPlace::kRead},
      {700, 1281, true, PassPlace::kUnknown},
      {1280, 1281, true, PassPlace::kPastCap},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(PlaceAmongPasses(c.below, c.within, PathRequestsFor(5), c.last), c.place)
        << c.below << " " << c.within << (c.last ? " last" : "");
  }
}

// What the path reader relies on: every path of an n-shortest-paths result
// starts with two epsilon arcs of weight 0 and ends with an epsilon arc
// carrying the lattice's final weight into a final state of weight 0.
TEST(ShortestPathShapeTest, PathsHaveTwoLeadingEpsilonsAndATrailingFinalWeight) {
  const VectorFst lattice =
      MakeFst(3, {{0, 5, 6, 1.5f, 1}, {0, 5, 7, 1.0f, 2}}, {{1, 0.25f}, {2, 3.0f}});
  VectorFst result;
  fst::ShortestPath(lattice, &result, 16, false, false, Weight::Zero(),
                    fst::kNoStateId, 1e-6f);
  ASSERT_NE(result.Start(), fst::kNoStateId);
  ASSERT_EQ(result.NumArcs(result.Start()), 2u);

  const std::vector<std::vector<float>> expected_weights = {
      {0.0f, 0.0f, 1.5f, 0.25f}, {0.0f, 0.0f, 1.0f, 3.0f}};
  const std::vector<int> expected_olabels = {6, 7};
  int index = 0;
  for (fst::ArcIterator<VectorFst> start(result, result.Start()); !start.Done();
       start.Next(), ++index) {
    std::vector<Arc> path = {start.Value()};
    while (result.Final(path.back().nextstate) == Weight::Zero()) {
      ASSERT_EQ(result.NumArcs(path.back().nextstate), 1u);
      path.push_back(fst::ArcIterator<VectorFst>(result, path.back().nextstate).Value());
    }
    EXPECT_EQ(result.Final(path.back().nextstate), Weight::One());
    EXPECT_EQ(result.NumArcs(path.back().nextstate), 0u);
    ASSERT_EQ(path.size(), 4u);
    for (std::size_t i = 0; i < path.size(); ++i) {
      EXPECT_EQ(path[i].weight.Value(), expected_weights[index][i]);
      const bool lattice_arc = i == 2;
      EXPECT_EQ(path[i].ilabel, lattice_arc ? 5 : 0);
      EXPECT_EQ(path[i].olabel, lattice_arc ? expected_olabels[index] : 0);
    }
  }
}

TEST(ReadPathTest, FinalWeightIsRecordedUnlessWithinToleranceOfZero) {
  struct Case {
    float final_weight;
    std::vector<Label> ilabels, olabels;
    std::vector<float> weights;
    float path_weight;
  };
  const std::vector<Case> cases = {
      {0.0f, {5}, {6}, {1.5f}, 1.5f},
      {0.25f, {5, 0}, {6, 0}, {1.5f, 0.25f}, 1.75f},
      {0.0005f, {5}, {6}, {1.5f}, 1.5f},
  };
  for (const Case &c : cases) {
    const Search search = RunSearch(MakeFst(2, {{0, 5, 6, 1.5f, 1}}, {{1, c.final_weight}}), 1);
    ASSERT_TRUE(search.result.ok());
    ASSERT_EQ(search.result->keys.size(), 1u);
    const PathData &path = Kept(*search.result, 0);
    EXPECT_EQ(path.ilabels, c.ilabels) << c.final_weight;
    EXPECT_EQ(path.olabels, c.olabels) << c.final_weight;
    EXPECT_EQ(path.path_weights, c.weights) << c.final_weight;
    EXPECT_EQ(path.path_weight, c.path_weight) << c.final_weight;
    EXPECT_EQ(path.uniques, LabelSequence({6}));
  }
}

// Reads a hand-made result FST: start state 0, one arc to state 1, a chain
// of the given arcs, the last state final.
PathData ReadChain(const std::vector<Arc> &chain) {
  VectorFst result;
  for (std::size_t i = 0; i < chain.size() + 2; ++i) result.AddState();
  result.SetStart(0);
  result.AddArc(0, Arc(0, 0, 0.0f, 1));
  for (std::size_t i = 0; i < chain.size(); ++i) {
    Arc arc = chain[i];
    arc.nextstate = static_cast<int>(i) + 2;
    result.AddArc(static_cast<int>(i) + 1, arc);
  }
  result.SetFinal(static_cast<int>(chain.size()) + 1, Weight::One());
  Result<PathData> path = ReadPath(
      result, fst::ArcIterator<VectorFst>(result, 0).Value(), OutputClusters(), kVeto);
  EXPECT_TRUE(path.ok());
  return path.ok() ? std::move(path).value() : PathData();
}

TEST(ReadPathTest, EpsilonArcsWithinTwoToTheMinusTenOfZeroAreDropped) {
  const float tolerance = 1.0f / 1024.0f;
  struct Case {
    float weight;
    bool recorded;
  };
  const std::vector<Case> cases = {
      {0.0f, false},          {tolerance, false},
      {-tolerance, false},    {0.001f, true},
      {-0.001f, true},        {std::nanf(""), true},
      {std::nextafter(tolerance, 1.0f), true},
  };
  for (const Case &c : cases) {
    const PathData path = ReadChain({Arc(5, 6, 1.0f, 0), Arc(0, 0, c.weight, 0)});
    ASSERT_EQ(path.ilabels.size(), c.recorded ? 2u : 1u) << c.weight;
    if (c.recorded) {
      EXPECT_EQ(path.ilabels[1], 0u);
      EXPECT_EQ(path.olabels[1], 0u);
    }
    EXPECT_EQ(path.uniques, LabelSequence({6}));
  }
  // Only arcs with both labels 0 are candidates for dropping.
  EXPECT_EQ(ReadChain({Arc(5, 0, 0.0f, 0)}).ilabels, std::vector<Label>({5}));
  EXPECT_EQ(ReadChain({Arc(0, 6, 0.0f, 0)}).olabels, std::vector<Label>({6}));
}

TEST(ReadPathTest, UniquesDecomposeOutputLabelsAndDropVetoedOnes) {
  const PathData path = ReadChain({Arc(5, 0, 0.5f, 0), Arc(5, 1, 0.25f, 0),
                                   Arc(5, 2, 0.125f, 0), Arc(5, 10, 1.0f, 0),
                                   Arc(0, 6, 2.0f, 0), Arc(6, 11, 0.0f, 0),
                                   Arc(6, 12, 0.0f, 0), Arc(7, 6, 0.0f, 0),
                                   Arc(7, 99, 0.0f, 0)});
  EXPECT_EQ(path.olabels, std::vector<Label>({0, 1, 2, 10, 6, 11, 12, 6, 99}));
  EXPECT_EQ(path.ilabels, std::vector<Label>({5, 5, 5, 5, 0, 6, 6, 7, 7}));
  // 10 is 3 + 4; 11 gives nothing; 12 loses its vetoed piece; 6 twice.
  EXPECT_EQ(path.uniques, LabelSequence({3, 4, 6, 5, 6}));
  EXPECT_EQ(path.path_weight, 3.875f);

  EXPECT_TRUE(ReadChain({Arc(5, 0, 1.0f, 0), Arc(6, 2, 1.0f, 0)}).uniques.empty());
}

TEST(ReadPathTest, PathWeightIsTheLeftToRightSinglePrecisionSum) {
  const std::vector<float> weights = {1e8f, 1.0f, 1.0f, -1e8f, 0.1f, 0.2f};
  std::vector<Arc> chain;
  float sum = 0.0f;
  for (const float weight : weights) {
    chain.emplace_back(5, 6, weight, 0);
    sum += weight;
  }
  const PathData path = ReadChain(chain);
  EXPECT_EQ(path.path_weights, weights);
  EXPECT_EQ(path.path_weight, sum);
  // In single precision, left to right, the two 1.0 are lost against 1e8.
  EXPECT_NEAR(path.path_weight, 0.3f, 1e-6f);
}

TEST(ReadPathTest, WalkStopsAtTheFirstFinalStateAndFollowsFirstArcsOnly) {
  VectorFst result = MakeFst(
      5, {{0, 5, 6, 1.0f, 1}, {1, 5, 7, 2.0f, 2}, {1, 5, 8, 4.0f, 3}, {2, 5, 9, 8.0f, 3},
          {3, 5, 3, 16.0f, 4}},
      {{2, 0.5f}});
  Arc start = fst::ArcIterator<VectorFst>(result, 0).Value();
  Result<PathData> path = ReadPath(result, start, OutputClusters(), kVeto);
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(path->olabels, std::vector<Label>({6, 7}));
  EXPECT_EQ(path->path_weight, 3.0f);  // the final weight is not read

  // A state without arcs ends the walk too.
  result.SetFinal(2, Weight::Zero());
  result.DeleteArcs(3);
  path = ReadPath(result, start, OutputClusters(), kVeto);
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(path->olabels, std::vector<Label>({6, 7, 9}));
}

TEST(ReadPathTest, ANextStateOutsideTheResultFails) {
  const VectorFst result = MakeFst(3, {{0, 0, 0, 0.0f, 1}, {1, 5, 6, 1.0f, 7}}, {});
  const Result<PathData> path = ReadPath(
      result, fst::ArcIterator<VectorFst>(result, 0).Value(), OutputClusters(), kVeto);
  ASSERT_FALSE(path.ok());
  EXPECT_EQ(path.error().message, "State 7 doesn't exist");
}

// Weights compared bit for bit, so that NaN equals NaN.
bool SameWeight(const Weight &a, const Weight &b) {
  const float x = a.Value();
  const float y = b.Value();
  return std::memcmp(&x, &y, sizeof x) == 0;
}

void ExpectSameFst(const VectorFst &expected, const VectorFst &actual) {
  ASSERT_EQ(actual.Properties(fst::kFstProperties, false),
            expected.Properties(fst::kFstProperties, false));
  ASSERT_EQ(actual.Start(), expected.Start());
  ASSERT_EQ(actual.NumStates(), expected.NumStates());
  for (Arc::StateId state = 0; state < expected.NumStates(); ++state) {
    ASSERT_TRUE(SameWeight(actual.Final(state), expected.Final(state))) << state;
    ASSERT_EQ(actual.NumArcs(state), expected.NumArcs(state)) << state;
    fst::ArcIterator<VectorFst> actual_arcs(actual, state);
    for (fst::ArcIterator<VectorFst> arcs(expected, state); !arcs.Done();
         arcs.Next(), actual_arcs.Next()) {
      const Arc &want = arcs.Value();
      const Arc &got = actual_arcs.Value();
      ASSERT_EQ(got.ilabel, want.ilabel) << state;
      ASSERT_EQ(got.olabel, want.olabel) << state;
      ASSERT_TRUE(SameWeight(got.weight, want.weight)) << state;
      ASSERT_EQ(got.nextstate, want.nextstate) << state;
    }
  }
}

// Lattices with cycles, input-epsilon arcs (some of weight 0, so that
// paths tie) and several final states, from a fixed random state.
VectorFst RandomLattice(std::mt19937 &random, int num_states) {
  std::uniform_int_distribution<int> state(0, num_states - 1);
  std::uniform_int_distribution<int> label(0, 6);
  std::uniform_int_distribution<int> tenths(0, 40);
  VectorFst lattice;
  for (int i = 0; i < num_states; ++i) lattice.AddState();
  lattice.SetStart(0);
  for (int from = 0; from < num_states; ++from) {
    for (int k = 0; k < 3; ++k) {
      const int to = k == 0 ? std::min(from + 1, num_states - 1) : state(random);
      lattice.AddArc(from, Arc(k == 2 ? 0 : label(random), label(random),
                               tenths(random) / 10.0f, to));
    }
    if (state(random) < num_states / 3 || from == num_states - 1) {
      lattice.SetFinal(from, tenths(random) / 10.0f);
    }
  }
  return lattice;
}

// Every pass of a search reuses what the first one prepared; each must give
// what a call of OpenFst's ShortestPath on its own gives.
TEST(NShortestPathsTest, EveryPassEqualsOpenFstsShortestPath) {
  std::mt19937 random(20240611);
  for (int trial = 0; trial < 60; ++trial) {
    const VectorFst lattice = RandomLattice(random, 2 + trial % 12);
    for (const Arc::StateId state_threshold : {fst::kNoStateId, 9, 200}) {
      NShortestPaths search(lattice, 1e-6f);
      for (const std::int32_t paths : {16, 1, 2, 5, 32, 200}) {
        VectorFst expected;
        fst::ShortestPath(lattice, &expected, paths, false, false, Weight::Zero(),
                          state_threshold, 1e-6f);
        VectorFst actual;
        search.Search(paths, state_threshold, actual);
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", paths " << paths
                                        << ", state threshold " << state_threshold);
        ExpectSameFst(expected, actual);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(NShortestPathsTest, LatticesOpenFstCannotSearchGiveItsResultToo) {
  VectorFst failed = MakeFst(3, {{0, 5, 6, 1.0f, 1}, {1, 0, 7, 1.0f, 2}}, {{2, 0.0f}});
  failed.SetProperties(fst::kError, fst::kError);
  VectorFst no_path = MakeFst(3, {{0, 5, 6, 1.0f, 1}, {1, 0, 7, 1.0f, 0}}, {});
  VectorFst not_a_number =
      MakeFst(2, {{0, 5, 6, std::nanf(""), 1}, {0, 5, 7, 1.0f, 1}}, {{1, 0.0f}});
  for (const VectorFst *lattice : {&failed, &no_path, &not_a_number}) {
    NShortestPaths search(*lattice, 1e-6f);
    for (const std::int32_t paths : {16, 32, 1}) {
      VectorFst expected;
      {
        openfst::ScopedLogSilencer silencer;
        fst::ShortestPath(*lattice, &expected, paths, false, false, Weight::Zero(),
                          fst::kNoStateId, 1e-6f);
      }
      VectorFst actual;
      search.Search(paths, fst::kNoStateId, actual);
      ExpectSameFst(expected, actual);
    }
  }
}

TEST(SearchNbestTest, NothingToSearchMakesNoPass) {
  const VectorFst with_paths = MakeFst(2, {{0, 5, 6, 1.0f, 1}}, {{1, 0.0f}});
  Search search = RunSearch(with_paths, 0);
  ASSERT_TRUE(search.result.ok());
  EXPECT_TRUE(search.result->keys.empty());
  EXPECT_TRUE(search.requests.empty());

  search = RunSearch(VectorFst(), 3);
  ASSERT_TRUE(search.result.ok());
  EXPECT_TRUE(search.result->keys.empty());
  EXPECT_TRUE(search.requests.empty());

  // States but no final one: the library finds no path.
  search = RunSearch(MakeFst(2, {{0, 5, 6, 1.0f, 1}}, {}), 3);
  ASSERT_TRUE(search.result.ok());
  EXPECT_TRUE(search.result->keys.empty());
  EXPECT_TRUE(search.result->paths.empty());
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({24}));
}

TEST(SearchNbestTest, FewerOutputsThanWantedMakesEveryPassUpToTheCap) {
  const VectorFst lattice = MakeFst(
      2, {{0, 5, 4, 2.0f, 1}, {0, 5, 3, 1.0f, 1}, {0, 5, 5, 3.0f, 1}}, {{1, 0.0f}});
  Search search = RunSearch(lattice, 5);
  ASSERT_TRUE(search.result.ok());
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({40, 80, 160, 320, 640, 1280}));
  ASSERT_EQ(search.result->keys.size(), 3u);
  EXPECT_EQ(search.result->paths.size(), 3u);
  EXPECT_EQ(search.result->keys[0], LabelSequence({3}));
  EXPECT_EQ(search.result->keys[1], LabelSequence({4}));
  EXPECT_EQ(search.result->keys[2], LabelSequence({5}));
  EXPECT_EQ(Kept(*search.result, 2).path_weight, 3.0f);

  search = RunSearch(lattice, 1);
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({16}));
  ASSERT_EQ(search.result->keys.size(), 1u);
  EXPECT_EQ(Kept(*search.result, 0).path_weight, 1.0f);

  search = RunSearch(lattice, 3);
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({24}));
  EXPECT_EQ(search.result->keys.size(), 3u);
}

// Many paths with one output ahead of a second output: the first passes see
// only the first output, so the request doubles until the second appears.
TEST(SearchNbestTest, RequestDoublesUntilEnoughDistinctOutputsAppear) {
  std::vector<ArcSpec> arcs;
  for (int i = 0; i < 40; ++i) arcs.push_back({0, 5, 6, 1.0f + i * 0.01f, 1});
  arcs.push_back({0, 5, 7, 5.0f, 1});
  const Search search = RunSearch(MakeFst(2, arcs, {{1, 0.0f}}), 2);
  ASSERT_TRUE(search.result.ok());
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({16, 32, 64}));
  ASSERT_EQ(search.result->keys.size(), 2u);
  EXPECT_EQ(search.result->keys[1], LabelSequence({7}));
}

TEST(SearchNbestTest, HugeCountsSaturateAndStayWithinWhatOpenFstAccepts) {
  const VectorFst lattice =
      MakeFst(2, {{0, 5, 3, 1.0f, 1}, {0, 5, 4, 2.0f, 1}}, {{1, 0.0f}});
  for (const std::uint64_t nbest :
       {kMaxCount, std::uint64_t{1} << 40, std::uint64_t{1} << 28}) {
    const Search search = RunSearch(lattice, nbest);
    ASSERT_TRUE(search.result.ok()) << nbest;
    EXPECT_EQ(search.result->keys.size(), 2u) << nbest;
    EXPECT_EQ(search.requests.size(), 1u) << nbest;
  }
}

// Paths 3 (weight 1) and 3 again by another alignment (weight 2), then 4
// (weight 1.5 + 0.1 on an epsilon arc), then 4 once more (weight 2.5).
VectorFst MergingLattice() {
  return MakeFst(4,
                 {{0, 5, 3, 1.0f, 3},
                  {0, 5, 0, 1.0f, 1},
                  {1, 0, 3, 1.0f, 3},
                  {0, 5, 4, 1.5f, 2},
                  {2, 0, 0, 0.1f, 3},
                  {0, 5, 4, 2.5f, 3}},
                 {{3, 0.0f}});
}

TEST(SearchNbestTest, PathsWithEqualUniquesMergeIntoTheFirstRecord) {
  Search search = RunSearch(MergingLattice(), 3);
  ASSERT_TRUE(search.result.ok());
  ASSERT_EQ(search.result->keys.size(), 2u);
  EXPECT_EQ(search.result->keys[0], LabelSequence({3}));
  EXPECT_EQ(Kept(*search.result, 0).path_weight, 1.0f);
  EXPECT_EQ(Kept(*search.result, 0).ilabels, std::vector<Label>({5}));
  EXPECT_EQ(Kept(*search.result, 1).path_weights, std::vector<float>({1.5f, 0.1f}));

  search = RunSearch(MergingLattice(), 3, /*accumulate=*/true);
  ASSERT_TRUE(search.result.ok());
  ASSERT_EQ(search.result->keys.size(), 2u);
  const PathData &first = Kept(*search.result, 0);
  EXPECT_EQ(first.path_weight, 1.0f - log1pf(expf(-1.0f)));
  EXPECT_NEAR(first.path_weight, 0.6867f, 1e-4);
  EXPECT_EQ(first.ilabels, std::vector<Label>({5}));
  EXPECT_EQ(first.path_weights, std::vector<float>({1.0f}));
  EXPECT_EQ(Kept(*search.result, 1).path_weight, LogAdd(1.5f + 0.1f, 2.5f));
  EXPECT_EQ(Kept(*search.result, 1).ilabels, std::vector<Label>({5, 0}));
}

TEST(SearchNbestTest, AccumulationStopsOnceEnoughOutputsAreHeld) {
  // With nbest 2 the pass stops at the first path of output 4 (weight 1.6),
  // so the second path of output 3 (weight 2.0) is never added in.
  const Search search = RunSearch(MergingLattice(), 2, /*accumulate=*/true);
  ASSERT_TRUE(search.result.ok());
  ASSERT_EQ(search.result->keys.size(), 2u);
  EXPECT_EQ(Kept(*search.result, 0).path_weight, 1.0f);
  EXPECT_EQ(Kept(*search.result, 1).path_weight, 1.5f + 0.1f);
}

TEST(SearchNbestTest, AccumulatedWeightsDoNotReorderTheKeys) {
  const Search search = RunSearch(
      MakeFst(2, {{0, 5, 3, 1.0f, 1}, {0, 5, 4, 1.1f, 1}, {0, 6, 4, 1.2f, 1}, {0, 7, 4, 1.3f, 1}},
              {{1, 0.0f}}),
      3, /*accumulate=*/true);
  ASSERT_TRUE(search.result.ok());
  ASSERT_EQ(search.result->keys.size(), 2u);
  EXPECT_EQ(search.result->keys[0], LabelSequence({3}));
  EXPECT_EQ(Kept(*search.result, 0).path_weight, 1.0f);
  EXPECT_EQ(Kept(*search.result, 1).path_weight, LogAdd(LogAdd(1.1f, 1.2f), 1.3f));
  EXPECT_LT(Kept(*search.result, 1).path_weight, 0.2f);
}

TEST(SearchNbestTest, PathsWithoutPhonemesShareTheEmptyKey) {
  const Search search = RunSearch(
      MakeFst(2, {{0, 5, 0, 1.0f, 1}, {0, 5, 2, 2.0f, 1}, {0, 5, 11, 3.0f, 1}},
              {{1, 0.0f}}),
      2);
  ASSERT_TRUE(search.result.ok());
  ASSERT_EQ(search.result->keys.size(), 1u);
  EXPECT_TRUE(search.result->keys[0].empty());
  EXPECT_EQ(Kept(*search.result, 0).olabels, std::vector<Label>({0}));
}

TEST(SearchNbestTest, AnOpenFstErrorFailsTheSearchQuietly) {
  VectorFst lattice = MakeFst(2, {{0, 5, 6, 1.0f, 1}}, {{1, 0.0f}});
  lattice.SetProperties(fst::kError, fst::kError);
  testing::internal::CaptureStderr();
  const Search search = RunSearch(lattice, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(search.result.ok());
  EXPECT_EQ(search.result.error().code, ErrorCode::kInternal);
}

}  // namespace
}  // namespace vurel
