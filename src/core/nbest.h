// N-best search over a lattice: distinct pronunciations, best first.
#ifndef VUREL_CORE_NBEST_H_
#define VUREL_CORE_NBEST_H_

#include <cstdint>
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

// Asks OpenFst for growing numbers of shortest paths until `nbest` distinct
// pronunciations are found or the request reaches its cap; merges paths
// with equal uniques (log-adding their weights when `accumulate`).
Result<PathCollection> SearchNbest(const VectorFst &lattice, std::uint64_t nbest,
                                   bool accumulate,
                                   const ClusterTable &output_clusters,
                                   const VetoSet &veto);

}  // namespace vurel

#endif  // VUREL_CORE_NBEST_H_
