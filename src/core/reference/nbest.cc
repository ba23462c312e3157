#include "reference/nbest.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vurel {
namespace {

// Epsilon arcs whose weight is within this of 0 leave no trace in a path:
// n-shortest-paths results begin every path with two of weight 0.
constexpr float kEpsilonTolerance = 1.0f / 1024.0f;

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

bool IsState(const VectorFst &fst, Arc::StateId state) {
  return state >= 0 && state < fst.NumStates();
}

// The path walk into `path`, which it clears first (keeping its capacity,
// so that a search reading many paths reuses one record), adding the
// number of arcs it follows to `walked`.
Status WalkPath(const VectorFst &shortest_paths, const Arc &start_arc,
                const ClusterTable &output_clusters, const VetoSet &veto,
                std::uint64_t &walked, PathData &path) {
  ClearPath(path);
  AppendPathArc(start_arc, output_clusters, veto, path);
  ++walked;
  for (Arc::StateId state = start_arc.nextstate;;) {
    if (!IsState(shortest_paths, state)) return MissingState(state);
    if (shortest_paths.Final(state) != Weight::Zero()) break;
    if (shortest_paths.NumArcs(state) == 0) break;
    const Arc &arc = fst::ArcIterator<VectorFst>(shortest_paths, state).Value();
    AppendPathArc(arc, output_clusters, veto, path);
    ++walked;
    state = arc.nextstate;
  }
  return Status();
}

Arc::StateId ResultStateBudget(const VectorFst &lattice, const SearchBudget &budget) {
  std::int64_t arcs = 0;
  for (Arc::StateId state = 0; state < lattice.NumStates(); ++state) {
    arcs += static_cast<std::int64_t>(lattice.NumArcs(state));
  }
  constexpr std::int64_t kLargest = std::numeric_limits<Arc::StateId>::max();
  const std::int64_t per_arc = std::min(budget.result_states_per_lattice_arc,
                                        kLargest / std::max<std::int64_t>(arcs, 1));
  return static_cast<Arc::StateId>(std::min({kLargest, budget.largest_result_states,
                                              budget.result_states + per_arc * arcs}));
}

}  // namespace

bool LeavesNoTrace(const Arc &arc) {
  const float weight = arc.weight.Value();
  return arc.ilabel == 0 && arc.olabel == 0 && weight <= kEpsilonTolerance &&
         weight + kEpsilonTolerance >= 0.0f;
}

void AppendPathArc(const Arc &arc, const ClusterTable &output_clusters,
                   const VetoSet &veto, PathData &path) {
  if (LeavesNoTrace(arc)) return;
  const float weight = arc.weight.Value();
  AppendDecomposition(output_clusters, veto, static_cast<Label>(arc.olabel),
                      path.uniques);
  path.ilabels.push_back(static_cast<Label>(arc.ilabel));
  path.olabels.push_back(static_cast<Label>(arc.olabel));
  path.path_weights.push_back(weight);
  path.path_weight += weight;
}

bool MergeIntoKnownKey(const LabelSequence &uniques, float path_weight, bool accumulate,
                       PathCollection &collection) {
  const auto kept = collection.paths.find(uniques);
  if (kept == collection.paths.end()) return false;
  if (accumulate) kept->second.path_weight = LogAdd(kept->second.path_weight, path_weight);
  return true;
}

std::size_t MergePath(const PathData &path, bool accumulate, PathCollection &collection) {
  if (MergeIntoKnownKey(path.uniques, path.path_weight, accumulate, collection)) return 0;
  collection.keys.push_back(path.uniques);
  collection.paths.emplace(path.uniques, path);
  return path.path_weights.size() + path.uniques.size();
}

float LogAdd(float running, float next) {
  if (std::isinf(running)) return next;
  if (std::isinf(next)) return running;
  const float low = std::min(running, next);
  const float high = std::max(running, next);
  return low - log1pf(expf(-(high - low)));
}

NShortestPaths::NShortestPaths(const VectorFst &lattice, float delta)
    : lattice_(lattice), delta_(delta) {
  openfst::MakeErrorsNonFatal();
}

// The steps of fst::ShortestPath before its call of internal::NShortestPath,
// with the queue, arc filter and options it builds.
void NShortestPaths::Prepare() {
  prepared_ = true;
  openfst::ScopedLogSilencer silencer;
  using Queue = fst::AutoQueue<Arc::StateId>;
  using ArcFilter = fst::AnyArcFilter<Arc>;
  const ArcFilter arc_filter;
  Queue queue(lattice_, &distance_, arc_filter);
  // The shortest-distance part of the options fst::ShortestPath passes.
  const fst::ShortestDistanceOptions<Arc, Queue, ArcFilter> options(
      &queue, arc_filter, fst::kNoStateId, delta_);
  fst::ShortestDistance(lattice_, &distance_, options);
  if (distance_.size() == 1 && !distance_[0].Member()) {
    distance_failed_ = true;
    return;
  }
  fst::Reverse(lattice_, &reversed_);
  Weight superinitial = Weight::Zero();
  for (fst::ArcIterator<fst::VectorFst<ReverseArc>> arcs(reversed_, 0); !arcs.Done();
       arcs.Next()) {
    const ReverseArc &arc = arcs.Value();
    const std::size_t state = static_cast<std::size_t>(arc.nextstate - 1);
    if (state < distance_.size()) {
      superinitial = fst::Plus(superinitial,
                               fst::Times(arc.weight.Reverse(), distance_[state]));
    }
  }
  distance_.insert(distance_.begin(), superinitial);
}

void NShortestPaths::Search(std::int32_t paths, Arc::StateId state_threshold,
                            VectorFst &result) {
  if (paths <= 1) {
    // OpenFst's single-path search needs none of what is kept.
    openfst::ScopedLogSilencer silencer;
    fst::ShortestPath(lattice_, &result, paths, /*unique=*/false,
                      /*first_path=*/false, Weight::Zero(), state_threshold, delta_);
    return;
  }
  if (!prepared_) Prepare();
  if (distance_failed_) {
    result.SetProperties(fst::kError, fst::kError);
    return;
  }
  openfst::ScopedLogSilencer silencer;
  fst::internal::NShortestPath(reversed_, &result, distance_, paths, delta_,
                               Weight::Zero(), state_threshold);
}

Result<PathData> ReadPath(const VectorFst &shortest_paths, const Arc &start_arc,
                          const ClusterTable &output_clusters,
                          const VetoSet &veto) {
  std::uint64_t walked = 0;
  PathData path;
  Status walk = WalkPath(shortest_paths, start_arc, output_clusters, veto, walked, path);
  if (!walk.ok()) return walk.error();
  return path;
}

std::uint64_t CountPathsUpTo(const VectorFst &fst, std::uint64_t limit) {
  const Arc::StateId start = fst.Start();
  if (start == fst::kNoStateId || !IsState(fst, start)) return 0;
  enum class Mark : std::uint8_t { kNew, kOpen, kDone };
  std::vector<Mark> marks(static_cast<std::size_t>(fst.NumStates()), Mark::kNew);
  std::vector<std::uint64_t> counts(marks.size(), 0);
  struct Frame {
    Arc::StateId state;
    std::size_t next_arc;
  };
  std::vector<Frame> stack{{start, 0}};
  marks[start] = Mark::kOpen;
  while (!stack.empty()) {
    Frame &frame = stack.back();
    const Arc::StateId state = frame.state;
    if (frame.next_arc < fst.NumArcs(state)) {
      fst::ArcIterator<VectorFst> arcs(fst, state);
      arcs.Seek(frame.next_arc++);
      const Arc::StateId next = arcs.Value().nextstate;
      if (!IsState(fst, next)) continue;
      if (marks[next] == Mark::kOpen) return limit;
      if (marks[next] == Mark::kNew) {
        marks[next] = Mark::kOpen;
        stack.push_back({next, 0});
      }
      continue;
    }
    std::uint64_t count = fst.Final(state) != Weight::Zero() && limit > 0 ? 1 : 0;
    for (fst::ArcIterator<VectorFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc::StateId next = arcs.Value().nextstate;
      if (!IsState(fst, next)) continue;
      count = counts[next] >= limit - count ? limit : count + counts[next];
    }
    counts[state] = count;
    marks[state] = Mark::kDone;
    stack.pop_back();
  }
  return counts[start];
}

PathRequests PathRequestsFor(std::uint64_t nbest) {
  return PathRequests{
      .first = std::max<std::uint64_t>(SaturatingMultiply(nbest, 8), 16),
      .cap = std::max<std::uint64_t>(SaturatingMultiply(nbest, 256), 1024)};
}

std::uint64_t NextPathRequest(std::uint64_t requested, const PathRequests &requests) {
  return std::min(SaturatingMultiply(requested, 2), requests.cap);
}

PassPlace PlaceAmongPasses(std::uint64_t below, std::uint64_t within,
                           const PathRequests &requests, bool last) {
  const std::uint64_t cap = std::min(requests.cap, kLargestRequest);
  if (below >= cap) return PassPlace::kPastCap;
  if (within > cap) return PassPlace::kUnknown;
  if (!last) return PassPlace::kRead;
  // The passes smaller than `below` + 1 end without the path; the next one
  // is the last.
  std::uint64_t last_pass = requests.first;
  while (last_pass <= below && last_pass < requests.cap) {
    last_pass = NextPathRequest(last_pass, requests);
  }
  return last_pass >= within ? PassPlace::kRead : PassPlace::kUnknown;
}

Result<PathCollection> SearchNbest(const VectorFst &lattice, std::uint64_t nbest,
                                   bool accumulate,
                                   const ClusterTable &output_clusters,
                                   const VetoSet &veto,
                                   const PassObserver &observe_pass,
                                   const SearchBudget &budget) {
  PathCollection collection;
  if (nbest == 0 || lattice.Start() == fst::kNoStateId ||
      lattice.NumStates() == 0) {
    return collection;
  }
  openfst::MakeErrorsNonFatal();
  const PathRequests requests = PathRequestsFor(nbest);
  const Arc::StateId result_states = ResultStateBudget(lattice, budget);
  std::uint64_t requested = requests.first;
  bool single_path_pass = false;
  NShortestPaths search(lattice, kShortestPathDelta);
  PathData path;
  for (;;) {
    if (observe_pass) observe_pass(requested);
    const std::uint64_t asked = std::min(requested, kLargestRequest);
    VectorFst shortest_paths;
    // OpenFst stops expanding once the result holds `result_states` states
    // and keeps the paths completed so far, best first.
    search.Search(static_cast<std::int32_t>(asked), result_states, shortest_paths);
    if (shortest_paths.Properties(fst::kError, false)) {
      return InternalError("n-shortest paths search failed");
    }
    const Arc::StateId start = shortest_paths.Start();
    if (start == fst::kNoStateId) {
      // No path at all, or none completed within the budget.
      if (single_path_pass || !collection.keys.empty() ||
          CountPathsUpTo(lattice, 1) == 0) {
        return collection;
      }
      single_path_pass = true;
      requested = 1;
      continue;
    }
    if (!IsState(shortest_paths, start)) return MissingState(start);

    PathCollection previous = std::exchange(collection, PathCollection());
    std::uint64_t walked = 0;
    std::uint64_t kept = 0;
    bool cut_short = false;
    const std::size_t found = shortest_paths.NumArcs(start);
    for (fst::ArcIterator<VectorFst> arcs(shortest_paths, start); !arcs.Done();
         arcs.Next()) {
      if (walked >= budget.walked_arcs || kept >= budget.kept_arcs) {
        cut_short = true;
        break;
      }
      Status walk = WalkPath(shortest_paths, arcs.Value(), output_clusters, veto,
                             walked, path);
      if (!walk.ok()) return walk.error();
      kept += MergePath(path, accumulate, collection);
      if (collection.keys.size() >= nbest) break;
    }
    if (collection.keys.size() >= nbest) break;
    // Fewer paths than asked for: either the lattice has no more, or the
    // state budget stopped OpenFst, which it would do again on a larger
    // request.
    if (!cut_short && found < asked) {
      cut_short = CountPathsUpTo(lattice, found + 1) > found;
    }
    if (cut_short) {
      if (previous.keys.size() > collection.keys.size()) {
        collection = std::move(previous);
      }
      // Not one path within the budget (a word of thousands of letters):
      // OpenFst's search for the single best path needs memory only in
      // proportion to the lattice, and gives the head of the result.
      if (collection.keys.empty() && !single_path_pass) {
        single_path_pass = true;
        requested = 1;
        continue;
      }
      break;
    }
    if (single_path_pass) break;

    if (requested >= requests.cap) break;
    const std::uint64_t next = NextPathRequest(requested, requests);
    // Beyond what OpenFst can be asked for, a further pass would repeat the
    // last one exactly.
    if (std::min(next, kLargestRequest) == asked) break;
    requested = next;
  }
  return collection;
}

}  // namespace vurel
