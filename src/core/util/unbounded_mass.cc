#include "util/unbounded_mass.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vurel {
namespace {

// How close to 1 a lower bound on rho(A) counts as 1: the factors of a
// cycle of weight 0 may multiply to 1 less a few units in the last place,
// and the power iteration closes in on rho(A) = 1 only to about as much.
constexpr double kWithinRounding = 1e-12;

}  // namespace

CycleMass MassRoundCycles(std::size_t states, const std::vector<MassArc> &arcs, int most_rounds) {
  if (states == 0) return CycleMass::kBounded;
  std::vector<double> y(states, 1.0);
  std::vector<double> next(states);
  for (int round = 0; round < most_rounds; ++round) {
    std::fill(next.begin(), next.end(), 0.0);
    for (const MassArc &arc : arcs) next[arc.to] += y[arc.from] * arc.factor;
    double least = std::numeric_limits<double>::infinity();
    double most = 0.0;
    for (std::size_t j = 0; j < states; ++j) {
      // A state whose share has run out below the doubles tells nothing.
      if (!(y[j] > 0.0)) return CycleMass::kUndecided;
      const double ratio = next[j] / y[j];
      least = std::min(least, ratio);
      most = std::max(most, ratio);
    }
    if (least >= 1.0 - kWithinRounding) return CycleMass::kUnbounded;
    if (most < 1.0) return CycleMass::kBounded;
    double largest = 0.0;
    for (std::size_t j = 0; j < states; ++j) {
      next[j] = 0.5 * (next[j] + y[j]);
      largest = std::max(largest, next[j]);
    }
    if (!std::isfinite(largest)) return CycleMass::kUndecided;
    for (std::size_t j = 0; j < states; ++j) y[j] = next[j] / largest;
  }
  return CycleMass::kUndecided;
}

}  // namespace vurel
