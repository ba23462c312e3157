#include "model/model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "model/fst_file.h"

namespace vurel {
namespace {

using ArcTuple = std::tuple<int, Label, Label, float, int>;

template <class Fst>
std::vector<ArcTuple> ArcsOf(const Fst &fst) {
  std::vector<ArcTuple> arcs;
  for (int state = 0; state < fst.NumStates(); ++state) {
    for (fst::ArcIterator<Fst> it(fst, state); !it.Done(); it.Next()) {
      const Arc &arc = it.Value();
      arcs.emplace_back(state, arc.ilabel, arc.olabel, arc.weight.Value(),
                        arc.nextstate);
    }
  }
  return arcs;
}

fst::SymbolTable MakeTable(const std::vector<std::string> &texts) {
  fst::SymbolTable table;
  for (const std::string &text : texts) table.AddSymbol(text);
  return table;
}

// Three states; state 0 has arcs with equal input labels out of order of
// their output labels, so an unstable or (input, output) sort reorders them.
VectorFst MakeModelFst(bool input_table = true, bool output_table = true) {
  VectorFst fst;
  fst.AddStates(3);
  fst.SetStart(0);
  fst.AddArc(0, Arc(5, 4, 0.5f, 1));
  fst.AddArc(0, Arc(3, 6, 1.0f, 2));
  fst.AddArc(0, Arc(5, 3, 1.5f, 2));
  fst.AddArc(0, Arc(3, 2, 2.0f, 1));
  fst.AddArc(0, Arc(0, 5, 2.5f, 1));
  fst.AddArc(1, Arc(4, 4, 0.25f, 2));
  fst.SetFinal(2, 0.0f);
  if (input_table) {
    const fst::SymbolTable symbols =
        MakeTable({"<eps>", "|", "_", "a", "b", "c", "a|b", ""});
    fst.SetInputSymbols(&symbols);
  }
  if (output_table) {
    const fst::SymbolTable symbols =
        MakeTable({"<eps>", "|", "_", "P", "T", "K", "P|_|T"});
    fst.SetOutputSymbols(&symbols);
  }
  return fst;
}

const std::vector<ArcTuple> kSortedModelArcs = {
    {0, 0, 5, 2.5f, 1}, {0, 3, 6, 1.0f, 2}, {0, 3, 2, 2.0f, 1},
    {0, 5, 4, 0.5f, 1}, {0, 5, 3, 1.5f, 2}, {1, 4, 4, 0.25f, 2}};

std::string TempPath(const std::string &name) {
  std::filesystem::create_directories(VUREL_TEST_TMPDIR);
  return std::string(VUREL_TEST_TMPDIR) + "/model-" + name;
}

TEST(ModelTest, ArcsWithEqualInputLabelsKeepTheirOrder) {
  const Result<Model> model = Model::FromFst(MakeModelFst(), "");
  ASSERT_TRUE(model.ok()) << model.error().message;
  EXPECT_EQ(ArcsOf(model->fst()), kSortedModelArcs);
  EXPECT_TRUE(model->fst().Properties(fst::kILabelSorted, false));
  EXPECT_EQ(model->fst().Final(2), Weight::One());
}

TEST(ModelTest, LoadSortsArcsAndBuildsTables) {
  const std::string path = TempPath("load.fst");
  ASSERT_TRUE(WriteFstFile(MakeModelFst(), path).ok());
  const Result<Model> model = Model::Load(path, "+");
  ASSERT_TRUE(model.ok()) << model.error().message;
  EXPECT_EQ(ArcsOf(model->fst()), kSortedModelArcs);
  EXPECT_TRUE(model->fst().Properties(fst::kILabelSorted, false));
  EXPECT_EQ(model->delimiter(), "+");
  // The tables are the FST's own, not copies.
  EXPECT_EQ(&model->input_symbols(), model->fst().InputSymbols());
  EXPECT_EQ(&model->output_symbols(), model->fst().OutputSymbols());
  EXPECT_EQ(model->input_clusters().clusters.at(LabelSequence({3, 4})), 6u);
  EXPECT_EQ(model->input_clusters().longest, 2u);
  EXPECT_EQ(model->output_clusters().decompositions.at(6),
            LabelSequence({3, 2, 4}));
  EXPECT_EQ(model->output_clusters().longest, 3u);
  EXPECT_EQ(model->veto_set(), VetoSet({0, 1, 2}));
}

TEST(ModelTest, MissingFileIsInvalidInput) {
  const Result<Model> model = Model::Load(TempPath("does-not-exist.fst"), "");
  ASSERT_FALSE(model.ok());
  EXPECT_EQ(model.error().code, ErrorCode::kInvalidInput);
  EXPECT_EQ(model.error().message.rfind("failed to read FST: ", 0), 0u)
      << model.error().message;
}

TEST(ModelTest, MissingSymbolTablesAreNamed) {
  struct Case {
    bool input_table, output_table;
    const char *message;
  };
  for (const Case &c : std::vector<Case>{
           {false, false, "FST is missing input symbol table"},
           {false, true, "FST is missing input symbol table"},
           {true, false, "FST is missing output symbol table"},
       }) {
    const VectorFst fst = MakeModelFst(c.input_table, c.output_table);
    const Result<Model> built = Model::FromFst(fst, "");
    ASSERT_FALSE(built.ok());
    EXPECT_EQ(built.error().code, ErrorCode::kInvalidInput);
    EXPECT_EQ(built.error().message, c.message);

    const std::string path = TempPath("tables.fst");
    ASSERT_TRUE(WriteFstFile(fst, path).ok());
    const Result<Model> loaded = Model::Load(path, "");
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().code, ErrorCode::kInvalidInput);
    EXPECT_EQ(loaded.error().message, c.message);
  }
}

TEST(ModelTest, LookupsByTextAndLabel) {
  const Result<Model> model = Model::FromFst(MakeModelFst(), "");
  ASSERT_TRUE(model.ok());
  // The input table has 8 symbols, the last one empty.
  EXPECT_EQ(model->FindInputLabel("a|b"), 6u);
  EXPECT_EQ(model->FindInputLabel(""), 7u);
  EXPECT_EQ(model->FindInputLabel("A"), std::nullopt);
  EXPECT_EQ(model->FindInputText(-1), std::nullopt);
  EXPECT_EQ(model->FindInputText(0), "<eps>");
  EXPECT_EQ(model->FindInputText(7), "");
  EXPECT_EQ(model->FindInputText(8), std::nullopt);
  // The output table has no empty symbol and 7 symbols.
  EXPECT_EQ(model->FindOutputLabel(""), std::nullopt);
  EXPECT_EQ(model->FindOutputLabel("K"), 5u);
  EXPECT_EQ(model->FindOutputLabel("a"), std::nullopt);
  EXPECT_EQ(model->FindOutputText(6), "P|_|T");
  EXPECT_EQ(model->FindOutputText(7), std::nullopt);
  EXPECT_EQ(model->FindOutputText(-1), std::nullopt);
  EXPECT_EQ(model->FindOutputText(std::int64_t{1} << 32), std::nullopt);
  EXPECT_EQ(model->FindOutputLabel(*model->FindOutputText(5)), 5u);
}

// Arcs without equal input labels, so OpenFst's own sort gives the same
// order and its properties can serve as the reference.
VectorFst MakeUntiedFst(bool acceptor) {
  VectorFst fst;
  fst.AddStates(4);
  fst.SetStart(0);
  const auto out = [&](Label label) { return acceptor ? label : label + 10; };
  fst.AddArc(0, Arc(7, out(7), 1.0f, 1));
  fst.AddArc(0, Arc(2, out(2), 0.0f, 2));
  fst.AddArc(0, Arc(0, out(0), 0.5f, 3));
  fst.AddArc(1, Arc(1, out(1), 0.0f, 2));
  fst.AddArc(1, Arc(3, out(3), 0.0f, 3));
  fst.AddArc(2, Arc(9, out(9), 0.0f, 0));
  fst.AddArc(2, Arc(4, out(4), 0.0f, 3));
  fst.SetFinal(3, 0.0f);
  return fst;
}

TEST(StableSortArcsByInputTest, PropertiesMatchOpenFstArcSort) {
  for (const bool acceptor : {true, false}) {
    for (const bool computed : {false, true}) {
      VectorFst ours = MakeUntiedFst(acceptor);
      // Either only the properties tracked while building are known, or
      // all of them have been computed.
      if (computed) ours.Properties(fst::kFstProperties, true);
      VectorFst reference(ours);
      fst::ArcSort(&reference, fst::ILabelCompare<Arc>());
      StableSortArcsByInput(ours);
      EXPECT_EQ(ArcsOf(ours), ArcsOf(reference));
      EXPECT_EQ(ours.Properties(fst::kFstProperties, false),
                reference.Properties(fst::kFstProperties, false))
          << "acceptor " << acceptor << ", computed " << computed;
      EXPECT_TRUE(ours.Properties(fst::kILabelSorted, false));
      EXPECT_EQ(ours.Properties(fst::kOLabelSorted, false) != 0, acceptor);
    }
  }
}

TEST(StableSortArcsByInputTest, SortedFstGetsSortedProperty) {
  VectorFst ours;
  ours.AddStates(2);
  ours.SetStart(0);
  ours.AddArc(0, Arc(1, 2, 0.0f, 1));
  ours.AddArc(0, Arc(2, 1, 0.0f, 1));
  ours.SetProperties(0, fst::kILabelSorted | fst::kNotILabelSorted);
  VectorFst reference(ours);
  fst::ArcSort(&reference, fst::ILabelCompare<Arc>());
  StableSortArcsByInput(ours);
  EXPECT_EQ(ArcsOf(ours), ArcsOf(reference));
  EXPECT_EQ(ours.Properties(fst::kFstProperties, false),
            reference.Properties(fst::kFstProperties, false));
}

TEST(StableSortArcsByInputTest, FstWithoutStartIsLeftAsOpenFstLeavesIt) {
  VectorFst ours = MakeUntiedFst(false);
  ours.SetStart(fst::kNoStateId);
  VectorFst reference(ours);
  fst::ArcSort(&reference, fst::ILabelCompare<Arc>());
  StableSortArcsByInput(ours);
  EXPECT_EQ(ArcsOf(ours), ArcsOf(reference));
  EXPECT_EQ(ours.Properties(fst::kFstProperties, false),
            reference.Properties(fst::kFstProperties, false));
}

TEST(StableSortArcsByInputTest, CopiesSharingTheFstAreUntouched) {
  VectorFst original = MakeUntiedFst(true);
  const std::vector<ArcTuple> before = ArcsOf(original);
  VectorFst sorted(original);
  StableSortArcsByInput(sorted);
  EXPECT_EQ(ArcsOf(original), before);
  EXPECT_NE(ArcsOf(sorted), before);
}

}  // namespace
}  // namespace vurel
