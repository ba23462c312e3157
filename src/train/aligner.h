// Many-to-many alignment of spellings and pronunciations by EM over all
// monotone segmentations (Jiampojamarn, Kondrak and Sherif 2007).
#ifndef VUREL_TRAIN_ALIGNER_H_
#define VUREL_TRAIN_ALIGNER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dictionary.h"
#include "result.h"

namespace vurel::train {

// The defaults were chosen by word error rate on a 10% part of the CMU
// dictionary: single letters and phonemes with insertions (25.2% without
// stress) beat steps of up to 2 letters and 2 phonemes (26.1%), which in
// turn are better without the 2-by-2 steps.
struct AlignerOptions {
  int max_graphemes = 1;         // letters joined in one step (1 or 2)
  int max_phonemes = 1;          // phonemes joined in one step (0 to 2)
  bool allow_deletions = true;   // steps of letters with no phoneme
  bool allow_insertions = true;  // steps of one phoneme with no letter
  // Steps of 2 letters with 2 phonemes (when both limits are 2).
  bool allow_many_to_many = false;
  // Judge segmentations on phonemes without their stress digits, so that
  // stressed and unstressed vowels share their statistics; the units still
  // carry the phonemes as written.
  bool ignore_stress = true;
  // Segmentations kept per entry: the most probable ones, each with its
  // share of their summed probability. Two gained 0.1 points of word error
  // rate on the CMU dictionary for a model twice the size, so one is the
  // default.
  int alternatives = 1;
  int max_iterations = 30;
  // EM stops when the log-likelihood improves by less than this fraction.
  double tolerance = 1e-5;
};

// A step of an alignment: some letters with some phonemes (either side may
// be empty, not both).
struct JointUnit {
  std::vector<std::string> graphemes;
  std::vector<std::string> phonemes;
  bool operator==(const JointUnit &) const = default;
};

struct Alignment {
  std::vector<JointUnit> units;  // a token's id is its index
  // The token sequences of each aligned entry, adjacent; `entry_index`
  // names a sequence's entry and `shares` its share of the entry.
  std::vector<std::vector<std::uint32_t>> sequences;
  std::vector<std::size_t> entry_index;
  std::vector<double> shares;
  std::vector<std::size_t> unalignable;  // entries with no segmentation
  int iterations = 0;
  double log_likelihood = 0.0;
};

// Receives a line at each stage of the work; returning false stops it, and
// the work then fails with StoppedError().
using ProgressCallback = std::function<bool(const std::string &message)>;

// The error of work stopped by its progress callback.
Error StoppedError();

// Calls `progress` when there is one; false when it asks to stop.
inline bool GoOn(const ProgressCallback &progress, const std::string &message) {
  return !progress || progress(message);
}

// Aligns every entry. Entries that no segmentation allowed by `options` can
// explain are listed in `unalignable` and left out. Fails on invalid options
// and when no entry can be aligned.
Result<Alignment> Align(const std::vector<DictionaryEntry> &entries,
                        const AlignerOptions &options,
                        const ProgressCallback &progress = {});

// A unit's sides joined with the tie "|", an empty side as "_".
std::string GraphemeText(const JointUnit &unit);
std::string PhonemeText(const JointUnit &unit);

}  // namespace vurel::train

#endif  // VUREL_TRAIN_ALIGNER_H_
