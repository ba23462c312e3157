// The phoneticize driver: one word through every stage of the decoder.
#ifndef VUREL_CORE_DRIVER_H_
#define VUREL_CORE_DRIVER_H_

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "model/model.h"
#include "path_data.h"
#include "reference/nbest.h"
#include "reference/pronunciation_reference.h"

namespace vurel {

// Threshold and pmass are off at this value or above (and when NaN).
inline constexpr double kOptionOff = 99.0;

struct PhoneticizeOptions {
  std::uint64_t nbest = 1;       // distinct pronunciations wanted
  std::uint64_t beam = 10000;    // most records returned
  double pmass = kOptionOff;     // probability-mass cut-off, -log units
  float threshold = kOptionOff;  // records with a larger weight are skipped
  bool write_fsts = false;       // write WORD.fst and WORD.lat.fst
  bool accumulate = false;       // log-add weights of merged paths
};

// Normalises, skips and cuts the collected paths by `beam`, `threshold` and
// `pmass`; returns copies of the kept records in collection order.
std::vector<PathData> SelectPaths(const PathCollection &collection,
                                  std::uint64_t beam, float threshold,
                                  double pmass);

// How decoding one word ended.
enum class DecodeStatus {
  kDecoded,     // the search ran; `paths` holds what the options select
  kNoPath,      // no letter of the word is known, or the model reads no path
  kOverBudget,  // the word needs more memory than the model's word budget
  kCancelled,   // `*cancel` became true
  kFailed,      // OpenFst reported an error
};

// Which search decodes a word. kAuto takes the direct search where the
// model suits it and the word needs no lattice files, and OpenFst's
// pipeline where the direct search cannot be sure of its answer.
enum class Engine { kAuto, kReference };

struct Decoding {
  std::vector<PathData> paths;
  DecodeStatus status = DecodeStatus::kNoPath;
  bool direct = false;       // the direct search gave the answer
  bool fell_back = false;    // the direct search was tried and left it to OpenFst
  bool distinct_outputs = false;  // the direct search read one path per output
};

// Decodes `word` with `model` as Phoneticize does, and says why there are
// no paths when there are none. Safe to call from several threads at once
// on one model. `cancel`, when given, is read while the lattice grows.
Decoding Decode(const Model &model, std::string_view word,
                const PhoneticizeOptions &options,
                const std::atomic<bool> *cancel = nullptr, Engine engine = Engine::kAuto);

// How DecodeDistinct ranks pronunciations: by the weight of each one's best
// path, or by its probability given the word (the sum over all its paths).
enum class Ranking { kBestPath, kProbability };

struct DistinctOptions {
  std::uint64_t count = 1;      // distinct pronunciations wanted
  bool probabilities = false;   // compute each one's probability given the word
  Ranking ranking = Ranking::kBestPath;
};

// With Ranking::kProbability, the candidates re-ranked: this many times
// `count` of the best paths' pronunciations.
inline constexpr std::uint64_t kCandidatesPerProbabilityRank = 4;

struct DistinctDecoding {
  std::vector<Pronunciation> pronunciations;
  DecodeStatus status = DecodeStatus::kNoPath;
  bool direct = false;     // the distinct search gave the answer
  bool fell_back = false;  // it was tried and left the word to the reference
  // Probabilities were asked for, and cycles on the word's paths hold
  // unbounded mass: they are undefined and left unset (negative), and
  // Ranking::kProbability keeps the order by best path.
  bool probabilities_undefined = false;
};

// The `count` best distinct pronunciations of `word`, best first under
// `ranking` (equal ones by phonemes), with probabilities when asked for (and
// always with Ranking::kProbability). The same tokenizer and acceptor as
// Decode; the distinct search where the model suits it, else OpenFst's
// (ReferencePronunciations on the lattice). Safe to call from several
// threads at once on one model; `cancel` as for Decode.
DistinctDecoding DecodeDistinct(const Model &model, std::string_view word,
                                const DistinctOptions &options,
                                const std::atomic<bool> *cancel = nullptr,
                                Engine engine = Engine::kAuto);

// Decodes `word` with `model`. Never fails: any error inside decoding
// gives an empty list. Unknown pieces of the word are reported on
// descriptor 2 (see Tokenize). With `write_fsts`, writes WORD.fst and
// WORD.lat.fst relative to the working directory, ignoring failures; a word
// holding a NUL byte cannot name a file and writes none.
std::vector<PathData> Phoneticize(const Model &model, std::string_view word,
                                  const PhoneticizeOptions &options);

}  // namespace vurel

#endif  // VUREL_CORE_DRIVER_H_
