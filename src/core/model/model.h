// A loaded pronunciation model: the transducer (a ModelFst) with its arcs
// sorted by input label, both symbol tables, both cluster tables, the veto set and the
// delimiter. Immutable once built; safe to read from several threads.
#ifndef VUREL_CORE_MODEL_H_
#define VUREL_CORE_MODEL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cluster_table.h"
#include "distinct/pronunciation_probabilities.h"
#include "model/flat_fst.h"
#include "openfst.h"
#include "result.h"
#include "search/direct_search.h"
#include "search/end_bounds.h"

namespace vurel {

// How a model decodes, fixed when it is loaded.
struct DecodeSettings {
  // Memory one word's decoding may take beyond the model, in bytes. A word
  // whose search would need more gives no pronunciation: without a bound, one
  // absurd word (200,000 letters of base64) exhausts the machine.
  std::uint64_t word_budget_bytes = std::uint64_t{1} << 30;
  // Decode every word with the OpenFst pipeline, never the direct search.
  bool reference_only = false;

  // The defaults, changed by VUREL_WORD_BUDGET_MB (megabytes, at least 1)
  // and VUREL_ENGINE=reference; other values of them are ignored.
  static DecodeSettings FromEnvironment();
};

class Model {
 public:
  // Reads the model file at `path`. Fails with kInvalidInput and the full
  // text of the error: "failed to read FST: {reader message}", or
  // "FST is missing input symbol table" / "... output ...".
  // Decodes with DecodeSettings::FromEnvironment() unless `settings` is given.
  static Result<Model> Load(const std::string &path, std::string delimiter,
                            std::optional<DecodeSettings> settings = std::nullopt);

  // Builds a model from an FST in memory (both symbol tables required, same
  // messages as Load); drops property bits that the arcs contradict, sorts
  // the arcs stably by input label. Rejects models that cannot be decoded
  // safely (see CheckInputEpsilonCycles).
  static Result<Model> FromFst(VectorFst fst, std::string delimiter,
                               std::optional<DecodeSettings> settings = std::nullopt);

  const ModelFst &fst() const { return fst_; }
  const fst::SymbolTable &input_symbols() const { return *fst_.InputSymbols(); }
  const fst::SymbolTable &output_symbols() const { return *fst_.OutputSymbols(); }
  const ClusterTable &input_clusters() const { return input_clusters_; }
  const ClusterTable &output_clusters() const { return output_clusters_; }
  const VetoSet &veto_set() const { return veto_set_; }
  const std::string &delimiter() const { return delimiter_; }
  const DecodeSettings &settings() const { return settings_; }
  // Whether the direct search can decode with this model (SuitsDirectSearch).
  bool suits_direct_search() const { return suits_direct_search_; }
  // The direct search's pairs before the first letter, found at load.
  const StartClosure &start_closure() const { return start_closure_; }
  // The distinct search's merged model (end_bounds.h), for a search that
  // asks for it; null until the searches that asked outnumber the model's
  // arcs divided by 4,000, then built by the first search past them, within
  // that search (on the default English model that takes 0.15 s and holds
  // 15 MiB, what the bounds save on about 800 words: a few words never repay
  // it); searches on other threads get null until it is done. Null when the
  // direct search cannot decode with this model.
  const HistoryQuotient *history_quotient() const;
  // The merged model, built now if it is not yet, or waited for if another
  // thread is building it; null as above.
  const HistoryQuotient *BuildHistoryQuotient() const;

  // The states on input-epsilon cycles that hold unbounded mass, found the
  // first time it is asked for (once per model; other threads wait).
  const UnboundedStates &unbounded_states() const;

  // Symbol lookups: the label of a text or the text of a label in the input
  // or output table; nullopt when absent or out of range.
  std::optional<Label> FindInputLabel(std::string_view text) const;
  std::optional<Label> FindOutputLabel(std::string_view text) const;
  std::optional<std::string> FindInputText(std::int64_t label) const;
  std::optional<std::string> FindOutputText(std::int64_t label) const;

 private:
  explicit Model(ModelFst fst) : fst_(std::move(fst)) {}

  // FromFst's work on the FST as read: checks, sorting, the copy.
  static Result<Model> FromFlatFst(FlatFst fst, std::string delimiter,
                                   std::optional<DecodeSettings> settings);

  ModelFst fst_;
  ClusterTable input_clusters_;
  ClusterTable output_clusters_;
  VetoSet veto_set_;
  std::string delimiter_;
  DecodeSettings settings_;
  bool suits_direct_search_ = false;
  StartClosure start_closure_;
  struct LazyQuotient;
  std::shared_ptr<LazyQuotient> quotient_;
  struct LazyUnboundedStates;
  std::shared_ptr<LazyUnboundedStates> unbounded_;
};

// Clears the known property bits of `fst` that would let OpenFst take a
// shortcut (sorted, acyclic, no epsilons, ...) where its states and arcs
// contradict them; true claims and all other bits are kept.
void DropFalseProperties(FlatFst &fst);

// Fails with kInvalidInput if a cycle of input-epsilon arcs (reading no
// letter) on a path from the start to a final state has a total weight
// below -1e-6: every word's lattice would then hold paths of ever lower
// weight, and OpenFst's search would run on for millions of rounds and
// return arbitrary paths. NaN and -inf arcs are not counted; the search
// fails on them at once. Expects the arcs sorted by input label; costs
// little more than a pass over the states unless there are cycles.
Status CheckInputEpsilonCycles(const FlatFst &fst);

// Sorts the arcs of every state by input label, keeping arcs with equal
// input labels in their order, and sets the properties as OpenFst's
// ArcSort with ILabelCompare would.
void StableSortArcsByInput(VectorFst &fst);
void StableSortArcsByInput(FlatFst &fst);

}  // namespace vurel

#endif  // VUREL_CORE_MODEL_H_
