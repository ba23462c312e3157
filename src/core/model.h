// A loaded pronunciation model: the transducer with its arcs sorted by
// input label, both symbol tables, both cluster tables, the veto set and the
// delimiter. Immutable once built; safe to read from several threads.
#ifndef VUREL_CORE_MODEL_H_
#define VUREL_CORE_MODEL_H_

#include <optional>
#include <string>
#include <string_view>

#include "cluster_table.h"
#include "openfst.h"
#include "result.h"

namespace vurel {

class Model {
 public:
  // Reads the model file at `path`. Fails with kInvalidInput and the full
  // text of the error: "failed to read FST: {reader message}", or
  // "FST is missing input symbol table" / "... output ...".
  static Result<Model> Load(const std::string &path, std::string delimiter);

  // Builds a model from an FST in memory (both symbol tables required, same
  // messages as Load); drops property bits that the arcs contradict, sorts
  // the arcs stably by input label. Rejects models that cannot be decoded
  // safely (see CheckInputEpsilonCycles).
  static Result<Model> FromFst(VectorFst fst, std::string delimiter);

  const VectorFst &fst() const { return fst_; }
  const fst::SymbolTable &input_symbols() const { return *fst_.InputSymbols(); }
  const fst::SymbolTable &output_symbols() const { return *fst_.OutputSymbols(); }
  const ClusterTable &input_clusters() const { return input_clusters_; }
  const ClusterTable &output_clusters() const { return output_clusters_; }
  const VetoSet &veto_set() const { return veto_set_; }
  const std::string &delimiter() const { return delimiter_; }

  // Symbol lookups: the label of a text or the text of a label in the input
  // or output table; nullopt when absent or out of range.
  std::optional<Label> FindInputLabel(std::string_view text) const;
  std::optional<Label> FindOutputLabel(std::string_view text) const;
  std::optional<std::string> FindInputText(std::int64_t label) const;
  std::optional<std::string> FindOutputText(std::int64_t label) const;

 private:
  Model() = default;

  VectorFst fst_;
  ClusterTable input_clusters_;
  ClusterTable output_clusters_;
  VetoSet veto_set_;
  std::string delimiter_;
};

// Clears the known property bits of `fst` that would let OpenFst take a
// shortcut (sorted, acyclic, no epsilons, ...) where its states and arcs
// contradict them; true claims and all other bits are kept.
void DropFalseProperties(VectorFst &fst);

// Fails with kInvalidInput if a cycle of input-epsilon arcs (reading no
// letter) on a path from the start to a final state has a total weight
// below -1e-6: every word's lattice would then hold paths of ever lower
// weight, and OpenFst's search would run on for millions of rounds and
// return arbitrary paths. NaN and -inf arcs are not counted; the search
// fails on them at once. Expects the arcs sorted by input label; costs
// little more than a pass over the states unless there are cycles.
Status CheckInputEpsilonCycles(const VectorFst &fst);

// Sorts the arcs of every state by input label, keeping arcs with equal
// input labels in their order, and sets the properties as OpenFst's
// ArcSort with ILabelCompare would.
void StableSortArcsByInput(VectorFst &fst);

}  // namespace vurel

#endif  // VUREL_CORE_MODEL_H_
