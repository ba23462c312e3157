// The phoneticize driver: one word through every stage of the decoder.
#ifndef VUREL_CORE_DRIVER_H_
#define VUREL_CORE_DRIVER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "model.h"
#include "nbest.h"
#include "path_data.h"

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

// Decodes `word` with `model`. Never fails: any error inside decoding
// gives an empty list. Unknown pieces of the word are reported on
// descriptor 2 (see Tokenize). With `write_fsts`, writes WORD.fst and
// WORD.lat.fst relative to the working directory, ignoring failures; a word
// holding a NUL byte cannot name a file and writes none.
std::vector<PathData> Phoneticize(const Model &model, std::string_view word,
                                  const PhoneticizeOptions &options);

}  // namespace vurel

#endif  // VUREL_CORE_DRIVER_H_
