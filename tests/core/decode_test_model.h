// A small hand-made model and the scaffolding that decoding tests share:
// a scratch directory to run in and a capture of descriptor 2.
#ifndef VUREL_TESTS_CORE_DECODE_TEST_MODEL_H_
#define VUREL_TESTS_CORE_DECODE_TEST_MODEL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "model/model.h"

namespace vurel::testing_model {

// Inputs: 3 "a|b" (a cluster whose label is below that of a), 4 "a", 5 "b",
// 6 "c". Outputs: 3 "A", 4 "B", 5 "C", 6 "A|B", 7 "X".
//
//   0 -a:A/1-> 1 -b:B/1-> 2 -c:C/0.5-> 3, final 0.25
//   0 -a|b:A|B/1.5-> 2, final 0.0005
//   2 -<eps>:X/1-> 4 -c:C/0.5-> 3
//   0 -c:_/3-> 3
//   1 -b:B/0.1-> 5, a dead end
//
// So "abc" has the paths A|B C (2.25), A B C (2.75), A|B X C (3.25) and
// A B X C (3.75): two pronunciations, each reached by two alignments.
inline Model MakeModel() {
  fst::SymbolTable graphemes("graphemes");
  for (const char *text : {"<eps>", "|", "_", "a|b", "a", "b", "c"}) {
    graphemes.AddSymbol(text);
  }
  fst::SymbolTable phonemes("phonemes");
  for (const char *text : {"<eps>", "|", "_", "A", "B", "C", "A|B", "X"}) {
    phonemes.AddSymbol(text);
  }
  VectorFst fst;
  for (int i = 0; i < 6; ++i) fst.AddState();
  fst.SetStart(0);
  fst.AddArc(0, Arc(4, 3, 1.0f, 1));
  fst.AddArc(1, Arc(5, 4, 1.0f, 2));
  fst.AddArc(2, Arc(6, 5, 0.5f, 3));
  fst.AddArc(0, Arc(3, 6, 1.5f, 2));
  fst.AddArc(2, Arc(0, 7, 1.0f, 4));
  fst.AddArc(4, Arc(6, 5, 0.5f, 3));
  fst.AddArc(0, Arc(6, 2, 3.0f, 3));
  fst.AddArc(1, Arc(5, 4, 0.1f, 5));
  fst.SetFinal(3, 0.25f);
  fst.SetFinal(2, 0.0005f);
  fst.SetInputSymbols(&graphemes);
  fst.SetOutputSymbols(&phonemes);
  Result<Model> model = Model::FromFst(std::move(fst), "");
  EXPECT_TRUE(model.ok());
  return std::move(model).value();
}

// A fresh empty directory under the test directory, made the working
// directory while this lives.
class ScratchDirectory {
 public:
  ScratchDirectory() : previous_(std::filesystem::current_path()) {
    std::filesystem::create_directories(VUREL_TEST_TMPDIR);
    std::string pattern = std::string(VUREL_TEST_TMPDIR) + "/decode-XXXXXX";
    path_ = ::mkdtemp(pattern.data());
    std::filesystem::current_path(path_);
  }
  ~ScratchDirectory() {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(path_);
  }
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory &operator=(const ScratchDirectory &) = delete;

  // Names of the regular files under the directory, relative and sorted.
  std::vector<std::string> Files() const {
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path_)) {
      if (entry.is_regular_file()) {
        files.push_back(std::filesystem::relative(entry.path(), path_).string());
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// Everything written to descriptor 2 while this lives; Text() ends the
// capture.
class Descriptor2Capture {
 public:
  Descriptor2Capture() {
    std::filesystem::create_directories(VUREL_TEST_TMPDIR);
    std::string pattern = std::string(VUREL_TEST_TMPDIR) + "/stderr-XXXXXX";
    file_ = ::mkstemp(pattern.data());
    ::unlink(pattern.c_str());
    saved_ = ::dup(2);
    ::dup2(file_, 2);
  }
  ~Descriptor2Capture() { Restore(); ::close(file_); }
  Descriptor2Capture(const Descriptor2Capture &) = delete;
  Descriptor2Capture &operator=(const Descriptor2Capture &) = delete;

  std::string Text() {
    Restore();
    std::string text;
    char buffer[256];
    ::lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file_, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  int file_ = -1;
  int saved_ = -1;
};

inline std::string UnknownPieceMessage(const std::string &piece) {
  return "Symbol: '" + piece + "' not found in input symbols table.\nMapping to null...\n";
}

}  // namespace vurel::testing_model

#endif  // VUREL_TESTS_CORE_DECODE_TEST_MODEL_H_
