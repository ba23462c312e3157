// Decoded paths as phoneme texts.
#ifndef VUREL_CORE_PHONEME_STRINGS_H_
#define VUREL_CORE_PHONEME_STRINGS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"
#include "openfst.h"

namespace vurel {

// The texts of `labels` in `output_symbols`, in order; labels that are
// negative as signed 32-bit values or not below the table's size are
// skipped.
std::vector<std::string> RenderLabels(const std::vector<Label> &labels,
                                      const fst::SymbolTable &output_symbols);

// The phonemes of the best path of `word`; empty when there is none.
std::vector<std::string> PhoneticizeBest(const Model &model,
                                         std::string_view word);

// The phonemes of every path the driver returns, in its order (write_fsts
// and accumulate off).
std::vector<std::vector<std::string>> PhoneticizeSampling(
    const Model &model, std::string_view word, std::uint64_t nbest,
    std::uint64_t beam, float threshold, double pmass);

}  // namespace vurel

#endif  // VUREL_CORE_PHONEME_STRINGS_H_
