// Cluster tables: which symbols of a table stand for several others, joined
// by the table's tie (the text of symbol 1), and the veto set of labels that
// never reach a caller as phonemes.
#ifndef VUREL_CORE_CLUSTER_TABLE_H_
#define VUREL_CORE_CLUSTER_TABLE_H_

#include <cstddef>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "openfst.h"

namespace vurel {

using LabelSequence = std::vector<Label>;

struct LabelSequenceHash {
  std::size_t operator()(const LabelSequence &labels) const noexcept;
};

struct ClusterTable {
  // Every label from 2 to N-1 mapped to the labels it stands for (itself
  // for a plain symbol; possibly empty).
  std::unordered_map<Label, LabelSequence> decompositions;
  // The inverse; where decompositions are equal, the largest label wins.
  std::unordered_map<LabelSequence, Label, LabelSequenceHash> clusters;
  // Length of the longest decomposition; never below 1.
  std::size_t longest = 1;
};

// Builds the cluster table of `symbols`. Cannot fail: pieces of a cluster
// that are not symbols are left out of its decomposition.
ClusterTable BuildClusterTable(const fst::SymbolTable &symbols);

// Labels 0 (epsilon), 1 (the tie) and 2 (the skip symbol).
using VetoSet = std::unordered_set<Label>;
VetoSet MakeVetoSet();

// Appends to `uniques` what output label `label` contributes to a path's
// pronunciation: its decomposition in `output_clusters` less vetoed labels;
// nothing when it has no decomposition.
void AppendDecomposition(const ClusterTable &output_clusters,
                         const VetoSet &veto, Label label,
                         LabelSequence &uniques);

}  // namespace vurel

#endif  // VUREL_CORE_CLUSTER_TABLE_H_
