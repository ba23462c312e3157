// One decoded path.
#ifndef VUREL_CORE_PATH_DATA_H_
#define VUREL_CORE_PATH_DATA_H_

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

}  // namespace vurel

#endif  // VUREL_CORE_PATH_DATA_H_
