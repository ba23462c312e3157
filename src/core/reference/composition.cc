#include "reference/composition.h"

#include <algorithm>

namespace vurel {
namespace {

// Matchers on the concrete FST types rather than Fst<Arc>: the
// composition then looks arcs up without a virtual call per arc.
using WordMatcher = fst::SortedMatcher<VectorFst>;
using ModelMatcher = fst::SortedMatcher<ModelFst>;
using Filter = fst::SequenceComposeFilter<WordMatcher, ModelMatcher>;
using ComposeOptions = fst::ComposeFstImplOptions<WordMatcher, ModelMatcher, Filter>;
using Composition = fst::ComposeFst<Arc>;

// Memory per lattice state while it is expanded: the vector state with its
// allocation, the composition's state tuple and hash entry, and the cached
// state being copied; per arc: the arc and the growth slack of its vector.
constexpr std::uint64_t kBytesPerState = 160;
constexpr std::uint64_t kBytesPerArc = 32;

// How often the expansion looks at the cancellation flag.
constexpr std::uint64_t kCancelCheckInterval = 256;

bool HasError(const fst::Fst<Arc> &fst) {
  return fst.Properties(fst::kError, false) != 0;
}

Error OverBudget() {
  return Error{ErrorCode::kOverBudget, "the lattice outgrew its memory budget"};
}

// VectorFst's constructor from an Fst, with the budget checked as states
// and arcs are added: the states in the composition's numbering, each with
// its final weight and its arcs in order, then the composition's properties.
Result<VectorFst> Expand(const Composition &composition, const LatticeBudget &budget,
                         const std::atomic<bool> *cancel) {
  VectorFst lattice;
  lattice.SetInputSymbols(composition.InputSymbols());
  lattice.SetOutputSymbols(composition.OutputSymbols());
  std::uint64_t states = 0;
  std::uint64_t arcs = 0;
  for (fst::StateIterator<Composition> state_iterator(composition);
       !state_iterator.Done(); state_iterator.Next()) {
    if (++states > budget.states) return OverBudget();
    if (cancel != nullptr && states % kCancelCheckInterval == 0 &&
        cancel->load(std::memory_order_relaxed)) {
      return Error{ErrorCode::kCancelled, "cancelled"};
    }
    const Arc::StateId state = state_iterator.Value();
    lattice.AddState();
    lattice.SetFinal(state, composition.Final(state));
    const std::size_t num_arcs = composition.NumArcs(state);
    arcs += num_arcs;
    if (arcs > budget.arcs) return OverBudget();
    lattice.ReserveArcs(state, num_arcs);
    for (fst::ArcIterator<Composition> arc_iterator(composition, state);
         !arc_iterator.Done(); arc_iterator.Next()) {
      lattice.AddArc(state, arc_iterator.Value());
    }
  }
  lattice.SetStart(composition.Start());
  lattice.SetProperties(composition.Properties(fst::kCopyProperties, false) |
                            fst::kExpanded | fst::kMutable,
                        fst::kFstProperties);
  return lattice;
}

}  // namespace

LatticeBudget LatticeBudget::ForBytes(std::uint64_t bytes) {
  return LatticeBudget{.states = std::max<std::uint64_t>(bytes / kBytesPerState, 1),
                       .arcs = std::max<std::uint64_t>(bytes / kBytesPerArc, 1)};
}

Result<VectorFst> PrepareLattice(VectorFst acceptor, const ModelFst &model,
                                 const LatticeBudget &budget,
                                 const std::atomic<bool> *cancel) {
  openfst::MakeErrorsNonFatal();
  openfst::ScopedLogSilencer silencer;

  Result<VectorFst> lattice = InternalError("the lattice was not expanded");
  {
    // The options hand the matchers to the composition, which owns and
    // deletes them; a null filter and state table make it build new ones.
    // The lattice is copied out state by state, once, so the composition's
    // cache need only keep the state being copied.
    ComposeOptions options(fst::CacheOptions(/*gc=*/true, /*gc_limit=*/0),
                           new WordMatcher(acceptor, fst::MATCH_OUTPUT),
                           new ModelMatcher(model, fst::MATCH_INPUT));
    const Composition composition(acceptor, model, options);
    if (HasError(composition)) {
      return InternalError("composition of the word with the model failed");
    }
    lattice = Expand(composition, budget, cancel);
    if (!lattice.ok()) return lattice;
    if (HasError(*lattice) || HasError(composition)) {
      return InternalError("expanding the composed lattice failed");
    }
  }
  fst::Connect(&lattice.value());
  if (HasError(*lattice)) return InternalError("trimming the lattice failed");
  return lattice;
}

}  // namespace vurel
