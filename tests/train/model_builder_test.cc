#include "model_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "driver/driver.h"
#include "model/model.h"
#include "trainer.h"

namespace vurel::train {
namespace {

const char kTinyDictionary[] =
    "cat K AE1 T\n"
    "cats K AE1 T S\n"
    "tax T AE1 K S\n"
    "axe AE1 K S\n"
    "phase F EY1 Z\n"
    "chat CH AE1 T\n"
    "that DH AE1 T\n"
    "hat HH AE1 T\n"
    "hats HH AE1 T S\n"
    "ham HH AE1 M\n"
    "sax S AE1 K S\n"
    "cheap CH IY1 P\n"
    "speech S P IY1 CH\n";

std::string TempPath(const std::string &name) {
  std::filesystem::create_directories(VUREL_TEST_TMPDIR);
  return std::string(VUREL_TEST_TMPDIR) + "/" + name;
}

Dictionary TinyDictionary() {
  Result<Dictionary> dictionary = ParseDictionary(kTinyDictionary, "tiny", {});
  EXPECT_TRUE(dictionary.ok());
  return std::move(dictionary).value();
}

std::vector<std::string> Decode(const Model &model, const std::string &word) {
  std::vector<std::string> phonemes;
  const std::vector<PathData> paths = Phoneticize(model, word, {});
  if (paths.empty()) return {"<nothing>"};
  for (Label label : paths.front().uniques) {
    phonemes.push_back(model.FindOutputText(label).value_or("?"));
  }
  return phonemes;
}

TEST(ModelBuilderTest, TinyModelDecodesItsTrainingWords) {
  // Single letters and phonemes with insertions (the defaults), and steps
  // of up to two of each without insertions.
  for (bool insertions : {true, false}) {
    TrainOptions options;
    options.ngram.order = 4;
    if (!insertions) {
      options.aligner.max_graphemes = 2;
      options.aligner.max_phonemes = 2;
      options.aligner.allow_insertions = false;
    }
    const std::string path = TempPath("tiny.fst");
    Result<TrainReport> report = TrainModel(TinyDictionary(), options, path);
    ASSERT_TRUE(report.ok()) << report.error().message;
    EXPECT_EQ(report->unalignable, 0u);
    EXPECT_GT(report->model.bytes, 0u);
    Result<Model> model = Model::Load(path, "");
    ASSERT_TRUE(model.ok()) << model.error().message;
    for (const DictionaryEntry &entry : TinyDictionary().entries) {
      EXPECT_EQ(Decode(*model, entry.word), entry.phonemes)
          << entry.word << (insertions ? " with insertions" : "");
    }
  }
}

// The states a word visits at one position all end in the letter read
// last; the decoder reads fewer cache lines when they lie together. (A
// history too short to be a state's sends its arcs to a shorter one, which
// arcs of several letters enter.)
TEST(ModelBuilderTest, StatesEnteredByOneLetterLieTogether) {
  TrainOptions options;
  options.ngram.order = 4;
  const std::string path = TempPath("layout.fst");
  ASSERT_TRUE(TrainModel(TinyDictionary(), options, path).ok());
  const std::unique_ptr<VectorFst> fst(VectorFst::Read(path));
  ASSERT_NE(fst, nullptr);
  std::vector<std::set<Label>> letters_into(static_cast<std::size_t>(fst->NumStates()));
  for (Arc::StateId state = 0; state < fst->NumStates(); ++state) {
    for (fst::ArcIterator<VectorFst> arcs(*fst, state); !arcs.Done(); arcs.Next()) {
      if (arcs.Value().ilabel != 0) letters_into[arcs.Value().nextstate].insert(arcs.Value().ilabel);
    }
  }
  std::map<Label, std::vector<std::size_t>> entered_by;
  for (std::size_t state = 0; state < letters_into.size(); ++state) {
    if (letters_into[state].size() == 1) entered_by[*letters_into[state].begin()].push_back(state);
  }
  EXPECT_GT(entered_by.size(), 5u);
  for (const auto &[letter, states] : entered_by) {
    for (std::size_t state = states.front(); state <= states.back(); ++state) {
      EXPECT_TRUE(letters_into[state].size() > 1 || letters_into[state].count(letter) == 1)
          << fst->InputSymbols()->Find(letter) << ": state " << state;
    }
  }
}

TEST(ModelBuilderTest, SymbolTablesAndLabelsFollowTheDecoderConventions) {
  // Units: "a}AH" "c|k}K" "x}K|S" "e}_" "_}Y"; tokens in this order.
  const std::vector<JointUnit> units = {
      {{"a"}, {"AH"}}, {{"c", "k"}, {"K"}}, {{"x"}, {"K", "S"}},
      {{"e"}, {}}, {{}, {"Y"}}};
  Result<JointNgramModel> ngram = JointNgramModel::Estimate(
      {{0, 1, 2, 3}, {4, 0}}, 5, {2, Smoothing::kKneserNey});
  ASSERT_TRUE(ngram.ok());
  Result<VectorFst> fst = BuildModelFst(*ngram, units);
  ASSERT_TRUE(fst.ok()) << fst.error().message;
  const fst::SymbolTable &input = *fst->InputSymbols();
  const fst::SymbolTable &output = *fst->OutputSymbols();
  const std::vector<std::string> expected_input = {"<eps>", "|", "_", "a",
                                                   "c", "e", "k", "x", "c|k"};
  const std::vector<std::string> expected_output = {"<eps>", "|", "_", "AH",
                                                    "K", "S", "Y", "K|S"};
  ASSERT_EQ(input.NumSymbols(), expected_input.size());
  for (std::size_t i = 0; i < expected_input.size(); ++i) {
    EXPECT_EQ(input.Find(i), expected_input[i]);
  }
  ASSERT_EQ(output.NumSymbols(), expected_output.size());
  for (std::size_t i = 0; i < expected_output.size(); ++i) {
    EXPECT_EQ(output.Find(i), expected_output[i]);
  }

  // Every arc pairs the labels of one unit, or is a backoff 0:0.
  std::set<std::pair<Label, Label>> pairs;
  std::size_t backoffs = 0, finals = 0;
  for (StateId state = 0; state < fst->NumStates(); ++state) {
    if (fst->Final(state) != Weight::Zero()) ++finals;
    for (fst::ArcIterator<VectorFst> arcs(*fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      EXPECT_GE(arc.weight.Value(), 0.0f);
      if (arc.ilabel == 0 && arc.olabel == 0) {
        ++backoffs;
      } else {
        pairs.insert({arc.ilabel, arc.olabel});
      }
    }
  }
  EXPECT_EQ(pairs, (std::set<std::pair<Label, Label>>{
                       {3, 3}, {8, 4}, {7, 7}, {5, 2}, {0, 6}}));
  // One state per history: the empty one, <s>, and the five units; all but
  // the empty one back off. Only the histories that saw a word end (after
  // "a" and after "e") and the empty one are final: the others end a word
  // through their backoff arc, and a final weight of their own would be a
  // second path for the same ending.
  EXPECT_EQ(fst->NumStates(), 7);
  EXPECT_EQ(backoffs, 6u);
  EXPECT_EQ(finals, 3u);
  EXPECT_EQ(fst->Start(), 1);
}

VectorFst EpsilonLoop(float first, float second) {
  VectorFst fst;
  fst.AddState();
  fst.AddState();
  fst.SetStart(0);
  fst.SetFinal(1, 0.0f);
  fst.AddArc(0, Arc(0, 5, first, 1));
  fst.AddArc(1, Arc(0, 0, second, 0));
  fst.AddArc(1, Arc(3, 3, -10.0f, 1));  // reads a letter: not in the check
  return fst;
}

TEST(ModelBuilderTest, ChecksCyclesOfInputEpsilonArcs) {
  EXPECT_TRUE(CheckInputEpsilonCycles(EpsilonLoop(1.0f, 2.0f)).ok());
  EXPECT_TRUE(CheckInputEpsilonCycles(EpsilonLoop(-1.0f, 1.0f)).ok());
  EXPECT_TRUE(CheckInputEpsilonCycles(EpsilonLoop(-1.0f, 1.5f)).ok());
  const Status negative = CheckInputEpsilonCycles(EpsilonLoop(-2.0f, 1.0f));
  ASSERT_FALSE(negative.ok());
  EXPECT_EQ(negative.error().message,
            "model has a cycle of input-epsilon arcs with negative weight");
  const Status nan = CheckInputEpsilonCycles(
      EpsilonLoop(std::numeric_limits<float>::quiet_NaN(), 1.0f));
  ASSERT_FALSE(nan.ok());
  EXPECT_EQ(nan.error().message, "model has a NaN arc weight");
}

TEST(ModelBuilderTest, WriteModelRefusesBrokenModels) {
  const std::string path = TempPath("refused.fst");
  std::filesystem::remove(path);
  VectorFst fst = EpsilonLoop(-2.0f, 1.0f);
  fst::SymbolTable symbols;
  symbols.AddSymbol("<eps>");
  fst.SetInputSymbols(&symbols);
  fst.SetOutputSymbols(&symbols);
  Result<ModelFileSize> refused = WriteModel(fst, path);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message,
            "model has a cycle of input-epsilon arcs with negative weight");
  EXPECT_FALSE(std::filesystem::exists(path));

  VectorFst good = EpsilonLoop(1.0f, 1.0f);
  good.SetInputSymbols(&symbols);
  good.SetOutputSymbols(&symbols);
  Result<ModelFileSize> size = WriteModel(good, path);
  ASSERT_TRUE(size.ok()) << size.error().message;
  EXPECT_EQ(size->states, 2u);
  EXPECT_EQ(size->arcs, 3u);
  EXPECT_EQ(size->bytes, std::filesystem::file_size(path));

  // A model without symbol tables would not load: refused after writing,
  // and the model already there is kept as it was, with no leftover file.
  Result<ModelFileSize> bare = WriteModel(EpsilonLoop(1.0f, 1.0f), path);
  ASSERT_FALSE(bare.ok());
  EXPECT_EQ(bare.error().message,
            "written model " + path + " is unusable: a symbol table is missing");
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), size->bytes);
  for (const auto &entry : std::filesystem::directory_iterator(VUREL_TEST_TMPDIR)) {
    EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
  }

  const std::string missing_directory = TempPath("no-such-directory/model.fst");
  Result<ModelFileSize> nowhere = WriteModel(good, missing_directory);
  ASSERT_FALSE(nowhere.ok());
  EXPECT_NE(nowhere.error().message.find("cannot write the model to " + missing_directory),
            std::string::npos) << nowhere.error().message;

  const Status overwrite = CheckModelPath(path, path);
  ASSERT_FALSE(overwrite.ok());
  EXPECT_EQ(overwrite.error().message, "the model " + path + " would overwrite the dictionary");
  EXPECT_TRUE(CheckModelPath(path, TempPath("other.fst")).ok());
}

// Each row is a fault of renaming over the path as given: the link replaced
// by a file, a pipe or directory replaced, the link's target left stale.
TEST(ModelBuilderTest, WriteModelWritesThroughLinksAndRefusesWhatIsNotAFile) {
  namespace fs = std::filesystem;
  const fs::path root = TempPath("links");
  fs::remove_all(root);
  fs::create_directories(root / "sub");
  fst::SymbolTable symbols;
  symbols.AddSymbol("<eps>");
  VectorFst good = EpsilonLoop(1.0f, 1.0f);
  good.SetInputSymbols(&symbols);
  good.SetOutputSymbols(&symbols);
  {
    std::ofstream old(root / "sub" / "real.fst");
    old << "old";
  }
  fs::create_symlink("sub/real.fst", root / "link.fst");
  fs::create_symlink("link.fst", root / "chain.fst");
  fs::create_symlink("sub/new.fst", root / "dangling.fst");
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  fs::create_symlink("pipe", root / "to-pipe.fst");
  fs::create_directory(root / "directory.fst");

  struct Case {
    const char *path;
    const char *written;  // the file that must hold the model, or null
    std::string message;  // the end of the refusal's message
  };
  const Case cases[] = {
      {"link.fst", "sub/real.fst", ""},
      {"chain.fst", "sub/real.fst", ""},
      {"dangling.fst", "sub/new.fst", ""},
      {"pipe", nullptr, "pipe: not a regular file"},
      {"to-pipe.fst", nullptr, "to-pipe.fst (a link to " + (root / "pipe").string() + "): not a regular file"},
      {"directory.fst", nullptr, "directory.fst: not a regular file"},
      {"sub/real.fst/x.fst", nullptr, "sub/real.fst/x.fst: Not a directory"},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.path);
    const std::string path = (root / test.path).string();
    Result<ModelFileSize> size = WriteModel(good, path);
    const Status checked = CheckModelPath(TempPath("dictionary.tsv"), path);
    if (test.written != nullptr) {
      ASSERT_TRUE(size.ok()) << size.error().message;
      EXPECT_TRUE(checked.ok());
      EXPECT_EQ(fs::file_size(root / test.written), size->bytes);
      EXPECT_TRUE(fs::is_symlink(path));
      continue;
    }
    ASSERT_FALSE(size.ok());
    ASSERT_FALSE(checked.ok());
    const std::string expected = std::string("cannot write the model to ") + root.string() + "/";
    EXPECT_EQ(size.error().message.rfind(expected, 0), 0u) << size.error().message;
    EXPECT_TRUE(size.error().message.ends_with(test.message)) << size.error().message;
    EXPECT_EQ(checked.error().message, size.error().message);
  }
  EXPECT_TRUE(fs::is_fifo(root / "pipe"));
  EXPECT_TRUE(fs::is_directory(root / "directory.fst"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "directory.fst"), {}), 0);
}

TEST(ModelBuilderTest, ProgressCallbackStopsTrainingBeforeAnythingIsWritten) {
  const std::string path = TempPath("stopped.fst");
  std::filesystem::remove(path);
  for (const std::string stage : {"aligning", "alignment iteration 2", "estimating", "keeping",
                                  "writing"}) {
    std::vector<std::string> seen;
    Result<TrainReport> report = TrainModel(
        TinyDictionary(), {}, path, [&](const std::string &message) {
          seen.push_back(message);
          return message.rfind(stage, 0) != 0;
        });
    ASSERT_FALSE(report.ok()) << stage;
    EXPECT_EQ(report.error().message, StoppedError().message);
    EXPECT_EQ(seen.back().rfind(stage, 0), 0u) << "not called again after it stopped";
    EXPECT_FALSE(std::filesystem::exists(path)) << stage;
  }
}

TEST(ModelBuilderTest, TrainingRejectsUnusableDictionaries) {
  const std::string path = TempPath("empty.fst");
  Result<TrainReport> empty = TrainModel(Dictionary{}, {}, path);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message, "the dictionary has no entries");
  // Five phonemes from one letter cannot be aligned without insertions.
  Result<Dictionary> hopeless = ParseDictionary("a EY1 B IY1 S IY1\n", "h", {});
  ASSERT_TRUE(hopeless.ok());
  TrainOptions no_insertions;
  no_insertions.aligner.allow_insertions = false;
  Result<TrainReport> unaligned = TrainModel(*hopeless, no_insertions, path);
  ASSERT_FALSE(unaligned.ok());
  EXPECT_EQ(unaligned.error().message, "no dictionary entry can be aligned");
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace vurel::train
