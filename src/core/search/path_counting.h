// Counting a word's paths by weight over the settled pairs of a PairGraph,
// to tell where OpenFst's passes, its cap and its limit of expansions per
// state would have stopped without enumerating the paths: bounds on the
// paths lighter than a weight and within it, in buckets of weight where
// the relevant pairs form no cycle, else one by one. The bounds hold for
// paths of up to LongestToleratedPath arcs; where they cannot be had, the
// answer is "unknown", never a guess.
#ifndef VUREL_CORE_PATH_COUNTING_H_
#define VUREL_CORE_PATH_COUNTING_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "reference/nbest.h"
#include "search/pair_graph.h"

namespace vurel {
namespace direct {

// Bounds the difference rounding can make between a path's weight summed
// exactly and its key on OpenFst's heap, and between those of two paths
// that share all but a part, for paths of up to LongestToleratedPath arcs.
inline float PathTolerance(float weight) { return 1.0f / 1024.0f + weight / 8192.0f; }

// The most arcs a path may have for PathTolerance to hold: a few units in
// the last place per arc, and OpenFst's delta.
inline std::uint64_t LongestToleratedPath(float weight) {
  const float unit = std::nextafter(weight + PathTolerance(weight), kInfinity) -
                     (weight + PathTolerance(weight));
  return static_cast<std::uint64_t>(PathTolerance(weight) / (8.0f * unit));
}

// How far pairs must be settled to count paths up to `weight`.
inline float CountingReach(float weight) {
  const float upper = weight + PathTolerance(weight);
  return upper + 4.0f * DistanceWindow(upper);
}

// Bounds on the paths around a weight: `within` is at least the number
// whose weight is at most the weight + PathTolerance (or more than the
// limit counted to), `below` at most the number lighter than the weight -
// PathTolerance. `longest`: the most arcs on a path counted;
// `heap_entries`: at least the entries OpenFst's pass puts on its heap
// before the paths within (each partial path it expands lies on one of
// them; its entries are one per arc into the pair).
struct PathBounds {
  std::uint64_t below = 0;
  std::uint64_t within = 0;
  std::uint32_t longest = 0;
  std::uint64_t heap_entries = 0;
};

class PathCounter {
 public:
  // `graph` must outlive the counter; its pairs may be settled further
  // between counts.
  explicit PathCounter(const PairGraph &graph) : graph_(graph) {}

  // Prepares counting the lattice's paths by weight, for weights up to
  // `weight`, with pairs settled up to CountingReach of it: finds the
  // relevant pairs (those on paths of such weights) with their shortest
  // distances to the end, summed exactly (in double precision), and counts
  // their paths in buckets of weight when they form no cycle. Each
  // path's bucket count loses a bucket's width in each arc's weight,
  // rounded down for one bound and up for the other.
  void CountPaths(float weight, std::uint64_t limit);

  // After CountPaths: the bounds its buckets give for `weight`, no more
  // than the counted one. False where there are none.
  bool BucketBounds(float weight, PathBounds &bounds) const;

  // After CountPaths: the paths around `weight` counted one by one, with
  // their weights summed exactly, until more than `limit` of them are
  // lighter: each arc taken leads on to the end within the weight, so the
  // steps are a few per path counted. False past a number of steps or arcs
  // on a path (a cycle of weight 0 among them).
  bool ExactBounds(float weight, std::uint64_t limit, PathBounds &bounds) const;

  // The heaviest weight up to which paths can be counted with the pairs
  // settled, and below which every path of a pass was read (`trusted`:
  // the pass's steps are OpenFst's up to that weight); 0 if none.
  float CountableWeight(float trusted) const;

 private:
  struct RelevantArc {
    std::uint32_t to;
    double weight;
  };
  struct EndEntry {
    double distance;
    std::uint32_t pair;
    bool operator<(const EndEntry &other) const { return distance > other.distance; }
  };

  void FindDistancesToEnd(float reach);
  void LinkRelevantArcs();
  std::size_t BucketsDown(double excess) const;
  std::size_t BucketsUp(double excess) const;
  std::size_t BucketsOfBudget(double budget) const;

  const PairGraph &graph_;
  // Distances to the end, the relevant pairs (with their index by pair)
  // and the arcs between them.
  std::vector<double> distance_to_end_;
  std::vector<std::uint32_t> relevant_index_;
  // The pairs whose distance to the end the last count set.
  std::vector<std::uint32_t> reached_from_end_;
  std::vector<EndEntry> end_heap_;
  // Kahn's order in CountPaths: successors not counted yet, nodes ready.
  std::vector<std::uint32_t> uncounted_successors_;
  std::vector<std::uint32_t> ready_;
  std::vector<std::uint32_t> relevant_;
  std::vector<std::uint32_t> relevant_out_begin_;
  std::vector<RelevantArc> relevant_out_;
  std::vector<std::uint32_t> in_degrees_;  // arcs from settled pairs
  // Per relevant pair and bucket, the paths from it to the end whose
  // excess weight takes that many buckets at most (see CountPaths).
  bool has_buckets_ = false;
  double count_base_ = 0.0;
  double count_bucket_ = 1.0;
  std::vector<std::uint32_t> at_most_;
  std::vector<std::uint32_t> below_;
  std::vector<std::uint32_t> longest_;
};

// Places OpenFst's path of `weight` among its passes, after CountPaths for
// at least that weight: by the counts in buckets where they decide, else
// by counting paths one by one. `bounds` gets the bounds used.
PassPlace Locate(const PathCounter &counter, float weight, const PathRequests &requests,
                 std::uint64_t cap, bool last, PathBounds &bounds);

}  // namespace direct
}  // namespace vurel

#endif  // VUREL_CORE_PATH_COUNTING_H_
