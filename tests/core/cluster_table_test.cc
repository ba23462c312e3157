#include "cluster_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vurel {
namespace {

fst::SymbolTable MakeTable(const std::vector<std::string> &texts) {
  fst::SymbolTable table;
  for (const std::string &text : texts) table.AddSymbol(text);
  return table;
}

LabelSequence DecompositionOf(const ClusterTable &table, Label label) {
  const auto entry = table.decompositions.find(label);
  EXPECT_NE(entry, table.decompositions.end()) << "no entry for " << label;
  return entry == table.decompositions.end() ? LabelSequence{} : entry->second;
}

TEST(ClusterTableTest, TablesOfUpToTwoSymbolsHaveNoEntries) {
  for (const auto &texts : std::vector<std::vector<std::string>>{
           {}, {"<eps>"}, {"<eps>", "|"}}) {
    const ClusterTable table = BuildClusterTable(MakeTable(texts));
    EXPECT_TRUE(table.decompositions.empty()) << texts.size();
    EXPECT_TRUE(table.clusters.empty()) << texts.size();
    EXPECT_EQ(table.longest, 1u) << texts.size();
  }
}

TEST(ClusterTableTest, PlainSymbolsDecomposeIntoThemselves) {
  const ClusterTable table =
      BuildClusterTable(MakeTable({"<eps>", "|", "_", "a", "b"}));
  EXPECT_EQ(table.decompositions.size(), 3u);
  EXPECT_EQ(DecompositionOf(table, 2), LabelSequence({2}));
  EXPECT_EQ(DecompositionOf(table, 3), LabelSequence({3}));
  EXPECT_EQ(DecompositionOf(table, 4), LabelSequence({4}));
  EXPECT_FALSE(table.decompositions.contains(0));
  EXPECT_FALSE(table.decompositions.contains(1));
  EXPECT_EQ(table.clusters.at(LabelSequence({4})), 4u);
  EXPECT_EQ(table.longest, 1u);
}

TEST(ClusterTableTest, ClustersSplitAtTheTie) {
  // 0 <eps>, 1 |, 2 _, 3 a, 4 b, 5 c, 6 a|b, 7 a|x|c, 8 |a||b|, 9 a|b|c
  const ClusterTable table = BuildClusterTable(MakeTable(
      {"<eps>", "|", "_", "a", "b", "c", "a|b", "a|x|c", "|a||b|", "a|b|c"}));
  EXPECT_EQ(DecompositionOf(table, 6), LabelSequence({3, 4}));
  // The unknown piece x is dropped, the others kept in order.
  EXPECT_EQ(DecompositionOf(table, 7), LabelSequence({3, 5}));
  // Leading, trailing and doubled ties give no empty pieces.
  EXPECT_EQ(DecompositionOf(table, 8), LabelSequence({3, 4}));
  EXPECT_EQ(DecompositionOf(table, 9), LabelSequence({3, 4, 5}));
  EXPECT_EQ(table.longest, 3u);
  EXPECT_EQ(table.clusters.at(LabelSequence({3, 5})), 7u);
  EXPECT_EQ(table.clusters.at(LabelSequence({3, 4, 5})), 9u);
}

TEST(ClusterTableTest, TextsMadeOfTiesDecomposeIntoNothing) {
  // Texts in a table are unique, so the tie itself cannot recur at label 2
  // or above; runs of ties can.
  const ClusterTable table =
      BuildClusterTable(MakeTable({"<eps>", "+", "++", "+++", "a"}));
  EXPECT_TRUE(DecompositionOf(table, 2).empty());
  EXPECT_TRUE(DecompositionOf(table, 3).empty());
  EXPECT_EQ(table.clusters.at(LabelSequence{}), 3u);
  EXPECT_EQ(table.longest, 1u);
  LabelSequence uniques;
  AppendDecomposition(table, MakeVetoSet(), 3, uniques);
  EXPECT_TRUE(uniques.empty());
}

TEST(ClusterTableTest, MultiByteTieSplitsWithoutOverlap) {
  // Tie "::"; ":::" holds one tie and a leftover ":" that is no symbol.
  const ClusterTable table = BuildClusterTable(
      MakeTable({"<eps>", "::", "a", "b", "a::b", "a:::b", ":"}));
  EXPECT_EQ(DecompositionOf(table, 4), LabelSequence({2, 3}));
  // Split as "a", ":b": ":b" is not a symbol.
  EXPECT_EQ(DecompositionOf(table, 5), LabelSequence({2}));
}

TEST(ClusterTableTest, EmptyTieSplitsIntoCharacters) {
  const ClusterTable table = BuildClusterTable(
      MakeTable({"<eps>", "", "a", "é", "aé", "axa", "\xff" "a"}));
  EXPECT_EQ(DecompositionOf(table, 2), LabelSequence({2}));
  // é is two bytes but one character.
  EXPECT_EQ(DecompositionOf(table, 3), LabelSequence({3}));
  EXPECT_EQ(DecompositionOf(table, 4), LabelSequence({2, 3}));
  EXPECT_EQ(DecompositionOf(table, 5), LabelSequence({2, 2}));
  // A byte that is not UTF-8 is a character of its own, and no symbol.
  EXPECT_EQ(DecompositionOf(table, 6), LabelSequence({2}));
  EXPECT_EQ(table.longest, 2u);
}

TEST(ClusterTableTest, EqualDecompositionsMapToTheLargerLabel) {
  const ClusterTable table = BuildClusterTable(
      MakeTable({"<eps>", "|", "a", "b", "a|b", "|a|b", "a||b"}));
  EXPECT_EQ(table.clusters.at(LabelSequence({2, 3})), 6u);
  EXPECT_EQ(DecompositionOf(table, 4), LabelSequence({2, 3}));
  EXPECT_EQ(DecompositionOf(table, 5), LabelSequence({2, 3}));
  EXPECT_EQ(DecompositionOf(table, 6), LabelSequence({2, 3}));
}

TEST(ClusterTableTest, TieIsTheTextOfSymbolOne) {
  // With "-" at label 1, "a|b" is a plain symbol and "a-b" a cluster.
  const ClusterTable table =
      BuildClusterTable(MakeTable({"<eps>", "-", "a", "b", "a|b", "a-b"}));
  EXPECT_EQ(DecompositionOf(table, 4), LabelSequence({4}));
  EXPECT_EQ(DecompositionOf(table, 5), LabelSequence({2, 3}));
}

TEST(LabelSequenceHashTest, DependsOnOrderAndLength) {
  const LabelSequenceHash hash;
  EXPECT_EQ(hash({1, 2, 3}), hash({1, 2, 3}));
  EXPECT_NE(hash({1, 2}), hash({2, 1}));
  EXPECT_NE(hash({}), hash({0}));
  EXPECT_NE(hash({0}), hash({0, 0}));
}

TEST(OutputDecompositionTest, VetoedAndUnknownLabelsContributeNothing) {
  // 0 <eps>, 1 |, 2 _, 3 p, 4 t, 5 p|t, 6 _|p, 7 <eps>|t; 8 is no label.
  const ClusterTable table = BuildClusterTable(
      MakeTable({"<eps>", "|", "_", "p", "t", "p|t", "_|p", "<eps>|t"}));
  const VetoSet veto = MakeVetoSet();
  EXPECT_EQ(veto, VetoSet({0, 1, 2}));
  const auto contribution = [&](Label label) {
    LabelSequence uniques = {99};
    AppendDecomposition(table, veto, label, uniques);
    return uniques;
  };
  EXPECT_EQ(contribution(0), LabelSequence({99}));
  EXPECT_EQ(contribution(1), LabelSequence({99}));
  EXPECT_EQ(contribution(2), LabelSequence({99}));
  EXPECT_EQ(contribution(3), LabelSequence({99, 3}));
  EXPECT_EQ(contribution(5), LabelSequence({99, 3, 4}));
  // Cluster pieces that are symbols 0, 1 or 2 are dropped too.
  EXPECT_EQ(contribution(6), LabelSequence({99, 3}));
  EXPECT_EQ(contribution(7), LabelSequence({99, 4}));
  EXPECT_EQ(contribution(8), LabelSequence({99}));
  EXPECT_EQ(contribution(1000), LabelSequence({99}));
}

}  // namespace
}  // namespace vurel
