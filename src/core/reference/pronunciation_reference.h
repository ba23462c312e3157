// OpenFst's answer to "the K best distinct pronunciations of a word, and how
// probable each is", computed on the word's lattice with OpenFst's own
// algorithms. It is the reference the distinct search is held to, and the
// engine for models that search cannot decode.
//
// The lattice's outputs are mapped to their uniques (a cluster label becomes
// a chain of its phonemes, vetoed labels become epsilon), the result is
// projected to its output and its epsilons removed; then
//   - the pronunciations are ShortestPath's paths with `unique`, whose weight
//     is a pronunciation's best path weight;
//   - probabilities are ShortestDistance in the log semiring: the sum over a
//     pronunciation's paths over the sum over all paths of the word.
#ifndef VUREL_CORE_PRONUNCIATION_REFERENCE_H_
#define VUREL_CORE_PRONUNCIATION_REFERENCE_H_

#include <cstdint>
#include <limits>
#include <vector>

#include "cluster_table.h"
#include "openfst.h"
#include "path_data.h"
#include "result.h"

namespace vurel {

// One distinct pronunciation of a word.
struct Pronunciation {
  // The weight of its best path, every arc counted.
  float weight = 0.0f;
  // The record of that path, as a decoding records paths: `uniques` are the
  // phonemes; epsilon arcs of weight within 2^-10 of 0 are left out, of the
  // arcs and of `path_weight`. The distinct search fills in every field;
  // the reference has no single path to read and sets only `uniques` and
  // `path_weight` (= `weight`).
  PathData record;
  // Its probability given the word, in [0, 1]; negative when not asked for.
  double probability = -1.0;
};

// Pronunciations read past the count wanted, at most, to order those tied
// with the last one: a cycle of weight 0 that writes phonemes makes endless
// ties.
inline constexpr std::uint64_t kMostTiedPronunciations = 64;

// Orders pronunciations as the distinct search returns them: lighter first,
// equal weights by their phonemes.
bool ComesBefore(const Pronunciation &lhs, const Pronunciation &rhs);

// What ReferencePronunciations may spend: states of OpenFst's shortest
// paths, and labels read from them (a lattice with cycles has endless
// pronunciations, each longer than the one before).
struct ReferenceBudget {
  std::int64_t result_states = std::numeric_limits<std::int32_t>::max();
  std::uint64_t read_labels = std::numeric_limits<std::uint64_t>::max();
};

// The `count` best distinct pronunciations of `lattice`, best first (ties
// by uniques), with probabilities when `probabilities`. Fails with
// kOverBudget past `budget`, and with kInternal when OpenFst reports an
// error.
Result<std::vector<Pronunciation>> ReferencePronunciations(
    const VectorFst &lattice, std::uint64_t count, bool probabilities,
    const ClusterTable &output_clusters, const VetoSet &veto,
    const ReferenceBudget &budget = {});

// The probability of each of `pronunciations` (sequences of uniques) given
// the word, from `lattice` as ReferencePronunciations computes it; 0 for one
// the lattice cannot write. Fails with kInternal on an OpenFst error.
Result<std::vector<double>> ReferenceProbabilities(
    const VectorFst &lattice, const std::vector<LabelSequence> &pronunciations,
    const ClusterTable &output_clusters, const VetoSet &veto);

// Whether cycles on the paths of `lattice` from its start to a final state
// hold unbounded mass (util/unbounded_mass.h), so that the sum over its
// paths, and with it every probability, is undefined. Each strongly
// connected component of its accessible and coaccessible states is measured.
// A component the measure cannot decide, within rounding of 1, counts as
// bounded.
bool PathsHoldUnboundedMass(const VectorFst &lattice);

// How far apart two sums of one path's weights may be: the reference and the
// distinct search add a path's weights in different orders, in single
// precision.
float WeightTolerance(float weight);

// Whether `found` agrees with `reference` (each best first, as
// ReferencePronunciations orders them): as many pronunciations, weights rank
// by rank within WeightTolerance, the same pronunciations but where a tie
// within that tolerance with the last one leaves the choice open, and
// probabilities within `probability_tolerance` where both have them.
bool AgreesWithReference(const std::vector<Pronunciation> &found,
                         const std::vector<Pronunciation> &reference,
                         double probability_tolerance = 1e-4);

}  // namespace vurel

#endif  // VUREL_CORE_PRONUNCIATION_REFERENCE_H_
