// The probability of each of a word's pronunciations given the word: the
// sum of the probabilities of its paths over the sum over all the word's
// paths, both taken over the pairs a PairGraph settled that lie on paths
// within a bound. Paths heavier than the bound are left out, so the bound
// sets the accuracy; the sums tell when it was too low.
//
// Sums run forwards in an order where every pair comes after the pairs with
// arcs into it; pairs on a cycle (input-epsilon arcs that write phonemes,
// with the backoffs) are summed round it until the sums settle.
#ifndef VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_
#define VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_

#include <cstdint>
#include <vector>

#include "cluster_table.h"
#include "reference/nbest.h"
#include "reference/pronunciation_reference.h"
#include "search/pair_graph.h"

namespace vurel {

// Per model state, 1 where it lies on input-epsilon cycles that hold
// unbounded mass (util/unbounded_mass.h); empty when no state does. Such a
// state at some position on a path from a word's start to its end makes
// the word's sum infinite; the cycles among a word's pairs are the model's.
using UnboundedStates = std::vector<std::uint8_t>;

enum class ProbabilitySums {
  kSet,
  // The paths between `bound - shell` and `bound` hold too large a share of
  // the word's sum: those past the bound would matter. Settle further and
  // sum again.
  kTooNarrow,
  // The sums round a cycle did not converge, the word's sum is not a
  // positive finite number, or the model has unbounded states that none of
  // the paths within a finite bound reaches, though heavier ones may.
  kUnsure,
  // A path within the bound reaches an unbounded state: the word's sum is
  // infinite, and the probabilities are left unset.
  kUndefined,
};

// Whether a path over the settled pairs of `graph` that weighs at most
// `bound` goes through a state of `unbounded` (the model's UnboundedStates):
// if so, the word's probabilities are undefined.
bool ReachesUnboundedState(const direct::PairGraph &graph, double bound,
                           const UnboundedStates &unbounded);

// How much further a bound should go whose last `shell` holds `shell_mass`
// of the word's `word`, `upper_half_mass` of it in the shell's upper half:
// at the rate the mass falls off from the lower half to the upper, the half
// shells it takes until the shell holds at most the share the sums allow,
// at least one and at most four; one where the mass does not fall off.
// Held-out words need 2 to 4 steps more than the first reach about as often
// as trained-on words need 1: jumping there spares the sums between.
double FurtherReach(double shell_mass, double upper_half_mass, double word, double shell);

// Sets the probability of each of `pronunciations` (distinct uniques
// sequences) from the sums of the paths over the settled pairs of `graph`
// that lie on paths within `bound`, unless the paths within `shell` below
// it tell that those left out weigh too much (an infinite bound leaves
// none out). `unbounded` are the model's UnboundedStates. With kTooNarrow,
// `further` is how far to raise the bound: a multiple of half the shell,
// from how fast the mass falls off across the shell.
ProbabilitySums SetProbabilities(const direct::PairGraph &graph, double bound, double shell,
                                 const ClusterTable &output_clusters, const VetoSet &veto,
                                 const UnboundedStates &unbounded,
                                 std::vector<Pronunciation> &pronunciations, double &further);

}  // namespace vurel

#endif  // VUREL_CORE_PRONUNCIATION_PROBABILITIES_H_
