// Segments entries anew under a joint n-gram model, so that the counts of
// the final model come from segmentations judged in context rather than
// unit by unit (a step of the joint-sequence training of Bisani and Ney
// 2008, with the sum over segmentations cut to the best few).
#ifndef VUREL_TRAIN_RESEGMENTER_H_
#define VUREL_TRAIN_RESEGMENTER_H_

#include <cstddef>
#include <vector>

#include "aligner.h"
#include "dictionary.h"
#include "joint_ngram.h"

namespace vurel::train {

struct ResegmentOptions {
  int alternatives = 4;      // segmentations kept per entry
  std::size_t beam = 16;     // partial segmentations kept per grid cell
};

// Returns `alignment` with each entry's sequences replaced by its
// `alternatives` most probable segmentations into `alignment.units` under
// `model`, each with its share of their summed probability. An entry the
// search cannot segment keeps its sequences.
Alignment Resegment(const std::vector<DictionaryEntry> &entries,
                    const Alignment &alignment, const JointNgramModel &model,
                    const ResegmentOptions &options);

}  // namespace vurel::train

#endif  // VUREL_TRAIN_RESEGMENTER_H_
