#include "driver/tokenizer.h"
#include "util/utf8.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace vurel {
namespace {

// Everything written to the descriptor a test hands to the tokenizer.
class CapturedOutput {
 public:
  CapturedOutput() {
    std::filesystem::create_directories(VUREL_TEST_TMPDIR);
    char path[] = VUREL_TEST_TMPDIR "/tokenizer-XXXXXX";
    fd_ = ::mkstemp(path);
    EXPECT_GE(fd_, 0) << std::strerror(errno);
    ::unlink(path);
  }
  ~CapturedOutput() { ::close(fd_); }
  int fd() const { return fd_; }
  std::string Text() const {
    std::string text;
    char buffer[256];
    ::lseek(fd_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int fd_ = -1;
};

std::string Message(const std::string &piece) {
  return "Symbol: '" + piece +
         "' not found in input symbols table.\nMapping to null...\n";
}

class TokenizerTest : public ::testing::Test {
 protected:
  TokenizerTest() {
    for (const char *text :
         {"<eps>", "|", "_", "a", "b", "c", "é", "e", "\u0301", "a  b", "ab"}) {
      symbols_.AddSymbol(text);
    }
  }
  std::vector<Label> Tokenize(std::string_view word,
                              std::string_view delimiter) {
    return vurel::Tokenize(word, delimiter, symbols_, output_.fd());
  }
  fst::SymbolTable symbols_;
  CapturedOutput output_;
};

constexpr Label kA = 3, kB = 4, kC = 5, kEAcute = 6, kE = 7, kAcute = 8;

TEST_F(TokenizerTest, EmptyDelimiterSplitsIntoCodePoints) {
  EXPECT_EQ(Tokenize("abc", ""), std::vector<Label>({kA, kB, kC}));
  // Longer symbols such as "ab" are never matched here.
  EXPECT_EQ(Tokenize("ab", ""), std::vector<Label>({kA, kB}));
  EXPECT_EQ(Tokenize("\u00e9", ""), std::vector<Label>({kEAcute}));
  EXPECT_EQ(Tokenize("e\u0301", ""), std::vector<Label>({kE, kAcute}));
  EXPECT_TRUE(Tokenize("", "").empty());
  EXPECT_EQ(output_.Text(), "");
}

TEST_F(TokenizerTest, UnknownCharactersAreReportedAndSkipped) {
  EXPECT_EQ(Tokenize("axbñ", ""), std::vector<Label>({kA, kB}));
  EXPECT_EQ(output_.Text(), Message("x") + Message("ñ"));
}

TEST_F(TokenizerTest, PiecesThatAreSymbolsZeroAndOneYieldTheirLabels) {
  EXPECT_EQ(Tokenize("<eps> | _", " "), std::vector<Label>({0, 1, 2}));
  EXPECT_EQ(output_.Text(), "");
}

TEST_F(TokenizerTest, DelimiterSplitsAtEveryOccurrence) {
  EXPECT_EQ(Tokenize("a b", " "), std::vector<Label>({kA, kB}));
  EXPECT_EQ(output_.Text(), "");
  // Two delimiters in a row leave an empty piece, which is reported.
  EXPECT_EQ(Tokenize("a  b", " "), std::vector<Label>({kA, kB}));
  EXPECT_EQ(output_.Text(), Message(""));
}

TEST_F(TokenizerTest, LeadingAndTrailingDelimitersGiveEmptyPieces) {
  EXPECT_EQ(Tokenize(" ab ", " "), std::vector<Label>({10}));
  EXPECT_EQ(output_.Text(), Message("") + Message(""));
}

TEST_F(TokenizerTest, EmptyWordWithDelimiterIsOneEmptyPiece) {
  EXPECT_TRUE(Tokenize("", " ").empty());
  EXPECT_EQ(output_.Text(), Message(""));
}

TEST_F(TokenizerTest, MultiCharacterDelimiterNeverSplits) {
  EXPECT_EQ(Tokenize("a  b", "  "), std::vector<Label>({9}));
  EXPECT_TRUE(Tokenize("a b", "  ").empty());
  EXPECT_EQ(output_.Text(), Message("a b"));
}

TEST_F(TokenizerTest, MultiByteDelimiterMatchesWholeCharacters) {
  // "é" as a delimiter splits at é but not inside other characters that
  // share its lead byte.
  EXPECT_EQ(Tokenize("aébéc", "é"), std::vector<Label>({kA, kB, kC}));
  EXPECT_EQ(Tokenize("aèb", "é"), std::vector<Label>());
  EXPECT_EQ(output_.Text(), Message("aèb"));
}

TEST_F(TokenizerTest, InvalidUtf8BytesArePiecesOfTheirOwn) {
  // A truncated two-byte sequence and a stray continuation byte are each
  // one piece, reported as they are; nothing is read past the word.
  const std::string word = std::string("a\xc3") + "b\x80";
  EXPECT_EQ(Tokenize(std::string_view(word.data(), 3), ""),
            std::vector<Label>({kA, kB}));
  EXPECT_EQ(output_.Text(), Message("\xc3"));
  EXPECT_EQ(Tokenize(word, ""), std::vector<Label>({kA, kB}));
  EXPECT_EQ(output_.Text(), Message("\xc3") + Message("\xc3") + Message("\x80"));
}

TEST_F(TokenizerTest, EmptyTableReportsEveryPiece) {
  const fst::SymbolTable empty;
  EXPECT_TRUE(vurel::Tokenize("ab", "", empty, output_.fd()).empty());
  EXPECT_EQ(output_.Text(), Message("a") + Message("b"));
}

TEST(Utf8CharLengthTest, AcceptsOnlyWellFormedSequences) {
  struct Case {
    std::string text;
    std::size_t length;
  };
  for (const Case &c : std::vector<Case>{
           {"a", 1},
           {"\xc3\xa9", 2},
           {"\xe2\x82\xac", 3},
           {"\xf0\x9f\x98\x80", 4},
           {"\xf4\x8f\xbf\xbf", 4},
           {"\xc0\xaf", 1},          // overlong
           {"\xe0\x80\xaf", 1},      // overlong
           {"\xed\xa0\x80", 1},      // surrogate
           {"\xf4\x90\x80\x80", 1},  // above U+10FFFF
           {"\xf5\x80\x80\x80", 1},
           {"\xe2\x82", 1},          // truncated
           {"\xe2\x28\xac", 1},
           {"\x80", 1},
       }) {
    EXPECT_EQ(Utf8CharLength(c.text, 0), c.length) << ::testing::PrintToString(c.text);
  }
}

TEST(TokenizerReportTest, DefaultDescriptorIsStandardError) {
  fst::SymbolTable symbols;
  symbols.AddSymbol("<eps>");
  symbols.AddSymbol("a");
  CapturedOutput output;
  const int saved = ::dup(2);
  ASSERT_GE(saved, 0);
  ASSERT_GE(::dup2(output.fd(), 2), 0);
  const std::vector<Label> labels = Tokenize("aza", "", symbols);
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_EQ(labels, std::vector<Label>({1, 1}));
  EXPECT_EQ(output.Text(), Message("z"));
}

TEST(TokenizerReportTest, UnwritableDescriptorDoesNotStopTokenizing) {
  fst::SymbolTable symbols;
  symbols.AddSymbol("a");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[1]);
  // Writing to a closed descriptor fails with EBADF; the labels still come.
  EXPECT_EQ(Tokenize("xa", "", symbols, pipe_fds[1]), std::vector<Label>({0}));
  ::close(pipe_fds[0]);
}

}  // namespace
}  // namespace vurel
