// A word's paths in the order OpenFst's n-shortest-paths search finds them
// on the lattice, read over the settled pairs of a PairGraph: its passes
// replayed backwards from the end of the word, with the pairs' distances as
// the heuristic and OpenFst's order on its heap, weights summed in
// OpenFst's order, bit for bit. A step is taken only where it is certain to
// be OpenFst's; otherwise the pass says kUnsure, or kBeyond where more
// pairs must be settled first (Widen).
#ifndef VUREL_CORE_ORDERED_PATHS_H_
#define VUREL_CORE_ORDERED_PATHS_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "cluster_table.h"
#include "path_data.h"
#include "reference/nbest.h"
#include "search/pair_graph.h"

namespace vurel {
namespace direct {

// A partial path of the enumeration: from `pair` to the end of the word,
// through `arc` to the pair of `parent` (kNone: the end itself, through the
// final weight). `backward` is its weight summed from the end.
// `earlier_expansion`: once it was expanded, the partial path expanded at
// the same pair before it in the pass.
struct PartialPath {
  std::uint32_t pair;
  std::uint32_t parent;
  const Arc *arc;
  float backward;
  std::uint32_t earlier_expansion = kNone;
  // In a pass over distinct outputs, once it was expanded: the id of the
  // output it writes from its pair to the end (see SuffixOf).
  std::uint32_t suffix = 0;
};

struct QueueEntry {
  float key;
  std::uint32_t item;
  bool complete;  // a whole path (from the start), not a partial one
};

// The order of OpenFst's n-shortest-paths heap: whether `lhs` comes out
// after `rhs`. Lighter first, except that a whole path waits for a partial
// one within the delta of its weight, since rounding can put a partial
// path's weight a little above that of the paths it leads to.
inline bool ComesLater(const QueueEntry &lhs, const QueueEntry &rhs) {
  if (lhs.complete && !rhs.complete) {
    return rhs.key < lhs.key || ApproxEqual(lhs.key, rhs.key, kShortestPathDelta);
  }
  if (rhs.complete && !lhs.complete) {
    return rhs.key < lhs.key && !ApproxEqual(lhs.key, rhs.key, kShortestPathDelta);
  }
  return rhs.key < lhs.key;
}

// A complete path found by the enumeration. When `uniques_only` is set,
// only the path's weight was read into `record`, and its uniques are
// *uniques_only: an earlier path of the word wrote the same output labels.
struct FoundPath {
  PathData record;
  std::size_t arcs = 0;  // lattice arcs on it
  const LabelSequence *uniques_only = nullptr;
  std::uint32_t first = 0;  // its partial path at the start
  float key = 0.0f;  // its weight on OpenFst's heap, every arc's added in
};

class OrderedPaths {
 public:
  // `graph` must have settled its pairs within a margin (SettleWithin) and
  // outlive this, as must the other arguments; `budget` bounds the partial
  // paths held.
  OrderedPaths(PairGraph &graph, const ClusterTable &output_clusters, const VetoSet &veto,
               const DirectSearchBudget &budget);

  // The outcome of taking the next entry off the heap of a pass.
  enum class Next { kPath, kFull, kExhausted, kBeyond, kUnsure, kCancelled };

  // Starts a pass of OpenFst's n-shortest-paths search for `request` paths
  // on the reversed lattice: its heap holds one entry for the super-initial
  // state's arc into each final pair, with the final weight.
  void StartPass(std::uint64_t request);

  // Starts a pass that skips partial paths leading only to outputs already
  // reached by lighter paths (see ExpandFirstOfItsOutput). Its whole paths
  // are a part of OpenFst's, in OpenFst's order, holding the first path of
  // every output; how many of OpenFst's paths come before each is left to
  // PathCounter.
  void StartDistinctPass();

  // Lets the pass go on to `request` paths in all.
  void ExtendPass(std::uint64_t request) { request_ = request; }

  // Runs the pass to its next whole path, which it reads into `run`, with
  // any others of the same weight. Each step is the step OpenFst's search
  // takes, provided that its key is OpenFst's (the pair's distance is
  // exact), that it is within the pairs settled (otherwise kBeyond: Widen
  // first), and that partial paths of equal weight leave the same heap in
  // any order (otherwise kUnsure). kFull once `request` paths were found;
  // kExhausted when the heap runs out. kUnsure also once the partial paths,
  // or a run of whole paths, outgrow the budget.
  Next NextPath(std::vector<FoundPath> &run);

  // Runs a distinct pass (StartDistinctPass) to its next whole path, read
  // into `found`. kUnsure where entries of equal weight leave OpenFst's heap
  // in an order of its own: then the pass cannot tell which path comes first.
  Next NextDistinctPath(FoundPath &found);

  // The whole record of a path of which NextPath read only the weight.
  void ReadRecord(FoundPath &found) const { Read(found.first, found); }

  // Settles the pairs of a wider margin, at least `least_margin`, and
  // brings the pass up to date as if they had been settled before it
  // began. Their entries weigh more than any taken so far, so only their
  // places in the heap differ, and the order of entries of equal weight is
  // left open anyway.
  SettleStep Widen(float least_margin = 0.0f);

  const PairGraph &graph() const { return graph_; }
  // Entries up to this weight are OpenFst's next steps: whole paths must
  // come out before any entry of a pair not settled could, even by the
  // delta.
  float trusted() const { return trusted_; }
  // Whether a pass ran out of entries having skipped some, in which case
  // the lattice may hold more paths than it found.
  bool pruned() const { return pruned_; }
  std::uint64_t completed() const { return completed_; }
  std::uint64_t request() const { return request_; }
  // Whether a sum of finite weights, in the graph or on the heap, came out
  // infinite.
  bool overflowed() const { return overflowed_ || graph_.overflowed(); }

 private:
  enum class Expansion { kDone, kPruned, kLeadsAhead, kDominated, kUnsure };

  void TrustSettledPairs();
  bool Outgrown() const;
  QueueEntry Pop();
  Expansion Expand(const QueueEntry &entry, const QueueEntry *run);
  Expansion ExpandFirstOfItsOutput(std::uint32_t item);
  std::uint32_t SuffixOf(const PartialPath &partial);
  bool WritesUniques(Label label);
  void PushIfFinal(std::uint32_t pair);
  QueueEntry Push(std::uint32_t pair, std::uint32_t parent, const Arc *arc, float backward);
  void Enqueue(const QueueEntry &entry);
  void Read(std::uint32_t first, FoundPath &found) const;
  Arc ResultArc(const PartialPath &partial) const;
  void ReadWeightIfOutputKnown(std::uint32_t first, FoundPath &found);

  PairGraph &graph_;
  const ClusterTable &output_clusters_;
  const VetoSet &veto_;
  const DirectSearchBudget &budget_;

  float trusted_ = 0.0f;
  bool overflowed_ = false;
  std::uint64_t steps_ = 0;
  std::uint64_t request_ = 0;
  std::uint64_t completed_ = 0;
  bool pruned_ = false;
  // The run of partial paths of equal weight being taken (see NextPath):
  // one of them, how many lead ahead of it, and the whole paths that came
  // out during it.
  bool in_run_ = false;
  QueueEntry run_key_{};
  int runners_ahead_ = 0;
  int wholes_in_run_ = 0;
  std::vector<std::uint64_t> pops_;
  // Per pair, the partial path expanded there last in the pass.
  std::vector<std::uint32_t> expansions_;
  std::vector<PartialPath> partial_paths_;
  std::vector<QueueEntry> queue_;

  // A distinct pass: the ids of outputs to the end, and per pair and output
  // the weight of the partial path expanded there first.
  bool distinct_ = false;
  std::unordered_map<std::uint64_t, std::uint32_t> suffix_ids_;
  std::unordered_map<std::uint64_t, float> expanded_suffixes_;
  std::unordered_map<Label, bool> writes_uniques_;

  // The uniques of each sequence of output labels read, 0 left out when
  // label 0 adds nothing to uniques.
  std::unordered_map<LabelSequence, LabelSequence, LabelSequenceHash> uniques_of_outputs_;
  LabelSequence outputs_;
  bool zero_writes_nothing_ = false;
};

// How a run of passes ends.
enum class PassesEnd { kFound, kUnsure, kOverBudget, kCancelled };

// The passes of SearchNbest: each asks for twice as many paths as the one
// before until one holds `nbest` distinct outputs or the request reaches its
// cap. A pass starts over only where the one before it reached a state's
// limit of expansions. Pairs are settled further as the paths need them.
// kFound leaves in `collection` what SearchNbest would return.
PassesEnd RunPasses(OrderedPaths &paths, std::uint64_t nbest, bool accumulate,
                    const DirectSearchBudget &budget, PathCollection &collection);

// The paths of a distinct pass: OpenFst's first path of each output, in
// OpenFst's order, without the hundreds of other alignments of those
// outputs that its passes read in between. Which pass ends the search, and
// whether the cap or a state's limit of expansions cuts a path off before
// an output is found, depends on how many paths come before that output's
// first; counts of the paths by weight must show that none of that changes
// the result. Reads records as SearchNbest does without accumulate.
PassesEnd RunDistinctPass(OrderedPaths &paths, std::uint64_t nbest,
                          const DirectSearchBudget &budget, PathCollection &collection);

}  // namespace direct
}  // namespace vurel

#endif  // VUREL_CORE_ORDERED_PATHS_H_
