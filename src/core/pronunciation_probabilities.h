// The probability of each of a word's pronunciations given the word: the
// sum of the probabilities of its paths over the sum over all the word's
// paths, both taken over the pairs a PairGraph settled that lie on paths
// within a bound. Paths heavier than the bound are left out, so the bound
// sets the accuracy.
//
// Sums run forwards in an order where every pair comes after the pairs with
// arcs into it; pairs on a cycle (input-epsilon arcs that write phonemes,
// with the backoffs) are summed round it until the sums settle.
#ifndef VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_
#define VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_

#include <vector>

#include "cluster_table.h"
#include "nbest.h"
#include "pair_graph.h"
#include "pronunciation_reference.h"

namespace vurel {

// Sets the probability of each of `pronunciations` (distinct uniques
// sequences) from the sums of the paths over the settled pairs of `graph`
// that lie on paths within `bound`; false when the sums round a cycle do
// not converge or the word's sum is not a positive finite number.
bool SetProbabilities(const direct::PairGraph &graph, double bound,
                      const ClusterTable &output_clusters, const VetoSet &veto,
                      std::vector<Pronunciation> &pronunciations);

}  // namespace vurel

#endif  // VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_
