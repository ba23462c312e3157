// N-best search over a lattice: distinct pronunciations, best first.
#ifndef VUREL_CORE_NBEST_H_
#define VUREL_CORE_NBEST_H_

#include <cstdint>
#include <functional>
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

// Reads the path of an n-shortest-paths result that begins with
// `start_arc`, recording every arc except epsilon arcs of weight within
// 2^-10 of 0. Fails with "State {} doesn't exist" on a bad next state.
Result<PathData> ReadPath(const VectorFst &shortest_paths, const Arc &start_arc,
                          const ClusterTable &output_clusters,
                          const VetoSet &veto);

// How many shortest paths the first pass of a search for `nbest`
// pronunciations asks for (8 * nbest, at least 16), and the largest request
// (256 * nbest, at least 1024); both saturate instead of overflowing.
struct PathRequests {
  std::uint64_t first = 0;
  std::uint64_t cap = 0;
};
PathRequests PathRequestsFor(std::uint64_t nbest);

// Told the number of paths requested, once before each pass of a search.
using PassObserver = std::function<void(std::uint64_t requested)>;

// Asks OpenFst for growing numbers of shortest paths until `nbest` distinct
// pronunciations are found or the request reaches its cap; each pass starts
// over. Merges paths with equal uniques: the first one's record is kept,
// with the weights log-added when `accumulate`. Fails with kInternal when
// OpenFst reports an error.
Result<PathCollection> SearchNbest(const VectorFst &lattice, std::uint64_t nbest,
                                   bool accumulate,
                                   const ClusterTable &output_clusters,
                                   const VetoSet &veto,
                                   const PassObserver &observe_pass = {});

}  // namespace vurel

#endif  // VUREL_CORE_NBEST_H_
