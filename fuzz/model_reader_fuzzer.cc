// libFuzzer target: any bytes as a model file. Parsing, loading (arc sort,
// symbol table checks, cycle check, cluster tables) and, for small models,
// decoding a word must end without a crash, a hang or a runaway
// allocation, whether the file is accepted or not. Every word decoded must
// give the same records from the direct search as from OpenFst's pipeline,
// and the same distinct pronunciations from the distinct search as from its
// OpenFst reference; a difference aborts the run as a finding. (Not their
// probabilities: a fuzzed model's cycles may hold more than all the mass,
// and their sums have no end.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "model/fst_file.h"
#include "model/model.h"

namespace {

// Decoding cost grows with the model; beyond this the run would measure
// OpenFst rather than find faults in the loader.
constexpr int kLargestDecodedModel = 2000;

// A word spelled with the first few input symbols after the reserved ones,
// so that decoding meets the model's own arcs.
std::string WordFromInputs(const vurel::Model &model) {
  std::string word;
  const auto &symbols = model.input_symbols();
  for (std::int64_t label = 3; label < 7 && label < static_cast<std::int64_t>(symbols.NumSymbols());
       ++label) {
    word += symbols.Find(label);
  }
  return word;
}

void DecodeWithBoth(const vurel::Model &model, const std::string &word,
                    const vurel::PhoneticizeOptions &options) {
  const vurel::Decoding direct = vurel::Decode(model, word, options);
  const vurel::Decoding reference =
      vurel::Decode(model, word, options, nullptr, vurel::Engine::kReference);
  if (direct.status != reference.status || !vurel::IdenticalRecords(direct.paths, reference.paths)) {
    std::abort();
  }
}

void DecodeDistinctWithBoth(const vurel::Model &model, const std::string &word) {
  vurel::DistinctOptions options;
  options.count = 3;
  const vurel::DistinctDecoding found = vurel::DecodeDistinct(model, word, options);
  const vurel::DistinctDecoding reference =
      vurel::DecodeDistinct(model, word, options, nullptr, vurel::Engine::kReference);
  if (found.status != reference.status ||
      !vurel::AgreesWithReference(found.pronunciations, reference.pronunciations)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  vurel::Result<vurel::VectorFst> fst =
      vurel::ParseFst(std::as_bytes(std::span(data, size)));
  if (!fst.ok()) return 0;
  const bool small = fst->NumStates() <= kLargestDecodedModel;
  vurel::Result<vurel::Model> model = vurel::Model::FromFst(std::move(fst).value(), "");
  if (!model.ok() || !small) return 0;
  const std::string word = WordFromInputs(*model);
  vurel::PhoneticizeOptions options;
  options.nbest = 3;
  DecodeWithBoth(*model, word, options);
  DecodeWithBoth(*model, word.substr(0, 1), options);
  options.accumulate = true;
  DecodeWithBoth(*model, word, options);
  DecodeDistinctWithBoth(*model, word);
  return 0;
}
