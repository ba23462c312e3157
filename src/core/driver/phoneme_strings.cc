#include "driver/phoneme_strings.h"

#include "driver/driver.h"

namespace vurel {

std::vector<std::string> RenderLabels(const std::vector<Label> &labels,
                                      const fst::SymbolTable &output_symbols) {
  std::vector<std::string> texts;
  const std::int64_t size = output_symbols.NumSymbols();
  for (const Label label : labels) {
    const std::int32_t signed_label = static_cast<std::int32_t>(label);
    if (signed_label < 0 || signed_label >= size) continue;
    texts.push_back(output_symbols.Find(signed_label));
  }
  return texts;
}

std::vector<std::string> PhoneticizeBest(const Model &model,
                                         std::string_view word) {
  const std::vector<PathData> paths =
      Phoneticize(model, word, PhoneticizeOptions());
  if (paths.empty()) return {};
  return RenderLabels(paths.front().uniques, model.output_symbols());
}

std::vector<std::vector<std::string>> PhoneticizeSampling(
    const Model &model, std::string_view word, std::uint64_t nbest,
    std::uint64_t beam, float threshold, double pmass) {
  PhoneticizeOptions options;
  options.nbest = nbest;
  options.beam = beam;
  options.threshold = threshold;
  options.pmass = pmass;
  const std::vector<PathData> paths = Phoneticize(model, word, options);
  std::vector<std::vector<std::string>> rendered;
  rendered.reserve(paths.size());
  for (const PathData &path : paths) {
    rendered.push_back(RenderLabels(path.uniques, model.output_symbols()));
  }
  return rendered;
}

}  // namespace vurel
