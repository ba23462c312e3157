// Conversion of a joint n-gram model into the transducer the decoder loads.
#ifndef VUREL_TRAIN_MODEL_BUILDER_H_
#define VUREL_TRAIN_MODEL_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "aligner.h"
#include "joint_ngram.h"
#include "openfst.h"
#include "result.h"

namespace vurel::train {

// One state per history of `model`; each seen n-gram is an arc from its
// history with the letters of its unit (`units[token]`) on the input side
// (0 when none) and its phonemes on the output side (label 2 "_" when
// none), weighted -log P; each history but the empty one has an
// epsilon:epsilon arc with -log of its backoff weight to its backoff; the
// end of a word is the final weight. Both symbol tables start "<eps>", "|",
// "_", then the single symbols and the clusters, each sorted by text. No
// weight is negative, so no cycle of input-epsilon arcs can be.
Result<VectorFst> BuildModelFst(const JointNgramModel &model,
                                const std::vector<JointUnit> &units);

// The number of each state of `fst` (a joint n-gram model, or its product
// with a constraint) once states are sorted by the input
// labels of the last four arcs into them, last first (following, into each
// state, its first arc that reads letters, else its first that inserts
// phonemes), states of equal labels in their order. A history fixes these
// labels whichever arcs are followed. Decoding a word visits, at each
// position, states whose histories end in the letters read so far: in this
// order they lie together, and the decoder reads fewer cache lines and
// pages of the model per word.
std::vector<Arc::StateId> LetterHistoryOrder(const VectorFst &fst);

// Fails when a weight of `fst` is NaN or when its arcs with input label 0
// form a cycle of negative total weight (Bellman-Ford from every state).
Status CheckInputEpsilonCycles(const VectorFst &fst);

struct ModelFileSize {
  std::uint64_t states = 0;
  std::uint64_t arcs = 0;
  std::uint64_t bytes = 0;
};

// Writes `fst` to `path`, reads the file back and checks it (same states and
// arcs, both symbol tables, CheckInputEpsilonCycles). The file is written
// under a temporary name beside `path` and renamed to `path` only once it
// passed, so on failure nothing is left and a file already at `path` stays.
// A link at `path` is followed and its target replaced; a target that is
// not a regular file (a device, a pipe, a directory) is refused. Messages
// name `path`, its target when they differ, and the system's reason.
Result<ModelFileSize> WriteModel(const VectorFst &fst, const std::string &path);

// Fails when `model_path` names the file at `dictionary_path` (through any
// link), which training would replace, or when WriteModel would refuse it or
// could not create its file there (checked by creating and removing one).
Status CheckModelPath(const std::string &dictionary_path, const std::string &model_path);

}  // namespace vurel::train

#endif  // VUREL_TRAIN_MODEL_BUILDER_H_
