#include "dictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vurel::train {
namespace {

using Phonemes = std::vector<std::string>;

Dictionary ParseOk(std::string_view text, DictionaryOptions options = {}) {
  Result<Dictionary> parsed = ParseDictionary(text, "test.dict", options);
  EXPECT_TRUE(parsed.ok()) << (parsed.ok() ? "" : parsed.error().message);
  return parsed.ok() ? std::move(parsed).value() : Dictionary{};
}

TEST(DictionaryTest, ReadsCmuFormatWithVariantsAndComments) {
  const Dictionary dictionary = ParseOk(
      ";;; a comment line\n"
      "read  R IY1 D\n"
      "read(2)  R EH1 D\n"
      "\n"
      "aalen AE1 L AH0 N # place, german\r\n"
      "x(1)y  EH1 K S\n");
  ASSERT_EQ(dictionary.entries.size(), 4u);
  EXPECT_EQ(dictionary.entries[0].word, "read");
  EXPECT_EQ(dictionary.entries[1].word, "read");
  EXPECT_EQ(dictionary.entries[1].phonemes, Phonemes({"R", "EH1", "D"}));
  EXPECT_EQ(dictionary.entries[1].line, 3u);
  EXPECT_EQ(dictionary.entries[2].phonemes, Phonemes({"AE1", "L", "AH0", "N"}));
  // Only a trailing "(digits)" marks a variant.
  EXPECT_EQ(dictionary.entries[3].word, "x(1)y");
}

TEST(DictionaryTest, ReadsTabSeparatedAndUtf8Words) {
  const Dictionary dictionary = ParseOk("naïve\tn a i v\nnew york\tn u j o k\n");
  ASSERT_EQ(dictionary.entries.size(), 2u);
  EXPECT_EQ(dictionary.entries[0].graphemes,
            Phonemes({"n", "a", "ï", "v", "e"}));
  EXPECT_EQ(dictionary.entries[1].word, "new york");
  EXPECT_EQ(dictionary.entries[1].graphemes.size(), 8u);
}

TEST(DictionaryTest, MalformedLinesNameFileAndLine) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"ok  OW1 K\nnothing\n", "test.dict:2: word \"nothing\" has no phonemes"},
      {"word\t\n", "test.dict:1: word \"word\" has no phonemes"},
      {"\tA B\n", "test.dict:1: empty word"},
      {"bad\xff  B AE1 D\n", "test.dict:1: not valid UTF-8"},
      {"a|b  EY1 B IY1\n", "test.dict:1: word \"a|b\" contains \"|\" or \"_\""},
      {"a_b  EY1 B IY1\n", "test.dict:1: word \"a_b\" contains \"|\" or \"_\""},
      {"ab  EY1 B|IY1\n", "test.dict:1: phoneme \"B|IY1\" contains"},
      {"ab  EY1 _\n", "test.dict:1: phoneme \"_\" contains"},
      {"x\x01y  EH1 K S\n", "test.dict:1: control character in word"},
      {"ok  OW1 K\n" + std::string(5000, 'a') + "  A\n",
       "test.dict:2: line longer than 4096 bytes"},
  };
  for (const auto &test : cases) {
    Result<Dictionary> parsed = ParseDictionary(test.text, "test.dict", {});
    ASSERT_FALSE(parsed.ok()) << test.text.substr(0, 40);
    EXPECT_EQ(parsed.error().code, ErrorCode::kInvalidInput);
    EXPECT_TRUE(parsed.error().message.starts_with(test.message))
        << parsed.error().message;
  }
}

TEST(DictionaryTest, TsvFormatRequiresTab) {
  DictionaryOptions options;
  options.format = DictionaryFormat::kTsv;
  Result<Dictionary> parsed = ParseDictionary("word W ER1 D\n", "t.tsv", options);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().message,
            "t.tsv:1: no tab between word and pronunciation");
  // The CMU format reads a tab as a blank.
  options.format = DictionaryFormat::kCmu;
  const Dictionary dictionary = ParseOk("word\tW ER1 D\n", options);
  ASSERT_EQ(dictionary.entries.size(), 1u);
  EXPECT_EQ(dictionary.entries[0].phonemes, Phonemes({"W", "ER1", "D"}));
}

TEST(DictionaryTest, AutomaticFormatHoldsFromTheFirstEntry) {
  // A tab-separated file's line without a tab is malformed, not a CMU entry.
  Result<Dictionary> parsed =
      ParseDictionary(";;; words\ncat\tK AE1 T\nthis line is bad\n", "t.tsv", {});
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().message,
            "t.tsv:3: no tab between word and pronunciation");
  // A CMU file reads a later tab as a blank, as the CMU format does.
  const Dictionary cmu = ParseOk("cat  K AE1 T\nbox\tB AA1 K S\n");
  ASSERT_EQ(cmu.entries.size(), 2u);
  EXPECT_EQ(cmu.entries[1].phonemes, Phonemes({"B", "AA1", "K", "S"}));
}

TEST(DictionaryTest, SkipsAndCountsMalformedLinesWhenAsked) {
  DictionaryOptions options;
  options.skip_malformed = true;
  const Dictionary dictionary =
      ParseOk("one  W AH1 N\nnothing\n" + std::string(5000, 'x') +
                  "\ntwo  T UW1\n",
              options);
  ASSERT_EQ(dictionary.entries.size(), 2u);
  EXPECT_EQ(dictionary.entries[1].line, 4u);
  ASSERT_EQ(dictionary.skipped.size(), 2u);
  EXPECT_EQ(dictionary.skipped[0].line, 2u);
  EXPECT_EQ(dictionary.skipped[1].line, 3u);
}

TEST(DictionaryTest, DropsDuplicatesAndMergesVariantsWithoutStress) {
  const std::string text =
      "a  AH0\na(2)  EY1\na  AH0\nrecord  R EH1 K ER0 D\n"
      "record(2)  R EH0 K ER1 D\n";
  const Dictionary kept = ParseOk(text);
  EXPECT_EQ(kept.entries.size(), 4u);
  EXPECT_EQ(kept.duplicates, 1u);

  DictionaryOptions options;
  options.strip_stress = true;
  const Dictionary stripped = ParseOk(text, options);
  ASSERT_EQ(stripped.entries.size(), 3u);
  EXPECT_EQ(stripped.duplicates, 2u);
  EXPECT_EQ(stripped.entries[2].phonemes, Phonemes({"R", "EH", "K", "ER", "D"}));
}

TEST(DictionaryTest, EmptyInputGivesNoEntriesAndMissingFileFails) {
  EXPECT_TRUE(ParseOk("").entries.empty());
  EXPECT_TRUE(ParseOk(";;; only a comment\n\n").entries.empty());
  Result<Dictionary> missing =
      ReadDictionary(VUREL_TEST_TMPDIR "/no/such/file.dict", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().message.find("no/such/file.dict"), std::string::npos);
}

TEST(DictionaryTest, SplitCodePointsRejectsInvalidUtf8) {
  std::vector<std::string> pieces;
  EXPECT_TRUE(SplitCodePoints("aé€😀", pieces));
  EXPECT_EQ(pieces, Phonemes({"a", "é", "€", "😀"}));
  for (std::string bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                          "\xe2\x82"}) {
    pieces.clear();
    EXPECT_FALSE(SplitCodePoints(bad, pieces)) << bad.size();
  }
}

}  // namespace
}  // namespace vurel::train
