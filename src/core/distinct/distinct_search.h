// The distinct-pronunciation search: a word's K best distinct
// pronunciations (uniques sequences), each with the record of its best path,
// found in the model itself as the direct search finds paths: over pairs of
// (position in the word, model state), arcs read in place, no lattice built.
//
// It is an A* search backwards from the end of the word over (pair, phonemes
// written from the pair to the end), with the pair's shortest distance from
// the start as its heuristic, which is exact. Two partial paths at one pair
// that write the same phonemes to the end lead to the same pronunciations,
// the lighter one first, so only the first one taken from the heap goes on:
// the work grows with K times the word's length, not with the thousands of
// alignments of each pronunciation. The first whole path of each
// pronunciation taken from the heap is its best one, and they come best
// first. Pairs are settled only as far from the start as the pronunciations
// found need, and further when more are wanted. Pairs are settled in order
// of distance plus a lower bound on the distance to the end (EndBounds), so
// that only pairs that may lie on a path that light are settled: for one
// pronunciation as for several, since on words the model has not seen the
// pairs lighter than the best path are many, and most lead nowhere light.
//
// Probabilities are sums (pronunciation_probabilities.h) over the pairs
// settled within a reach above the best path that lie on paths that light.
// The reach starts at kProbabilityReach (further for words of up to six
// letters, whose mass lies further out) and grows by one kProbabilityStep
// or more (FurtherReach) for as long as the paths of its last
// kProbabilityShell hold too much of the word's sum. Where the sums round a cycle do not settle, the word goes to
// the reference. A word whose settled paths reach a state on cycles of
// unbounded mass has no probabilities; one of a model with such states
// whose sums would stand without reaching one goes to the reference, which
// looks at the whole lattice.
#ifndef VUREL_CORE_DISTINCT_SEARCH_H_
#define VUREL_CORE_DISTINCT_SEARCH_H_

#include <atomic>
#include <cstdint>
#include <vector>

#include "cluster_table.h"
#include "distinct/pronunciation_probabilities.h"
#include "model_fst.h"
#include "openfst.h"
#include "reference/pronunciation_reference.h"
#include "search/direct_search.h"
#include "search/end_bounds.h"

namespace vurel {

// How far above the best path the paths of the sums reach at first, the
// shell below the reach whose share of the word's sum tells whether to reach
// further, and the step by which it grows. Probabilities must be right to
// within 1e-4: below 18, a shell that holds little may still lie before one
// that holds much (on 3,000 CMUdict words, starting at 14 left out 1.8e-4 of
// a word), and so may a shell of 2 (on 10,000, 6.5e-5 were left out).
inline constexpr float kProbabilityReach = 18.0f;
inline constexpr float kProbabilityShell = 4.0f;
inline constexpr float kProbabilityStep = 2.0f;

struct DistinctSearchResult {
  std::vector<Pronunciation> pronunciations;
  // kFound: `pronunciations` are the word's best `count`, best first, ties
  // by uniques (fewer when the word has fewer). kUnsure: leave the word to
  // ReferencePronunciations (a sum of weights overflowed, the acceptor has
  // epsilon arcs, or the sums of probabilities did not converge).
  DirectSearchOutcome outcome = DirectSearchOutcome::kNoPath;
  // kFound with probabilities asked for, and cycles on the word's paths
  // hold unbounded mass: the probabilities are undefined, and left unset.
  bool probabilities_undefined = false;
};

// Searches the product of `acceptor` (a word acceptor, states 0 to n in
// order, n final) and `model` (arcs sorted by input label, SuitsDirectSearch
// true; `start_closure` its StartClosure or none; `quotient` its
// HistoryQuotient, or null to settle by distance alone) for its `count` best
// distinct pronunciations, with their probabilities when `probabilities`.
// `unbounded`: the model's UnboundedStates, none when null. Partial paths
// count against `budget.partial_paths`, the arcs of the
// records read against `budget.kept_arcs`, pairs and arcs against the
// lattice's budget: past them, kOverBudget.
DistinctSearchResult SearchDistinct(const ModelFst &model, const StartClosure &start_closure,
                                    const HistoryQuotient *quotient, const VectorFst &acceptor,
                                    std::uint64_t count,
                                    bool probabilities, const ClusterTable &output_clusters,
                                    const VetoSet &veto, const DirectSearchBudget &budget,
                                    const std::atomic<bool> *cancel = nullptr,
                                    const UnboundedStates *unbounded = nullptr);

}  // namespace vurel

#endif  // VUREL_CORE_DISTINCT_SEARCH_H_
