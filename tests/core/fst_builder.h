// Builds small FSTs for tests from a list of arcs.
#ifndef VUREL_TESTS_CORE_FST_BUILDER_H_
#define VUREL_TESTS_CORE_FST_BUILDER_H_

#include <utility>
#include <vector>

#include "openfst.h"

namespace vurel::test_fst {

struct ArcSpec {
  int from;
  int ilabel;
  int olabel;
  float weight;
  int to;
};

// An FST of `num_states` states starting at 0 (when there is one), with the
// given arcs in order and final weights; no symbol tables.
inline VectorFst MakeFst(int num_states, const std::vector<ArcSpec> &arcs,
                         const std::vector<std::pair<int, float>> &finals) {
  VectorFst fst;
  for (int i = 0; i < num_states; ++i) fst.AddState();
  if (num_states > 0) fst.SetStart(0);
  for (const ArcSpec &arc : arcs) {
    fst.AddArc(arc.from, Arc(arc.ilabel, arc.olabel, arc.weight, arc.to));
  }
  for (const auto &[state, weight] : finals) fst.SetFinal(state, weight);
  return fst;
}

}  // namespace vurel::test_fst

#endif  // VUREL_TESTS_CORE_FST_BUILDER_H_
