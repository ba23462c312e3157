// The finite-state form of one tokenized word.
#ifndef VUREL_CORE_WORD_ACCEPTOR_H_
#define VUREL_CORE_WORD_ACCEPTOR_H_

#include <vector>

#include "cluster_table.h"
#include "openfst.h"

namespace vurel {

// A chain of labels.size() + 1 states with one arc per label, plus one arc
// from state i to state i + k for every run of k >= 2 labels starting at i
// that `input_clusters` maps to a cluster symbol. All weights are 0; state
// n is the only final state; no symbol tables. Requires at least one label.
VectorFst BuildWordAcceptor(const std::vector<Label> &labels,
                            const ClusterTable &input_clusters);

}  // namespace vurel

#endif  // VUREL_CORE_WORD_ACCEPTOR_H_
