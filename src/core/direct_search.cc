#include "direct_search.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "radix_queue.h"

namespace vurel {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// How often the loops look at the cancellation flag.
constexpr std::uint32_t kCancelCheckInterval = 1024;

// The first margin above the best path's weight within which pairs are
// settled; it grows, by a tenth at least, whenever the paths need more.
// One pronunciation (with accumulate or not: reading stops at the first
// path) needs only the paths that might tie with the best, which rounding
// keeps within a small fraction of a unit.
constexpr float kFirstMarginOnePath = 1.0f / 64.0f;
constexpr float kFirstMarginManyPaths = 4.0f;
constexpr float kMarginGrowth = 1.1f;

// Buckets over the range of weights in which paths are counted, and the
// slack by which a weight is moved before rounding to buckets: rounding of
// the division must not move a path into a bucket it does not reach.
constexpr std::size_t kCountBuckets = 128;
constexpr double kBucketSlack = 1e-6;

// How many times more paths a widening of the margin may bring in: while
// the paths counted times this stay below the cap, the next widening is
// not worth counting for.
constexpr std::uint64_t kCountGrowthPerWidening = 16;

// What OpenFst's composition puts on a lattice arc: the acceptor's weight
// (0) times the model's. Not always the model's bits: 0 + -0.0 is +0.0.
float LatticeWeight(float model_weight) { return 0.0f + model_weight; }

// OpenFst's ApproxEqual on tropical weights.
bool ApproxEqual(float lhs, float rhs, float delta) {
  return lhs <= rhs + delta && rhs <= lhs + delta;
}

// OpenFst's shortest distance keeps a distance when another route is
// better by no more than its delta, so where two routes to a pair come
// within this of each other, its distance may not be the shortest one.
// Twice the delta and a few units in the last place, for the rounding of
// its comparisons.
float DistanceWindow(float distance) {
  return 2.0f * kShortestPathDelta + 8.0f * (std::nextafter(distance, kInfinity) - distance);
}

// Pairs of (position, model state) to dense ids. Open addressing, because
// std::unordered_map allocates a node for each of the hundreds of pairs a
// word visits.
class PairIndex {
 public:
  PairIndex() : keys_(kInitialSlots, kEmpty), ids_(kInitialSlots, 0) {}

  // The id stored for `key`, or `next_id` after storing it.
  std::uint32_t FindOrInsert(std::uint64_t key, std::uint32_t next_id) {
    if ((size_ + 1) * 4 > keys_.size() * 3) Grow();
    std::size_t slot = Slot(key);
    while (keys_[slot] != kEmpty) {
      if (keys_[slot] == key) return ids_[slot];
      slot = (slot + 1) & (keys_.size() - 1);
    }
    keys_[slot] = key;
    ids_[slot] = next_id;
    ++size_;
    return next_id;
  }

 private:
  static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();
  static constexpr std::size_t kInitialSlots = 8192;

  std::size_t Slot(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & (keys_.size() - 1);
  }

  void Grow() {
    std::vector<std::uint64_t> keys(keys_.size() * 2, kEmpty);
    std::vector<std::uint32_t> ids(keys.size(), 0);
    std::swap(keys, keys_);
    std::swap(ids, ids_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == kEmpty) continue;
      std::size_t slot = Slot(keys[i]);
      while (keys_[slot] != kEmpty) slot = (slot + 1) & (keys_.size() - 1);
      keys_[slot] = keys[i];
      ids_[slot] = ids[i];
    }
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> ids_;
  std::size_t size_ = 0;
};

struct Pair {
  std::uint32_t position;
  Arc::StateId state;
  float distance;  // from the start, summed first arc first, as OpenFst does
  std::uint32_t last_incoming = kNone;  // the newest arc into it
  std::uint32_t rank = kNone;           // its place in the order of settling
  bool settled = false;
  // Whether OpenFst's shortest distance of this lattice state is `distance`
  // bit for bit (see MarkExactDistances).
  bool exact = false;
};

// An arc of the lattice from a settled pair, one of a list per target pair.
struct PairArc {
  std::uint32_t from;
  std::uint32_t to;
  const Arc *arc;
  std::uint32_t next_incoming;  // the arc into `to` found before it
};

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
bool ComesLater(const QueueEntry &lhs, const QueueEntry &rhs) {
  if (lhs.complete && !rhs.complete) {
    return rhs.key < lhs.key || ApproxEqual(lhs.key, rhs.key, kShortestPathDelta);
  }
  if (rhs.complete && !lhs.complete) {
    return rhs.key < lhs.key && !ApproxEqual(lhs.key, rhs.key, kShortestPathDelta);
  }
  return rhs.key < lhs.key;
}

// OpenFst's order, as a function object, which the heap algorithms inline
// where a function pointer would be called. std::push_heap and
// std::pop_heap keep first what comes last under it.
struct InQueueOrder {
  bool operator()(const QueueEntry &lhs, const QueueEntry &rhs) const {
    return ComesLater(lhs, rhs);
  }
};

std::uint64_t PairKey(std::uint32_t position, Arc::StateId state) {
  return (std::uint64_t{position} << 32) | static_cast<std::uint32_t>(state);
}

template <class Fst>
std::pair<const Arc *, const Arc *> ArcsOf(const Fst &fst, Arc::StateId state) {
  fst::ArcIteratorData<Arc> data;
  fst.InitArcIterator(state, &data);
  return {data.arcs, data.arcs + data.narcs};
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

enum class Step { kDone, kOverBudget, kCancelled };

}  // namespace

// Pairs, arcs and order as a search that settled them leaves them.
struct StartClosure::Data {
  std::vector<Pair> pairs;
  std::vector<PairArc> arcs;
  std::vector<std::uint32_t> settled_order;
  std::uint32_t start_pair;
  // Per input label, the arcs that read it, pair by pair in the order
  // settled.
  std::unordered_map<Label, std::vector<std::pair<std::uint32_t, const Arc *>>> letter_arcs;
};

namespace {

class Search {
 public:
  Search(const ModelFst &model, const StartClosure::Data *start_closure,
         const VectorFst &acceptor, const DirectSearchBudget &budget,
         const ClusterTable &output_clusters, const VetoSet &veto,
         const std::atomic<bool> *cancel)
      : model_(model), start_closure_(start_closure), acceptor_(acceptor), budget_(budget),
        output_clusters_(output_clusters), veto_(veto), cancel_(cancel),
        end_position_(static_cast<std::uint32_t>(acceptor.NumStates() - 1)) {
    // Room for a common word's search from the start: growing these from
    // empty took a tenth of the time of a word at nbest 1.
    pairs_.reserve(4096);
    arcs_.reserve(8192);
    settled_order_.reserve(1024);
    LabelSequence zero_uniques;
    AppendDecomposition(output_clusters_, veto_, 0, zero_uniques);
    zero_writes_nothing_ = zero_uniques.empty();
  }

  // Settles pairs in order of distance until the best complete path is
  // known; its weight is then best_complete() (infinite: no path).
  Step FindBest() {
    const Arc::StateId start = model_.Start();
    if (start == fst::kNoStateId) return Step::kDone;
    // The whole closure counts against the budget, as it does in the
    // lattice, which holds every pair reached; far from the budget, that
    // changes nothing.
    if (start_closure_ != nullptr && end_position_ > 0 &&
        start_closure_->pairs.size() <= budget_.lattice_states / 8 &&
        start_closure_->arcs.size() <= budget_.lattice_arcs / 8) {
      ReplayStartClosure();
    } else {
      start_pair_ = Reach(0, start, 0.0f);
    }
    return Settle([this](float distance) { return distance < best_complete_; });
  }

  // For FindStartClosure, on an acceptor of one state and no arcs: settles
  // every pair (all at position 0) and decides their exactness. Nothing when
  // they outgrow the budget or a distance overflows.
  std::optional<StartClosure::Data> SettleStartClosure() {
    start_pair_ = Reach(0, model_.Start(), 0.0f);
    if (Settle([](float) { return true; }) != Step::kDone || overflowed_) return std::nullopt;
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

  // Settles every pair whose distance is within `margin` of the best path.
  Step SettleWithin(float margin) {
    margin_ = margin;
    const float bound = best_complete_ + margin;
    if (const Step step = Settle([bound](float distance) { return distance <= bound; });
        step != Step::kDone) {
      return step;
    }
    all_settled_ = NothingLeftToSettle();
    // Entries of pairs not settled weigh more than the bound; a whole path
    // must come out before any of them could, even by the delta.
    trusted_ = all_settled_ || bound == kInfinity ? kInfinity
                                                  : bound - 2.0f * DistanceWindow(bound);
    MarkExactDistances(bound);
    return Step::kDone;
  }

  // Settles the pairs of a wider margin and brings the pass up to date as
  // if they had been settled before it began. Their entries weigh more than
  // any taken so far, so only their places in the heap differ, and the
  // order of entries of equal weight is left open anyway.
  Step Widen(float least_margin = 0.0f) {
    const std::size_t known_arcs = arcs_.size();
    const std::size_t known_settled = settled_order_.size();
    // Enough for the next entry to be taken, and at least a tenth more.
    float margin = std::max(margin_ * kMarginGrowth, least_margin);
    if (!queue_.empty()) {
      const float next = queue_.front().key;
      margin = std::max(margin, next + 4.0f * DistanceWindow(next) - best_complete_);
    }
    if (const Step step = SettleWithin(margin); step != Step::kDone) {
      return step;
    }
    pops_.resize(pairs_.size(), 0);
    expansions_.resize(pairs_.size(), kNone);
    for (std::size_t i = known_arcs; i < arcs_.size(); ++i) {
      const PairArc arc = arcs_[i];
      for (std::uint32_t expanded = expansions_[arc.to]; expanded != kNone;
           expanded = partial_paths_[expanded].earlier_expansion) {
        Push(arc.from, expanded, arc.arc,
             partial_paths_[expanded].backward + LatticeWeight(arc.arc->weight.Value()));
      }
    }
    for (std::size_t i = known_settled; i < settled_order_.size(); ++i) {
      PushIfFinal(settled_order_[i]);
    }
    return Step::kDone;
  }

  float best_complete() const { return best_complete_; }
  // Whether every pair within `weight` of the start is settled.
  bool SettledTo(float weight) const { return all_settled_ || best_complete_ + margin_ >= weight; }
  // Whether a sum of finite weights came out infinite. OpenFst then sees a
  // path of weight Zero where this search sees none, and answers otherwise.
  bool overflowed() const { return overflowed_; }

  // The outcome of taking the next entry off the heap of a pass.
  enum class Next { kPath, kFull, kExhausted, kBeyond, kUnsure, kCancelled };

  // Starts a pass of OpenFst's n-shortest-paths search for `request` paths
  // on the reversed lattice: its heap holds one entry for the super-initial
  // state's arc into each final pair, with the final weight.
  void StartPass(std::uint64_t request) {
    request_ = request;
    distinct_ = false;
    completed_ = 0;
    pruned_ = false;
    in_run_ = false;
    pops_.assign(pairs_.size(), 0);
    expansions_.assign(pairs_.size(), kNone);
    partial_paths_.clear();
    queue_.clear();
    for (const std::uint32_t pair : settled_order_) PushIfFinal(pair);
  }

  // Starts a pass that skips partial paths leading only to outputs already
  // reached by lighter paths (see ExpandFirstOfItsOutput). Its whole paths
  // are a part of OpenFst's, in OpenFst's order, holding the first path of
  // every output; how many of OpenFst's paths come before each is left to
  // CountPaths.
  void StartDistinctPass() {
    StartPass(kLargestRequest);
    distinct_ = true;
    expanded_suffixes_.clear();
  }

  // Lets the pass go on to `request` paths in all.
  void ExtendPass(std::uint64_t request) { request_ = request; }

  // The whole record of a path of which NextPath read only the weight.
  void ReadRecord(FoundPath &found) const { Read(found.first, found); }

  // Runs the pass to its next whole path, which it reads into `run`, with
  // any others of the same weight. Each step is the step OpenFst's search
  // takes, provided that its key is OpenFst's (the pair's distance is
  // exact), that it is within the pairs settled (otherwise kBeyond: Widen
  // first), and that partial paths of equal weight leave the same heap in
  // any order (otherwise kUnsure). kFull once `request` paths were found;
  // kExhausted when the heap runs out.
  Next NextPath(std::vector<FoundPath> &run) {
    if (completed_ == request_) return Next::kFull;
    while (!queue_.empty()) {
      if (++steps_ % kCancelCheckInterval == 0 && Cancelled()) return Next::kCancelled;
      if (queue_.front().key > trusted_) return Next::kBeyond;
      const QueueEntry entry = Pop();
      const bool tied = !queue_.empty() && Equivalent(entry, queue_.front());
      if (in_run_ && ComesLater(entry, run_key_) && !Equivalent(entry, run_key_)) {
        in_run_ = false;
      }
      if (entry.complete) {
        if (in_run_ && (++wholes_in_run_, runners_ahead_ > 1)) return Next::kUnsure;
        // Whole paths of equal weight come out in an order of the heap's
        // own: they are handed over together.
        run.resize(1);
        if (queue_.empty() || !Equivalent(entry, queue_.front())) {
          ReadWeightIfOutputKnown(entry.item, run.front());
        } else {
          Read(entry.item, run.front());
        }
        while (!queue_.empty() && Equivalent(entry, queue_.front())) {
          run.emplace_back();
          Read(Pop().item, run.back());
        }
        completed_ += run.size();
        return Next::kPath;
      }
      // Partial paths of equal weight (a run) come out in an order of the
      // heap's own. Each of them that leads to entries coming out before
      // the run is followed by all of those, before the next of the run.
      // Whatever the order, the same whole paths come out in the same
      // order as long as no state reaches its limit of expansions during
      // the run, and either only one of the run (with those of its weight
      // that it leads to) leads ahead, or no whole path comes out ahead of
      // the run's end.
      bool member = in_run_ && Equivalent(entry, run_key_);
      if (tied && !member) {
        if (in_run_) return Next::kUnsure;
        in_run_ = member = true;
        run_key_ = entry;
        runners_ahead_ = 0;
        wholes_in_run_ = 0;
      }
      const Expansion expansion = Expand(entry, member ? &run_key_ : nullptr);
      if (expansion == Expansion::kUnsure) return Next::kUnsure;
      if (in_run_ && expansion == Expansion::kPruned) return Next::kUnsure;
      if (expansion == Expansion::kLeadsAhead && ++runners_ahead_ > 1 && wholes_in_run_ > 0) {
        return Next::kUnsure;
      }
    }
    return all_settled_ ? Next::kExhausted : Next::kBeyond;
  }

  // Runs a distinct pass (StartDistinctPass) to its next whole path, read
  // into `found`. kUnsure where entries of equal weight leave OpenFst's heap
  // in an order of its own: then the pass cannot tell which path comes first.
  Next NextDistinctPath(FoundPath &found) {
    while (!queue_.empty()) {
      if (++steps_ % kCancelCheckInterval == 0 && Cancelled()) return Next::kCancelled;
      if (queue_.front().key > trusted_) return Next::kBeyond;
      const QueueEntry entry = Pop();
      if (!queue_.empty() && Equivalent(entry, queue_.front())) return Next::kUnsure;
      if (entry.complete) {
        ReadWeightIfOutputKnown(entry.item, found);
        found.key = entry.key;
        ++completed_;
        return Next::kPath;
      }
      if (Expand(entry, nullptr) == Expansion::kUnsure) return Next::kUnsure;
    }
    return all_settled_ ? Next::kExhausted : Next::kBeyond;
  }

  // Bounds on the paths around a weight: `within` is at least the number
  // whose weight is at most the weight + PathTolerance (or more than the
  // limit counted to), `below` at most the number lighter than the weight -
  // PathTolerance. `longest`: the most arcs on a path counted;
  // `heap_entries`: at least the entries OpenFst's pass puts on its heap
  // before the paths within (each partial path it expands lies on one of
  // them; its entries are one per arc into the pair).
  struct PathBounds {
    std::uint64_t below = 0;
    std::uint64_t within = 0;
    std::uint32_t longest = 0;
    std::uint64_t heap_entries = 0;
  };

  // Prepares counting the lattice's paths by weight, for weights up to
  // `weight`, with pairs settled up to CountingReach of it: finds the
  // relevant pairs (those on paths of such weights) with their shortest
  // distances to the end, summed exactly (in double precision), and counts
  // their paths in buckets of weight when they form no cycle. Each
  // path's bucket count loses a bucket's width in each arc's weight,
  // rounded down for one bound and up for the other.
  void CountPaths(float weight, std::uint64_t limit) {
    FindDistancesToEnd(CountingReach(weight));
    LinkRelevantArcs();
    has_buckets_ = false;
    const std::uint32_t start = relevant_index_[start_pair_];
    if (start == kNone) return;
    const std::size_t nodes = relevant_.size();
    const std::size_t width = kCountBuckets + 1;
    const auto saturated = static_cast<std::uint32_t>(std::min<std::uint64_t>(limit + 1, 1u << 30));
    count_base_ = distance_to_end_[start_pair_];
    count_bucket_ = (static_cast<double>(weight) + PathTolerance(weight) - count_base_) /
                    kCountBuckets;
    at_most_.assign(nodes * width, 0);
    below_.assign(nodes * width, 0);
    longest_.assign(nodes, 0);
    // Successors first: Kahn's order on the reversed arcs.
    uncounted_successors_.resize(nodes);
    ready_.clear();
    for (std::uint32_t node = 0; node < nodes; ++node) {
      uncounted_successors_[node] = relevant_out_begin_[node + 1] - relevant_out_begin_[node];
      if (uncounted_successors_[node] == 0) ready_.push_back(node);
    }
    std::size_t done = 0;
    while (!ready_.empty()) {
      const std::uint32_t node = ready_.back();
      ready_.pop_back();
      ++done;
      const std::uint32_t pair = relevant_[node];
      std::uint32_t *at_most = &at_most_[node * width];
      std::uint32_t *below = &below_[node * width];
      const double to_end = distance_to_end_[pair];
      const float final_weight = FinalWeightAtEnd(pair);
      if (final_weight != kInfinity) {
        const double excess = static_cast<double>(LatticeWeight(final_weight)) - to_end;
        AddShifted(at_most, nullptr, BucketsDown(excess), saturated);
        AddShifted(below, nullptr, BucketsUp(excess), saturated);
        longest_[node] = 1;
      }
      for (std::uint32_t i = relevant_out_begin_[node]; i < relevant_out_begin_[node + 1]; ++i) {
        const RelevantArc &arc = relevant_out_[i];
        const double excess = arc.weight + distance_to_end_[relevant_[arc.to]] - to_end;
        AddShifted(at_most, &at_most_[arc.to * width], BucketsDown(excess), saturated);
        AddShifted(below, &below_[arc.to * width], BucketsUp(excess), saturated);
        longest_[node] = std::max(longest_[node], longest_[arc.to] + 1);
      }
      for (std::uint32_t i = pairs_[pair].last_incoming; i != kNone; i = arcs_[i].next_incoming) {
        const std::uint32_t from = relevant_index_[arcs_[i].from];
        if (from != kNone && --uncounted_successors_[from] == 0) ready_.push_back(from);
      }
    }
    has_buckets_ = done == nodes && longest_[start] <= LongestToleratedPath(weight);
  }

  // After CountPaths: the bounds its buckets give for `weight`, no more
  // than the counted one. False where there are none.
  bool BucketBounds(float weight, PathBounds &bounds) const {
    if (!has_buckets_) return false;
    const std::uint32_t start = relevant_index_[start_pair_];
    const std::size_t width = kCountBuckets + 1;
    const double upper = static_cast<double>(weight) + PathTolerance(weight);
    bounds = PathBounds();
    bounds.within = at_most_[start * width + BucketsOfBudget(upper - count_base_)];
    const double under =
        std::ceil((weight - PathTolerance(weight) - count_base_) / count_bucket_ - kBucketSlack) - 1.0;
    if (under >= 0.0) {
      bounds.below = below_[start * width + static_cast<std::size_t>(std::min<double>(kCountBuckets, under))];
    }
    bounds.longest = longest_[start];
    // OpenFst expands a pair once per partial path from it to the end that
    // is on a path within, a bucket's rounding of its distance aside.
    for (std::uint32_t node = 0; node < relevant_.size(); ++node) {
      const std::uint32_t pair = relevant_[node];
      const double budget = upper - pairs_[pair].distance - distance_to_end_[pair] + count_bucket_;
      if (budget < 0.0) continue;
      bounds.heap_entries += std::uint64_t{at_most_[node * width + BucketsOfBudget(budget)]} *
                             (std::uint64_t{in_degrees_[node]} + 1);
    }
    return true;
  }

  // After CountPaths: the paths around `weight` counted one by one, with
  // their weights summed exactly, until more than `limit` of them are
  // lighter: each arc taken leads on to the end within the weight, so the
  // steps are a few per path counted. False past a number of steps or arcs
  // on a path (a cycle of weight 0 among them).
  bool ExactBounds(float weight, std::uint64_t limit, PathBounds &bounds) const {
    bounds = PathBounds();
    const std::uint32_t start = relevant_index_[start_pair_];
    if (start == kNone) return false;
    const double tolerance = PathTolerance(weight);
    const double upper = weight + tolerance;
    const double lower = weight - tolerance;
    const std::uint64_t longest_tolerated = LongestToleratedPath(weight);
    const std::uint64_t step_limit = (2 * limit + 4) * (longest_tolerated + 2);
    std::uint64_t steps = 0;
    struct Frame {
      std::uint32_t node;
      std::uint32_t next_arc;
      double weight;
      std::uint64_t entries;  // heap entries of the partial paths on the stack
    };
    std::vector<Frame> stack;
    const auto enter = [&](std::uint32_t node, double reached, std::uint64_t entries) {
      entries += std::uint64_t{in_degrees_[node]} + 1;
      stack.push_back({node, relevant_out_begin_[node], reached, entries});
      const float final_weight = FinalWeightAtEnd(relevant_[node]);
      if (final_weight == kInfinity) return;
      const double total = reached + LatticeWeight(final_weight);
      if (total > upper) return;
      ++bounds.within;
      bounds.below += total < lower;
      bounds.heap_entries += entries;
      bounds.longest = std::max(bounds.longest, static_cast<std::uint32_t>(stack.size()));
    };
    enter(start, 0.0, 0);
    // Counting stops once the lighter paths pass the limit, or all paths
    // within pass twice that (paths of about the weight are few).
    while (!stack.empty() && bounds.below <= limit && bounds.within <= 2 * limit + 2) {
      if (++steps > step_limit || stack.size() > longest_tolerated) return false;
      Frame &frame = stack.back();
      if (frame.next_arc == relevant_out_begin_[frame.node + 1]) {
        stack.pop_back();
        continue;
      }
      const RelevantArc &arc = relevant_out_[frame.next_arc++];
      const double reached = frame.weight + arc.weight;
      if (reached + distance_to_end_[relevant_[arc.to]] <= upper) enter(arc.to, reached, frame.entries);
    }
    // Stopped early, the paths counted may not be OpenFst's lightest: their
    // arcs bound its entries no longer.
    if (!stack.empty()) bounds.heap_entries = std::numeric_limits<std::uint64_t>::max();
    return true;
  }

  // The heaviest weight up to which paths can be counted with the pairs
  // settled, and below which every path of the pass was read; 0 if none.
  float CountableWeight() const {
    if (all_settled_) return 0.0f;
    const float weight = trusted_ - PathTolerance(trusted_) - 8.0f * DistanceWindow(trusted_);
    return CountingReach(weight) <= best_complete_ + margin_ ? weight : 0.0f;
  }

  // How far pairs must be settled to count paths up to `weight`.
  static float CountingReach(float weight) {
    const float upper = weight + PathTolerance(weight);
    return upper + 4.0f * DistanceWindow(upper);
  }

  // Bounds the difference rounding can make between a path's weight summed
  // exactly and its key on OpenFst's heap, and between those of two paths
  // that share all but a part, for paths of up to LongestToleratedPath arcs.
  static float PathTolerance(float weight) { return 1.0f / 1024.0f + weight / 8192.0f; }

  // The most arcs a path may have for PathTolerance to hold: a few units in
  // the last place per arc, and OpenFst's delta.
  static std::uint64_t LongestToleratedPath(float weight) {
    const float unit = std::nextafter(weight + PathTolerance(weight), kInfinity) -
                       (weight + PathTolerance(weight));
    return static_cast<std::uint64_t>(PathTolerance(weight) / (8.0f * unit));
  }

  // Whether a pass ran out of entries having skipped some, in which case
  // the lattice may hold more paths than it found.
  bool pruned() const { return pruned_; }
  std::uint64_t completed() const { return completed_; }
  std::uint64_t request() const { return request_; }

 private:
  bool Cancelled() const {
    return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed);
  }

  static bool Equivalent(const QueueEntry &lhs, const QueueEntry &rhs) {
    return !ComesLater(lhs, rhs) && !ComesLater(rhs, lhs);
  }

  QueueEntry Pop() {
    std::pop_heap(queue_.begin(), queue_.end(), InQueueOrder{});
    const QueueEntry entry = queue_.back();
    queue_.pop_back();
    return entry;
  }

  enum class Expansion { kDone, kPruned, kLeadsAhead, kDominated, kUnsure };

  // Expands a partial path as OpenFst's search does: one entry for each
  // arc into its pair, and a whole path when the pair is the start.
  // kLeadsAhead when, during a run of equal weight `run`, one of them comes
  // out before the run; kPruned when the pair was expanded enough times;
  // kUnsure when the pair's distance may not be OpenFst's or the entries
  // outgrow the budget.
  Expansion Expand(const QueueEntry &entry, const QueueEntry *run) {
    const PartialPath partial = partial_paths_[entry.item];
    if (!pairs_[partial.pair].exact) return Expansion::kUnsure;
    if (distinct_) {
      if (const Expansion first = ExpandFirstOfItsOutput(entry.item); first != Expansion::kDone) {
        return first;
      }
    }
    // OpenFst expands each state at most `request` times.
    if (++pops_[partial.pair] > request_) {
      pruned_ = true;
      return Expansion::kPruned;
    }
    partial_paths_[entry.item].earlier_expansion = expansions_[partial.pair];
    expansions_[partial.pair] = entry.item;
    bool ahead = false;
    for (std::uint32_t i = pairs_[partial.pair].last_incoming; i != kNone;
         i = arcs_[i].next_incoming) {
      const PairArc incoming = arcs_[i];
      const QueueEntry pushed =
          Push(incoming.from, entry.item, incoming.arc,
               partial.backward + LatticeWeight(incoming.arc->weight.Value()));
      ahead |= run != nullptr && ComesLater(*run, pushed);
    }
    if (partial.pair == start_pair_) {
      // The start state is final in the reversed lattice, with weight 0.
      const QueueEntry whole{partial.backward + 0.0f, entry.item, true};
      ahead |= run != nullptr && ComesLater(*run, whole);
      Enqueue(whole);
    }
    // OpenFst's search may hold more entries than these (those of pairs
    // not settled); far from its budget, it is not stopped by it.
    if (partial_paths_.size() > budget_.partial_paths ||
        2 * partial_paths_.size() > budget_.reference_result_states) {
      return Expansion::kUnsure;
    }
    return ahead ? Expansion::kLeadsAhead : Expansion::kDone;
  }

  // Bucket counts of a path's excess weight over the shortest, rounded
  // down (for the counts of paths at most a weight) and up (lighter than
  // one); kCountBuckets + 1 for weights past the counted range.
  std::size_t BucketsDown(double excess) const {
    return static_cast<std::size_t>(
        std::clamp(std::floor(excess / count_bucket_ - kBucketSlack), 0.0, kCountBuckets + 1.0));
  }
  std::size_t BucketsUp(double excess) const {
    return static_cast<std::size_t>(
        std::clamp(std::ceil(excess / count_bucket_ + kBucketSlack), 0.0, kCountBuckets + 1.0));
  }

  // The last bucket that a path's excess weight up to `budget` reaches.
  std::size_t BucketsOfBudget(double budget) const {
    return static_cast<std::size_t>(
        std::clamp(std::floor(budget / count_bucket_ + kBucketSlack), 0.0, double{kCountBuckets}));
  }

  // The final weight of `pair` if it ends the word, else infinity.
  float FinalWeightAtEnd(std::uint32_t pair) const {
    const Pair &p = pairs_[pair];
    return p.position == end_position_ ? model_.Final(p.state).Value() : kInfinity;
  }

  // Adds to each bucket b of `counts` the bucket b - `shift` of `added`
  // (a single path of weight 0 where `added` is null), saturating.
  static void AddShifted(std::uint32_t *counts, const std::uint32_t *added, std::size_t shift,
                         std::uint32_t saturated) {
    if (shift > kCountBuckets) return;
    if (added == nullptr) {
      for (std::size_t b = shift; b <= kCountBuckets; ++b) {
        counts[b] = std::min(counts[b] + 1, saturated);
      }
      return;
    }
    for (std::size_t b = shift; b <= kCountBuckets; ++b) {
      counts[b] = std::min(counts[b] + added[b - shift], saturated);
    }
  }

  // A partial path whose output from its pair to the end is that of one
  // expanded there before it, and whose weight is above that one's by more
  // than PathTolerance, leads to paths of which each comes after the same
  // path through the earlier one: never the first of its output. kDominated
  // then, kUnsure when the two are closer than that (their paths' order
  // could be rounding's).
  Expansion ExpandFirstOfItsOutput(std::uint32_t item) {
    PartialPath &partial = partial_paths_[item];
    partial.suffix = SuffixOf(partial);
    const std::uint64_t key = (std::uint64_t{partial.pair} << 32) | partial.suffix;
    const auto [earlier, first] = expanded_suffixes_.try_emplace(key, partial.backward);
    if (first) return Expansion::kDone;
    const float gap = partial.backward - earlier->second;
    return gap > PathTolerance(partial.backward) ? Expansion::kDominated : Expansion::kUnsure;
  }

  // Ids of outputs from a pair to the end: equal ids, equal uniques. An id
  // stands for an output label in front of the output of the parent's id;
  // arcs that add nothing to uniques keep their parent's id.
  std::uint32_t SuffixOf(const PartialPath &partial) {
    const std::uint32_t after = partial.parent == kNone ? 0 : partial_paths_[partial.parent].suffix;
    const Arc arc = ResultArc(partial);
    if (LeavesNoTrace(arc) || !WritesUniques(static_cast<Label>(arc.olabel))) return after;
    const std::uint64_t key = (std::uint64_t{static_cast<std::uint32_t>(arc.olabel)} << 32) | after;
    const auto next_id = static_cast<std::uint32_t>(suffix_ids_.size() + 1);
    return suffix_ids_.try_emplace(key, next_id).first->second;
  }

  bool WritesUniques(Label label) {
    if (label == 0) return !zero_writes_nothing_;
    const auto known = writes_uniques_.find(label);
    if (known != writes_uniques_.end()) return known->second;
    LabelSequence uniques;
    AppendDecomposition(output_clusters_, veto_, label, uniques);
    return writes_uniques_.emplace(label, !uniques.empty()).first->second;
  }

  // Shortest distances to the end, summed exactly, of the settled pairs on
  // paths of weight up to `reach`: those become the relevant pairs, in the
  // order found (nearest the end first).
  void FindDistancesToEnd(float reach) {
    constexpr double kUnreached = std::numeric_limits<double>::infinity();
    // Most pairs lie on no path to the end within reach: only those the
    // last count reached are cleared.
    for (const std::uint32_t pair : reached_from_end_) {
      distance_to_end_[pair] = kUnreached;
      relevant_index_[pair] = kNone;
    }
    reached_from_end_.clear();
    distance_to_end_.resize(pairs_.size(), kUnreached);
    relevant_index_.resize(pairs_.size(), kNone);
    relevant_.clear();
    in_degrees_.clear();
    std::vector<EndEntry> &heap = end_heap_;
    heap.clear();
    for (const std::uint32_t pair : final_pairs_) {
      distance_to_end_[pair] = LatticeWeight(FinalWeightAtEnd(pair));
      reached_from_end_.push_back(pair);
      heap.push_back({distance_to_end_[pair], pair});
    }
    std::make_heap(heap.begin(), heap.end());
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end());
      const EndEntry top = heap.back();
      heap.pop_back();
      if (top.distance > distance_to_end_[top.pair] || relevant_index_[top.pair] != kNone) {
        continue;
      }
      if (pairs_[top.pair].distance + top.distance > reach) continue;
      relevant_index_[top.pair] = static_cast<std::uint32_t>(relevant_.size());
      relevant_.push_back(top.pair);
      std::uint64_t in_degree = 0;
      for (std::uint32_t i = pairs_[top.pair].last_incoming; i != kNone; i = arcs_[i].next_incoming) {
        ++in_degree;
        const PairArc &incoming = arcs_[i];
        const double offered = top.distance + LatticeWeight(incoming.arc->weight.Value());
        if (offered < distance_to_end_[incoming.from]) {
          if (distance_to_end_[incoming.from] == kUnreached) reached_from_end_.push_back(incoming.from);
          distance_to_end_[incoming.from] = offered;
          heap.push_back({offered, incoming.from});
          std::push_heap(heap.begin(), heap.end());
        }
      }
      in_degrees_.push_back(static_cast<std::uint32_t>(in_degree));
    }
  }

  // The arcs between relevant pairs, grouped by source, for counting paths
  // from the start.
  void LinkRelevantArcs() {
    relevant_out_begin_.assign(relevant_.size() + 2, 0);
    for (const std::uint32_t pair : relevant_) {
      for (std::uint32_t i = pairs_[pair].last_incoming; i != kNone; i = arcs_[i].next_incoming) {
        const std::uint32_t from = relevant_index_[arcs_[i].from];
        if (from != kNone) ++relevant_out_begin_[from + 2];
      }
    }
    for (std::size_t i = 2; i < relevant_out_begin_.size(); ++i) {
      relevant_out_begin_[i] += relevant_out_begin_[i - 1];
    }
    relevant_out_.resize(relevant_out_begin_.back());
    for (std::uint32_t to = 0; to < relevant_.size(); ++to) {
      for (std::uint32_t i = pairs_[relevant_[to]].last_incoming; i != kNone;
           i = arcs_[i].next_incoming) {
        const std::uint32_t from = relevant_index_[arcs_[i].from];
        if (from == kNone) continue;
        relevant_out_[relevant_out_begin_[from + 1]++] = {
            to, static_cast<double>(LatticeWeight(arcs_[i].arc->weight.Value()))};
      }
    }
  }

  // Takes the pairs of position 0 from the start closure, settled and
  // their exactness decided, and follows their arcs that read the word's
  // first letters, as settling them would.
  void ReplayStartClosure() {
    pairs_ = start_closure_->pairs;
    arcs_ = start_closure_->arcs;
    settled_order_ = start_closure_->settled_order;
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

  std::uint32_t Reach(std::uint32_t position, Arc::StateId state, float distance) {
    const auto next_id = static_cast<std::uint32_t>(pairs_.size());
    const std::uint32_t id = index_.FindOrInsert(PairKey(position, state), next_id);
    if (id == next_id) {
      pairs_.push_back({position, state, distance});
      settling_.Push(distance, id);
    } else if (!pairs_[id].settled && distance < pairs_[id].distance) {
      pairs_[id].distance = distance;
      settling_.Push(distance, id);
    }
    return id;
  }

  void Follow(std::uint32_t from, std::uint32_t position, const Arc &arc) {
    const float distance = pairs_[from].distance + LatticeWeight(arc.weight.Value());
    if (distance == kInfinity) overflowed_ = true;
    const std::uint32_t to = Reach(position, arc.nextstate, distance);
    const auto id = static_cast<std::uint32_t>(arcs_.size());
    arcs_.push_back({from, to, &arc, pairs_[to].last_incoming});
    pairs_[to].last_incoming = id;
  }

  template <class Continue>
  Step Settle(Continue keep_going) {
    while (!settling_.empty()) {
      if (++steps_ % kCancelCheckInterval == 0 && Cancelled()) return Step::kCancelled;
      const RadixQueue::Entry top = settling_.Top();
      if (!keep_going(top.key)) return Step::kDone;
      settling_.Pop();
      Pair &pair = pairs_[top.item];
      if (pair.settled || top.key > pair.distance) continue;
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
      for (const auto &[to, followed] : followed_) __builtin_prefetch(ArcsOf(model_, followed->nextstate).first);
      for (const auto &[to, followed] : followed_) Follow(id, to, *followed);
      if (pairs_.size() > budget_.lattice_states || arcs_.size() > budget_.lattice_arcs) {
        return Step::kOverBudget;
      }
    }
    return Step::kDone;
  }

  // Whether the heap holds no pair left to settle, once stale entries are
  // dropped from its top.
  bool NothingLeftToSettle() {
    while (!settling_.empty()) {
      const RadixQueue::Entry &top = settling_.Top();
      const Pair &pair = pairs_[top.item];
      if (!pair.settled && top.key <= pair.distance) return false;
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
  void MarkExactDistances(float bound) {
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

  // Pushes the entry of the super-initial state's arc into `pair`, with the
  // final weight, when `pair` ends the word and is final.
  void PushIfFinal(std::uint32_t pair) {
    const float final_weight = FinalWeightAtEnd(pair);
    if (final_weight == kInfinity) return;
    Push(pair, kNone, nullptr, 0.0f + LatticeWeight(final_weight));
  }

  // Adds a partial path and its entry; returns a copy of the entry.
  QueueEntry Push(std::uint32_t pair, std::uint32_t parent, const Arc *arc, float backward) {
    const auto id = static_cast<std::uint32_t>(partial_paths_.size());
    const float key = pairs_[pair].distance + backward;
    if (key == kInfinity) overflowed_ = true;
    partial_paths_.push_back({pair, parent, arc, backward});
    const QueueEntry entry{key, id, false};
    Enqueue(entry);
    return entry;
  }

  void Enqueue(const QueueEntry &entry) {
    queue_.push_back(entry);
    std::push_heap(queue_.begin(), queue_.end(), InQueueOrder{});
  }

  // The record of the path that starts with partial path `first`, as
  // reading OpenFst's result path would make it. That path begins with two
  // epsilon arcs of weight 0, which leave no trace, and ends with an
  // epsilon arc carrying the final weight.
  void Read(std::uint32_t first, FoundPath &found) const {
    PathData &record = found.record;
    ClearPath(record);
    found.arcs = 0;
    found.uniques_only = nullptr;
    found.first = first;
    for (std::uint32_t item = first;; item = partial_paths_[item].parent) {
      const PartialPath &partial = partial_paths_[item];
      AppendPathArc(ResultArc(partial), output_clusters_, veto_, record);
      if (partial.parent == kNone) break;
      ++found.arcs;
    }
  }

  // The arc of OpenFst's result path that `partial` adds in front of its
  // parent's: its lattice arc, or at the end of the word the epsilon arc
  // carrying the final weight.
  Arc ResultArc(const PartialPath &partial) const {
    if (partial.parent == kNone) {
      return Arc(0, 0, LatticeWeight(model_.Final(pairs_[partial.pair].state).Value()), 0);
    }
    const Arc &arc = *partial.arc;
    return Arc(arc.ilabel, arc.olabel, LatticeWeight(arc.weight.Value()), 0);
  }

  // Reads as Read does, except that when an earlier path of the word wrote
  // the same output labels, and so has the same uniques, it reads only the
  // weight. Most paths are other alignments of a pronunciation already read.
  void ReadWeightIfOutputKnown(std::uint32_t first, FoundPath &found) {
    outputs_.clear();
    float weight = 0.0f;
    found.arcs = 0;
    for (std::uint32_t item = first;; item = partial_paths_[item].parent) {
      const PartialPath &partial = partial_paths_[item];
      const Arc arc = ResultArc(partial);
      if (!LeavesNoTrace(arc)) {
        weight += arc.weight.Value();
        if (arc.olabel != 0 || !zero_writes_nothing_) outputs_.push_back(static_cast<Label>(arc.olabel));
      }
      if (partial.parent == kNone) break;
      ++found.arcs;
    }
    const auto known = uniques_of_outputs_.find(outputs_);
    if (known == uniques_of_outputs_.end()) {
      Read(first, found);
      uniques_of_outputs_.emplace(outputs_, found.record.uniques);
      return;
    }
    found.record.path_weight = weight;
    found.uniques_only = &known->second;
    found.first = first;
  }

  const ModelFst &model_;
  const StartClosure::Data *start_closure_;
  const VectorFst &acceptor_;
  const DirectSearchBudget &budget_;
  const ClusterTable &output_clusters_;
  const VetoSet &veto_;
  const std::atomic<bool> *cancel_;
  const std::uint32_t end_position_;

  PairIndex index_;
  std::vector<Pair> pairs_;
  std::vector<std::uint32_t> settled_order_;
  RadixQueue settling_;
  std::vector<PairArc> arcs_;
  // The arcs a pair being settled follows, with the positions they lead to.
  std::vector<std::pair<std::uint32_t, const Arc *>> followed_;
  std::uint32_t start_pair_ = kNone;
  float best_complete_ = kInfinity;
  bool overflowed_ = false;
  // Every pair with a distance at most best + `margin_` is settled, and
  // entries up to `trusted_` are OpenFst's next steps.
  float margin_ = 0.0f;
  float trusted_ = 0.0f;
  bool all_settled_ = false;
  std::size_t marked_ = 0;  // settled pairs whose exactness is decided
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

  // Counting paths: distances to the end, the relevant pairs (with their
  // index by pair) and the arcs between them.
  struct RelevantArc {
    std::uint32_t to;
    double weight;
  };
  std::vector<double> distance_to_end_;
  std::vector<std::uint32_t> relevant_index_;
  // Settled pairs that end the word and are final, in the order settled;
  // the pairs whose distance to the end the last count set.
  std::vector<std::uint32_t> final_pairs_;
  std::vector<std::uint32_t> reached_from_end_;
  struct EndEntry {
    double distance;
    std::uint32_t pair;
    bool operator<(const EndEntry &other) const { return distance > other.distance; }
  };
  std::vector<EndEntry> end_heap_;
  // Kahn's order in CountPaths: successors not counted yet, nodes ready.
  std::vector<std::uint32_t> uncounted_successors_;
  std::vector<std::uint32_t> ready_;
  std::vector<std::uint32_t> relevant_;
  std::vector<std::uint32_t> relevant_out_begin_;
  std::vector<RelevantArc> relevant_out_;
  std::vector<std::uint32_t> in_degrees_;  // arcs from settled pairs
  // Per relevant pair and bucket, the paths from it to the end whose
  // excess weight takes that many buckets at most (see CountPaths).
  bool has_buckets_ = false;
  double count_base_ = 0.0;
  double count_bucket_ = 1.0;
  std::vector<std::uint32_t> at_most_;
  std::vector<std::uint32_t> below_;
  std::vector<std::uint32_t> longest_;

  // The uniques of each sequence of output labels read, 0 left out when
  // label 0 adds nothing to uniques.
  std::unordered_map<LabelSequence, LabelSequence, LabelSequenceHash> uniques_of_outputs_;
  LabelSequence outputs_;
  bool zero_writes_nothing_ = false;
};

DirectSearchResult Outcome(DirectSearchOutcome outcome) {
  DirectSearchResult result;
  result.outcome = outcome;
  return result;
}

DirectSearchResult Failed(Step step) {
  return Outcome(step == Step::kCancelled ? DirectSearchOutcome::kCancelled
                                          : DirectSearchOutcome::kOverBudget);
}

// Whether log-adding `added` to `sum` in any order gives the same bits:
// rounding can make the order matter. Runs longer than this are not tried.
constexpr std::size_t kLongestPermutedRun = 5;

bool SumIgnoresOrder(float sum, std::vector<float> added) {
  if (std::all_of(added.begin(), added.end(),
                  [&](float weight) { return SameBits(weight, added.front()); })) {
    return true;
  }
  if (added.size() > kLongestPermutedRun) return false;
  std::sort(added.begin(), added.end());
  float first = 0.0f;
  bool has_first = false;
  do {
    float total = sum;
    for (const float weight : added) total = LogAdd(total, weight);
    if (!has_first) {
      first = total;
      has_first = true;
    } else if (!SameBits(first, total)) {
      return false;
    }
  } while (std::next_permutation(added.begin(), added.end()));
  return true;
}

// Whether SearchNbest, reading whole paths of equal weight in whatever
// order OpenFst gives them, ends with the collection that reading them in
// the order of `run` gives. `straddles`: the pass ends within the run, so
// that which of them it reads depends on the order too.
bool RunReadsTheSame(const std::vector<FoundPath> &run, const PathCollection &collection,
                     std::uint64_t nbest, bool accumulate, bool straddles) {
  const PathData &first = run.front().record;
  if (std::all_of(run.begin(), run.end(),
                  [&](const FoundPath &path) { return IdenticalRecord(path.record, first); })) {
    return true;
  }
  if (straddles) return false;
  // Paths grouped by output: a new output's record is that of the first
  // path giving it, so they must all agree; several new outputs would be
  // kept in an order of OpenFst's.
  std::unordered_map<LabelSequence, std::vector<const PathData *>, LabelSequenceHash> outputs;
  for (const FoundPath &path : run) outputs[path.record.uniques].push_back(&path.record);
  std::size_t new_outputs = 0;
  for (const auto &[uniques, records] : outputs) {
    const auto kept = collection.paths.find(uniques);
    if (kept == collection.paths.end()) {
      ++new_outputs;
      for (const PathData *record : records) {
        if (!IdenticalRecord(*record, *records.front())) return false;
      }
      // Reading stops at the new output, before the rest of the run.
      if (accumulate && collection.keys.size() + 1 >= nbest) return false;
    } else if (accumulate && records.size() > 1) {
      std::vector<float> added;
      for (const PathData *record : records) added.push_back(record->path_weight);
      if (!SumIgnoresOrder(kept->second.path_weight, std::move(added))) return false;
    }
  }
  return new_outputs <= 1;
}

// The passes of SearchNbest: each asks for twice as many paths as the one
// before until one holds `nbest` distinct outputs or the request reaches its
// cap. A pass starts over only where the one before it reached a state's
// limit of expansions. Pairs are settled further as the paths need them.
enum class PassesEnd { kFound, kUnsure, kOverBudget, kCancelled };

// How the passes end when settling stops short; nothing when it is done.
std::optional<PassesEnd> EndAfter(Step step) {
  switch (step) {
    case Step::kDone:
      return std::nullopt;
    case Step::kOverBudget:
      return PassesEnd::kOverBudget;
    case Step::kCancelled:
      return PassesEnd::kCancelled;
  }
  return std::nullopt;
}

PassesEnd RunPasses(Search &search, std::uint64_t nbest, bool accumulate,
                    const DirectSearchBudget &budget, PathCollection &collection) {
  const PathRequests requests = PathRequestsFor(nbest);
  std::vector<FoundPath> run;
  std::uint64_t requested = requests.first;
  std::uint64_t asked = std::min(requested, kLargestRequest);
  search.StartPass(asked);
  collection = PathCollection();
  // What SearchNbest spends reading paths, over all passes (it counts per
  // pass); half its budget, since its paths may be walked a little
  // differently.
  std::uint64_t walked = 0;
  std::uint64_t kept = 0;
  for (;;) {
    bool exhausted = false;
    while (collection.keys.size() < nbest && !exhausted) {
      switch (search.NextPath(run)) {
        case Search::Next::kPath:
          if (run.size() > 1 &&
              !RunReadsTheSame(run, collection, nbest, accumulate,
                               search.completed() > search.request())) {
            return PassesEnd::kUnsure;
          }
          for (FoundPath &found : run) {
            walked += found.arcs + 3;
            if (found.uniques_only != nullptr) {
              if (MergeIntoKnownKey(*found.uniques_only, found.record.path_weight, accumulate,
                                    collection)) {
                continue;
              }
              search.ReadRecord(found);
            }
            kept += MergePath(found.record, accumulate, collection);
            if (collection.keys.size() >= nbest) break;
          }
          if (2 * walked >= budget.walked_arcs || 2 * kept >= budget.kept_arcs) {
            return PassesEnd::kUnsure;
          }
          continue;
        case Search::Next::kFull:
          break;
        case Search::Next::kExhausted:
          exhausted = true;
          continue;
        case Search::Next::kBeyond:
          if (const std::optional<PassesEnd> end = EndAfter(search.Widen())) return *end;
          continue;
        case Search::Next::kUnsure:
          return PassesEnd::kUnsure;
        case Search::Next::kCancelled:
          return PassesEnd::kCancelled;
      }
      break;
    }
    if (collection.keys.size() >= nbest) return PassesEnd::kFound;
    if (exhausted) {
      // Every path of the lattice was found, and every later pass finds
      // them again; unless some state was not expanded again, or not one
      // path came out, where SearchNbest takes other turns.
      return search.pruned() || search.completed() == 0 ? PassesEnd::kUnsure
                                                        : PassesEnd::kFound;
    }
    if (requested >= requests.cap) return PassesEnd::kFound;
    const std::uint64_t next = NextPathRequest(requested, requests);
    if (std::min(next, kLargestRequest) == asked) return PassesEnd::kFound;
    requested = next;
    asked = std::min(requested, kLargestRequest);
    if (search.pruned()) {
      search.StartPass(asked);
      collection = PathCollection();
      walked = 0;
      kept = 0;
    } else {
      // No state reached the limit of expansions: the larger pass takes
      // the very same steps so far, and reads the same paths.
      search.ExtendPass(asked);
    }
  }
}

// Places OpenFst's path of `weight` among its passes, after CountPaths for
// at least that weight: by the counts in buckets where they decide, else
// by counting paths one by one.
PassPlace Locate(const Search &search, float weight, const PathRequests &requests,
                 std::uint64_t cap, bool last, Search::PathBounds &bounds) {
  Search::PathBounds in_buckets;
  const bool has_buckets = search.BucketBounds(weight, in_buckets);
  if (has_buckets) {
    bounds = in_buckets;
    if (const PassPlace place = PlaceAmongPasses(bounds.below, bounds.within, requests, last);
        place != PassPlace::kUnknown) {
      return place;
    }
  }
  if (!search.ExactBounds(weight, cap, bounds)) return PassPlace::kUnknown;
  // Counting one by one may stop before the heaviest paths the pass reads;
  // the buckets' bounds cover them all.
  if (has_buckets) {
    bounds.longest = in_buckets.longest;
    bounds.heap_entries = std::min(bounds.heap_entries, in_buckets.heap_entries);
  }
  return PlaceAmongPasses(bounds.below, bounds.within, requests, last);
}

// The paths of a distinct pass: OpenFst's first path of each output, in
// OpenFst's order, without the hundreds of other alignments of those
// outputs that its passes read in between. Which pass ends the search, and
// whether the cap or a state's limit of expansions cuts a path off before
// an output is found, depends on how many paths come before that output's
// first; counts of the paths by weight must show that none of that changes
// the result. Reads records as SearchNbest does without accumulate.
PassesEnd RunDistinctPass(Search &search, std::uint64_t nbest, const DirectSearchBudget &budget,
                          PathCollection &collection) {
  const PathRequests requests = PathRequestsFor(nbest);
  const std::uint64_t cap = std::min(requests.cap, kLargestRequest);
  search.StartDistinctPass();
  collection = PathCollection();
  FoundPath found;
  // The weights on OpenFst's heap of the first paths of the outputs found.
  std::vector<float> first_weights;
  // Once set, the outputs not found yet all lie past the cap.
  bool rest_past_cap = false;
  Search::PathBounds bounds;
  // Those of the weight last counted towards the cap.
  Search::PathBounds cap_bounds{0, cap, 0, 0};
  while (collection.keys.size() < nbest && !rest_past_cap) {
    // Each path read is one of OpenFst's: past the cap, no more are read.
    if (search.completed() > cap) return PassesEnd::kUnsure;
    switch (search.NextDistinctPath(found)) {
      case Search::Next::kPath:
        break;
      case Search::Next::kBeyond: {
        // The outputs not found yet weigh more than the paths read so far;
        // once the cap's number of paths is lighter, none of them is read.
        // Counting is skipped while the paths last counted were far fewer:
        // a widening seldom multiplies them by more than that.
        const float counted = search.CountableWeight();
        if (!first_weights.empty() && counted > first_weights.back() &&
            cap_bounds.within * kCountGrowthPerWidening >= cap) {
          search.CountPaths(counted, cap);
          rest_past_cap =
              Locate(search, counted, requests, cap, false, cap_bounds) == PassPlace::kPastCap;
          if (rest_past_cap) continue;
        }
        if (const std::optional<PassesEnd> end = EndAfter(search.Widen())) return *end;
        continue;
      }
      case Search::Next::kCancelled:
        return PassesEnd::kCancelled;
      default:
        return PassesEnd::kUnsure;
    }
    if (found.uniques_only != nullptr &&
        MergeIntoKnownKey(*found.uniques_only, found.record.path_weight, false, collection)) {
      continue;
    }
    if (found.uniques_only != nullptr) search.ReadRecord(found);
    const std::size_t outputs = collection.keys.size();
    MergePath(found.record, false, collection);
    // The path's arcs that leave no trace in its record still weigh on
    // OpenFst's heap.
    if (collection.keys.size() > outputs) first_weights.push_back(found.key);
  }

  // The first path comes first; each later output's first path is read by
  // OpenFst if fewer than the cap's number of paths come before it. The
  // counts up to the last weight place them all.
  bool past_cap = rest_past_cap;
  if (first_weights.size() > 1 && !past_cap) {
    const float last_weight = first_weights.back();
    if (!search.SettledTo(Search::CountingReach(last_weight))) {
      const float margin = Search::CountingReach(last_weight) - search.best_complete();
      if (const std::optional<PassesEnd> end = EndAfter(search.Widen(margin))) return *end;
    }
    search.CountPaths(last_weight, cap);
  }
  for (std::size_t output = 1; output < first_weights.size(); ++output) {
    const bool last = output + 1 == nbest;
    switch (Locate(search, first_weights[output], requests, cap, last, bounds)) {
      case PassPlace::kRead:
        continue;
      case PassPlace::kPastCap:
        // This output and those after it are not read.
        while (collection.keys.size() > output) {
          collection.paths.erase(collection.keys.back());
          collection.keys.pop_back();
        }
        past_cap = true;
        break;
      case PassPlace::kUnknown:
        return PassesEnd::kUnsure;
    }
    break;
  }
  if (rest_past_cap) bounds = cap_bounds;

  // OpenFst's last pass reads the paths up to the last output, or all it
  // holds when it has too few outputs; it puts about as many entries on its
  // heap as the count bounds.
  const std::uint64_t read = past_cap ? cap : bounds.within;
  const std::uint64_t walked = read * (std::uint64_t{bounds.longest} + 3);
  if ((first_weights.size() > 1 || past_cap) &&
      (bounds.heap_entries > budget.reference_result_states / 2 ||
       2 * walked >= budget.walked_arcs || 2 * walked >= budget.kept_arcs)) {
    return PassesEnd::kUnsure;
  }
  return PassesEnd::kFound;
}

}  // namespace

bool SuitsDirectSearch(const ModelFst &model) {
  for (fst::StateIterator<ModelFst> states(model); !states.Done(); states.Next()) {
    const Arc::StateId state = states.Value();
    const float final_weight = model.Final(state).Value();
    if (!(final_weight >= 0.0f)) return false;
    const auto [first, last] = ArcsOf(model, state);
    for (const Arc *arc = first; arc != last; ++arc) {
      const float weight = arc->weight.Value();
      if (!(weight >= 0.0f) || weight == kInfinity || arc->ilabel < 0 || arc->olabel < 0) {
        return false;
      }
    }
  }
  return true;
}

StartClosure FindStartClosure(const ModelFst &model) {
  if (model.Start() == fst::kNoStateId) return StartClosure();
  VectorFst no_letters;
  no_letters.AddState();
  no_letters.SetStart(0);
  no_letters.SetFinal(0, Weight::One());
  DirectSearchBudget budget;
  budget.lattice_states = kLargestStartClosure;
  budget.lattice_arcs = 16 * kLargestStartClosure;
  const ClusterTable no_clusters;
  const VetoSet no_veto;
  Search search(model, nullptr, no_letters, budget, no_clusters, no_veto, nullptr);
  std::optional<StartClosure::Data> closure = search.SettleStartClosure();
  if (!closure) return StartClosure();
  return StartClosure(std::make_shared<const StartClosure::Data>(std::move(*closure)));
}

DirectSearchResult SearchDirect(const ModelFst &model, const StartClosure &start_closure,
                                const VectorFst &acceptor,
                                std::uint64_t nbest, bool accumulate,
                                const ClusterTable &output_clusters, const VetoSet &veto,
                                const DirectSearchBudget &budget,
                                const std::atomic<bool> *cancel) {
  DirectSearchResult result;
  if (nbest == 0 || acceptor.NumStates() == 0) return result;
  for (Arc::StateId state = 0; state < acceptor.NumStates(); ++state) {
    for (fst::ArcIterator<VectorFst> arcs(acceptor, state); !arcs.Done(); arcs.Next()) {
      if (arcs.Value().olabel == 0) return Outcome(DirectSearchOutcome::kUnsure);
    }
  }

  Search search(model, start_closure.data(), acceptor, budget, output_clusters, veto, cancel);
  if (const Step step = search.FindBest(); step != Step::kDone) return Failed(step);
  if (search.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
  const float best = search.best_complete();
  if (best == kInfinity) return result;

  const float margin = nbest == 1 ? kFirstMarginOnePath : kFirstMarginManyPaths;
  if (const Step step = search.SettleWithin(margin); step != Step::kDone) return Failed(step);
  PassesEnd end = PassesEnd::kUnsure;
  // One pronunciation is the first path: nothing for a distinct pass to skip.
  if (nbest > 1 && !accumulate) {
    end = RunDistinctPass(search, nbest, budget, result.collection);
    result.distinct_outputs = end == PassesEnd::kFound;
  }
  if (end == PassesEnd::kUnsure) {
    end = RunPasses(search, nbest, accumulate, budget, result.collection);
  }
  switch (end) {
    case PassesEnd::kFound:
      if (search.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
      result.outcome = DirectSearchOutcome::kFound;
      return result;
    case PassesEnd::kUnsure:
      break;
    case PassesEnd::kOverBudget:
      return Outcome(DirectSearchOutcome::kOverBudget);
    case PassesEnd::kCancelled:
      return Outcome(DirectSearchOutcome::kCancelled);
  }
  return Outcome(DirectSearchOutcome::kUnsure);
}

}  // namespace vurel
