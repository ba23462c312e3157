// N-best search over a lattice: distinct pronunciations, best first.
#ifndef VUREL_CORE_NBEST_H_
#define VUREL_CORE_NBEST_H_

#include <cstdint>
#include <functional>
#include <limits>
#include <unordered_map>
#include <vector>

#include "cluster_table.h"
#include "openfst.h"
#include "path_data.h"
#include "result.h"

namespace vurel {

// Distinct `uniques` sequences in order of first appearance, each with the
// record kept for it.
struct PathCollection {
  std::vector<LabelSequence> keys;
  std::unordered_map<LabelSequence, PathData, LabelSequenceHash> paths;
};

// -log(e^-a + e^-b) in single precision; an infinite operand yields the
// other one. `running` is the accumulated value, `next` the new one.
float LogAdd(float running, float next);

// Whether `arc` is an epsilon arc whose weight is within 2^-10 of 0, which
// reading a path leaves out.
bool LeavesNoTrace(const Arc &arc);

// The arc step of reading a path: appends `arc` to `path`, unless it is an
// epsilon arc whose weight is within 2^-10 of 0, which leaves no trace.
void AppendPathArc(const Arc &arc, const ClusterTable &output_clusters,
                   const VetoSet &veto, PathData &path);

// Merges `path` into `collection` under its uniques: a new key is appended
// with a copy of the record; a known one keeps its record, with the weights
// log-added when `accumulate`. Returns the labels and weights copied (0
// when it merged).
std::size_t MergePath(const PathData &path, bool accumulate, PathCollection &collection);

// Merges a path whose uniques are `uniques` and weight `path_weight` into
// `collection` when the key is known there, as MergePath does; false, and
// nothing done, when it is not.
bool MergeIntoKnownKey(const LabelSequence &uniques, float path_weight, bool accumulate,
                       PathCollection &collection);

// Reads the path of an n-shortest-paths result that begins with
// `start_arc`, recording every arc except epsilon arcs of weight within
// 2^-10 of 0. Fails with "State {} doesn't exist" on a bad next state.
Result<PathData> ReadPath(const VectorFst &shortest_paths, const Arc &start_arc,
                          const ClusterTable &output_clusters,
                          const VetoSet &veto);

// Convergence delta of the shortest-distance computation behind the
// search, and the tolerance within which its heap lets a partial path go
// before a whole one.
inline constexpr float kShortestPathDelta = 1e-6f;

// OpenFst takes the number of paths as a signed 32-bit count.
inline constexpr std::uint64_t kLargestRequest = std::numeric_limits<std::int32_t>::max();

// How many shortest paths the first pass of a search for `nbest`
// pronunciations asks for (8 * nbest, at least 16), and the largest request
// (256 * nbest, at least 1024); both saturate instead of overflowing.
struct PathRequests {
  std::uint64_t first = 0;
  std::uint64_t cap = 0;
};
PathRequests PathRequestsFor(std::uint64_t nbest);

// The request of the pass after one that asked for `requested` paths:
// twice as many, up to the cap.
std::uint64_t NextPathRequest(std::uint64_t requested, const PathRequests &requests);

// Where a path falls among the passes of a search, given that at least
// `below` of OpenFst's paths come before it and at most `within` paths come
// up to it, itself included.
enum class PassPlace {
  kRead,     // a pass reads it; when `last` (its output is the last one the
             // search wants), the pass that does holds all `within`, so that
             // none of its states reached its limit of expansions before it
  kPastCap,  // no pass reads it: the cap's number of paths come before it
  kUnknown,  // the counts leave it open
};
PassPlace PlaceAmongPasses(std::uint64_t below, std::uint64_t within,
                           const PathRequests &requests, bool last);

// OpenFst's n-shortest-paths search, fst::ShortestPath(lattice, result,
// paths, false, false, Weight::Zero(), state_threshold, delta), with the part
// that depends only on the lattice (shortest distances, reversed lattice)
// done once, on the first call that asks for more than one path, and kept
// for the later calls. Results equal OpenFst's call exactly.
class NShortestPaths {
 public:
  NShortestPaths(const VectorFst &lattice, float delta);
  void Search(std::int32_t paths, Arc::StateId state_threshold, VectorFst &result);

 private:
  using ReverseArc = fst::ReverseArc<Arc>;

  void Prepare();

  const VectorFst &lattice_;
  const float delta_;
  bool prepared_ = false;
  bool distance_failed_ = false;
  // The shortest distance from the start to each lattice state, preceded by
  // that of the reversed lattice's super-initial state.
  std::vector<Weight> distance_;
  fst::VectorFst<ReverseArc> reversed_;
};

// Told the number of paths requested, once before each pass of a search.
using PassObserver = std::function<void(std::uint64_t requested)>;

// What one pass may spend, whatever `nbest` asks for. A lattice with cycles
// has infinitely many paths of growing length, so an unbounded request
// would exhaust memory or never end. Limits: states of the n-shortest-paths
// result (some 120 bytes each while OpenFst builds it), a fixed number plus
// a number per lattice arc, since every step of OpenFst's search adds one
// state per arc entering a lattice state and must be able to take a few
// steps through the largest; arcs walked while reading paths (time); and
// arcs recorded in the records kept (some 40 bytes each here, 100 more as
// Python objects). The defaults allow roughly 250 MB of OpenFst result
// plus 250 bytes per lattice arc, 500 MB of kept records, and a few seconds
// per pass.
struct SearchBudget {
  std::int64_t result_states = std::int64_t{1} << 21;
  std::int64_t result_states_per_lattice_arc = 2;
  // Whatever the lattice's size, the result never holds more states.
  std::int64_t largest_result_states = std::numeric_limits<std::int64_t>::max();
  std::uint64_t walked_arcs = std::uint64_t{1} << 25;
  std::uint64_t kept_arcs = std::uint64_t{1} << 22;
};

// Asks OpenFst for growing numbers of shortest paths until `nbest` distinct
// pronunciations are found or the request reaches its cap; each pass starts
// over. Merges paths with equal uniques: the first one's record is kept,
// with the weights log-added when `accumulate`. A pass cut short by the
// budget is the last: its paths are the best ones in order, so the result is
// the head of the unbounded one (or the previous pass's, if that held more
// pronunciations); if it completed no path at all, one more pass asks for
// the single best path. Fails with kInternal when OpenFst reports an error.
Result<PathCollection> SearchNbest(const VectorFst &lattice, std::uint64_t nbest,
                                   bool accumulate,
                                   const ClusterTable &output_clusters,
                                   const VetoSet &veto,
                                   const PassObserver &observe_pass = {},
                                   const SearchBudget &budget = {});

// The number of successful paths of `fst`, or `limit` if there are at least
// that many (a cycle on a successful path makes them infinite). Counts only
// paths from the start state; O(states + arcs).
std::uint64_t CountPathsUpTo(const VectorFst &fst, std::uint64_t limit);

}  // namespace vurel

#endif  // VUREL_CORE_NBEST_H_
