// Composition of a word acceptor with the model, expanded and trimmed.
#ifndef VUREL_CORE_COMPOSITION_H_
#define VUREL_CORE_COMPOSITION_H_

#include <atomic>
#include <cstdint>
#include <limits>

#include "model_fst.h"
#include "openfst.h"
#include "result.h"

namespace vurel {

// How large the expanded lattice may grow. The expansion grows with the
// word's length times the model states alive at each position, without any
// other bound.
struct LatticeBudget {
  std::uint64_t states = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t arcs = std::numeric_limits<std::uint64_t>::max();

  // The budget for a lattice that may take `bytes` of memory, counting
  // what OpenFst keeps per state and per arc while it expands one.
  static LatticeBudget ForBytes(std::uint64_t bytes);
};

// Composes `acceptor` (consumed) with `model` (sorted by input label) using
// sorted matchers and the sequence compose filter, expands the result and
// connects it. A word the model cannot read gives an FST without states.
// The result is the one OpenFst's VectorFst(ComposeFst) gives, state for
// state. Fails with kOverBudget as soon as the expansion passes `budget`,
// with kCancelled once `*cancel` is true (checked every few hundred states),
// and with kInternal when OpenFst reports an error.
Result<VectorFst> PrepareLattice(VectorFst acceptor, const ModelFst &model,
                                 const LatticeBudget &budget = {},
                                 const std::atomic<bool> *cancel = nullptr);

}  // namespace vurel

#endif  // VUREL_CORE_COMPOSITION_H_
