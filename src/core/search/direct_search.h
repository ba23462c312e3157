// The direct search: a word's best paths found in the model itself, best
// first over pairs of (position in the word, model state), with the model's
// arcs read in place and no lattice built. It returns exactly what
// SearchNbest returns on the lattice PrepareLattice builds for the same word,
// or says that it cannot be sure, and the caller then builds the lattice.
//
// Paths are enumerated as OpenFst's n-shortest-paths search enumerates them,
// pass by pass: backwards from the end of the word, with the shortest
// distance from the start as the heuristic and OpenFst's order on its heap,
// weights summed in OpenFst's order, bit for bit. Only the pairs that paths
// of interest can pass through are visited: those whose distance from the
// start is within a margin of the best path, widened when more paths are
// needed.
//
// Without accumulate, only the first path of each pronunciation counts, and
// OpenFst reads hundreds of other alignments in between. A first pass skips
// partial paths that can only lead to pronunciations already found, then
// counts the paths by weight to show where OpenFst's passes, its cap and its
// limit of expansions per state would have stopped; where the counts cannot
// show it, the full enumeration answers.
#ifndef VUREL_CORE_DIRECT_SEARCH_H_
#define VUREL_CORE_DIRECT_SEARCH_H_

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include "cluster_table.h"
#include "model_fst.h"
#include "openfst.h"
#include "reference/nbest.h"

namespace vurel {

// Whether the direct search can decode with `model`: best-first search
// needs arc weights that are finite and not negative, final weights that are
// not negative (infinite ones mark states that are not final), and labels
// that are not negative. One pass over the arcs.
bool SuitsDirectSearch(const ModelFst &model);

// The pairs a word reaches before it reads a letter: the model's start
// state and the states its input-epsilon arcs lead to, with the arcs among
// them, settled. They are the same for every word (500 on the default
// English model, where a word at nbest 5 settles about 1,600 pairs in all),
// so they are settled once per model.
class StartClosure {
 public:
  struct Data;
  // None: each word settles them itself.
  StartClosure() = default;
  explicit StartClosure(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  const Data *data() const { return data_.get(); }

 private:
  std::shared_ptr<const Data> data_;
};

// The start closure of `model` (SuitsDirectSearch true; its arcs must stay
// where they are while the closure is used). None when it holds more than
// kLargestStartClosure pairs, or a sum of weights in it overflows.
inline constexpr std::uint64_t kLargestStartClosure = 1u << 16;
StartClosure FindStartClosure(const ModelFst &model);

struct DirectSearchBudget {
  // Lattice states and arcs allowed: a word whose pairs or arcs reached
  // from the start exceed them would outgrow the lattice's own budget too.
  std::uint64_t lattice_states = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t lattice_arcs = std::numeric_limits<std::uint64_t>::max();
  // Partial paths held while paths are enumerated.
  std::uint64_t partial_paths = std::numeric_limits<std::uint64_t>::max();
  // The fewest n-shortest-paths result states OpenFst's search may build;
  // a search that may need more than that is left to it, since it would
  // stop early there.
  std::uint64_t reference_result_states = std::numeric_limits<std::uint64_t>::max();
  // The arcs OpenFst's search may walk and keep while reading its paths
  // (SearchBudget's walked_arcs and kept_arcs).
  std::uint64_t walked_arcs = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t kept_arcs = std::numeric_limits<std::uint64_t>::max();
};

enum class DirectSearchOutcome {
  kFound,       // `collection` is what SearchNbest returns on the lattice
  kNoPath,      // the lattice has no path
  kOverBudget,  // the word's lattice is past its budget
  kCancelled,   // `*cancel` became true
  kUnsure,      // the OpenFst pipeline must answer (see SearchDirect)
};

struct DirectSearchResult {
  PathCollection collection;
  DirectSearchOutcome outcome = DirectSearchOutcome::kNoPath;
  // kFound by reading only the first path of each output (and counting the
  // paths between them), not all of OpenFst's paths.
  bool distinct_outputs = false;
};

// Searches the product of `acceptor` (a word acceptor, states 0 to n in
// order, n final) and `model` (arcs sorted by input label, SuitsDirectSearch
// true; `start_closure` its StartClosure or none) for the paths SearchNbest
// would read with `nbest` and `accumulate`.
// kUnsure when OpenFst's order is not certain to be the one found: entries
// of equal weight on its heap whose order (which the heap's layout decides)
// could change the result; a shortest distance OpenFst's delta may leave
// above the true one; a sum of weights that overflows. Also when the
// acceptor has epsilon arcs, when the partial paths outgrow their budget,
// or when OpenFst's search could be stopped by its own budget.
DirectSearchResult SearchDirect(const ModelFst &model, const StartClosure &start_closure,
                                const VectorFst &acceptor,
                                std::uint64_t nbest, bool accumulate,
                                const ClusterTable &output_clusters,
                                const VetoSet &veto, const DirectSearchBudget &budget,
                                const std::atomic<bool> *cancel = nullptr);

}  // namespace vurel

#endif  // VUREL_CORE_DIRECT_SEARCH_H_
