// Splits a word into pieces and maps them to the model's input labels.
#ifndef VUREL_CORE_TOKENIZER_H_
#define VUREL_CORE_TOKENIZER_H_

#include <cstddef>
#include <string_view>
#include <vector>

#include "openfst.h"

namespace vurel {

// With an empty `delimiter` every code point of `word` is one piece;
// otherwise the word is split at each character equal to the whole
// delimiter (so a delimiter of two or more characters never splits). Each
// piece is looked up in `input_symbols`; a piece that is not a symbol is
// reported on `report_fd` as
//   "Symbol: '{piece}' not found in input symbols table.\nMapping to null...\n"
// and left out. Returns the labels of the found pieces, in order.
std::vector<Label> Tokenize(std::string_view word, std::string_view delimiter,
                            const fst::SymbolTable &input_symbols,
                            int report_fd = 2);

}  // namespace vurel

#endif  // VUREL_CORE_TOKENIZER_H_
