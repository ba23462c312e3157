// The pairs of (position in the word, model state) that a word reaches from
// the start, settled in order of their distance from the start (Dijkstra's
// algorithm over a RadixQueue), with the model's arcs read in place and no
// lattice built. It takes a model that SuitsDirectSearch and a word acceptor
// (states 0 to n in order, n final); it keeps, for every pair reached, its
// distance summed as OpenFst sums it, the settled arcs into it, and whether
// OpenFst's shortest distance is that distance bit for bit. Settling stops
// at the budget or on cancellation; a sum that overflows is flagged.
//
// Given lower bounds on the distance to the end (EndBounds), it settles
// pairs in order of distance plus bound instead (A*): a pair that cannot lie
// on a path within the bound is then not settled at all. The distances are
// the same, but the order of settling is not OpenFst's, and exactness is not
// decided.
#ifndef VUREL_CORE_PAIR_GRAPH_H_
#define VUREL_CORE_PAIR_GRAPH_H_

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model_fst.h"
#include "openfst.h"
#include "reference/nbest.h"
#include "search/direct_search.h"
#include "search/end_bounds.h"
#include "util/flat_index.h"
#include "util/radix_queue.h"

namespace vurel {
namespace direct {

inline constexpr float kInfinity = std::numeric_limits<float>::infinity();
inline constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// How often the loops look at the cancellation flag.
inline constexpr std::uint32_t kCancelCheckInterval = 1024;

// What OpenFst's composition puts on a lattice arc: the acceptor's weight
// (0) times the model's. Not always the model's bits: 0 + -0.0 is +0.0.
inline float LatticeWeight(float model_weight) { return 0.0f + model_weight; }

// OpenFst's ApproxEqual on tropical weights.
inline bool ApproxEqual(float lhs, float rhs, float delta) {
  return lhs <= rhs + delta && rhs <= lhs + delta;
}

// OpenFst's shortest distance keeps a distance when another route is
// better by no more than its delta, so where two routes to a pair come
// within this of each other, its distance may not be the shortest one.
// Twice the delta and a few units in the last place, for the rounding of
// its comparisons.
inline float DistanceWindow(float distance) {
  return 2.0f * kShortestPathDelta + 8.0f * (std::nextafter(distance, kInfinity) - distance);
}

// Whether the word acceptor has an epsilon arc. The searches over pairs
// leave such a word to OpenFst: with epsilons on both sides, the lattice
// holds only the paths its compose filter lets through.
inline bool ReadsEpsilon(const VectorFst &acceptor) {
  for (Arc::StateId state = 0; state < acceptor.NumStates(); ++state) {
    for (fst::ArcIterator<VectorFst> arcs(acceptor, state); !arcs.Done(); arcs.Next()) {
      if (arcs.Value().olabel == 0) return true;
    }
  }
  return false;
}

// The arcs of `state`, read in place.
template <class Fst>
std::pair<const Arc *, const Arc *> ArcsOf(const Fst &fst, Arc::StateId state) {
  fst::ArcIteratorData<Arc> data;
  fst.InitArcIterator(state, &data);
  return {data.arcs, data.arcs + data.narcs};
}

struct Pair {
  std::uint32_t position;
  Arc::StateId state;
  float distance;  // from the start, summed first arc first, as OpenFst does
  std::uint32_t last_incoming = kNone;  // the newest arc into it
  std::uint32_t rank = kNone;           // its place in the order of settling
  float to_end = 0.0f;  // its lower bound on the distance to the end
  float key = 0.0f;     // its key on the heap: distance plus to_end
  bool settled = false;
  // Whether OpenFst's shortest distance of this lattice state is `distance`
  // bit for bit (see PairGraph::MarkExactDistances).
  bool exact = false;
};

// An arc of the lattice from a settled pair, one of a list per target pair.
struct PairArc {
  std::uint32_t from;
  std::uint32_t to;
  const Arc *arc;
  std::uint32_t next_incoming;  // the arc into `to` found before it
};

enum class SettleStep { kDone, kOverBudget, kCancelled };

// What a graph fills as it settles. Each thread keeps the buffers of its
// last graph for the next one: allocating and clearing them afresh took a
// sixth of a word's distinct search.
struct PairGraphBuffers {
  PairGraphBuffers();

  // Pairs of (position, model state) to their ids.
  FlatIndex index{8192};
  std::vector<Pair> pairs;
  std::vector<std::uint32_t> settled_order;
  std::vector<std::uint32_t> final_pairs;
  RadixQueue settling;
  std::vector<PairArc> arcs;
  std::vector<std::pair<std::uint32_t, const Arc *>> followed;
  // The start closure whose pairs, arcs and order of settling the vectors
  // above begin with (serial 0: none), and how many of each. A word never
  // changes them, so the next word that replays the same closure starts
  // from them as they are: copying them took a twentieth of a word's
  // search.
  struct HeldClosure {
    std::uint64_t serial = 0;
    std::size_t pairs = 0;
    std::size_t arcs = 0;
    std::size_t settled = 0;
  } held_closure;
};

class PairGraph {
 public:
  // `model`, `acceptor`, `*start_closure` (none: the word settles its own)
  // and `*cancel` (may be null) must outlive the graph; `budget` is copied.
  // Its lattice_states and lattice_arcs bound the pairs and arcs reached.
  // Without `decide_exactness`, only the pairs replayed from the start
  // closure are marked exact: a search that does not follow OpenFst's order
  // saves that pass over the arcs. `*to_end` (may be null) must outlive the
  // graph.
  PairGraph(const ModelFst &model, const StartClosure::Data *start_closure,
            const VectorFst &acceptor, const DirectSearchBudget &budget,
            const std::atomic<bool> *cancel, bool decide_exactness = true,
            const EndBounds *to_end = nullptr);
  ~PairGraph();
  PairGraph(const PairGraph &) = delete;
  PairGraph &operator=(const PairGraph &) = delete;

  // Settles pairs in order of distance until the best complete path is
  // known; its weight is then best_complete() (infinite: no path).
  SettleStep FindBest();

  // After FindBest: settles every pair whose distance (plus bound) is within
  // `margin` of the best path, so that every path that light has all its
  // pairs settled, and decides the exactness of the distances it can.
  SettleStep SettleWithin(float margin);

  // For FindStartClosure, on an acceptor of one state and no arcs: settles
  // every pair (all at position 0) and decides their exactness. Nothing when
  // they outgrow the budget or a distance overflows.
  std::optional<StartClosure::Data> SettleStartClosure();

  float best_complete() const { return best_complete_; }
  // The margin and bound of the last SettleWithin: every pair with a
  // distance (plus bound) up to bound() = best_complete() + margin() is
  // settled.
  float margin() const { return margin_; }
  float bound() const { return bound_; }
  // Whether every pair reached is settled.
  bool all_settled() const { return all_settled_; }
  // Whether every pair within `weight` of the start is settled.
  bool SettledTo(float weight) const { return all_settled_ || best_complete_ + margin_ >= weight; }
  // Whether a sum of finite weights came out infinite. OpenFst then sees a
  // path of weight Zero where this search sees none, and answers otherwise.
  bool overflowed() const { return overflowed_; }
  bool Cancelled() const {
    return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed);
  }

  // Every pair reached, by id; settled ones carry their final distance and,
  // from pair.last_incoming through arcs(), every arc into them from a
  // settled pair. Pairs settled later only append to both vectors.
  const std::vector<Pair> &pairs() const { return pairs_; }
  const std::vector<PairArc> &arcs() const { return arcs_; }
  // The ids of the settled pairs in the order settled (of distance, plus
  // bound when there are bounds).
  const std::vector<std::uint32_t> &settled_order() const { return settled_order_; }
  // The settled pairs that end the word and are final, in the order settled.
  const std::vector<std::uint32_t> &final_pairs() const { return final_pairs_; }
  std::uint32_t start_pair() const { return start_pair_; }
  std::uint32_t end_position() const { return end_position_; }

  // The final weight of `pair` if it ends the word, else infinity.
  float FinalWeightAtEnd(std::uint32_t pair) const {
    const Pair &p = pairs_[pair];
    return p.position == end_position_ ? model_.Final(p.state).Value() : kInfinity;
  }

 private:
  void ReplayStartClosure();
  void DropHeldClosure();
  std::uint32_t Reach(std::uint32_t position, Arc::StateId state, float distance);
  void Push(std::uint32_t id);
  void Follow(std::uint32_t from, std::uint32_t position, const Arc &arc);
  template <class Continue>
  SettleStep Settle(Continue keep_going);
  bool NothingLeftToSettle();
  void MarkExactDistances(float bound);

  const ModelFst &model_;
  const StartClosure::Data *start_closure_;
  const VectorFst &acceptor_;
  const DirectSearchBudget budget_;
  const std::atomic<bool> *cancel_;
  const bool decide_exactness_;
  const EndBounds *to_end_;
  const std::uint32_t end_position_;

  std::unique_ptr<PairGraphBuffers> buffers_;
  FlatIndex &index_;
  std::vector<Pair> &pairs_;
  std::vector<std::uint32_t> &settled_order_;
  std::vector<std::uint32_t> &final_pairs_;
  RadixQueue &settling_;
  std::vector<PairArc> &arcs_;
  // The arcs a pair being settled follows, with the positions they lead to.
  std::vector<std::pair<std::uint32_t, const Arc *>> &followed_;
  std::uint32_t start_pair_ = kNone;
  float best_complete_ = kInfinity;
  // The key of the last pair settled: keys pushed are never below it, which
  // bounds summed in another order than distances could otherwise break by
  // a unit in the last place.
  float last_settled_key_ = 0.0f;
  bool overflowed_ = false;
  float margin_ = 0.0f;
  float bound_ = 0.0f;
  bool all_settled_ = false;
  std::size_t marked_ = 0;  // settled pairs whose exactness is decided
  std::uint64_t steps_ = 0;
};

}  // namespace direct

// Pairs, arcs and order as a graph that settled them leaves them.
struct StartClosure::Data {
  std::vector<direct::Pair> pairs;
  std::vector<direct::PairArc> arcs;
  std::vector<std::uint32_t> settled_order;
  std::uint32_t start_pair;
  // Per input label, the arcs that read it, pair by pair in the order
  // settled.
  std::unordered_map<Label, std::vector<std::pair<std::uint32_t, const Arc *>>> letter_arcs;
  // Tells this closure apart from every other one the process makes, even
  // one made where a freed one was.
  std::uint64_t serial = 0;
};

}  // namespace vurel

#endif  // VUREL_CORE_PAIR_GRAPH_H_
