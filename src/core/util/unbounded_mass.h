// Whether the paths round a set of cycles hold unbounded mass. Given arcs
// between n states, each with the factor e^-w of its weight w, let A hold
// in A[i][j] the sum of the factors of the arcs from i to j. The paths
// that go round the cycles from i to j hold sum_k A^k [i][j] of mass; for
// states that lie on cycles of one another (one strongly connected
// component), that sum is finite exactly when the spectral radius rho(A),
// the largest |eigenvalue|, is below 1, and infinite for every i and j
// otherwise. A cycle of total weight 0 or less alone gives rho(A) >= 1 (its
// factors multiply to 1 or more); so do cycles that are each lighter than
// that but together share the mass out more than once (two loops of weight
// ln 2 on one state).
//
// rho(A) is told by the Collatz-Wielandt bounds: for any y > 0,
//   min_j (yA)_j / y_j  <=  rho(A)  <=  max_j (yA)_j / y_j,
// so a bound on either side of 1 decides; a lower bound within 1e-12 of 1
// counts as 1, as rounding keeps a cycle of weight 0 from giving exactly 1. y is taken from the power
// iteration of (A + I) / 2, whose largest eigenvector is A's own and which,
// unlike A, has no period to stop the bounds from closing in.
#ifndef VUREL_CORE_UNBOUNDED_MASS_H_
#define VUREL_CORE_UNBOUNDED_MASS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vurel {

struct MassArc {
  std::uint32_t from;
  std::uint32_t to;
  double factor;  // e^-weight, not negative
};

enum class CycleMass {
  kBounded,    // rho(A) < 1: every sum round the cycles is finite
  kUnbounded,  // rho(A) >= 1 (less 1e-12): the sums round them are infinite
  // The bounds still lay on both sides of 1 after the rounds allowed: the
  // iteration closes in too slowly.
  kUndecided,
};

// Rounds for a word's cycles, and for a model's, measured once.
inline constexpr int kMostMassRounds = 512;
inline constexpr int kMostMassRoundsOfAModel = 20000;

// Decides rho(A) against 1 for `arcs` between states 0 to `states` - 1
// (which should form one strongly connected component, for the bounds to
// close in; they hold in any case) within `most_rounds` rounds of
// O(states + arcs) each.
CycleMass MassRoundCycles(std::size_t states, const std::vector<MassArc> &arcs,
                          int most_rounds = kMostMassRounds);

}  // namespace vurel

#endif  // VUREL_CORE_UNBOUNDED_MASS_H_
