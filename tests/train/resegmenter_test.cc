#include "resegmenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace vurel::train {
namespace {

using NodeId = JointNgramModel::NodeId;
using Sequence = std::vector<std::uint32_t>;

std::vector<DictionaryEntry> Entries() {
  Result<Dictionary> parsed = ParseDictionary(
      "letter L EH T ER\nbetter B EH T ER\nbetting B EH T IH NG\nax AE K S\n"
      "tax T AE K S\nbox B AA K S\nbell B EH L\ntell T EH L\nlatter L AE T ER\n",
      "test", {});
  EXPECT_TRUE(parsed.ok());
  return parsed->entries;
}

// log P(sequence) with each history found from scratch: the longest suffix
// of the tokens so far (after the begin token) that the model has as a
// history.
double LogProbability(const JointNgramModel &model, const Sequence &sequence) {
  std::vector<std::uint32_t> seen = {model.begin_token()};
  double total = 0;
  for (std::size_t k = 0; k <= sequence.size(); ++k) {
    NodeId history = JointNgramModel::kRoot;
    const std::size_t longest = std::min<std::size_t>(seen.size(), model.order() - 1);
    for (std::size_t length = longest; length > 0; --length) {
      NodeId node = JointNgramModel::kRoot;
      for (std::size_t at = seen.size() - length; at < seen.size() && node != JointNgramModel::kNoNode; ++at) {
        node = model.Find(node, seen[at]);
      }
      if (node != JointNgramModel::kNoNode && !model.children(node).empty()) {
        history = node;
        break;
      }
    }
    const std::uint32_t token = k < sequence.size() ? sequence[k] : model.end_token();
    total += std::log(model.Probability(history, token));
    seen.push_back(token);
  }
  return total;
}

// Every segmentation of `entry` into the units of `alignment`.
void Segmentations(const DictionaryEntry &entry, const Alignment &alignment,
                   std::size_t letter, std::size_t phoneme, Sequence &prefix,
                   std::vector<Sequence> &out) {
  if (letter == entry.graphemes.size() && phoneme == entry.phonemes.size()) {
    out.push_back(prefix);
    return;
  }
  for (std::uint32_t t = 0; t < alignment.units.size(); ++t) {
    const JointUnit &unit = alignment.units[t];
    if (letter + unit.graphemes.size() > entry.graphemes.size() ||
        phoneme + unit.phonemes.size() > entry.phonemes.size() ||
        !std::equal(unit.graphemes.begin(), unit.graphemes.end(), entry.graphemes.begin() + letter) ||
        !std::equal(unit.phonemes.begin(), unit.phonemes.end(), entry.phonemes.begin() + phoneme)) {
      continue;
    }
    prefix.push_back(t);
    Segmentations(entry, alignment, letter + unit.graphemes.size(),
                  phoneme + unit.phonemes.size(), prefix, out);
    prefix.pop_back();
  }
}

TEST(ResegmenterTest, FindsTheMostProbableSegmentationsUnderTheModel) {
  const auto entries = Entries();
  Result<Alignment> alignment = Align(entries, {});
  ASSERT_TRUE(alignment.ok());
  for (int order : {2, 3}) {
    std::size_t multiple = 0;  // entries with more than one segmentation
    Result<JointNgramModel> model = JointNgramModel::Estimate(
        alignment->sequences, static_cast<std::uint32_t>(alignment->units.size()),
        {order, Smoothing::kKneserNey});
    ASSERT_TRUE(model.ok());
    const ResegmentOptions options{.alternatives = 3, .beam = 100000};
    const Alignment result = Resegment(entries, *alignment, *model, options);
    std::size_t s = 0;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      std::vector<Sequence> all;
      Sequence prefix;
      Segmentations(entries[index], *alignment, 0, 0, prefix, all);
      std::vector<double> scores;
      for (const Sequence &sequence : all) scores.push_back(LogProbability(*model, sequence));
      std::sort(scores.begin(), scores.end(), std::greater<>());
      const std::size_t kept = std::min<std::size_t>(scores.size(), 3);
      double kept_mass = 0;
      for (std::size_t rank = 0; rank < kept; ++rank) kept_mass += std::exp(scores[rank] - scores[0]);
      double sum = 0;
      for (std::size_t rank = 0; rank < kept; ++rank, ++s) {
        ASSERT_LT(s, result.sequences.size());
        EXPECT_EQ(result.entry_index[s], index);
        // The rank's score in the full ranking, and its share of the kept.
        EXPECT_NEAR(LogProbability(*model, result.sequences[s]), scores[rank], 1e-9)
            << entries[index].word << " rank " << rank;
        EXPECT_NEAR(result.shares[s], std::exp(scores[rank] - scores[0]) / kept_mass, 1e-9);
        sum += result.shares[s];
      }
      EXPECT_NEAR(sum, 1.0, 1e-12);
      multiple += kept > 1;
    }
    EXPECT_EQ(s, result.sequences.size());
    EXPECT_GE(multiple, 3u);
  }
}

}  // namespace
}  // namespace vurel::train
