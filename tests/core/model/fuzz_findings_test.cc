// Files the model reader fuzzer found faults with, kept byte for byte, and
// the faults they stand for, written out by hand.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "model/fst_file.h"
#include "model/model.h"

namespace vurel {
namespace {

std::vector<std::byte> FromHex(std::string_view hex) {
  std::vector<std::byte> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

Result<Model> LoadFinding(std::string_view hex) {
  Result<VectorFst> fst = ParseFst(FromHex(hex));
  if (!fst.ok()) return fst.error();
  return Model::FromFst(std::move(fst).value(), "");
}

std::vector<PathData> Decode(const Model &model, const std::string &word) {
  PhoneticizeOptions options;
  options.nbest = 3;
  return Phoneticize(model, word, options);
}

// The read past the end that these files once caused need not crash in an
// optimised build, so each test checks what a correct load keeps of the
// header's claims and what the model decodes, worked out from its arcs.

// A header claiming "top sorted", "acyclic" and more for a model with a
// loop: OpenFst's shortest distance trusted the claim and indexed its
// queue out of bounds. The model is 0 -a:A/1-> 1 (final), with a loop
// <eps>:B/0.5 on state 1.
TEST(FuzzFindingsTest, FalsePropertyClaimsInTheHeader) {
  Result<Model> model = LoadFinding(
      "d6fdb27e06000000766563746f72080000007374616e6461726402000000030000000000"
      "0000fefffffd00000000000000000200000000000000020000000000000074fbb27e0700"
      "000073796d626f6c7307000000000000000700000000000000050000003c6570733e0000"
      "000000000000010000007c0100000000000000010000005f020000000000000001000000"
      "610300000000000000010000006204000000000000000100000063050000000000000003"
      "000000617c62060000000000000074fbb27e0700000073796d626f6c7307000000000000"
      "000700000000000000050000003c6570733e0000000000000000010000007c0100000000"
      "000000010000005f02000000000000000100000041030000000000000001000000420400"
      "000000000000010000004b050000000000000003000000417c4706000000000000000000"
      "807f010000000000000003000000030000000000803f0100000000000000010000000000"
      "000000000000040000000000003f01000000");
  ASSERT_TRUE(model.ok()) << model.error().message;
  EXPECT_EQ(model->fst().Properties(fst::kAcyclic | fst::kTopSorted | fst::kString |
                                        fst::kUnweighted | fst::kUnweightedCycles |
                                        fst::kNoEpsilons | fst::kNoIEpsilons | fst::kAcceptor,
                                    false),
            0u);
  // The fuzzer's word: nothing follows the first "a".
  EXPECT_TRUE(Decode(*model, "abca|b").empty());
  const std::vector<PathData> paths = Decode(*model, "a");
  ASSERT_EQ(paths.size(), 3u);
  for (std::size_t loops = 0; loops < paths.size(); ++loops) {
    SCOPED_TRACE(loops);
    std::vector<Label> uniques = {3};
    std::vector<Label> ilabels = {3};
    std::vector<float> weights = {1.0f};
    uniques.resize(1 + loops, 4);
    ilabels.resize(1 + loops, 0);
    weights.resize(1 + loops, 0.5f);
    EXPECT_EQ(paths[loops].path_weight, 1.0f + 0.5f * static_cast<float>(loops));
    EXPECT_EQ(paths[loops].uniques, uniques);
    EXPECT_EQ(paths[loops].olabels, uniques);
    EXPECT_EQ(paths[loops].ilabels, ilabels);
    EXPECT_EQ(paths[loops].path_weights, weights);
  }
}

// A header claiming "unweighted cycles" for a model without a start state:
// OpenFst's property computation read an empty table of components. Without
// a start state no word has a path.
TEST(FuzzFindingsTest, PropertyClaimsWithoutAStartState) {
  Result<Model> model = LoadFinding(
      "d6fdb27e06000000766563746f72080000007374616e6461726402000000030000005712"
      "ff245a7f0000ffffffffffffffff0100000000000000050000000000000074fbb27e0700"
      "000073796d626f6c7307000000000000000700000000000000050000003c6570733e0000"
      "000000000000010000007c0100000000000000010000005f020000000000000001000000"
      "610300000000000000010000006204000000000000000100000063050000000000000003"
      "000000617c62060000000000000074fbb27e0700000073796d626f6c7307000000000000"
      "000700000000000000050000003c6570733e0000000000000000010000007c0100000000"
      "000000010000005f02000000000000000100000041030000000000000001000000420400"
      "000000000000010000004b050000000000000003000000417c4206000000000000000000"
      "0000050000000000000003000000030000000000803f0000000004000000040000000000"
      "803f0000000005000000050000000000003f0000000006000000060000000000803e0000"
      "000003000000000000000000004000000000");
  ASSERT_TRUE(model.ok()) << model.error().message;
  EXPECT_EQ(model->fst().Properties(fst::kAcyclic | fst::kInitialAcyclic | fst::kAccessible |
                                        fst::kCoAccessible | fst::kUnweightedCycles,
                                    false),
            0u);
  EXPECT_TRUE(Decode(*model, "abca|b").empty());
  EXPECT_TRUE(Decode(*model, "a").empty());

  VectorFst fst;
  fst.AddState();
  fst.AddArc(0, Arc(3, 3, 2.0f, 0));
  fst.SetFinal(0, 0.0f);
  fst.SetProperties(fst::kAcyclic | fst::kUnweightedCycles | fst::kAccessible,
                    fst::kTrinaryProperties);
  FlatFst flat(fst);
  DropFalseProperties(flat);
  EXPECT_EQ(flat.Properties(fst::kAcyclic | fst::kUnweightedCycles | fst::kAccessible, false), 0u);
}

TEST(FuzzFindingsTest, OnlyTruePropertyClaimsSurviveLoading) {
  fst::SymbolTable symbols;
  for (const char *text : {"<eps>", "|", "_", "a"}) symbols.AddSymbol(text);
  VectorFst fst;
  fst.AddState();
  fst.AddState();
  fst.SetStart(1);
  fst.AddArc(1, Arc(3, 3, 1.0f, 0));
  fst.AddArc(0, Arc(3, 3, 1.0f, 1));
  fst.SetFinal(0, 0.0f);
  fst.SetInputSymbols(&symbols);
  fst.SetOutputSymbols(&symbols);
  // True: weighted, no epsilons, an acceptor. False: top sorted, acyclic,
  // unweighted cycles.
  const std::uint64_t truths = fst::kWeighted | fst::kNoEpsilons | fst::kAcceptor;
  fst.SetProperties(truths | fst::kTopSorted | fst::kAcyclic | fst::kUnweightedCycles,
                    fst::kTrinaryProperties);
  FlatFst copy(fst);
  DropFalseProperties(copy);
  const std::uint64_t known = copy.Properties(fst::kTrinaryProperties, false);
  EXPECT_EQ(known & truths, truths);
  EXPECT_EQ(known & (fst::kTopSorted | fst::kAcyclic | fst::kUnweightedCycles), 0u);

  Result<Model> model = Model::FromFst(std::move(fst), "");
  ASSERT_TRUE(model.ok());
  PhoneticizeOptions options;
  options.nbest = 4;
  const std::vector<PathData> paths = Phoneticize(*model, "aaa", options);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].uniques, std::vector<Label>({3, 3, 3}));
}

}  // namespace
}  // namespace vurel
