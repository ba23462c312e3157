#include "driver.h"

#include <limits>
#include <string>
#include <utility>

#include "composition.h"
#include "fst_file.h"
#include "tokenizer.h"
#include "word_acceptor.h"

namespace vurel {

std::vector<PathData> SelectPaths(const PathCollection &collection,
                                  std::uint64_t beam, float threshold,
                                  double pmass) {
  std::vector<PathData> selected;
  selected.reserve(collection.keys.size());
  if (collection.keys.empty()) return selected;

  // NaN compares false, so it switches a rule off like 99.0 does.
  const bool use_pmass = pmass < kOptionOff;
  const bool use_threshold = threshold < static_cast<float>(kOptionOff);
  constexpr float kNoMass = std::numeric_limits<float>::infinity();

  float total = kNoMass;
  if (use_pmass) {
    for (const LabelSequence &key : collection.keys) {
      const auto kept = collection.paths.find(key);
      if (kept != collection.paths.end()) {
        total = LogAdd(total, kept->second.path_weight);
      }
    }
  }

  float running_mass = kNoMass;
  for (const LabelSequence &key : collection.keys) {
    const auto kept = collection.paths.find(key);
    if (kept == collection.paths.end()) continue;
    float weight = kept->second.path_weight;
    if (use_pmass) {
      weight -= total;
      // Records skipped by the threshold still count towards the mass.
      running_mass = LogAdd(running_mass, weight);
    }
    if (use_threshold && weight > threshold) continue;
    selected.push_back(kept->second);
    selected.back().path_weight = weight;
    if (use_pmass && pmass > static_cast<double>(running_mass)) break;
    if (selected.size() >= beam) break;
  }
  return selected;
}

std::vector<PathData> Phoneticize(const Model &model, std::string_view word,
                                  const PhoneticizeOptions &options) {
  VectorFst acceptor;
  {
    const std::vector<Label> labels =
        Tokenize(word, model.delimiter(), model.input_symbols());
    if (labels.empty()) return {};
    acceptor = BuildWordAcceptor(labels, model.input_clusters());
  }
  // SymbolTable copies share their contents, so the model's table is
  // referenced, not duplicated.
  acceptor.SetInputSymbols(&model.input_symbols());
  acceptor.SetOutputSymbols(&model.input_symbols());

  // A file name cannot hold a NUL byte; the system would cut the name at it
  // and write to a different file, so such a word writes nothing.
  const bool write_fsts =
      options.write_fsts && word.find('\0') == std::string_view::npos;
  const std::string file_stem(write_fsts ? word : std::string_view());
  if (write_fsts) (void)WriteFstFile(acceptor, file_stem + ".fst");

  Result<VectorFst> lattice = PrepareLattice(std::move(acceptor), model.fst());
  if (!lattice.ok()) return {};
  if (write_fsts) (void)WriteFstFile(*lattice, file_stem + ".lat.fst");

  Result<PathCollection> collection =
      SearchNbest(*lattice, options.nbest, options.accumulate,
                  model.output_clusters(), model.veto_set());
  if (!collection.ok()) return {};
  return SelectPaths(*collection, options.beam, options.threshold,
                     options.pmass);
}

}  // namespace vurel
