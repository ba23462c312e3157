#include "driver/word_acceptor.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace vurel {
namespace {

// (from, label, to) for every arc, in state order and then arc order; also
// checks what holds for every acceptor: input label equals output label,
// weights are 0, states 0..n with start 0 and only state n final with 0.
using ArcTriple = std::tuple<int, Label, int>;

std::vector<ArcTriple> CheckedArcs(const VectorFst &acceptor,
                                   std::size_t word_length) {
  std::vector<ArcTriple> arcs;
  EXPECT_EQ(acceptor.NumStates(), static_cast<int>(word_length + 1));
  EXPECT_EQ(acceptor.Start(), 0);
  EXPECT_EQ(acceptor.InputSymbols(), nullptr);
  EXPECT_EQ(acceptor.OutputSymbols(), nullptr);
  for (int state = 0; state < acceptor.NumStates(); ++state) {
    const bool last = state == static_cast<int>(word_length);
    EXPECT_EQ(acceptor.Final(state),
              last ? Weight::One() : Weight::Zero()) << state;
    for (fst::ArcIterator<VectorFst> it(acceptor, state); !it.Done();
         it.Next()) {
      const Arc &arc = it.Value();
      EXPECT_EQ(arc.ilabel, arc.olabel);
      EXPECT_EQ(arc.weight, Weight::One());
      EXPECT_GT(arc.nextstate, state);
      arcs.emplace_back(state, arc.ilabel, arc.nextstate);
    }
  }
  return arcs;
}

ClusterTable WithClusters(
    std::size_t longest,
    const std::vector<std::pair<LabelSequence, Label>> &clusters) {
  ClusterTable table;
  table.longest = longest;
  for (const auto &[decomposition, label] : clusters) {
    table.clusters.emplace(decomposition, label);
    table.decompositions.emplace(label, decomposition);
  }
  return table;
}

constexpr Label kA = 3, kB = 4, kC = 5;

TEST(WordAcceptorTest, OneLabelGivesOneArc) {
  const VectorFst acceptor = BuildWordAcceptor({kA}, ClusterTable{});
  EXPECT_EQ(CheckedArcs(acceptor, 1), std::vector<ArcTriple>({{0, kA, 1}}));
}

TEST(WordAcceptorTest, LongestOfOneGivesAPlainChain) {
  // The cluster map is not consulted at all when longest is 1.
  const ClusterTable table = WithClusters(1, {{{kA, kB}, 9}});
  const VectorFst acceptor = BuildWordAcceptor({kA, kB, kA, kB}, table);
  EXPECT_EQ(CheckedArcs(acceptor, 4),
            std::vector<ArcTriple>(
                {{0, kA, 1}, {1, kB, 2}, {2, kA, 3}, {3, kB, 4}}));
  EXPECT_TRUE(acceptor.Properties(fst::kAcceptor, true));
  EXPECT_TRUE(acceptor.Properties(fst::kAcyclic, true));
}

TEST(WordAcceptorTest, ClusterArcsFollowTheSingleArc) {
  const ClusterTable table = WithClusters(2, {{{kA, kB}, 9}});
  EXPECT_EQ(CheckedArcs(BuildWordAcceptor({kA, kB, kC}, table), 3),
            std::vector<ArcTriple>(
                {{0, kA, 1}, {0, 9, 2}, {1, kB, 2}, {2, kC, 3}}));
}

TEST(WordAcceptorTest, OverlappingClustersBothGetArcs) {
  // Cluster labels below the single label keep their place after it.
  const ClusterTable table = WithClusters(
      3, {{{kA, kB}, 1}, {{kB, kC}, 2}, {{kA, kB, kC}, 7}, {{kA}, 8}});
  EXPECT_EQ(CheckedArcs(BuildWordAcceptor({kA, kB, kC}, table), 3),
            std::vector<ArcTriple>({{0, kA, 1},
                                    {0, 1, 2},
                                    {0, 7, 3},
                                    {1, kB, 2},
                                    {1, 2, 3},
                                    {2, kC, 3}}));
}

TEST(WordAcceptorTest, ClustersLongerThanTheRestOfTheWordGetNoArc) {
  const ClusterTable table =
      WithClusters(3, {{{kA, kB, kC}, 7}, {{kB, kC, kA}, 8}, {{kA}, 9}});
  // The length-1 entry {a} never adds an arc: lookups start at length 2.
  EXPECT_EQ(CheckedArcs(BuildWordAcceptor({kA, kB}, table), 2),
            std::vector<ArcTriple>({{0, kA, 1}, {1, kB, 2}}));
  EXPECT_EQ(CheckedArcs(BuildWordAcceptor({kB, kC, kA, kB, kC}, table), 5),
            std::vector<ArcTriple>({{0, kB, 1},
                                    {0, 8, 3},
                                    {1, kC, 2},
                                    {2, kA, 3},
                                    {2, 7, 5},
                                    {3, kB, 4},
                                    {4, kC, 5}}));
}

TEST(WordAcceptorTest, BuiltFromATableOfSymbols) {
  fst::SymbolTable symbols;
  for (const char *text : {"<eps>", "|", "_", "a", "b", "c", "a|b|c"}) {
    symbols.AddSymbol(text);
  }
  const ClusterTable table = BuildClusterTable(symbols);
  EXPECT_EQ(CheckedArcs(BuildWordAcceptor({kA, kB, kC}, table), 3),
            std::vector<ArcTriple>(
                {{0, kA, 1}, {0, 6, 3}, {1, kB, 2}, {2, kC, 3}}));
}

}  // namespace
}  // namespace vurel
