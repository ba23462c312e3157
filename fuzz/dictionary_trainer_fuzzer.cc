// libFuzzer target: any bytes as a pronunciation dictionary. Reading it,
// training a model on it, and decoding every word with the model written
// must end without a crash, a hang or a runaway allocation, whether the
// dictionary is accepted or not. The first byte picks the options, so that
// every format, the skipping of malformed lines, the aligner's limits and
// the primary-stress rule are all reached.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "dictionary.h"
#include "evaluation.h"
#include "model/model.h"
#include "trainer.h"

namespace {

struct FuzzOptions {
  vurel::train::DictionaryOptions dictionary;
  vurel::train::TrainOptions train;
};

FuzzOptions OptionsFromByte(std::uint8_t byte) {
  using namespace vurel::train;
  FuzzOptions options;
  constexpr DictionaryFormat kFormats[] = {DictionaryFormat::kAuto, DictionaryFormat::kCmu,
                                           DictionaryFormat::kTsv, DictionaryFormat::kAuto};
  options.dictionary.format = kFormats[byte & 3];
  options.dictionary.skip_malformed = byte & 4;
  options.dictionary.strip_stress = byte & 8;
  options.train.aligner.max_graphemes = byte & 16 ? 2 : 1;
  options.train.aligner.max_phonemes = byte & 32 ? 2 : 1;
  options.train.aligner.alternatives = byte & 64 ? 2 : 1;
  options.train.ngram.order = byte & 128 ? 2 : 4;
  options.train.primary_stress = byte & 8 ? PrimaryStress::kAny : PrimaryStress::kAuto;
  return options;
}

// One file per fuzzing process, so that parallel jobs do not meet.
const std::string &ModelPath() {
  static const std::string path =
      "/tmp/vurel-dictionary-fuzzer-" + std::to_string(getpid()) + ".fst";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const FuzzOptions options = OptionsFromByte(data[0]);
  const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  vurel::Result<vurel::train::Dictionary> dictionary =
      vurel::train::ParseDictionary(text, "fuzz", options.dictionary);
  if (!dictionary.ok()) return 0;
  vurel::Result<vurel::train::TrainReport> report =
      vurel::train::TrainModel(*dictionary, options.train, ModelPath());
  if (!report.ok()) return 0;
  // A model the trainer reports as written must load and decode.
  vurel::Result<vurel::Model> model = vurel::Model::Load(ModelPath(), "");
  if (!model.ok()) __builtin_trap();
  (void)vurel::train::Evaluate(*model, *dictionary, true);
  std::remove(ModelPath().c_str());
  return 0;
}
