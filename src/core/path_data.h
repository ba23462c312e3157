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

// Whether two lists of records are the same in every field, weights bit
// for bit (so -0.0 differs from 0.0 and a NaN equals itself).
inline bool IdenticalRecords(const std::vector<PathData> &lhs, const std::vector<PathData> &rhs) {
  const auto same_bits = [](float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
  };
  if (lhs.size() != rhs.size()) return false;
  for (std::size_t i = 0; i < lhs.size(); ++i) {
    const PathData &a = lhs[i];
    const PathData &b = rhs[i];
    if (!same_bits(a.path_weight, b.path_weight) || a.ilabels != b.ilabels ||
        a.olabels != b.olabels || a.uniques != b.uniques ||
        !std::equal(a.path_weights.begin(), a.path_weights.end(), b.path_weights.begin(),
                    b.path_weights.end(), same_bits)) {
      return false;
    }
  }
  return true;
}

}  // namespace vurel

#endif  // VUREL_CORE_PATH_DATA_H_
