// Word and phoneme error rates of a model on a dictionary.
#ifndef VUREL_TRAIN_EVALUATION_H_
#define VUREL_TRAIN_EVALUATION_H_

#include <cstddef>
#include <string>
#include <vector>

#include "dictionary.h"
#include "model/model.h"

namespace vurel::train {

struct WordError {
  std::string word;
  std::vector<std::string> predicted;                // empty when nothing decoded
  std::vector<std::vector<std::string>> references;  // all variants
  std::size_t edits = 0;                             // to the nearest variant
};

struct EvaluationReport {
  std::size_t words = 0;
  std::size_t word_errors = 0;
  // Length of the nearest variant of each word, summed, and the edits.
  std::size_t reference_phonemes = 0;
  std::size_t phoneme_errors = 0;
  // Words with a letter the model does not know; counted as errors and not
  // decoded.
  std::size_t words_with_unknown_letters = 0;
  double decoding_seconds = 0;
  std::vector<WordError> errors;  // when asked for, in dictionary order

  double word_error_rate() const;     // in percent
  double phoneme_error_rate() const;  // in percent
};

// Decodes each distinct word of `dictionary` with `model` (best
// pronunciation only). A word is right when its pronunciation equals one
// of its variants; its phoneme errors are the edit distance to the nearest
// variant, whose length counts toward `reference_phonemes`.
EvaluationReport Evaluate(const Model &model, const Dictionary &dictionary,
                          bool list_errors);

// Fails when `dictionary` has no entries, since error rates over no words
// would read as a perfect score.
Status CheckEvaluable(const Dictionary &dictionary);

// Levenshtein distance between two phoneme sequences.
std::size_t EditDistance(const std::vector<std::string> &a,
                         const std::vector<std::string> &b);

}  // namespace vurel::train

#endif  // VUREL_TRAIN_EVALUATION_H_
