// One decoded path.
#ifndef VUREL_CORE_PATH_DATA_H_
#define VUREL_CORE_PATH_DATA_H_

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "openfst.h"

namespace vurel {

struct PathData {
  float path_weight = 0.0f;          // sum of path_weights, unless merged or normalised
  std::vector<float> path_weights;   // one per recorded arc
  std::vector<Label> ilabels;        // one per recorded arc; 0 reads nothing
  std::vector<Label> olabels;        // one per recorded arc; 0 writes nothing
  std::vector<Label> uniques;        // phoneme labels after cluster decomposition and veto
};

// Empties `path` for reuse, keeping the capacity of its vectors.
inline void ClearPath(PathData &path) {
  path.path_weight = 0.0f;
  path.path_weights.clear();
  path.ilabels.clear();
  path.olabels.clear();
  path.uniques.clear();
}

// Whether two floats are the same bits (so -0.0 differs from 0.0 and a NaN
// equals itself).
inline bool SameBits(float lhs, float rhs) {
  return std::bit_cast<std::uint32_t>(lhs) == std::bit_cast<std::uint32_t>(rhs);
}

// Whether two records are the same in every field, weights bit for bit.
inline bool IdenticalRecord(const PathData &lhs, const PathData &rhs) {
  return SameBits(lhs.path_weight, rhs.path_weight) && lhs.ilabels == rhs.ilabels &&
         lhs.olabels == rhs.olabels && lhs.uniques == rhs.uniques &&
         std::equal(lhs.path_weights.begin(), lhs.path_weights.end(),
                    rhs.path_weights.begin(), rhs.path_weights.end(), SameBits);
}

inline bool IdenticalRecords(const std::vector<PathData> &lhs, const std::vector<PathData> &rhs) {
  return std::equal(lhs.begin(), lhs.end(), rhs.begin(), rhs.end(), IdenticalRecord);
}

}  // namespace vurel

#endif  // VUREL_CORE_PATH_DATA_H_
