#include "search/path_counting.h"

#include <algorithm>
#include <limits>

namespace vurel {
namespace direct {
namespace {

// Buckets over the range of weights in which paths are counted, and the
// slack by which a weight is moved before rounding to buckets: rounding of
// the division must not move a path into a bucket it does not reach.
constexpr std::size_t kCountBuckets = 128;
constexpr double kBucketSlack = 1e-6;

// Adds to each bucket b of `counts` the bucket b - `shift` of `added`
// (a single path of weight 0 where `added` is null), saturating.
void AddShifted(std::uint32_t *counts, const std::uint32_t *added, std::size_t shift,
                       std::uint32_t saturated) {
  if (shift > kCountBuckets) return;
  if (added == nullptr) {
    for (std::size_t b = shift; b <= kCountBuckets; ++b) {
      counts[b] = std::min(counts[b] + 1, saturated);
    }
    return;
  }
  for (std::size_t b = shift; b <= kCountBuckets; ++b) {
    counts[b] = std::min(counts[b] + added[b - shift], saturated);
  }
}

}  // namespace

void PathCounter::CountPaths(float weight, std::uint64_t limit) {
  const std::vector<Pair> &pairs = graph_.pairs();
  const std::vector<PairArc> &arcs = graph_.arcs();
  FindDistancesToEnd(CountingReach(weight));
  LinkRelevantArcs();
  has_buckets_ = false;
  const std::uint32_t start = relevant_index_[graph_.start_pair()];
  if (start == kNone) return;
  const std::size_t nodes = relevant_.size();
  const std::size_t width = kCountBuckets + 1;
  const auto saturated = static_cast<std::uint32_t>(std::min<std::uint64_t>(limit + 1, 1u << 30));
  count_base_ = distance_to_end_[graph_.start_pair()];
  count_bucket_ = (static_cast<double>(weight) + PathTolerance(weight) - count_base_) /
                  kCountBuckets;
  at_most_.assign(nodes * width, 0);
  below_.assign(nodes * width, 0);
  longest_.assign(nodes, 0);
  // Successors first: Kahn's order on the reversed arcs.
  uncounted_successors_.resize(nodes);
  ready_.clear();
  for (std::uint32_t node = 0; node < nodes; ++node) {
    uncounted_successors_[node] = relevant_out_begin_[node + 1] - relevant_out_begin_[node];
    if (uncounted_successors_[node] == 0) ready_.push_back(node);
  }
  std::size_t done = 0;
  while (!ready_.empty()) {
    const std::uint32_t node = ready_.back();
    ready_.pop_back();
    ++done;
    const std::uint32_t pair = relevant_[node];
    std::uint32_t *at_most = &at_most_[node * width];
    std::uint32_t *below = &below_[node * width];
    const double to_end = distance_to_end_[pair];
    const float final_weight = graph_.FinalWeightAtEnd(pair);
    if (final_weight != kInfinity) {
      const double excess = static_cast<double>(LatticeWeight(final_weight)) - to_end;
      AddShifted(at_most, nullptr, BucketsDown(excess), saturated);
      AddShifted(below, nullptr, BucketsUp(excess), saturated);
      longest_[node] = 1;
    }
    for (std::uint32_t i = relevant_out_begin_[node]; i < relevant_out_begin_[node + 1]; ++i) {
      const RelevantArc &arc = relevant_out_[i];
      const double excess = arc.weight + distance_to_end_[relevant_[arc.to]] - to_end;
      AddShifted(at_most, &at_most_[arc.to * width], BucketsDown(excess), saturated);
      AddShifted(below, &below_[arc.to * width], BucketsUp(excess), saturated);
      longest_[node] = std::max(longest_[node], longest_[arc.to] + 1);
    }
    for (std::uint32_t i = pairs[pair].last_incoming; i != kNone; i = arcs[i].next_incoming) {
      const std::uint32_t from = relevant_index_[arcs[i].from];
      if (from != kNone && --uncounted_successors_[from] == 0) ready_.push_back(from);
    }
  }
  has_buckets_ = done == nodes && longest_[start] <= LongestToleratedPath(weight);
}

bool PathCounter::BucketBounds(float weight, PathBounds &bounds) const {
  const std::vector<Pair> &pairs = graph_.pairs();
  if (!has_buckets_) return false;
  const std::uint32_t start = relevant_index_[graph_.start_pair()];
  const std::size_t width = kCountBuckets + 1;
  const double upper = static_cast<double>(weight) + PathTolerance(weight);
  bounds = PathBounds();
  bounds.within = at_most_[start * width + BucketsOfBudget(upper - count_base_)];
  const double under =
      std::ceil((weight - PathTolerance(weight) - count_base_) / count_bucket_ - kBucketSlack) - 1.0;
  if (under >= 0.0) {
    bounds.below = below_[start * width + static_cast<std::size_t>(std::min<double>(kCountBuckets, under))];
  }
  bounds.longest = longest_[start];
  // OpenFst expands a pair once per partial path from it to the end that
  // is on a path within, a bucket's rounding of its distance aside.
  for (std::uint32_t node = 0; node < relevant_.size(); ++node) {
    const std::uint32_t pair = relevant_[node];
    const double budget = upper - pairs[pair].distance - distance_to_end_[pair] + count_bucket_;
    if (budget < 0.0) continue;
    bounds.heap_entries += std::uint64_t{at_most_[node * width + BucketsOfBudget(budget)]} *
                           (std::uint64_t{in_degrees_[node]} + 1);
  }
  return true;
}

bool PathCounter::ExactBounds(float weight, std::uint64_t limit, PathBounds &bounds) const {
  bounds = PathBounds();
  const std::uint32_t start = relevant_index_[graph_.start_pair()];
  if (start == kNone) return false;
  const double tolerance = PathTolerance(weight);
  const double upper = weight + tolerance;
  const double lower = weight - tolerance;
  const std::uint64_t longest_tolerated = LongestToleratedPath(weight);
  const std::uint64_t step_limit = (2 * limit + 4) * (longest_tolerated + 2);
  std::uint64_t steps = 0;
  struct Frame {
    std::uint32_t node;
    std::uint32_t next_arc;
    double weight;
    std::uint64_t entries;  // heap entries of the partial paths on the stack
  };
  std::vector<Frame> stack;
  const auto enter = [&](std::uint32_t node, double reached, std::uint64_t entries) {
    entries += std::uint64_t{in_degrees_[node]} + 1;
    stack.push_back({node, relevant_out_begin_[node], reached, entries});
    const float final_weight = graph_.FinalWeightAtEnd(relevant_[node]);
    if (final_weight == kInfinity) return;
    const double total = reached + LatticeWeight(final_weight);
    if (total > upper) return;
    ++bounds.within;
    bounds.below += total < lower;
    bounds.heap_entries += entries;
    bounds.longest = std::max(bounds.longest, static_cast<std::uint32_t>(stack.size()));
  };
  enter(start, 0.0, 0);
  // Counting stops once the lighter paths pass the limit, or all paths
  // within pass twice that (paths of about the weight are few).
  while (!stack.empty() && bounds.below <= limit && bounds.within <= 2 * limit + 2) {
    if (++steps > step_limit || stack.size() > longest_tolerated) return false;
    Frame &frame = stack.back();
    if (frame.next_arc == relevant_out_begin_[frame.node + 1]) {
      stack.pop_back();
      continue;
    }
    const RelevantArc &arc = relevant_out_[frame.next_arc++];
    const double reached = frame.weight + arc.weight;
    if (reached + distance_to_end_[relevant_[arc.to]] <= upper) enter(arc.to, reached, frame.entries);
  }
  // Stopped early, the paths counted may not be OpenFst's lightest: their
  // arcs bound its entries no longer.
  if (!stack.empty()) bounds.heap_entries = std::numeric_limits<std::uint64_t>::max();
  return true;
}

float PathCounter::CountableWeight(float trusted) const {
  if (graph_.all_settled()) return 0.0f;
  const float weight = trusted - PathTolerance(trusted) - 8.0f * DistanceWindow(trusted);
  return CountingReach(weight) <= graph_.best_complete() + graph_.margin() ? weight : 0.0f;
}

// Bucket counts of a path's excess weight over the shortest, rounded down
// (for the counts of paths at most a weight) and up (lighter than one);
// kCountBuckets + 1 for weights past the counted range.
std::size_t PathCounter::BucketsDown(double excess) const {
  return static_cast<std::size_t>(
      std::clamp(std::floor(excess / count_bucket_ - kBucketSlack), 0.0, kCountBuckets + 1.0));
}
std::size_t PathCounter::BucketsUp(double excess) const {
  return static_cast<std::size_t>(
      std::clamp(std::ceil(excess / count_bucket_ + kBucketSlack), 0.0, kCountBuckets + 1.0));
}

// The last bucket that a path's excess weight up to `budget` reaches.
std::size_t PathCounter::BucketsOfBudget(double budget) const {
  return static_cast<std::size_t>(
      std::clamp(std::floor(budget / count_bucket_ + kBucketSlack), 0.0, double{kCountBuckets}));
}

// Shortest distances to the end, summed exactly, of the settled pairs on
// paths of weight up to `reach`: those become the relevant pairs, in the
// order found (nearest the end first).
void PathCounter::FindDistancesToEnd(float reach) {
  const std::vector<Pair> &pairs = graph_.pairs();
  const std::vector<PairArc> &arcs = graph_.arcs();
  constexpr double kUnreached = std::numeric_limits<double>::infinity();
  // Most pairs lie on no path to the end within reach: only those the
  // last count reached are cleared.
  for (const std::uint32_t pair : reached_from_end_) {
    distance_to_end_[pair] = kUnreached;
    relevant_index_[pair] = kNone;
  }
  reached_from_end_.clear();
  distance_to_end_.resize(pairs.size(), kUnreached);
  relevant_index_.resize(pairs.size(), kNone);
  relevant_.clear();
  in_degrees_.clear();
  std::vector<EndEntry> &heap = end_heap_;
  heap.clear();
  for (const std::uint32_t pair : graph_.final_pairs()) {
    distance_to_end_[pair] = LatticeWeight(graph_.FinalWeightAtEnd(pair));
    reached_from_end_.push_back(pair);
    heap.push_back({distance_to_end_[pair], pair});
  }
  std::make_heap(heap.begin(), heap.end());
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end());
    const EndEntry top = heap.back();
    heap.pop_back();
    if (top.distance > distance_to_end_[top.pair] || relevant_index_[top.pair] != kNone) {
      continue;
    }
    if (pairs[top.pair].distance + top.distance > reach) continue;
    relevant_index_[top.pair] = static_cast<std::uint32_t>(relevant_.size());
    relevant_.push_back(top.pair);
    std::uint64_t in_degree = 0;
    for (std::uint32_t i = pairs[top.pair].last_incoming; i != kNone; i = arcs[i].next_incoming) {
      ++in_degree;
      const PairArc &incoming = arcs[i];
      const double offered = top.distance + LatticeWeight(incoming.arc->weight.Value());
      if (offered < distance_to_end_[incoming.from]) {
        if (distance_to_end_[incoming.from] == kUnreached) reached_from_end_.push_back(incoming.from);
        distance_to_end_[incoming.from] = offered;
        heap.push_back({offered, incoming.from});
        std::push_heap(heap.begin(), heap.end());
      }
    }
    in_degrees_.push_back(static_cast<std::uint32_t>(in_degree));
  }
}

// The arcs between relevant pairs, grouped by source, for counting paths
// from the start.
void PathCounter::LinkRelevantArcs() {
  const std::vector<Pair> &pairs = graph_.pairs();
  const std::vector<PairArc> &arcs = graph_.arcs();
  relevant_out_begin_.assign(relevant_.size() + 2, 0);
  for (const std::uint32_t pair : relevant_) {
    for (std::uint32_t i = pairs[pair].last_incoming; i != kNone; i = arcs[i].next_incoming) {
      const std::uint32_t from = relevant_index_[arcs[i].from];
      if (from != kNone) ++relevant_out_begin_[from + 2];
    }
  }
  for (std::size_t i = 2; i < relevant_out_begin_.size(); ++i) {
    relevant_out_begin_[i] += relevant_out_begin_[i - 1];
  }
  relevant_out_.resize(relevant_out_begin_.back());
  for (std::uint32_t to = 0; to < relevant_.size(); ++to) {
    for (std::uint32_t i = pairs[relevant_[to]].last_incoming; i != kNone;
         i = arcs[i].next_incoming) {
      const std::uint32_t from = relevant_index_[arcs[i].from];
      if (from == kNone) continue;
      relevant_out_[relevant_out_begin_[from + 1]++] = {
          to, static_cast<double>(LatticeWeight(arcs[i].arc->weight.Value()))};
    }
  }
}

PassPlace Locate(const PathCounter &counter, float weight, const PathRequests &requests,
                 std::uint64_t cap, bool last, PathBounds &bounds) {
  PathBounds in_buckets;
  const bool has_buckets = counter.BucketBounds(weight, in_buckets);
  if (has_buckets) {
    bounds = in_buckets;
    if (const PassPlace place = PlaceAmongPasses(bounds.below, bounds.within, requests, last);
        place != PassPlace::kUnknown) {
      return place;
    }
  }
  if (!counter.ExactBounds(weight, cap, bounds)) return PassPlace::kUnknown;
  // Counting one by one may stop before the heaviest paths the pass reads;
  // the buckets' bounds cover them all.
  if (has_buckets) {
    bounds.longest = in_buckets.longest;
    bounds.heap_entries = std::min(bounds.heap_entries, in_buckets.heap_entries);
  }
  return PlaceAmongPasses(bounds.below, bounds.within, requests, last);
}

}  // namespace direct
}  // namespace vurel
