#include "model_fst.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fst_builder.h"
#include "model/flat_fst.h"

namespace vurel {
namespace {

using test_fst::ArcSpec;
using test_fst::MakeFst;

struct ShapeCase {
  std::string name;
  VectorFst fst;
};

// Each shape puts a state's run of arcs where an off-by-one in where runs
// begin and end would show.
std::vector<ShapeCase> Shapes() {
  VectorFst no_start = MakeFst(2, {{0, 3, 4, 1.0f, 1}}, {{1, 0.0f}});
  no_start.SetStart(fst::kNoStateId);
  return {
      {"NoStates", MakeFst(0, {}, {})},
      {"OneFinalStateWithoutArcs", MakeFst(1, {}, {{0, 0.5f}})},
      {"MiddleStateWithoutArcs",
       MakeFst(3, {{0, 0, 5, 1.0f, 1}, {0, 3, 0, 2.0f, 2}, {2, 4, 4, 0.25f, 0}}, {{2, 1.5f}})},
      {"ArcsOnlyOnTheLastState", MakeFst(3, {{2, 0, 0, 0.5f, 2}, {2, 3, 3, 1.0f, 1}}, {{1, 0.0f}})},
      {"EpsilonsOnBothSides",
       MakeFst(2, {{0, 0, 0, 1.0f, 1}, {0, 0, 7, 2.0f, 1}, {0, 6, 0, 3.0f, 1}, {1, 0, 0, 1.0f, 0}},
               {{1, 0.0f}})},
      {"NoStartState", std::move(no_start)},
  };
}

class ModelFstShapeTest : public testing::TestWithParam<ShapeCase> {};

// Everything a reader of the FST sees, through the generic interface and
// through the iterators that read the arrays directly.
void ExpectSame(const VectorFst &expected, const ModelFst &actual) {
  ASSERT_EQ(actual.NumStates(), expected.NumStates());
  EXPECT_EQ(actual.Start(), expected.Start());
  EXPECT_TRUE(fst::Equal(expected, static_cast<const fst::Fst<Arc> &>(actual)));
  for (fst::StateIterator<ModelFst> states(actual); !states.Done(); states.Next()) {
    const Arc::StateId state = states.Value();
    EXPECT_EQ(actual.Final(state), expected.Final(state)) << state;
    EXPECT_EQ(actual.NumArcs(state), expected.NumArcs(state)) << state;
    EXPECT_EQ(actual.NumInputEpsilons(state), expected.NumInputEpsilons(state)) << state;
    EXPECT_EQ(actual.NumOutputEpsilons(state), expected.NumOutputEpsilons(state)) << state;
    fst::ArcIterator<VectorFst> want(expected, state);
    for (fst::ArcIterator<ModelFst> got(actual, state); !got.Done(); got.Next(), want.Next()) {
      ASSERT_FALSE(want.Done()) << state;
      const Arc &arc = got.Value();
      EXPECT_EQ(arc.ilabel, want.Value().ilabel) << state;
      EXPECT_EQ(arc.olabel, want.Value().olabel) << state;
      EXPECT_EQ(arc.weight, want.Value().weight) << state;
      EXPECT_EQ(arc.nextstate, want.Value().nextstate) << state;
    }
    EXPECT_TRUE(want.Done()) << state;
  }
}

TEST_P(ModelFstShapeTest, HoldsTheSameStatesAndArcsWhicheverWayItIsBuilt) {
  const VectorFst &source = GetParam().fst;
  ExpectSame(source, ModelFst(source));
  ExpectSame(source, FlatFst(source).ReleaseAsModelFst());
}

TEST_P(ModelFstShapeTest, CopiesOutliveTheOriginal) {
  const VectorFst &source = GetParam().fst;
  auto original = std::make_unique<ModelFst>(source);
  const std::unique_ptr<ModelFst> copied(original->Copy());
  const ModelFst constructed(*original);
  original.reset();
  ExpectSame(source, *copied);
  ExpectSame(source, constructed);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ModelFstShapeTest, testing::ValuesIn(Shapes()),
                         [](const testing::TestParamInfo<ShapeCase> &info) { return info.param.name; });

TEST(ModelFstTest, KeepsTheSymbolTablesAndTheKnownProperties) {
  VectorFst source = MakeFst(2, {{0, 3, 4, 1.0f, 1}, {1, 3, 4, 1.0f, 0}}, {{1, 0.0f}});
  fst::SymbolTable graphemes;
  graphemes.AddSymbol("<eps>");
  fst::SymbolTable phonemes;
  phonemes.AddSymbol("<eps>");
  phonemes.AddSymbol("|");
  source.SetInputSymbols(&graphemes);
  source.SetOutputSymbols(&phonemes);
  FlatFst flat(source);
  flat.SetProperties(0, fst::kFstProperties);
  flat.SetProperties(fst::kILabelSorted, fst::kILabelSorted | fst::kNotILabelSorted);
  const ModelFst model = std::move(flat).ReleaseAsModelFst();
  ASSERT_NE(model.InputSymbols(), nullptr);
  ASSERT_NE(model.OutputSymbols(), nullptr);
  EXPECT_EQ(model.InputSymbols()->NumSymbols(), 1u);
  EXPECT_EQ(model.OutputSymbols()->Find(1), "|");
  EXPECT_EQ(model.Properties(fst::kILabelSorted | fst::kNotILabelSorted, false), fst::kILabelSorted);
  // Unknown bits stay unknown until tested, then stay known.
  EXPECT_EQ(model.Properties(fst::kCyclic | fst::kAcyclic, false), 0u);
  EXPECT_EQ(model.Properties(fst::kCyclic | fst::kAcyclic, true), fst::kCyclic);
  EXPECT_EQ(model.Properties(fst::kCyclic | fst::kAcyclic, false), fst::kCyclic);
}

}  // namespace
}  // namespace vurel
