#include "search/pair_graph.h"

#include <algorithm>

#include "util/thread_spare.h"

namespace vurel {
namespace direct {
namespace {

std::uint64_t PairKey(std::uint32_t position, Arc::StateId state) {
  return (std::uint64_t{position} << 32) | static_cast<std::uint32_t>(state);
}

// Buffers that grew past this many pairs (a word of thousands of letters)
// are freed rather than kept.
constexpr std::size_t kLargestKeptPairs = std::size_t{1} << 16;

}  // namespace

PairGraphBuffers::PairGraphBuffers() {
  // Room for a common word's search from the start: growing these from
  // empty took a tenth of the time of a word at nbest 1.
  pairs.reserve(4096);
  arcs.reserve(8192);
  settled_order.reserve(1024);
}

PairGraph::PairGraph(const ModelFst &model, const StartClosure::Data *start_closure,
                     const VectorFst &acceptor, const DirectSearchBudget &budget,
                     const std::atomic<bool> *cancel, bool decide_exactness,
                     const EndBounds *to_end)
    : model_(model), start_closure_(start_closure), acceptor_(acceptor), budget_(budget),
      cancel_(cancel), decide_exactness_(decide_exactness && to_end == nullptr),
      to_end_(to_end),
      end_position_(static_cast<std::uint32_t>(acceptor.NumStates() - 1)),
      buffers_(ThreadSpare<PairGraphBuffers>::Take()), index_(buffers_->index),
      pairs_(buffers_->pairs), settled_order_(buffers_->settled_order),
      final_pairs_(buffers_->final_pairs),
      settling_(buffers_->settling), arcs_(buffers_->arcs), followed_(buffers_->followed) {
  if (start_closure_ == nullptr || buffers_->held_closure.serial != start_closure_->serial) {
    DropHeldClosure();
  }
}

PairGraph::~PairGraph() {
  if (pairs_.capacity() > kLargestKeptPairs) return;
  index_.Clear();
  const PairGraphBuffers::HeldClosure &held = buffers_->held_closure;
  pairs_.resize(held.pairs);
  arcs_.resize(held.arcs);
  settled_order_.resize(held.settled);
  final_pairs_.clear();
  settling_.Clear();
  followed_.clear();
  ThreadSpare<PairGraphBuffers>::Keep(std::move(buffers_));
}

SettleStep PairGraph::FindBest() {
  const Arc::StateId start = model_.Start();
  if (start == fst::kNoStateId) return SettleStep::kDone;
  // The whole closure counts against the budget, as it does in the
  // lattice, which holds every pair reached; far from the budget, that
  // changes nothing.
  if (start_closure_ != nullptr && end_position_ > 0 &&
      start_closure_->pairs.size() <= budget_.lattice_states / 8 &&
      start_closure_->arcs.size() <= budget_.lattice_arcs / 8) {
    ReplayStartClosure();
  } else {
    DropHeldClosure();
    start_pair_ = Reach(0, start, 0.0f);
  }
  return Settle([this](float distance) { return distance < best_complete_; });
}

std::optional<StartClosure::Data> PairGraph::SettleStartClosure() {
  DropHeldClosure();
  start_pair_ = Reach(0, model_.Start(), 0.0f);
  if (Settle([](float) { return true; }) != SettleStep::kDone || overflowed_) return std::nullopt;
  all_settled_ = true;
  MarkExactDistances(kInfinity);
  StartClosure::Data closure{pairs_, arcs_, settled_order_, start_pair_, {}};
  for (const std::uint32_t pair : settled_order_) {
    const auto [first, last] = ArcsOf(model_, pairs_[pair].state);
    for (const Arc *arc = first; arc != last; ++arc) {
      if (arc->ilabel != 0) closure.letter_arcs[static_cast<Label>(arc->ilabel)].push_back({pair, arc});
    }
  }
  return closure;
}

SettleStep PairGraph::SettleWithin(float margin) {
  margin_ = margin;
  bound_ = best_complete_ + margin;
  const float bound = bound_;
  if (const SettleStep step = Settle([bound](float distance) { return distance <= bound; });
      step != SettleStep::kDone) {
    return step;
  }
  all_settled_ = NothingLeftToSettle();
  if (decide_exactness_) MarkExactDistances(bound);
  return SettleStep::kDone;
}

// Takes the pairs of position 0 from the start closure, settled and their
// exactness decided, and follows their arcs that read the word's first
// letters, as settling them would.
void PairGraph::ReplayStartClosure() {
  if (buffers_->held_closure.serial == 0) {
    pairs_ = start_closure_->pairs;
    arcs_ = start_closure_->arcs;
    settled_order_ = start_closure_->settled_order;
    buffers_->held_closure = {start_closure_->serial, pairs_.size(), arcs_.size(),
                              settled_order_.size()};
  }
  marked_ = settled_order_.size();
  start_pair_ = start_closure_->start_pair;
  for (fst::ArcIterator<VectorFst> letters(acceptor_, 0); !letters.Done(); letters.Next()) {
    const Arc &letter = letters.Value();
    const auto found = start_closure_->letter_arcs.find(static_cast<Label>(letter.olabel));
    if (found == start_closure_->letter_arcs.end()) continue;
    for (const auto &[pair, arc] : found->second) {
      Follow(pair, static_cast<std::uint32_t>(letter.nextstate), *arc);
    }
  }
}

// Empties the vectors of a closure the buffers held from the word before.
void PairGraph::DropHeldClosure() {
  pairs_.clear();
  arcs_.clear();
  settled_order_.clear();
  buffers_->held_closure = {};
}

std::uint32_t PairGraph::Reach(std::uint32_t position, Arc::StateId state, float distance) {
  const auto next_id = static_cast<std::uint32_t>(pairs_.size());
  const std::uint32_t id = index_.FindOrInsert(PairKey(position, state), next_id);
  if (id == next_id) {
    pairs_.push_back({position, state, distance});
    if (to_end_ != nullptr) pairs_.back().to_end = to_end_->At(position, state);
    Push(id);
  } else if (!pairs_[id].settled && distance < pairs_[id].distance) {
    pairs_[id].distance = distance;
    Push(id);
  }
  return id;
}

void PairGraph::Push(std::uint32_t id) {
  Pair &pair = pairs_[id];
  pair.key = std::max(pair.distance + pair.to_end, last_settled_key_);
  settling_.Push(pair.key, id);
}

void PairGraph::Follow(std::uint32_t from, std::uint32_t position, const Arc &arc) {
  const float distance = pairs_[from].distance + LatticeWeight(arc.weight.Value());
  if (distance == kInfinity) overflowed_ = true;
  const std::uint32_t to = Reach(position, arc.nextstate, distance);
  const auto id = static_cast<std::uint32_t>(arcs_.size());
  arcs_.push_back({from, to, &arc, pairs_[to].last_incoming});
  pairs_[to].last_incoming = id;
}

template <class Continue>
SettleStep PairGraph::Settle(Continue keep_going) {
  while (!settling_.empty()) {
    if (++steps_ % kCancelCheckInterval == 0 && Cancelled()) return SettleStep::kCancelled;
    const RadixQueue::Entry top = settling_.Top();
    if (!keep_going(top.key)) return SettleStep::kDone;
    settling_.Pop();
    Pair &pair = pairs_[top.item];
    if (pair.settled || top.key > pair.key) continue;
    last_settled_key_ = top.key;
    pair.settled = true;
    pair.rank = static_cast<std::uint32_t>(settled_order_.size());
    settled_order_.push_back(top.item);
    const std::uint32_t id = top.item;
    const std::uint32_t position = pair.position;
    const Arc::StateId state = pair.state;
    if (const float final_weight = FinalWeightAtEnd(id); final_weight != kInfinity) {
      final_pairs_.push_back(id);
      const float complete = pair.distance + LatticeWeight(final_weight);
      if (complete == kInfinity) overflowed_ = true;
      best_complete_ = std::min(best_complete_, complete);
    }
    const auto [first, last] = ArcsOf(model_, state);
    // Sorted by input label: the input-epsilon arcs come first.
    const Arc *arc = first;
    followed_.clear();
    for (; arc != last && arc->ilabel == 0; ++arc) followed_.push_back({position, arc});
    for (fst::ArcIterator<VectorFst> letters(acceptor_, static_cast<Arc::StateId>(position));
         !letters.Done(); letters.Next()) {
      const Arc &letter = letters.Value();
      const Label label = static_cast<Label>(letter.olabel);
      const Arc *match = std::lower_bound(
          arc, last, label, [](const Arc &lhs, Label rhs) { return static_cast<Label>(lhs.ilabel) < rhs; });
      for (; match != last && static_cast<Label>(match->ilabel) == label; ++match) {
        followed_.push_back({static_cast<std::uint32_t>(letter.nextstate), match});
      }
    }
    // The arcs of a state reached are read when its pair is settled, if
    // it is; finding them is a miss in the cache for most states. Asked
    // for all at once, before any is needed, the misses overlap.
    if (to_end_ != nullptr) {
      for (const auto &[to, followed] : followed_) to_end_->Prefetch(followed->nextstate);
    }
    for (const auto &[to, followed] : followed_) __builtin_prefetch(ArcsOf(model_, followed->nextstate).first);
    for (const auto &[to, followed] : followed_) Follow(id, to, *followed);
    if (pairs_.size() > budget_.lattice_states || arcs_.size() > budget_.lattice_arcs) {
      return SettleStep::kOverBudget;
    }
  }
  return SettleStep::kDone;
}

// Whether the heap holds no pair left to settle, once stale entries are
// dropped from its top.
bool PairGraph::NothingLeftToSettle() {
  while (!settling_.empty()) {
    const RadixQueue::Entry &top = settling_.Top();
    const Pair &pair = pairs_[top.item];
    if (!pair.settled && top.key <= pair.key) return false;
    settling_.Pop();
  }
  return true;
}

// OpenFst's shortest distance of a lattice state is the value of some
// route to it, no shorter than this search's, and within its delta of the
// value any incoming arc offers once that arc's source is done. So it is
// this search's distance when every incoming arc offering a value within
// DistanceWindow of it offers exactly that value, from a pair whose
// distance is exact and settled before (in distance order, which is the
// order such sources are done in when the weights near them are not 0).
// Routes from pairs not settled offer more than `bound`, so pairs are
// decided in the order of settling up to the first whose window reaches
// it; the rest wait for a wider one.
void PairGraph::MarkExactDistances(float bound) {
  for (; marked_ < settled_order_.size(); ++marked_) {
    const std::uint32_t id = settled_order_[marked_];
    Pair &pair = pairs_[id];
    // Nothing lowers the start's distance of 0.
    if (id == start_pair_) {
      pair.exact = true;
      continue;
    }
    const float window = pair.distance + DistanceWindow(pair.distance);
    if (!all_settled_ && !(window < bound)) return;
    bool exact = true;
    for (std::uint32_t i = pair.last_incoming; exact && i != kNone; i = arcs_[i].next_incoming) {
      const PairArc &incoming = arcs_[i];
      const Pair &source = pairs_[incoming.from];
      const float offered = source.distance + LatticeWeight(incoming.arc->weight.Value());
      if (offered > window) continue;
      exact = source.rank < pair.rank && source.exact && SameBits(offered, pair.distance);
    }
    pair.exact = exact;
  }
}

}  // namespace direct
}  // namespace vurel
