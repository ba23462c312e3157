#include "reference/composition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "fst_builder.h"

namespace vurel {
namespace {

using test_fst::ArcSpec;
using test_fst::MakeFst;

ModelFst SortedModel(int num_states, const std::vector<ArcSpec> &arcs,
                     const std::vector<std::pair<int, float>> &finals) {
  VectorFst model = MakeFst(num_states, arcs, finals);
  fst::ArcSort(&model, fst::ILabelCompare<Arc>());
  return ModelFst(model);
}

// A linear acceptor of `labels`.
VectorFst Chain(const std::vector<int> &labels) {
  std::vector<ArcSpec> arcs;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    arcs.push_back({static_cast<int>(i), labels[i], labels[i], 0.0f, static_cast<int>(i) + 1});
  }
  return MakeFst(static_cast<int>(labels.size()) + 1, arcs,
                 {{static_cast<int>(labels.size()), 0.0f}});
}

using Path = std::tuple<std::vector<int>, std::vector<int>, float>;

// Every successful path of an acyclic FST: input labels, output labels and
// weight, sorted.
std::vector<Path> AllPaths(const VectorFst &fst) {
  std::vector<Path> paths;
  if (fst.Start() == fst::kNoStateId) return paths;
  std::vector<Path> stack = {{{}, {}, 0.0f}};
  std::vector<int> states = {fst.Start()};
  while (!states.empty()) {
    const int state = states.back();
    Path path = std::move(stack.back());
    states.pop_back();
    stack.pop_back();
    if (fst.Final(state) != Weight::Zero()) {
      paths.emplace_back(std::get<0>(path), std::get<1>(path),
                         std::get<2>(path) + fst.Final(state).Value());
    }
    for (fst::ArcIterator<VectorFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      Path next = path;
      std::get<0>(next).push_back(arc.ilabel);
      std::get<1>(next).push_back(arc.olabel);
      std::get<2>(next) += arc.weight.Value();
      stack.push_back(std::move(next));
      states.push_back(arc.nextstate);
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Input 3 = a, 4 = b, 5 = the cluster ab; outputs 3 = A, 4 = B, 6 = X.
// State 1 can emit X without reading; state 4 is a dead end after a.
ModelFst Model() {
  return SortedModel(5,
                     {{0, 3, 3, 1.0f, 1},
                      {0, 3, 3, 4.0f, 4},
                      {1, 0, 6, 0.5f, 2},
                      {2, 4, 4, 1.0f, 3},
                      {1, 4, 4, 2.0f, 3},
                      {0, 5, 6, 2.5f, 3}},
                     {{3, 0.25f}});
}

TEST(PrepareLatticeTest, PathsAreThoseOfTheModelThatReadTheWord) {
  const Result<VectorFst> lattice = PrepareLattice(Chain({3, 4}), Model());
  ASSERT_TRUE(lattice.ok());
  const std::vector<Path> expected = {
      {{3, 0, 4}, {3, 6, 4}, 2.75f},  // reads a, emits X with no input, reads b
      {{3, 4}, {3, 4}, 3.25f},
  };
  EXPECT_EQ(AllPaths(*lattice), expected);
  // Trimmed: the dead end after a (state 4 of the model) is gone.
  EXPECT_EQ(lattice->Properties(fst::kAccessible | fst::kCoAccessible, true),
            fst::kAccessible | fst::kCoAccessible);
  EXPECT_EQ(lattice->NumStates(), 4);
}

TEST(PrepareLatticeTest, AWordTheModelCannotReadGivesNoStates) {
  const Result<VectorFst> lattice = PrepareLattice(Chain({4, 3}), Model());
  ASSERT_TRUE(lattice.ok());
  EXPECT_EQ(lattice->NumStates(), 0);
  EXPECT_EQ(lattice->Start(), fst::kNoStateId);
}

TEST(PrepareLatticeTest, ClusterArcBelowTheSingleLabelArcBeforeItComposes) {
  // The cluster ab has label 2, below the label 3 of a that precedes it, so
  // the acceptor is not sorted on its labels.
  const ModelFst model = SortedModel(3,
                                      {{0, 3, 3, 1.0f, 1},
                                       {1, 4, 4, 1.0f, 2},
                                       {0, 2, 6, 1.5f, 2}},
                                      {{2, 0.0f}});
  const VectorFst acceptor =
      MakeFst(3, {{0, 3, 3, 0.0f, 1}, {0, 2, 2, 0.0f, 2}, {1, 4, 4, 0.0f, 2}}, {{2, 0.0f}});
  ASSERT_FALSE(acceptor.Properties(fst::kOLabelSorted, true));
  VectorFst sorted = acceptor;
  fst::ArcSort(&sorted, fst::OLabelCompare<Arc>());

  const Result<VectorFst> lattice = PrepareLattice(acceptor, model);
  const Result<VectorFst> from_sorted = PrepareLattice(sorted, model);
  ASSERT_TRUE(lattice.ok());
  ASSERT_TRUE(from_sorted.ok());
  const std::vector<Path> expected = {
      {{2}, {6}, 1.5f},
      {{3, 4}, {3, 4}, 2.0f},
  };
  EXPECT_EQ(AllPaths(*lattice), expected);
  EXPECT_EQ(AllPaths(*from_sorted), expected);
}

// A model that reads any number of a (label 3) on one state, emitting A.
ModelFst LoopModel() {
  return SortedModel(1, {{0, 3, 3, 1.0f, 0}, {0, 0, 6, 2.0f, 0}}, {{0, 0.0f}});
}

TEST(PrepareLatticeTest, ExpansionEqualsOpenFstsCopyOfTheComposition) {
  for (const ModelFst &model : {Model(), LoopModel()}) {
    for (const std::vector<int> &word :
         {std::vector<int>{3, 4}, std::vector<int>{3, 3, 3}, std::vector<int>{3, 0, 4}}) {
      VectorFst acceptor = Chain(word);
      fst::ComposeFstOptions<Arc> options;
      VectorFst expected(fst::ComposeFst<Arc>(acceptor, model, options));
      fst::Connect(&expected);
      const Result<VectorFst> lattice = PrepareLattice(std::move(acceptor), model);
      ASSERT_TRUE(lattice.ok());
      EXPECT_TRUE(fst::Equal(*lattice, expected, fst::kDelta));
      EXPECT_EQ(lattice->Properties(fst::kFstProperties, false),
                expected.Properties(fst::kFstProperties, false));
    }
  }
}

TEST(PrepareLatticeTest, ExpansionStopsAtItsBudgetOrWhenCancelled) {
  // Word of n letters: n + 1 lattice states, 2n + 1 arcs.
  const std::vector<int> word(20, 3);
  EXPECT_TRUE(PrepareLattice(Chain(word), LoopModel(), {.states = 21, .arcs = 41}).ok());
  const Result<VectorFst> states = PrepareLattice(Chain(word), LoopModel(), {.states = 20});
  ASSERT_FALSE(states.ok());
  EXPECT_EQ(states.error().code, ErrorCode::kOverBudget);
  const Result<VectorFst> arcs = PrepareLattice(Chain(word), LoopModel(), {.arcs = 40});
  ASSERT_FALSE(arcs.ok());
  EXPECT_EQ(arcs.error().code, ErrorCode::kOverBudget);

  const std::atomic<bool> cancelled{true};
  const std::vector<int> long_word(2000, 3);
  EXPECT_TRUE(PrepareLattice(Chain(long_word), LoopModel()).ok());
  const Result<VectorFst> stopped =
      PrepareLattice(Chain(long_word), LoopModel(), {}, &cancelled);
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().code, ErrorCode::kCancelled);
}

fst::SymbolTable Symbols(const std::string &name, const std::vector<std::string> &texts) {
  fst::SymbolTable symbols(name);
  for (const std::string &text : texts) symbols.AddSymbol(text);
  return symbols;
}

ModelFst WithSymbols(const ModelFst &model, const fst::SymbolTable *input,
                     const fst::SymbolTable *output) {
  VectorFst copy(model);
  copy.SetInputSymbols(input);
  copy.SetOutputSymbols(output);
  return ModelFst(copy);
}

TEST(PrepareLatticeTest, LatticeTakesInputSymbolsFromTheWordAndOutputFromTheModel) {
  const fst::SymbolTable graphemes = Symbols("in", {"<eps>", "|", "_", "a", "b", "ab"});
  const fst::SymbolTable phonemes = Symbols("out", {"<eps>", "|", "_", "A", "B", "C", "X"});
  const ModelFst model = WithSymbols(Model(), &graphemes, &phonemes);
  VectorFst acceptor = Chain({3, 4});
  acceptor.SetInputSymbols(&graphemes);
  acceptor.SetOutputSymbols(&graphemes);

  const Result<VectorFst> lattice = PrepareLattice(std::move(acceptor), model);
  ASSERT_TRUE(lattice.ok());
  ASSERT_NE(lattice->InputSymbols(), nullptr);
  ASSERT_NE(lattice->OutputSymbols(), nullptr);
  EXPECT_EQ(lattice->InputSymbols()->Name(), "in");
  EXPECT_EQ(lattice->OutputSymbols()->Name(), "out");
  EXPECT_EQ(lattice->OutputSymbols()->Find(6), "X");
}

TEST(PrepareLatticeTest, AnOpenFstErrorIsReturnedQuietly) {
  // The word's output symbols differ from the model's input symbols, which
  // OpenFst refuses to compose.
  const fst::SymbolTable graphemes = Symbols("in", {"<eps>", "|", "_", "a", "b"});
  const fst::SymbolTable others = Symbols("other", {"<eps>", "x", "y", "z", "w"});
  const ModelFst model = WithSymbols(Model(), &graphemes, nullptr);
  VectorFst acceptor = Chain({3, 4});
  acceptor.SetOutputSymbols(&others);

  testing::internal::CaptureStderr();
  const Result<VectorFst> lattice = PrepareLattice(std::move(acceptor), model);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_FALSE(lattice.ok());
  EXPECT_EQ(lattice.error().code, ErrorCode::kInternal);
}

}  // namespace
}  // namespace vurel
