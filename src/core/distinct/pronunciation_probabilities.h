// The probability of each of a word's pronunciations given the word: the
// sum of the probabilities of its paths over the sum over all the word's
// paths, both taken over the pairs a PairGraph settled that lie on paths
// within a bound. Paths heavier than the bound are left out, so the bound
// sets the accuracy; the sums tell when it was too low.
//
// Sums run forwards in an order where every pair comes after the pairs with
// arcs into it; pairs on a cycle (input-epsilon arcs that write phonemes,
// with the backoffs) are summed round it until the sums settle. Where they
// do not settle soon, the cycles' mass is measured (util/unbounded_mass.h):
// pairs within the bound lie on paths from the start to the end, so cycles
// among them that hold unbounded mass make the word's sum infinite, and no
// probability is defined. Pairs left out only make that mass smaller, so a
// bound never makes it look unbounded.
#ifndef VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_
#define VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_

#include <vector>

#include "cluster_table.h"
#include "reference/nbest.h"
#include "reference/pronunciation_reference.h"
#include "search/pair_graph.h"

namespace vurel {

enum class ProbabilitySums {
  kSet,
  // The paths between `bound - shell` and `bound` hold too large a share of
  // the word's sum: those past the bound would matter. Settle further and
  // sum again.
  kTooNarrow,
  // The sums round a cycle did not converge, or the word's sum is not a
  // positive finite number.
  kUnsure,
  // Cycles on the word's paths hold unbounded mass: the word's sum is
  // infinite, and the probabilities are left unset.
  kUndefined,
};

// Sets the probability of each of `pronunciations` (distinct uniques
// sequences) from the sums of the paths over the settled pairs of `graph`
// that lie on paths within `bound`, unless the paths within `shell` below
// it tell that those left out weigh too much (an infinite bound leaves
// none out).
ProbabilitySums SetProbabilities(const direct::PairGraph &graph, double bound, double shell,
                                 const ClusterTable &output_clusters, const VetoSet &veto,
                                 std::vector<Pronunciation> &pronunciations);

}  // namespace vurel

#endif  // VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_
