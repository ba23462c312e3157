// The n-best search on lattices with more paths than memory allows: cyclic
// lattices and huge requests end within the budget, with the best paths
// first.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "reference/nbest.h"

namespace vurel {
namespace {

constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint64_t>::max();

const VetoSet kVeto = {0, 1, 2};

ClusterTable OutputClusters() {
  ClusterTable table;
  for (Label label = 3; label <= 9; ++label) table.decompositions[label] = {label};
  table.longest = 1;
  return table;
}

// 0 -a:A/1-> 1 (final), and at 1 a loop that writes X without reading:
// the outputs A, A X, A X X, ... with weights 1, 1.5, 2, ...
VectorFst LoopingLattice(float loop_weight) {
  VectorFst fst;
  fst.AddState();
  fst.AddState();
  fst.SetStart(0);
  fst.AddArc(0, Arc(5, 3, 1.0f, 1));
  fst.AddArc(1, Arc(0, 4, loop_weight, 1));
  fst.SetFinal(1, 0.0f);
  return fst;
}

// A chain of `length` positions with `choices` parallel arcs each: choices^length
// paths, all with distinct outputs.
VectorFst WideLattice(int length, int choices) {
  VectorFst fst;
  for (int i = 0; i <= length; ++i) fst.AddState();
  fst.SetStart(0);
  for (int i = 0; i < length; ++i) {
    for (int c = 0; c < choices; ++c) {
      fst.AddArc(i, Arc(5, 3 + c, 1.0f + 0.25f * c + 0.01f * i, i + 1));
    }
  }
  fst.SetFinal(length, 0.0f);
  return fst;
}

struct Search {
  Result<PathCollection> result;
  std::vector<std::uint64_t> requests;
};

Search RunSearch(const VectorFst &lattice, std::uint64_t nbest,
                 const SearchBudget &budget = {}) {
  std::vector<std::uint64_t> requests;
  Result<PathCollection> result = SearchNbest(
      lattice, nbest, false, OutputClusters(), kVeto,
      [&](std::uint64_t requested) { requests.push_back(requested); }, budget);
  return Search{std::move(result), std::move(requests)};
}

void ExpectHead(const PathCollection &head, const PathCollection &whole) {
  ASSERT_LE(head.keys.size(), whole.keys.size());
  for (std::size_t i = 0; i < head.keys.size(); ++i) {
    EXPECT_EQ(head.keys[i], whole.keys[i]) << i;
    EXPECT_EQ(head.paths.at(head.keys[i]).path_weight,
              whole.paths.at(whole.keys[i]).path_weight) << i;
  }
}

TEST(CountPathsUpToTest, CountsAcyclicPathsAndSaturates) {
  EXPECT_EQ(CountPathsUpTo(WideLattice(3, 2), 1000), 8u);
  EXPECT_EQ(CountPathsUpTo(WideLattice(3, 2), 5), 5u);
  EXPECT_EQ(CountPathsUpTo(WideLattice(60, 3), kMaxCount), kMaxCount);
  EXPECT_EQ(CountPathsUpTo(LoopingLattice(0.5f), 1000), 1000u);
  EXPECT_EQ(CountPathsUpTo(VectorFst(), 1000), 0u);
  // A path through a final state that goes on counts twice.
  VectorFst fst = WideLattice(2, 1);
  fst.SetFinal(1, 0.5f);
  EXPECT_EQ(CountPathsUpTo(fst, 1000), 2u);
}

TEST(SearchBudgetTest, HugeRequestsOnACyclicLatticeEndWithTheBestPathsFirst) {
  const VectorFst lattice = LoopingLattice(0.5f);
  const Search small = RunSearch(lattice, 20);
  ASSERT_TRUE(small.result.ok());
  ASSERT_EQ(small.result->keys.size(), 20u);
  EXPECT_EQ(small.result->keys[2], LabelSequence({3, 4, 4}));

  for (const std::uint64_t nbest : {kMaxCount, std::uint64_t{100000}}) {
    const Search huge = RunSearch(lattice, nbest);
    ASSERT_TRUE(huge.result.ok()) << nbest;
    EXPECT_EQ(huge.requests.size(), 1u) << nbest;
    EXPECT_GT(huge.result->keys.size(), 1000u) << nbest;
    EXPECT_LT(huge.result->keys.size(), nbest) << nbest;
    ExpectHead(*small.result, *huge.result);
  }
}

TEST(SearchBudgetTest, EachLimitCutsThePassShortAndEndsTheSearch) {
  const VectorFst lattice = WideLattice(6, 4);  // 4096 paths
  const Search whole = RunSearch(lattice, 500);
  ASSERT_TRUE(whole.result.ok());
  ASSERT_EQ(whole.result->keys.size(), 500u);
  EXPECT_EQ(whole.requests, std::vector<std::uint64_t>({4000}));

  SearchBudget states;
  states.result_states = 200;
  SearchBudget walked;
  walked.walked_arcs = 300;
  SearchBudget kept;
  kept.kept_arcs = 300;
  for (const SearchBudget &budget : {states, walked, kept}) {
    const Search cut = RunSearch(lattice, 500, budget);
    ASSERT_TRUE(cut.result.ok());
    EXPECT_EQ(cut.requests, std::vector<std::uint64_t>({4000}));
    EXPECT_GT(cut.result->keys.size(), 3u);
    EXPECT_LT(cut.result->keys.size(), 100u);
    ExpectHead(*cut.result, *whole.result);
  }
}

// A long word: the paths are too long to complete any within the budget,
// so the search falls back to the single best path.
TEST(SearchBudgetTest, NoPathWithinTheBudgetFallsBackToTheBestPath) {
  const VectorFst lattice = WideLattice(40, 3);
  SearchBudget budget;
  budget.result_states = 20;
  budget.result_states_per_lattice_arc = 0;
  const Search search = RunSearch(lattice, 5, budget);
  ASSERT_TRUE(search.result.ok());
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({40, 1}));
  ASSERT_EQ(search.result->keys.size(), 1u);
  EXPECT_EQ(search.result->keys[0], LabelSequence(40, 3));

  // A lattice without any path makes one pass, as without a budget.
  VectorFst dead = WideLattice(3, 2);
  dead.SetFinal(3, Weight::Zero());
  const Search none = RunSearch(dead, 5, budget);
  ASSERT_TRUE(none.result.ok());
  EXPECT_TRUE(none.result->keys.empty());
  EXPECT_EQ(none.requests, std::vector<std::uint64_t>({40}));
}

TEST(SearchBudgetTest, ExhaustedLatticesStillMakeEveryPass) {
  // Fewer paths than asked is not a cut: the passes go on to the cap.
  const Search search = RunSearch(WideLattice(2, 2), 5);
  ASSERT_TRUE(search.result.ok());
  EXPECT_EQ(search.requests, std::vector<std::uint64_t>({40, 80, 160, 320, 640, 1280}));
  EXPECT_EQ(search.result->keys.size(), 4u);
}

}  // namespace
}  // namespace vurel
