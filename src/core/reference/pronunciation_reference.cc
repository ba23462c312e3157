#include "reference/pronunciation_reference.h"

#include <fst/arc-map.h>
#include <fst/connect.h>
#include <fst/dfs-visit.h>
#include <fst/prune.h>
#include <fst/rmepsilon.h>
#include <fst/shortest-distance.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "reference/nbest.h"
#include "util/unbounded_mass.h"

namespace vurel {
namespace {

using LogArc = fst::LogArc;
using LogFst = fst::VectorFst<LogArc>;

// The lattice as an acceptor of uniques: each arc's output label becomes
// the chain of labels it adds to uniques (epsilon when none); the chain's
// first arc carries the weight. Epsilons stay: removing them in the
// tropical semiring merges parallel paths into the lightest, which keeps
// best paths but loses the mass of the others.
VectorFst UniquesAcceptor(const VectorFst &lattice, const ClusterTable &output_clusters,
                          const VetoSet &veto) {
  VectorFst acceptor;
  for (Arc::StateId state = 0; state < lattice.NumStates(); ++state) acceptor.AddState();
  acceptor.SetStart(lattice.Start());
  LabelSequence uniques;
  for (Arc::StateId state = 0; state < lattice.NumStates(); ++state) {
    acceptor.SetFinal(state, lattice.Final(state));
    for (fst::ArcIterator<VectorFst> arcs(lattice, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      uniques.clear();
      AppendDecomposition(output_clusters, veto, static_cast<Label>(arc.olabel), uniques);
      if (uniques.size() <= 1) {
        const auto label = uniques.empty() ? 0 : static_cast<Arc::Label>(uniques.front());
        acceptor.AddArc(state, Arc(label, label, arc.weight, arc.nextstate));
        continue;
      }
      Arc::StateId from = state;
      Weight weight = arc.weight;
      for (std::size_t i = 0; i < uniques.size(); ++i) {
        const Arc::StateId to = i + 1 == uniques.size() ? arc.nextstate : acceptor.AddState();
        const auto label = static_cast<Arc::Label>(uniques[i]);
        acceptor.AddArc(from, Arc(label, label, weight, to));
        weight = Weight::One();
        from = to;
      }
    }
  }
  return acceptor;
}

Error OpenFstFailed(const char *what) {
  return InternalError(std::string("OpenFst failed to compute ") + what);
}

Error OverBudget() { return Error{ErrorCode::kOverBudget, "the shortest paths outgrow their budget"}; }

// The paths of an n-shortest-paths result, each as a pronunciation with its
// weight summed from the start; nothing once more than `most_labels`
// labels are read.
std::optional<std::vector<Pronunciation>> ReadPaths(const VectorFst &paths,
                                                    std::uint64_t most_labels) {
  std::vector<Pronunciation> read;
  std::uint64_t labels = 0;
  if (paths.Start() == fst::kNoStateId) return read;
  // A path without arcs: the start state is final.
  if (paths.Final(paths.Start()) != Weight::Zero()) {
    read.emplace_back();
    read.back().weight = paths.Final(paths.Start()).Value();
    read.back().record.path_weight = read.back().weight;
  }
  for (fst::ArcIterator<VectorFst> first(paths, paths.Start()); !first.Done(); first.Next()) {
    Pronunciation pronunciation;
    PathData &record = pronunciation.record;
    Arc arc = first.Value();
    for (;;) {
      if (++labels > most_labels) return std::nullopt;
      if (arc.ilabel != 0) record.uniques.push_back(static_cast<Label>(arc.ilabel));
      pronunciation.weight += arc.weight.Value();
      const Arc::StateId state = arc.nextstate;
      if (paths.NumArcs(state) == 0) {
        pronunciation.weight += paths.Final(state).Value();
        break;
      }
      arc = fst::ArcIterator<VectorFst>(paths, state).Value();
    }
    record.path_weight = pronunciation.weight;
    read.push_back(std::move(pronunciation));
  }
  return read;
}

// -log of the sum of the probabilities of every path of `acceptor`.
Result<double> TotalWeight(const LogFst &acceptor) {
  if (acceptor.Start() == fst::kNoStateId) return std::numeric_limits<double>::infinity();
  std::vector<fst::LogWeight> distance;
  fst::ShortestDistance(acceptor, &distance, true, kShortestPathDelta);
  if (distance.size() == 1 && !distance[0].Member()) return OpenFstFailed("a sum of paths");
  if (static_cast<std::size_t>(acceptor.Start()) >= distance.size()) {
    return std::numeric_limits<double>::infinity();
  }
  return static_cast<double>(distance[acceptor.Start()].Value());
}

// The weight of the paths of `acceptor` that write `uniques`.
Result<double> WeightOf(const LogFst &acceptor, const LabelSequence &uniques) {
  LogFst linear;
  linear.AddState();
  linear.SetStart(0);
  for (const Label label : uniques) {
    const auto next = linear.AddState();
    const auto symbol = static_cast<LogArc::Label>(label);
    linear.AddArc(next - 1, LogArc(symbol, symbol, fst::LogWeight::One(), next));
  }
  linear.SetFinal(linear.NumStates() - 1, fst::LogWeight::One());
  LogFst product;
  fst::Compose(acceptor, linear, &product);
  if (product.Properties(fst::kError, false)) return OpenFstFailed("a composition");
  return TotalWeight(product);
}

double Probability(double weight, double total) {
  if (std::isinf(weight)) return 0.0;
  return std::min(1.0, std::exp(total - weight));
}

Result<std::vector<double>> Probabilities(const VectorFst &acceptor,
                                          const std::vector<LabelSequence> &pronunciations) {
  LogFst log_acceptor;
  fst::ArcMap(acceptor, &log_acceptor, fst::StdToLogMapper());
  fst::ArcSort(&log_acceptor, fst::OLabelCompare<LogArc>());
  Result<double> total = TotalWeight(log_acceptor);
  if (!total.ok()) return std::move(total).error();
  std::vector<double> probabilities;
  for (const LabelSequence &uniques : pronunciations) {
    Result<double> weight = WeightOf(log_acceptor, uniques);
    if (!weight.ok()) return std::move(weight).error();
    probabilities.push_back(Probability(*weight, *total));
  }
  return probabilities;
}

// The most pronunciations asked of OpenFst at first.
constexpr std::uint64_t kFirstLargeRequest = 1024;

// The thresholds of the pruning of ReferencePronunciations.
constexpr float kFirstPruningThreshold = 4.0f;
constexpr float kLargestPruningThreshold = 64.0f;

// The `count` best pronunciations of `acceptor` (without epsilons), and
// past them the ones tied with the last (up to kMostTiedPronunciations),
// sorted by ComesBefore. Pronunciations of equal weight come out in an order
// of OpenFst's own: more are asked for until the last one read is heavier
// than the one at `count`, so that every one tied with it is there.
Result<std::vector<Pronunciation>> BestPronunciations(const VectorFst &acceptor,
                                                      std::uint64_t count,
                                                      const ReferenceBudget &budget) {
  const auto state_threshold = static_cast<Arc::StateId>(
      std::min<std::int64_t>(budget.result_states, std::numeric_limits<Arc::StateId>::max()));
  const std::uint64_t most = std::min(count, kLargestRequest - kMostTiedPronunciations) +
                             kMostTiedPronunciations;
  std::vector<Pronunciation> found;
  // A large count is reached by doubling, so that a lattice with endless
  // pronunciations meets the state budget before OpenFst sizes anything
  // by the count.
  for (std::uint64_t request = std::min(count, kFirstLargeRequest);;
       request = std::min(2 * request, most)) {
    VectorFst paths;
    fst::ShortestPath(acceptor, &paths, static_cast<std::int32_t>(request), true, false,
                      Weight::Zero(), state_threshold, kShortestPathDelta);
    if (paths.Properties(fst::kError, false)) return OpenFstFailed("shortest paths");
    if (paths.NumStates() >= state_threshold) return OverBudget();
    std::optional<std::vector<Pronunciation>> read = ReadPaths(paths, budget.read_labels);
    if (!read) return OverBudget();
    found = std::move(*read);
    std::sort(found.begin(), found.end(), ComesBefore);
    if (found.size() < request || request == most ||
        found.back().weight > found[std::min<std::uint64_t>(count, found.size()) - 1].weight) {
      return found;
    }
  }
}

}  // namespace

bool ComesBefore(const Pronunciation &lhs, const Pronunciation &rhs) {
  if (lhs.weight != rhs.weight) return lhs.weight < rhs.weight;
  return lhs.record.uniques < rhs.record.uniques;
}

Result<std::vector<Pronunciation>> ReferencePronunciations(
    const VectorFst &lattice, std::uint64_t count, bool probabilities,
    const ClusterTable &output_clusters, const VetoSet &veto, const ReferenceBudget &budget) {
  std::vector<Pronunciation> found;
  if (count == 0 || lattice.Start() == fst::kNoStateId) return found;
  const VectorFst acceptor = UniquesAcceptor(lattice, output_clusters, veto);
  // The best paths of the pronunciations wanted are among the paths within
  // some weight of the best path: the lattice pruned to them gives the same
  // answer, and determinizing it (as ShortestPath with `unique` does) is
  // far cheaper. The answer stands once the last pronunciation read lies
  // within the pruning's threshold; else the threshold doubles, up to none.
  for (float threshold = kFirstPruningThreshold;; threshold *= 2.0f) {
    const bool pruned = threshold <= kLargestPruningThreshold;
    VectorFst kept = acceptor;
    if (pruned) fst::Prune(&kept, Weight(threshold));
    fst::RmEpsilon(&kept);
    if (kept.Properties(fst::kError, false)) return OpenFstFailed("an epsilon removal");
    Result<std::vector<Pronunciation>> read = BestPronunciations(kept, count, budget);
    if (!read.ok()) return std::move(read).error();
    found = std::move(read).value();
    if (!pruned) break;
    // Past the one at `count`, only the pronunciations tied with it within
    // rounding matter; they lie within the threshold too when it does.
    if (found.size() >= count) {
      const float last = found[count - 1].weight;
      if (last + 2.0f * WeightTolerance(last) <= found.front().weight + threshold) break;
    }
  }
  if (found.size() > count) found.resize(count);
  if (!probabilities) return found;
  std::vector<LabelSequence> wanted;
  for (const Pronunciation &pronunciation : found) wanted.push_back(pronunciation.record.uniques);
  Result<std::vector<double>> computed = Probabilities(acceptor, wanted);
  if (!computed.ok()) return std::move(computed).error();
  for (std::size_t i = 0; i < found.size(); ++i) found[i].probability = (*computed)[i];
  return found;
}

bool PathsHoldUnboundedMass(const VectorFst &lattice) {
  std::vector<Arc::StateId> component;
  std::vector<bool> accessible;
  std::vector<bool> coaccessible;
  std::uint64_t properties = 0;
  fst::SccVisitor<Arc> visitor(&component, &accessible, &coaccessible, &properties);
  fst::DfsVisit(lattice, &visitor);
  // Per component, its states numbered from 0 and the arcs between them.
  std::vector<std::uint32_t> local(component.size());
  std::vector<std::uint32_t> sizes;
  std::vector<std::vector<MassArc>> cycles;
  for (std::size_t state = 0; state < component.size(); ++state) {
    const auto c = static_cast<std::size_t>(component[state]);
    if (c >= sizes.size()) sizes.resize(c + 1, 0);
    local[state] = sizes[c]++;
  }
  cycles.resize(sizes.size());
  for (std::size_t state = 0; state < component.size(); ++state) {
    if (!accessible[state] || !coaccessible[state]) continue;
    for (fst::ArcIterator<VectorFst> arcs(lattice, static_cast<Arc::StateId>(state)); !arcs.Done();
         arcs.Next()) {
      const Arc &arc = arcs.Value();
      if (component[arc.nextstate] != component[state]) continue;
      cycles[component[state]].push_back({local[state], local[arc.nextstate],
                                          std::exp(-static_cast<double>(arc.weight.Value()))});
    }
  }
  for (std::size_t c = 0; c < cycles.size(); ++c) {
    if (!cycles[c].empty() && MassRoundCycles(sizes[c], cycles[c]) == CycleMass::kUnbounded) {
      return true;
    }
  }
  return false;
}

float WeightTolerance(float weight) { return 1e-4f + 1e-5f * std::fabs(weight); }

bool AgreesWithReference(const std::vector<Pronunciation> &found,
                         const std::vector<Pronunciation> &reference,
                         double probability_tolerance) {
  if (found.size() != reference.size()) return false;
  if (!std::is_sorted(found.begin(), found.end(), ComesBefore)) return false;
  const auto close = [](float lhs, float rhs) {
    return std::fabs(lhs - rhs) <= WeightTolerance(std::max(lhs, rhs));
  };
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (!close(found[i].weight, reference[i].weight)) return false;
  }
  // Each pronunciation of one list is in the other, with a probability
  // close to its own, or ties with the other's last one.
  const auto covered = [&](const std::vector<Pronunciation> &from,
                           const std::vector<Pronunciation> &in) {
    for (const Pronunciation &pronunciation : from) {
      const auto match = std::find_if(in.begin(), in.end(), [&](const Pronunciation &other) {
        return other.record.uniques == pronunciation.record.uniques;
      });
      if (match == in.end()) {
        if (!close(pronunciation.weight, in.back().weight)) return false;
        continue;
      }
      if (pronunciation.probability >= 0.0 && match->probability >= 0.0 &&
          std::fabs(pronunciation.probability - match->probability) > probability_tolerance) {
        return false;
      }
    }
    return true;
  };
  return covered(found, reference) && covered(reference, found);
}

Result<std::vector<double>> ReferenceProbabilities(
    const VectorFst &lattice, const std::vector<LabelSequence> &pronunciations,
    const ClusterTable &output_clusters, const VetoSet &veto) {
  if (lattice.Start() == fst::kNoStateId) return std::vector<double>(pronunciations.size(), 0.0);
  return Probabilities(UniquesAcceptor(lattice, output_clusters, veto), pronunciations);
}

}  // namespace vurel
