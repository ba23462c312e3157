#include "driver/driver.h"

#include <fst/isomorphic.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "decode_test_model.h"
#include "fst_builder.h"
#include "model/fst_file.h"

namespace vurel {
namespace {

using testing_model::Descriptor2Capture;
using testing_model::MakeModel;
using testing_model::ScratchDirectory;
using testing_model::UnknownPieceMessage;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Key i is the label i + 3; its record has the i-th weight and ilabels {i}.
PathCollection Collection(const std::vector<float> &weights) {
  PathCollection collection;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    PathData path;
    path.path_weight = weights[i];
    path.path_weights = {weights[i]};
    path.ilabels = {static_cast<Label>(i)};
    path.olabels = {static_cast<Label>(i + 3)};
    path.uniques = {static_cast<Label>(i + 3)};
    collection.keys.push_back(path.uniques);
    collection.paths.emplace(path.uniques, std::move(path));
  }
  return collection;
}

// The ilabels entry of each selected record: which keys were kept.
std::vector<Label> KeptKeys(const std::vector<PathData> &paths) {
  std::vector<Label> kept;
  for (const PathData &path : paths) kept.push_back(path.ilabels.at(0));
  return kept;
}

std::vector<float> Weights(const std::vector<PathData> &paths) {
  std::vector<float> weights;
  for (const PathData &path : paths) weights.push_back(path.path_weight);
  return weights;
}

TEST(SelectPathsTest, BeamCutsAfterAppendingAndOrderIsKept) {
  const PathCollection collection = Collection({1.0f, 0.5f, 2.0f, 3.0f, 4.0f});
  EXPECT_TRUE(SelectPaths(PathCollection(), 10, kOptionOff, kOptionOff).empty());
  EXPECT_EQ(KeptKeys(SelectPaths(collection, 0, kOptionOff, kOptionOff)),
            std::vector<Label>({0}));
  EXPECT_EQ(KeptKeys(SelectPaths(collection, 2, kOptionOff, kOptionOff)),
            std::vector<Label>({0, 1}));
  // Not re-sorted: the second key keeps its place though its weight is lower.
  const std::vector<PathData> all = SelectPaths(collection, 10000, kOptionOff, kOptionOff);
  EXPECT_EQ(KeptKeys(all), std::vector<Label>({0, 1, 2, 3, 4}));
  EXPECT_EQ(Weights(all), std::vector<float>({1.0f, 0.5f, 2.0f, 3.0f, 4.0f}));
  EXPECT_EQ(all[1].uniques, LabelSequence({4}));
}

TEST(SelectPathsTest, PmassNormalisesAndStopsOnceTheMassIsCovered) {
  const PathCollection two = Collection({1.0f, 1.0f});
  const float total = LogAdd(1.0f, 1.0f);
  EXPECT_NEAR(total, 1.0f - std::log(2.0f), 1e-6);

  const std::vector<PathData> cut = SelectPaths(two, 10000, kOptionOff, 0.8);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].path_weight, 1.0f - total);
  EXPECT_NEAR(cut[0].path_weight, std::log(2.0f), 1e-6);
  EXPECT_EQ(cut[0].path_weights, std::vector<float>({1.0f}));  // lists as kept

  const std::vector<PathData> both = SelectPaths(two, 10000, kOptionOff, 0.5);
  EXPECT_EQ(Weights(both), std::vector<float>({1.0f - total, 1.0f - total}));

  // A cut-off below every running mass keeps all; the normalised weights
  // then add up to the whole mass, 0 in -log units.
  const std::vector<PathData> all =
      SelectPaths(Collection({1.0f, 2.0f, 3.5f}), 10000, kOptionOff, -1.0);
  ASSERT_EQ(all.size(), 3u);
  float mass = std::numeric_limits<float>::infinity();
  for (const PathData &path : all) mass = LogAdd(mass, path.path_weight);
  EXPECT_NEAR(mass, 0.0f, 1e-6);
  EXPECT_NEAR(all[0].path_weight, -std::log(std::exp(-1.0) / (std::exp(-1.0) + std::exp(-2.0) +
                                                              std::exp(-3.5))),
              1e-5);
}

TEST(SelectPathsTest, ThresholdSkipsButSkippedRecordsStillCountTowardsTheMass) {
  // Normalised weights 1.680, 0.680 and 1.180 (shares 0.186, 0.507, 0.307).
  const PathCollection collection = Collection({2.0f, 1.0f, 1.5f});
  // Without a cut-off the first is skipped and the later, lighter ones kept.
  const std::vector<PathData> kept = SelectPaths(collection, 10000, 1.5f, -1.0);
  EXPECT_EQ(KeptKeys(kept), std::vector<Label>({1, 2}));
  EXPECT_NEAR(kept[0].path_weight, 0.6803f, 1e-4);
  // Counting the skipped first record, 0.693 of the mass is covered after
  // the second (running mass 0.367 < 0.5): stop there.
  EXPECT_EQ(KeptKeys(SelectPaths(collection, 10000, 1.5f, 0.5)), std::vector<Label>({1}));
  EXPECT_EQ(KeptKeys(SelectPaths(collection, 10000, 0.5f, -1.0)), std::vector<Label>());
  // Normalised weights are never negative.
  EXPECT_TRUE(SelectPaths(Collection({1.0f}), 10000, -0.1f, 50.0).empty());
  // A weight equal to the threshold is kept.
  EXPECT_EQ(KeptKeys(SelectPaths(Collection({1.5f, 1.6f}), 10000, 1.5f, kOptionOff)),
            std::vector<Label>({0}));
}

TEST(SelectPathsTest, NinetyNineAboveAndNaNSwitchTheRulesOff) {
  const PathCollection collection = Collection({1.0f, 120.0f});
  for (const float off : {99.0f, 100.0f, kNaN}) {
    EXPECT_EQ(Weights(SelectPaths(collection, 10000, off, kOptionOff)),
              std::vector<float>({1.0f, 120.0f}))
        << off;
    EXPECT_EQ(Weights(SelectPaths(collection, 10000, kOptionOff, off)),
              std::vector<float>({1.0f, 120.0f}))
        << off;
  }
  EXPECT_EQ(Weights(SelectPaths(collection, 10000, 98.99f, kOptionOff)),
            std::vector<float>({1.0f}));
  const std::vector<PathData> normalised =
      SelectPaths(collection, 10000, kOptionOff, 98.99);
  ASSERT_EQ(normalised.size(), 1u);  // 98.99 exceeds the first running mass
  EXPECT_EQ(normalised[0].path_weight, 0.0f);
}

void ExpectSamePaths(const std::vector<PathData> &actual,
                     const std::vector<PathData> &expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].path_weight, expected[i].path_weight) << i;
    EXPECT_EQ(actual[i].path_weights, expected[i].path_weights) << i;
    EXPECT_EQ(actual[i].ilabels, expected[i].ilabels) << i;
    EXPECT_EQ(actual[i].olabels, expected[i].olabels) << i;
    EXPECT_EQ(actual[i].uniques, expected[i].uniques) << i;
  }
}

PhoneticizeOptions Nbest(std::uint64_t nbest, bool accumulate = false) {
  PhoneticizeOptions options;
  options.nbest = nbest;
  options.accumulate = accumulate;
  return options;
}

class PhoneticizeTest : public ::testing::Test {
 protected:
  Model model_ = MakeModel();
};

TEST_F(PhoneticizeTest, ClusterArcsAndInputEpsilonArcsGiveTheExpectedRecords) {
  // The best alignment of each pronunciation: through the cluster a|b, whose
  // label is below that of a, and through the arc that emits X unread.
  const std::vector<PathData> expected = {
      {2.25f, {1.5f, 0.5f, 0.25f}, {3, 6, 0}, {6, 5, 0}, {3, 4, 5}},
      {3.25f, {1.5f, 1.0f, 0.5f, 0.25f}, {3, 0, 6, 0}, {6, 7, 5, 0}, {3, 4, 7, 5}},
  };
  const std::vector<PathData> paths = Phoneticize(model_, "abc", Nbest(2));
  ExpectSamePaths(paths, expected);
  ExpectSamePaths(Phoneticize(model_, "abc", Nbest(2)), paths);
  ExpectSamePaths(Phoneticize(model_, "abc", Nbest(1)), {expected[0]});
  // Final weight 0.0005 leaves no entry; "ab" via a|b or via a and b.
  ExpectSamePaths(Phoneticize(model_, "ab", Nbest(5)), {{1.5f, {1.5f}, {3}, {6}, {3, 4}}});
  EXPECT_TRUE(Phoneticize(model_, "ba", Nbest(5)).empty());
  EXPECT_TRUE(Phoneticize(model_, "abc", Nbest(0)).empty());
}

TEST_F(PhoneticizeTest, AccumulateAddsTheAlignmentsMetBeforeEnoughOutputs) {
  std::vector<PathData> paths = Phoneticize(model_, "abc", Nbest(2, true));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0].path_weight, LogAdd(2.25f, 2.75f));
  EXPECT_EQ(paths[0].ilabels, std::vector<Label>({3, 6, 0}));
  EXPECT_EQ(paths[1].path_weight, 3.25f);

  paths = Phoneticize(model_, "abc", Nbest(3, true));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[1].path_weight, LogAdd(3.25f, 3.75f));
}

TEST_F(PhoneticizeTest, UnknownPiecesAreReportedOnDescriptor2AndSkipped) {
  Descriptor2Capture capture;
  const std::vector<PathData> with_unknown = Phoneticize(model_, "abzc", Nbest(2));
  EXPECT_EQ(capture.Text(), UnknownPieceMessage("z"));
  ExpectSamePaths(with_unknown, Phoneticize(model_, "abc", Nbest(2)));
}

TEST_F(PhoneticizeTest, WordsWithoutLabelsGiveNothingAndWriteNothing) {
  ScratchDirectory directory;
  PhoneticizeOptions options = Nbest(1);
  options.write_fsts = true;
  {
    Descriptor2Capture capture;
    EXPECT_TRUE(Phoneticize(model_, "zy", options).empty());
    EXPECT_EQ(capture.Text(), UnknownPieceMessage("z") + UnknownPieceMessage("y"));
  }
  {
    Descriptor2Capture capture;
    EXPECT_TRUE(Phoneticize(model_, "", options).empty());
    EXPECT_EQ(capture.Text(), "");
  }
  EXPECT_TRUE(directory.Files().empty());
}

void ExpectSameFst(const VectorFst &actual, const VectorFst &expected) {
  ASSERT_EQ(actual.NumStates(), expected.NumStates());
  EXPECT_EQ(actual.Start(), expected.Start());
  for (int state = 0; state < expected.NumStates(); ++state) {
    EXPECT_EQ(actual.Final(state), expected.Final(state));
    ASSERT_EQ(actual.NumArcs(state), expected.NumArcs(state));
    fst::ArcIterator<VectorFst> a(actual, state), e(expected, state);
    for (; !e.Done(); a.Next(), e.Next()) {
      EXPECT_EQ(a.Value().ilabel, e.Value().ilabel);
      EXPECT_EQ(a.Value().olabel, e.Value().olabel);
      EXPECT_EQ(a.Value().weight, e.Value().weight);
      EXPECT_EQ(a.Value().nextstate, e.Value().nextstate);
    }
  }
}

TEST_F(PhoneticizeTest, WriteFstsWritesTheAcceptorAndTheConnectedLattice) {
  ScratchDirectory directory;
  // An existing file is truncated and rewritten.
  { std::FILE *junk = std::fopen("abc.fst", "w"); std::fputs("junk", junk); std::fclose(junk); }
  PhoneticizeOptions options = Nbest(0);
  options.write_fsts = true;
  EXPECT_TRUE(Phoneticize(model_, "abc", options).empty());
  EXPECT_EQ(directory.Files(), std::vector<std::string>({"abc.fst", "abc.lat.fst"}));

  // Worked out by hand from the model in decode_test_model.h; labels a 4,
  // b 5, c 6, a|b 3. The acceptor: one arc per letter, and the cluster a|b
  // after the "a" that starts it.
  const VectorFst acceptor = test_fst::MakeFst(
      4, {{0, 4, 4, 0.0f, 1}, {0, 3, 3, 0.0f, 2}, {1, 5, 5, 0.0f, 2}, {2, 6, 6, 0.0f, 3}},
      {{3, 0.0f}});
  const Result<VectorFst> acceptor_file = ReadFstFile("abc.fst");
  ASSERT_TRUE(acceptor_file.ok()) << acceptor_file.error().message;
  ExpectSameFst(*acceptor_file, acceptor);
  ASSERT_NE(acceptor_file->InputSymbols(), nullptr);
  ASSERT_NE(acceptor_file->OutputSymbols(), nullptr);
  EXPECT_EQ(acceptor_file->InputSymbols()->Find(3), "a|b");
  EXPECT_EQ(acceptor_file->OutputSymbols()->Find(3), "a|b");

  // The lattice, up to the numbering of its states: "ab" as a and b or as
  // a|b, then c, either at once or after the arc that writes X unread. The
  // model's arc b:B/0.1 after "a" leads to a dead end, trimmed away.
  const VectorFst lattice = test_fst::MakeFst(
      5,
      {{0, 4, 3, 1.0f, 1}, {0, 3, 6, 1.5f, 2}, {1, 5, 4, 1.0f, 2}, {2, 6, 5, 0.5f, 4},
       {2, 0, 7, 1.0f, 3}, {3, 6, 5, 0.5f, 4}},
      {{4, 0.25f}});
  const Result<VectorFst> lattice_file = ReadFstFile("abc.lat.fst");
  ASSERT_TRUE(lattice_file.ok()) << lattice_file.error().message;
  EXPECT_TRUE(fst::Isomorphic(*lattice_file, lattice));
  ASSERT_NE(lattice_file->InputSymbols(), nullptr);
  ASSERT_NE(lattice_file->OutputSymbols(), nullptr);
  EXPECT_EQ(lattice_file->InputSymbols()->Find(3), "a|b");
  EXPECT_EQ(lattice_file->OutputSymbols()->Find(7), "X");
}

TEST_F(PhoneticizeTest, WordWithADirectoryWritesIntoItOnlyWhenItExists) {
  ScratchDirectory directory;
  Descriptor2Capture capture;  // "/" is not an input symbol
  PhoneticizeOptions options = Nbest(1);
  const std::vector<PathData> plain = Phoneticize(model_, "a/b", options);
  ASSERT_EQ(plain.size(), 1u);

  options.write_fsts = true;
  ExpectSamePaths(Phoneticize(model_, "a/b", options), plain);
  EXPECT_TRUE(directory.Files().empty());

  std::filesystem::create_directory("a");
  ExpectSamePaths(Phoneticize(model_, "a/b", options), plain);
  EXPECT_EQ(directory.Files(), std::vector<std::string>({"a/b.fst", "a/b.lat.fst"}));
  EXPECT_TRUE(ReadFstFile("a/b.lat.fst").ok());
  EXPECT_EQ(capture.Text(), UnknownPieceMessage("/") + UnknownPieceMessage("/") +
                                UnknownPieceMessage("/"));
}

TEST_F(PhoneticizeTest, WordWithANulByteWritesNoFile) {
  // The file system would cut the name at the NUL and write elsewhere.
  ScratchDirectory directory;
  Descriptor2Capture capture;
  PhoneticizeOptions options = Nbest(2);
  options.write_fsts = true;
  const std::string word("ab\0c", 4);
  ExpectSamePaths(Phoneticize(model_, word, options), Phoneticize(model_, "abc", Nbest(2)));
  EXPECT_TRUE(directory.Files().empty());
  EXPECT_EQ(capture.Text(), UnknownPieceMessage(std::string(1, '\0')));
}

// Random small models and words; without pmass and accumulate every record
// is read straight from the library's ranking.
TEST(DecodeTest, AWordPastTheModelsBudgetHasNoPathsAndSaysWhy) {
  fst::SymbolTable graphemes("graphemes");
  fst::SymbolTable phonemes("phonemes");
  for (const char *text : {"<eps>", "|", "_", "a"}) graphemes.AddSymbol(text);
  for (const char *text : {"<eps>", "|", "_", "A"}) phonemes.AddSymbol(text);
  VectorFst fst;
  fst.AddState();
  fst.SetStart(0);
  fst.AddArc(0, Arc(3, 3, 1.0f, 0));
  fst.SetFinal(0, 0.0f);
  fst.SetInputSymbols(&graphemes);
  fst.SetOutputSymbols(&phonemes);
  // A quarter of the budget goes to the lattice, at 160 bytes a state:
  // room for 100 states.
  const Result<Model> model =
      Model::FromFst(std::move(fst), "", DecodeSettings{.word_budget_bytes = 4 * 160 * 100});
  ASSERT_TRUE(model.ok());

  const Decoding short_word = Decode(*model, std::string(99, 'a'), {});
  EXPECT_EQ(short_word.status, DecodeStatus::kDecoded);
  ASSERT_EQ(short_word.paths.size(), 1u);
  EXPECT_EQ(short_word.paths[0].uniques, std::vector<Label>(99, 3));

  const Decoding long_word = Decode(*model, std::string(100, 'a'), {});
  EXPECT_EQ(long_word.status, DecodeStatus::kOverBudget);
  EXPECT_TRUE(long_word.paths.empty());
  EXPECT_TRUE(Phoneticize(*model, std::string(200000, 'a'), {}).empty());

  EXPECT_EQ(Decode(*model, "b", {}).status, DecodeStatus::kNoPath);
}

TEST(PhoneticizePropertyTest, RecordsAreConsistentDistinctAndRanked) {
  std::mt19937 random(20240611);
  const auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  // Weights are 0 or at least 0.01, so no arc is dropped as a near-zero
  // epsilon and the library's ranking weight is the recorded one.
  const auto weight = [&]() {
    return uniform(0, 4) == 0 ? 0.0f
                              : std::uniform_real_distribution<float>(0.01f, 3.0f)(random);
  };
  fst::SymbolTable graphemes;
  for (const char *text : {"<eps>", "|", "_", "a", "b", "c", "a|b"}) graphemes.AddSymbol(text);
  fst::SymbolTable phonemes;
  for (const char *text : {"<eps>", "|", "_", "P", "Q", "R", "P|Q"}) phonemes.AddSymbol(text);

  int decoded = 0;
  for (int trial = 0; trial < 150; ++trial) {
    VectorFst fst;
    const int num_states = uniform(2, 5);
    for (int i = 0; i < num_states; ++i) fst.AddState();
    fst.SetStart(0);
    for (int state = 0; state < num_states; ++state) {
      for (int arcs = uniform(1, 5); arcs > 0; --arcs) {
        const int ilabel = uniform(0, 7) == 0 ? 0 : uniform(3, 6);
        fst.AddArc(state, Arc(ilabel, uniform(0, 6), weight(), uniform(0, num_states - 1)));
      }
      if (uniform(0, 1) == 0) fst.SetFinal(state, weight());
    }
    fst.SetInputSymbols(&graphemes);
    fst.SetOutputSymbols(&phonemes);
    Result<Model> model = Model::FromFst(std::move(fst), "");
    ASSERT_TRUE(model.ok());

    for (int word_index = 0; word_index < 4; ++word_index) {
      std::string word;
      for (int length = uniform(1, 4); length > 0; --length) word += "abc"[uniform(0, 2)];
      const std::uint64_t nbest = static_cast<std::uint64_t>(uniform(1, 6));
      const std::vector<PathData> paths = Phoneticize(*model, word, Nbest(nbest));
      SCOPED_TRACE("trial " + std::to_string(trial) + " word " + word);
      EXPECT_LE(paths.size(), nbest);
      decoded += !paths.empty();
      for (std::size_t i = 0; i < paths.size(); ++i) {
        float sum = 0.0f;
        for (const float w : paths[i].path_weights) sum += w;
        EXPECT_EQ(paths[i].path_weight, sum);
        EXPECT_EQ(paths[i].ilabels.size(), paths[i].path_weights.size());
        EXPECT_EQ(paths[i].olabels.size(), paths[i].path_weights.size());
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(paths[i].uniques, paths[j].uniques);
        // The library sums in another order and converges within 1e-6.
        if (i > 0) EXPECT_GE(paths[i].path_weight, paths[i - 1].path_weight - 1e-4f);
      }
    }
  }
  EXPECT_GT(decoded, 100);  // the property was checked on real results
}

}  // namespace
}  // namespace vurel
