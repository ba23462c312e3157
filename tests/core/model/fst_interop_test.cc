// Files exchanged with OpenFst's own command-line tools: models compiled by
// fstcompile load, and files we write are read back by fstprint and fstinfo.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "model/fst_file.h"

namespace vurel {
namespace {

bool HaveTool(const std::string &tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// CI installs the tools (scripts/install-deps.sh), so there a missing tool
// is a failure, never a quiet skip. A developer without them opts out.
bool MissingToolsAllowed() {
  const char *allow = std::getenv("VUREL_ALLOW_MISSING_FST_TOOLS");
  return allow != nullptr && std::string_view(allow) == "1";
}

std::string ReadText(const std::filesystem::path &path) {
  std::ifstream stream(path);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

void WriteText(const std::filesystem::path &path, const std::string &text) {
  std::ofstream(path) << text;
}

std::vector<std::vector<std::string>> Lines(const std::string &text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (!words.empty()) lines.push_back(words);
  }
  return lines;
}

std::vector<std::string> Texts(const fst::SymbolTable *table) {
  std::vector<std::string> texts;
  for (std::int64_t label = 0; label < static_cast<std::int64_t>(table->NumSymbols()); ++label) {
    texts.push_back(table->Find(label));
  }
  return texts;
}

class FstInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char *tool : {"fstcompile", "fstprint", "fstinfo"}) {
      if (HaveTool(tool)) continue;
      if (MissingToolsAllowed()) GTEST_SKIP() << tool << " is not installed (Debian: libfst-tools)";
      FAIL() << tool << " is not installed (Debian: libfst-tools); "
             << "set VUREL_ALLOW_MISSING_FST_TOOLS=1 to skip these tests";
    }
    directory_ = std::filesystem::path(VUREL_TEST_TMPDIR) / "fst_interop_test";
    std::filesystem::create_directories(directory_);
  }

  std::string PathOf(const std::string &name) const { return (directory_ / name).string(); }

  // Runs a shell command; on failure its standard error is in the message.
  void Run(const std::string &command) {
    const std::string errors = PathOf("stderr.txt");
    const int status = std::system((command + " 2>" + errors).c_str());
    ASSERT_EQ(status, 0) << command << "\n" << ReadText(errors);
  }

  std::filesystem::path directory_;
};

TEST_F(FstInteropTest, LoadsAModelCompiledByFstcompile) {
  WriteText(PathOf("in.syms"), "<eps> 0\na 1\nb 2\nc|h 3\n");
  WriteText(PathOf("out.syms"), "<eps> 0\nAH 1\nB 2\n\xc9\x99 3\n");
  WriteText(PathOf("model.txt"),
            "0 1 a AH 0.5\n"
            "0 2 c|h B 1.25\n"
            "1 2 <eps> <eps> 2\n"
            "1 0 b \xc9\x99 -0.75\n"
            "2 2.5\n"
            "1\n");
  Run("fstcompile --isymbols=" + PathOf("in.syms") + " --osymbols=" + PathOf("out.syms") +
      " --keep_isymbols --keep_osymbols " + PathOf("model.txt") + " " + PathOf("model.fst"));

  auto model = ReadFstFile(PathOf("model.fst"));
  ASSERT_TRUE(model.ok()) << model.error().message;
  ASSERT_EQ(model->NumStates(), 3);
  EXPECT_EQ(model->Start(), 0);
  EXPECT_EQ(model->Final(0), Weight::Zero());
  EXPECT_EQ(model->Final(1), Weight::One());
  EXPECT_EQ(model->Final(2), Weight(2.5f));

  struct Expected {
    int state, ilabel, olabel;
    float weight;
    int next_state;
  };
  const std::vector<Expected> expected = {
      {0, 1, 1, 0.5f, 1}, {0, 3, 2, 1.25f, 2}, {1, 0, 0, 2.0f, 2}, {1, 2, 3, -0.75f, 0}};
  std::vector<Expected> arcs;
  for (int state = 0; state < model->NumStates(); ++state) {
    for (fst::ArcIterator<VectorFst> arc(*model, state); !arc.Done(); arc.Next()) {
      arcs.push_back({state, arc.Value().ilabel, arc.Value().olabel, arc.Value().weight.Value(),
                      arc.Value().nextstate});
    }
  }
  ASSERT_EQ(arcs.size(), expected.size());
  for (std::size_t k = 0; k < arcs.size(); ++k) {
    EXPECT_EQ(arcs[k].state, expected[k].state) << k;
    EXPECT_EQ(arcs[k].ilabel, expected[k].ilabel) << k;
    EXPECT_EQ(arcs[k].olabel, expected[k].olabel) << k;
    EXPECT_EQ(arcs[k].weight, expected[k].weight) << k;
    EXPECT_EQ(arcs[k].next_state, expected[k].next_state) << k;
  }
  ASSERT_NE(model->InputSymbols(), nullptr);
  ASSERT_NE(model->OutputSymbols(), nullptr);
  EXPECT_EQ(Texts(model->InputSymbols()), (std::vector<std::string>{"<eps>", "a", "b", "c|h"}));
  EXPECT_EQ(Texts(model->OutputSymbols()),
            (std::vector<std::string>{"<eps>", "AH", "B", "\xc9\x99"}));
}

TEST_F(FstInteropTest, FstprintAndFstinfoReadWhatWeWrite) {
  VectorFst fst;
  fst.AddStates(4);
  fst.SetStart(1);
  fst.AddArc(1, Arc(1, 2, 0.5f, 0));
  fst.AddArc(1, Arc(0, 0, 1.25f, 2));
  fst.AddArc(0, Arc(2, 1, 3.0f, 3));
  fst.AddArc(2, Arc(2, 2, 0.0f, 3));
  fst.SetFinal(3, 0.25f);
  fst::SymbolTable input;
  for (const char *text : {"<eps>", "x", "q|u"}) input.AddSymbol(text);
  fst::SymbolTable output;
  for (const char *text : {"<eps>", "K", "\xca\x83"}) output.AddSymbol(text);
  fst.SetInputSymbols(&input);
  fst.SetOutputSymbols(&output);
  ASSERT_TRUE(WriteFstFile(fst, PathOf("ours.fst")).ok());

  Run("fstprint --show_weight_one --save_isymbols=" + PathOf("saved_in.syms") +
      " --save_osymbols=" + PathOf("saved_out.syms") + " " + PathOf("ours.fst") + " " +
      PathOf("printed.txt"));
  // fstprint lists the start state first, then the others in order.
  const std::vector<std::vector<std::string>> printed = Lines(ReadText(PathOf("printed.txt")));
  const std::vector<std::vector<std::string>> expected = {
      {"1", "0", "x", "\xca\x83", "0.5"}, {"1", "2", "<eps>", "<eps>", "1.25"},
      {"0", "3", "q|u", "K", "3"},        {"2", "3", "q|u", "\xca\x83", "0"},
      {"3", "0.25"},
  };
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(Lines(ReadText(PathOf("saved_in.syms"))),
            (std::vector<std::vector<std::string>>{{"<eps>", "0"}, {"x", "1"}, {"q|u", "2"}}));
  EXPECT_EQ(
      Lines(ReadText(PathOf("saved_out.syms"))),
      (std::vector<std::vector<std::string>>{{"<eps>", "0"}, {"K", "1"}, {"\xca\x83", "2"}}));

  Run("fstinfo " + PathOf("ours.fst") + " >" + PathOf("info.txt"));
  std::map<std::string, std::string> info;
  for (const auto &words : Lines(ReadText(PathOf("info.txt")))) {
    std::string key;
    for (std::size_t k = 0; k + 1 < words.size(); ++k) key += (k ? " " : "") + words[k];
    info[key] = words.back();
  }
  EXPECT_EQ(info["fst type"], "vector");
  EXPECT_EQ(info["arc type"], "standard");
  EXPECT_EQ(info["initial state"], "1");
  EXPECT_EQ(info["# of states"], "4");
  EXPECT_EQ(info["# of arcs"], "4");
  EXPECT_EQ(info["# of final states"], "1");
  EXPECT_EQ(info["# of input/output epsilons"], "1");
}

}  // namespace
}  // namespace vurel
