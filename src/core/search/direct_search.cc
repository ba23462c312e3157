#include "search/direct_search.h"

#include <atomic>
#include <optional>
#include <utility>

#include "search/ordered_paths.h"
#include "search/pair_graph.h"

namespace vurel {
namespace {

using direct::ArcsOf;
using direct::kInfinity;
using direct::OrderedPaths;
using direct::PairGraph;
using direct::PassesEnd;
using direct::RunDistinctPass;
using direct::RunPasses;
using direct::SettleStep;

// The first margin above the best path's weight within which pairs are
// settled; the passes widen it whenever the paths need more. One
// pronunciation (with accumulate or not: reading stops at the first path)
// needs only the paths that might tie with the best, which rounding keeps
// within a small fraction of a unit.
constexpr float kFirstMarginOnePath = 1.0f / 64.0f;
constexpr float kFirstMarginManyPaths = 4.0f;

DirectSearchResult Outcome(DirectSearchOutcome outcome) {
  DirectSearchResult result;
  result.outcome = outcome;
  return result;
}

DirectSearchResult Failed(SettleStep step) {
  return Outcome(step == SettleStep::kCancelled ? DirectSearchOutcome::kCancelled
                                                : DirectSearchOutcome::kOverBudget);
}

}  // namespace

bool SuitsDirectSearch(const ModelFst &model) {
  for (fst::StateIterator<ModelFst> states(model); !states.Done(); states.Next()) {
    const Arc::StateId state = states.Value();
    const float final_weight = model.Final(state).Value();
    if (!(final_weight >= 0.0f)) return false;
    const auto [first, last] = ArcsOf(model, state);
    for (const Arc *arc = first; arc != last; ++arc) {
      const float weight = arc->weight.Value();
      if (!(weight >= 0.0f) || weight == kInfinity || arc->ilabel < 0 || arc->olabel < 0) {
        return false;
      }
    }
  }
  return true;
}

StartClosure FindStartClosure(const ModelFst &model) {
  if (model.Start() == fst::kNoStateId) return StartClosure();
  VectorFst no_letters;
  no_letters.AddState();
  no_letters.SetStart(0);
  no_letters.SetFinal(0, Weight::One());
  DirectSearchBudget budget;
  budget.lattice_states = kLargestStartClosure;
  budget.lattice_arcs = 16 * kLargestStartClosure;
  PairGraph graph(model, nullptr, no_letters, budget, nullptr);
  std::optional<StartClosure::Data> closure = graph.SettleStartClosure();
  if (!closure) return StartClosure();
  static std::atomic<std::uint64_t> closures_made{0};
  closure->serial = closures_made.fetch_add(1, std::memory_order_relaxed) + 1;
  return StartClosure(std::make_shared<const StartClosure::Data>(std::move(*closure)));
}

DirectSearchResult SearchDirect(const ModelFst &model, const StartClosure &start_closure,
                                const VectorFst &acceptor,
                                std::uint64_t nbest, bool accumulate,
                                const ClusterTable &output_clusters, const VetoSet &veto,
                                const DirectSearchBudget &budget,
                                const std::atomic<bool> *cancel) {
  DirectSearchResult result;
  if (nbest == 0 || acceptor.NumStates() == 0) return result;
  if (direct::ReadsEpsilon(acceptor)) return Outcome(DirectSearchOutcome::kUnsure);

  PairGraph graph(model, start_closure.data(), acceptor, budget, cancel);
  if (const SettleStep step = graph.FindBest(); step != SettleStep::kDone) return Failed(step);
  if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
  const float best = graph.best_complete();
  if (best == kInfinity) return result;

  const float margin = nbest == 1 ? kFirstMarginOnePath : kFirstMarginManyPaths;
  if (const SettleStep step = graph.SettleWithin(margin); step != SettleStep::kDone) {
    return Failed(step);
  }
  OrderedPaths paths(graph, output_clusters, veto, budget);
  PassesEnd end = PassesEnd::kUnsure;
  // One pronunciation is the first path: nothing for a distinct pass to skip.
  if (nbest > 1 && !accumulate) {
    end = RunDistinctPass(paths, nbest, budget, result.collection);
    result.distinct_outputs = end == PassesEnd::kFound;
  }
  if (end == PassesEnd::kUnsure) {
    end = RunPasses(paths, nbest, accumulate, budget, result.collection);
  }
  switch (end) {
    case PassesEnd::kFound:
      if (paths.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
      result.outcome = DirectSearchOutcome::kFound;
      return result;
    case PassesEnd::kUnsure:
      break;
    case PassesEnd::kOverBudget:
      return Outcome(DirectSearchOutcome::kOverBudget);
    case PassesEnd::kCancelled:
      return Outcome(DirectSearchOutcome::kCancelled);
  }
  return Outcome(DirectSearchOutcome::kUnsure);
}

}  // namespace vurel
