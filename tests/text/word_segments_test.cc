#include "word_segments.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace vurel::text {
namespace {

using Kind = SegmentKind;

// A segment written for reading: its text and kind.
struct Expected {
  std::u32string text;
  Kind kind;
};

std::u32string ToUtf32(std::string_view utf8) {
  std::u32string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code_point = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    out.push_back(code_point);
    i += static_cast<std::size_t>(length);
  }
  return out;
}

// The segments that are not spaces, each as its code points of the input:
// offsets off by one or counted in bytes or UTF-16 units show as wrong text.
std::vector<Expected> Words(std::string_view utf8) {
  Result<std::vector<WordSegment>> split = SplitWords(utf8);
  EXPECT_TRUE(split.ok()) << split.error().message;
  if (!split.ok()) return {};
  const std::u32string code_points = ToUtf32(utf8);
  std::vector<Expected> words;
  std::size_t previous_end = 0;
  for (const WordSegment &segment : *split) {
    EXPECT_EQ(segment.start, previous_end) << "segments must tile the text";
    EXPECT_LT(segment.start, segment.end);
    previous_end = segment.end;
    std::u32string text = code_points.substr(segment.start, segment.end - segment.start);
    if (text != U" ") words.push_back({std::move(text), segment.kind});
  }
  EXPECT_EQ(previous_end, code_points.size());
  return words;
}

struct Case {
  const char *name;
  const char *utf8;
  std::vector<Expected> words;
};

class WordSegmentsTest : public testing::TestWithParam<Case> {};

TEST_P(WordSegmentsTest, SegmentsTheTextAsUnicodeSays) {
  const std::vector<Expected> words = Words(GetParam().utf8);
  ASSERT_EQ(words.size(), GetParam().words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(words[i].text, GetParam().words[i].text) << "segment " << i;
    EXPECT_EQ(words[i].kind, GetParam().words[i].kind) << "segment " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WordSegmentsTest,
    testing::Values(
        Case{"InnerApostropheStays", "don't stop",
             {{U"don't", Kind::kLetter}, {U"stop", Kind::kLetter}}},
        Case{"HyphenSplits", "e-mail",
             {{U"e", Kind::kLetter}, {U"-", Kind::kOther}, {U"mail", Kind::kLetter}}},
        Case{"GroupAndDecimalMarksStayInTheNumber", "$1,234.5.",
             {{U"$", Kind::kOther}, {U"1,234.5", Kind::kNumber}, {U".", Kind::kOther}}},
        // Digits and letters make one word, which ICU counts as letters.
        Case{"NumberBeforeLetters", "9th 1990s",
             {{U"9th", Kind::kLetter}, {U"1990s", Kind::kLetter}}},
        Case{"EmojiIsOneAstralCodePoint", "a\U0001F600b",
             {{U"a", Kind::kLetter}, {U"\U0001F600", Kind::kOther}, {U"b", Kind::kLetter}}},
        Case{"AstralLettersCountOnce", "\U0001D400\U0001D401 x",
             {{U"\U0001D400\U0001D401", Kind::kLetter}, {U"x", Kind::kLetter}}},
        Case{"CombiningMarkStaysWithItsLetter", "nai\u0308ve cafe\u0301",
             {{U"nai\u0308ve", Kind::kLetter}, {U"cafe\u0301", Kind::kLetter}}},
        Case{"EmojiWithSkinToneAndJoinerIsOne",
             "\U0001F44D\U0001F3FD \U0001F469\u200D\U0001F4BB",
             {{U"\U0001F44D\U0001F3FD", Kind::kOther}, {U"\U0001F469\u200D\U0001F4BB", Kind::kOther}}},
        // ICU's CJK dictionary, not its rules, splits kana, and says
        // "ideographic" for every word it finds.
        Case{"KanaByTheDictionary", "カタカナ", {{U"カタカナ", Kind::kIdeographic}}},
        Case{"HanIdeographs", "中文", {{U"中文", Kind::kIdeographic}}},
        Case{"Cyrillic", "Привет, мир",
             {{U"Привет", Kind::kLetter}, {U",", Kind::kOther}, {U"мир", Kind::kLetter}}},
        Case{"ArabicDigitsAreANumber", "٢٠٢٦", {{U"٢٠٢٦", Kind::kNumber}}},
        Case{"EmptyText", "", {}}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(WordSegments, InvalidUtf8IsAnErrorNamingTheByte) {
  struct Bad {
    std::string utf8;
    const char *byte;
  };
  const Bad cases[] = {
      {"ab\xFF", "byte 2"},               // never a UTF-8 byte
      {"a\xC3", "byte 1"},                // truncated sequence
      {"\xC0\xAF", "byte 0"},             // overlong '/'
      {"ok \xED\xA0\x80", "byte 3"},      // a surrogate
      {"x\xF4\x90\x80\x80", "byte 1"},    // past U+10FFFF
      {"\x80", "byte 0"},                 // a lone continuation byte
  };
  for (const Bad &bad : cases) {
    Result<std::vector<WordSegment>> split = SplitWords(bad.utf8);
    ASSERT_FALSE(split.ok()) << bad.byte;
    EXPECT_EQ(split.error().code, ErrorCode::kInvalidInput);
    EXPECT_NE(split.error().message.find(bad.byte), std::string::npos) << split.error().message;
  }
}

TEST(WordSegments, ASegmenterSplitsOneTextAfterAnother) {
  Result<WordSegmenter> segmenter = WordSegmenter::Create();
  ASSERT_TRUE(segmenter.ok());
  Result<std::vector<WordSegment>> first = segmenter->Split("one two three");
  Result<std::vector<WordSegment>> second = segmenter->Split("é 1");
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first->size(), 5u);
  ASSERT_EQ(second->size(), 3u);
  EXPECT_EQ((*second)[2].start, 2u);
  EXPECT_EQ((*second)[2].kind, Kind::kNumber);
}

TEST(WordSegments, TenMegabytesEndWhereTheTextEnds) {
  // Mixed scripts, so that the dictionary-based breaking of CJK runs too.
  const std::string piece = "Twenty-one 21 naïve 東京 \U0001F600. ";
  std::string text;
  while (text.size() < 10'000'000) text += piece;
  Result<std::vector<WordSegment>> split = SplitWords(text);
  ASSERT_TRUE(split.ok());
  const std::size_t pieces = text.size() / piece.size();
  const std::size_t code_points_per_piece = ToUtf32(piece).size();
  EXPECT_EQ(split->back().end, pieces * code_points_per_piece);
  std::size_t numbers = 0;
  for (const WordSegment &segment : *split) numbers += segment.kind == Kind::kNumber;
  EXPECT_EQ(numbers, pieces);
}

}  // namespace
}  // namespace vurel::text
