#include "nbest.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace vurel {
namespace {

// Epsilon arcs whose weight is within this of 0 leave no trace in a path:
// n-shortest-paths results begin every path with two of weight 0.
constexpr float kEpsilonTolerance = 1.0f / 1024.0f;

// Convergence delta of the shortest-distance computation behind the search.
constexpr float kShortestPathDelta = 1e-6f;

// OpenFst takes the number of paths as a signed 32-bit count.
constexpr std::uint64_t kLargestRequest = std::numeric_limits<std::int32_t>::max();

std::uint64_t SaturatingMultiply(std::uint64_t value, std::uint64_t factor) {
  if (value > std::numeric_limits<std::uint64_t>::max() / factor) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return value * factor;
}

Error MissingState(Arc::StateId state) {
  return InternalError("State " + std::to_string(static_cast<StateId>(state)) +
                       " doesn't exist");
}

void AppendArc(const Arc &arc, const ClusterTable &output_clusters,
               const VetoSet &veto, PathData &path) {
  const float weight = arc.weight.Value();
  if (arc.ilabel == 0 && arc.olabel == 0 && weight <= kEpsilonTolerance &&
      weight + kEpsilonTolerance >= 0.0f) {
    return;
  }
  AppendDecomposition(output_clusters, veto, static_cast<Label>(arc.olabel),
                      path.uniques);
  path.ilabels.push_back(static_cast<Label>(arc.ilabel));
  path.olabels.push_back(static_cast<Label>(arc.olabel));
  path.path_weights.push_back(weight);
  path.path_weight += weight;
}

bool IsState(const VectorFst &fst, Arc::StateId state) {
  return state >= 0 && state < fst.NumStates();
}

void Merge(PathData path, bool accumulate, PathCollection &collection) {
  const auto kept = collection.paths.find(path.uniques);
  if (kept != collection.paths.end()) {
    if (accumulate) {
      kept->second.path_weight =
          LogAdd(kept->second.path_weight, path.path_weight);
    }
    return;
  }
  collection.keys.push_back(path.uniques);
  LabelSequence key = path.uniques;
  collection.paths.emplace(std::move(key), std::move(path));
}

}  // namespace

float LogAdd(float running, float next) {
  if (std::isinf(running)) return next;
  if (std::isinf(next)) return running;
  const float low = std::min(running, next);
  const float high = std::max(running, next);
  return low - log1pf(expf(-(high - low)));
}

Result<PathData> ReadPath(const VectorFst &shortest_paths, const Arc &start_arc,
                          const ClusterTable &output_clusters,
                          const VetoSet &veto) {
  PathData path;
  AppendArc(start_arc, output_clusters, veto, path);
  for (Arc::StateId state = start_arc.nextstate;;) {
    if (!IsState(shortest_paths, state)) return MissingState(state);
    if (shortest_paths.Final(state) != Weight::Zero()) break;
    if (shortest_paths.NumArcs(state) == 0) break;
    const Arc &arc = fst::ArcIterator<VectorFst>(shortest_paths, state).Value();
    AppendArc(arc, output_clusters, veto, path);
    state = arc.nextstate;
  }
  return path;
}

PathRequests PathRequestsFor(std::uint64_t nbest) {
  return PathRequests{
      .first = std::max<std::uint64_t>(SaturatingMultiply(nbest, 8), 16),
      .cap = std::max<std::uint64_t>(SaturatingMultiply(nbest, 256), 1024)};
}

Result<PathCollection> SearchNbest(const VectorFst &lattice, std::uint64_t nbest,
                                   bool accumulate,
                                   const ClusterTable &output_clusters,
                                   const VetoSet &veto,
                                   const PassObserver &observe_pass) {
  PathCollection collection;
  if (nbest == 0 || lattice.Start() == fst::kNoStateId ||
      lattice.NumStates() == 0) {
    return collection;
  }
  openfst::MakeErrorsNonFatal();
  const PathRequests requests = PathRequestsFor(nbest);
  std::uint64_t requested = requests.first;
  for (;;) {
    if (observe_pass) observe_pass(requested);
    VectorFst shortest_paths;
    {
      openfst::ScopedLogSilencer silencer;
      fst::ShortestPath(lattice, &shortest_paths,
                        static_cast<std::int32_t>(
                            std::min(requested, kLargestRequest)),
                        /*unique=*/false, /*first_path=*/false,
                        Weight::Zero(), fst::kNoStateId, kShortestPathDelta);
    }
    if (shortest_paths.Properties(fst::kError, false)) {
      return InternalError("n-shortest paths search failed");
    }
    const Arc::StateId start = shortest_paths.Start();
    if (start == fst::kNoStateId) return collection;

    collection = PathCollection();
    if (!IsState(shortest_paths, start)) return MissingState(start);
    for (fst::ArcIterator<VectorFst> arcs(shortest_paths, start); !arcs.Done();
         arcs.Next()) {
      Result<PathData> path =
          ReadPath(shortest_paths, arcs.Value(), output_clusters, veto);
      if (!path.ok()) return std::move(path).error();
      Merge(std::move(path).value(), accumulate, collection);
      if (collection.keys.size() >= nbest) break;
    }

    if (requested >= requests.cap || collection.keys.size() >= nbest) break;
    const std::uint64_t next =
        std::min(SaturatingMultiply(requested, 2), requests.cap);
    // Beyond what OpenFst can be asked for, a further pass would repeat the
    // last one exactly.
    if (std::min(next, kLargestRequest) == std::min(requested, kLargestRequest)) {
      break;
    }
    requested = next;
  }
  return collection;
}

}  // namespace vurel
