#include "aligner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dictionary.h"

namespace vurel::train {
namespace {

std::vector<DictionaryEntry> Entries(const std::string &text) {
  Result<Dictionary> parsed = ParseDictionary(text, "test", {});
  EXPECT_TRUE(parsed.ok());
  return parsed.ok() ? parsed->entries : std::vector<DictionaryEntry>{};
}

// The alignment of entry `index` as "letters}phonemes" pairs.
std::vector<std::string> Rendered(const Alignment &alignment, std::size_t index) {
  for (std::size_t s = 0; s < alignment.sequences.size(); ++s) {
    if (alignment.entry_index[s] != index) continue;
    std::vector<std::string> pairs;
    for (std::uint32_t token : alignment.sequences[s]) {
      const JointUnit &unit = alignment.units[token];
      pairs.push_back(GraphemeText(unit) + "}" + PhonemeText(unit));
    }
    return pairs;
  }
  return {"<not aligned>"};
}

using Pairs = std::vector<std::string>;

// Steps of up to two letters and two phonemes, no insertions.
AlignerOptions TwoByTwo() {
  AlignerOptions options;
  options.max_graphemes = 2;
  options.max_phonemes = 2;
  options.allow_insertions = false;
  return options;
}

TEST(AlignerTest, FindsOneToManyAndManyToOneUnits) {
  const auto entries = Entries(
      "ab A B\nba B A\naa A A\nbb B B\n"
      "ax A K S\nxa K S A\nxb K S B\nbxb B K S B\n"
      "pha F A\naph A F\nbph B F\nphb F B\n");
  Result<Alignment> alignment = Align(entries, TwoByTwo());
  ASSERT_TRUE(alignment.ok()) << alignment.error().message;
  EXPECT_EQ(Rendered(*alignment, 0), Pairs({"a}A", "b}B"}));
  EXPECT_EQ(Rendered(*alignment, 4), Pairs({"a}A", "x}K|S"}));
  EXPECT_EQ(Rendered(*alignment, 7), Pairs({"b}B", "x}K|S", "b}B"}));
  EXPECT_EQ(Rendered(*alignment, 8), Pairs({"p|h}F", "a}A"}));
  EXPECT_EQ(Rendered(*alignment, 10), Pairs({"b}B", "p|h}F"}));
  EXPECT_TRUE(alignment->unalignable.empty());
  EXPECT_GT(alignment->iterations, 1);
}

TEST(AlignerTest, SharedSilentLetterBecomesADeletion) {
  // With one letter per step any of the three letters could be silent; the
  // units that the other words share decide.
  const auto entries = Entries(
      "ab A B\nba B A\naa A A\nbb B B\nabe A B\nbae B A\naae A A\nbbe B B\n");
  AlignerOptions options = TwoByTwo();
  options.max_graphemes = 1;
  Result<Alignment> alignment = Align(entries, options);
  ASSERT_TRUE(alignment.ok());
  EXPECT_EQ(Rendered(*alignment, 4), Pairs({"a}A", "b}B", "e}_"}));
  EXPECT_EQ(Rendered(*alignment, 7), Pairs({"b}B", "b}B", "e}_"}));
}

TEST(AlignerTest, StepLimitsDecideWhatCanBeAligned) {
  // "x" cannot give two phonemes with one phoneme per step...
  const auto entries = Entries("ab A B\nax A K S\nb B\n");
  AlignerOptions options = TwoByTwo();
  options.max_phonemes = 1;
  Result<Alignment> narrow = Align(entries, options);
  ASSERT_TRUE(narrow.ok());
  EXPECT_EQ(narrow->unalignable, std::vector<std::size_t>({1}));
  EXPECT_EQ(narrow->sequences.size(), 2u);

  // ...unless a phoneme may come without a letter.
  options.allow_insertions = true;
  Result<Alignment> inserting = Align(entries, options);
  ASSERT_TRUE(inserting.ok());
  EXPECT_TRUE(inserting->unalignable.empty());
  const Pairs ax = Rendered(*inserting, 1);
  ASSERT_EQ(ax.size(), 3u);
  EXPECT_TRUE(ax[1] == "_}K" || ax[2] == "_}S") << ax[1] << " " << ax[2];

  // Without deletions a silent letter cannot be aligned.
  AlignerOptions no_deletions = TwoByTwo();
  no_deletions.allow_deletions = false;
  no_deletions.max_graphemes = 1;
  Result<Alignment> strict = Align(Entries("ab A B\nabe A B\n"), no_deletions);
  ASSERT_TRUE(strict.ok());
  EXPECT_EQ(strict->unalignable, std::vector<std::size_t>({1}));
}

TEST(AlignerTest, ManyToManyStepsOnlyWhenAllowed) {
  const auto entries = Entries("xy K S\n");
  Result<Alignment> two_by_two = Align(entries, TwoByTwo());
  ASSERT_TRUE(two_by_two.ok());
  for (const JointUnit &unit : two_by_two->units) {
    EXPECT_FALSE(unit.graphemes.size() == 2 && unit.phonemes.size() == 2);
  }
  AlignerOptions options = TwoByTwo();
  options.allow_many_to_many = true;
  Result<Alignment> joined = Align(entries, options);
  ASSERT_TRUE(joined.ok());
  EXPECT_EQ(Rendered(*joined, 0), Pairs({"x|y}K|S"}));
}

void ExpectRejected(const Result<Alignment> &alignment, const std::string &reason) {
  ASSERT_FALSE(alignment.ok()) << reason;
  EXPECT_EQ(alignment.error().code, ErrorCode::kInvalidInput);
  EXPECT_EQ(alignment.error().message, reason);
}

TEST(AlignerTest, RejectsBadOptionsAndCorporaWithNothingToAlign) {
  const auto entries = Entries("ab A B\n");
  for (auto [letters, phonemes] : {std::pair{0, 1}, {3, 1}, {1, -1}, {1, 3}}) {
    SCOPED_TRACE(std::to_string(letters) + " " + std::to_string(phonemes));
    AlignerOptions options;
    options.max_graphemes = letters;
    options.max_phonemes = phonemes;
    ExpectRejected(Align(entries, options),
                   "alignment steps take 1 or 2 letters and 0 to 2 phonemes");
  }
  for (int alternatives : {0, 65}) {
    SCOPED_TRACE(alternatives);
    AlignerOptions options;
    options.alternatives = alternatives;
    ExpectRejected(Align(entries, options), "alternative alignments must number 1 to 64");
  }
  ExpectRejected(Align({}, {}), "no dictionary entry can be aligned");
  ExpectRejected(Align(Entries("a A B C D E\n"), TwoByTwo()),
                 "no dictionary entry can be aligned");
}

TEST(AlignerTest, UnitsSpellEveryEntryWithOrWithoutStressInTheAlignment) {
  const auto entries = Entries(
      "record R EH1 K ER0 D\nrecord(2) R IH0 K AO1 R D\nrecords R EH1 K ER0 D Z\n"
      "axe AE1 K S\nbox B AA1 K S\nexit EH1 G Z AH0 T\n"
      "cord K AO1 R D\nex EH1 K S\n");
  for (int alternatives : {1, 3}) {
    for (bool ignore_stress : {false, true}) {
      AlignerOptions options = TwoByTwo();
      options.ignore_stress = ignore_stress;
      options.alternatives = alternatives;
      Result<Alignment> alignment = Align(entries, options);
      ASSERT_TRUE(alignment.ok());
      ASSERT_EQ(alignment->sequences.size() == entries.size(), alternatives == 1);
      for (std::size_t s = 0; s < alignment->sequences.size(); ++s) {
        const DictionaryEntry &entry = entries[alignment->entry_index[s]];
        std::vector<std::string> letters, phonemes;
        for (std::uint32_t token : alignment->sequences[s]) {
          const JointUnit &unit = alignment->units.at(token);
          letters.insert(letters.end(), unit.graphemes.begin(), unit.graphemes.end());
          phonemes.insert(phonemes.end(), unit.phonemes.begin(), unit.phonemes.end());
        }
        EXPECT_EQ(letters, entry.graphemes) << entry.word;
        EXPECT_EQ(phonemes, entry.phonemes) << entry.word;
      }
      // Tokens are numbered in the order of the units' texts, each used.
      for (std::size_t t = 1; t < alignment->units.size(); ++t) {
        const JointUnit &a = alignment->units[t - 1], &b = alignment->units[t];
        EXPECT_LT(std::pair(GraphemeText(a), PhonemeText(a)),
                  std::pair(GraphemeText(b), PhonemeText(b)));
      }
    }
  }
}

TEST(AlignerTest, AlternativesAreTheBestSegmentationsWithTheirShares) {
  const auto entries = Entries(
      "ab A\nba A\nabc A C\nletter L EH T ER\nbetter B EH T ER\nax AE K S\n");
  AlignerOptions options;  // single letters, deletions and insertions
  Result<Alignment> best = Align(entries, options);
  options.alternatives = 4;
  Result<Alignment> several = Align(entries, options);
  ASSERT_TRUE(best.ok() && several.ok());
  ASSERT_EQ(several->shares.size(), several->sequences.size());
  std::size_t first = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    std::size_t last = first;
    double sum = 0;
    while (last < several->sequences.size() && several->entry_index[last] == index) {
      sum += several->shares[last];
      if (last > first) EXPECT_LE(several->shares[last], several->shares[last - 1]);
      ++last;
    }
    // Each of these entries has more than four segmentations.
    EXPECT_EQ(last - first, 4u) << entries[index].word;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    EXPECT_EQ(Rendered(*several, index), Rendered(*best, index));
    std::vector<std::vector<std::string>> seen;
    for (std::size_t s = first; s < last; ++s) {
      std::vector<std::string> pairs;
      for (std::uint32_t token : several->sequences[s]) {
        pairs.push_back(GraphemeText(several->units[token]) + "}" +
                        PhonemeText(several->units[token]));
      }
      EXPECT_EQ(std::count(seen.begin(), seen.end(), pairs), 0);
      seen.push_back(pairs);
    }
    first = last;
  }
  EXPECT_EQ(first, several->sequences.size());
}

TEST(AlignerTest, UnitTextsJoinWithTheTie) {
  EXPECT_EQ(GraphemeText({{"c", "k"}, {"K"}}), "c|k");
  EXPECT_EQ(PhonemeText({{"x"}, {"K", "S"}}), "K|S");
  EXPECT_EQ(GraphemeText({{}, {"K"}}), "_");
  EXPECT_EQ(PhonemeText({{"e"}, {}}), "_");
}

}  // namespace
}  // namespace vurel::train
