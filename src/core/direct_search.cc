#include "direct_search.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vurel {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// How often the loops look at the cancellation flag.
constexpr std::uint32_t kCancelCheckInterval = 1024;

// The first margin above the best path's weight within which pairs are
// visited; it grows fourfold whenever more paths are needed. One pronunciation
// needs only the paths that might tie with the best.
constexpr float kFirstMarginOnePath = 1.0f;
constexpr float kFirstMarginManyPaths = 4.0f;

// Paths found after reading stopped, to see whether they tie with the last
// one read; beyond this many, the direct search gives up.
constexpr std::size_t kLongestLookahead = 256;

// What OpenFst's composition puts on a lattice arc: the acceptor's weight
// (0) times the model's. Not always the model's bits: 0 + -0.0 is +0.0.
float LatticeWeight(float model_weight) { return 0.0f + model_weight; }

// How far apart two path weights may be and still come out of OpenFst's
// search in the other order. Its sums are taken in another order than ours
// for the heuristic (each addition rounds by up to half a unit in the last
// place), and its shortest distances stop improving by less than 1e-6 per
// arc. The bound is twice the worst case of both, for a path of `arcs` arcs.
float TieTolerance(float weight, std::size_t arcs) {
  const float scale = std::max(std::fabs(weight), 1.0f);
  const float length = static_cast<float>(arcs + 4);
  return 2.0f * length * scale * std::ldexp(1.0f, -23) + 2.0f * length * 1e-6f;
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
  static constexpr std::size_t kInitialSlots = 1024;

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
  bool settled;
};

// An arc of the lattice between two visited pairs.
struct PairArc {
  std::uint32_t from;
  std::uint32_t to;
  const Arc *arc;
};

// A partial path of the enumeration: from `pair` to the end of the word,
// through `arc` to the pair of `parent` (kNone: the end itself, through the
// final weight). `backward` is its weight summed from the end.
struct PartialPath {
  std::uint32_t pair;
  std::uint32_t parent;
  const Arc *arc;
  float backward;
};

struct QueueEntry {
  float key;
  std::uint32_t item;
  bool complete;  // a whole path (from the start), not a partial one
};

// Min-heap order on keys; std::push_heap and std::pop_heap keep the largest
// first under this comparison.
bool Later(const QueueEntry &lhs, const QueueEntry &rhs) { return lhs.key > rhs.key; }

std::uint64_t PairKey(std::uint32_t position, Arc::StateId state) {
  return (std::uint64_t{position} << 32) | static_cast<std::uint32_t>(state);
}

std::pair<const Arc *, const Arc *> ArcsOf(const VectorFst &fst, Arc::StateId state) {
  fst::ArcIteratorData<Arc> data;
  fst.InitArcIterator(state, &data);
  return {data.arcs, data.arcs + data.narcs};
}

// A complete path found by the enumeration, in the order found.
struct FoundPath {
  PathData record;
  float key;          // OpenFst's weight of the path: summed from the end
  std::size_t arcs;   // lattice arcs on it
};

enum class Step { kDone, kOverBudget, kCancelled };

class Search {
 public:
  Search(const VectorFst &model, const VectorFst &acceptor, const DirectSearchBudget &budget,
         const std::atomic<bool> *cancel)
      : model_(model), acceptor_(acceptor), budget_(budget), cancel_(cancel),
        end_position_(static_cast<std::uint32_t>(acceptor.NumStates() - 1)) {}

  // Settles pairs in order of distance until the best complete path is
  // known; its weight is then best_complete() (infinite: no path).
  Step FindBest() {
    const Arc::StateId start = model_.Start();
    if (start == fst::kNoStateId) return Step::kDone;
    start_pair_ = Reach(0, start, 0.0f);
    return Settle([this](float distance) { return distance < best_complete_; });
  }

  // Settles every pair whose distance is at most `bound`.
  Step SettleUpTo(float bound) {
    return Settle([bound](float distance) { return distance <= bound; });
  }

  float best_complete() const { return best_complete_; }
  std::size_t partial_paths() const { return partial_paths_.size(); }
  // Whether a sum of finite weights came out infinite. OpenFst then sees a
  // path of weight Zero where this search sees none, and answers otherwise.
  bool overflowed() const { return overflowed_; }

  // Starts enumerating whole paths within the settled pairs.
  void StartEnumeration() {
    BuildIncomingArcs();
    partial_paths_.clear();
    queue_.clear();
    for (std::uint32_t pair = 0; pair < pairs_.size(); ++pair) {
      const Pair &p = pairs_[pair];
      if (!p.settled || p.position != end_position_) continue;
      const float final_weight = model_.Final(p.state).Value();
      if (final_weight == kInfinity) continue;
      // OpenFst's reversed lattice enters each final state through an arc
      // that carries its final weight.
      Push(pair, kNone, nullptr, 0.0f + LatticeWeight(final_weight));
    }
  }

  // The next whole path in OpenFst's order, if its weight is at most
  // `trusted` (beyond it, paths through pairs not settled could come first).
  enum class Next { kPath, kExhausted, kBeyond, kOverBudget, kCancelled };
  Next NextPath(float trusted, const ClusterTable &output_clusters, const VetoSet &veto,
                FoundPath &found) {
    while (!queue_.empty()) {
      if (++steps_ % kCancelCheckInterval == 0 && Cancelled()) return Next::kCancelled;
      if (queue_.front().key > trusted) return Next::kBeyond;
      std::pop_heap(queue_.begin(), queue_.end(), Later);
      const QueueEntry entry = queue_.back();
      queue_.pop_back();
      if (entry.complete) {
        Read(entry.item, output_clusters, veto, found);
        found.key = entry.key;
        return Next::kPath;
      }
      const PartialPath partial = partial_paths_[entry.item];
      if (partial.pair == start_pair_) {
        // The start state is final in the reversed lattice, with weight 0.
        queue_.push_back({partial.backward + 0.0f, entry.item, true});
        std::push_heap(queue_.begin(), queue_.end(), Later);
      }
      for (std::uint32_t i = incoming_begin_[partial.pair]; i < incoming_begin_[partial.pair + 1];
           ++i) {
        const PairArc &incoming = incoming_[i];
        Push(incoming.from, entry.item, incoming.arc,
             partial.backward + LatticeWeight(incoming.arc->weight.Value()));
      }
      if (partial_paths_.size() > budget_.partial_paths) return Next::kOverBudget;
    }
    return Next::kExhausted;
  }

 private:
  bool Cancelled() const {
    return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed);
  }

  std::uint32_t Reach(std::uint32_t position, Arc::StateId state, float distance) {
    const auto next_id = static_cast<std::uint32_t>(pairs_.size());
    const std::uint32_t id = index_.FindOrInsert(PairKey(position, state), next_id);
    if (id == next_id) {
      pairs_.push_back({position, state, distance, false});
      heap_.push_back({distance, id, false});
      std::push_heap(heap_.begin(), heap_.end(), Later);
    } else if (!pairs_[id].settled && distance < pairs_[id].distance) {
      pairs_[id].distance = distance;
      heap_.push_back({distance, id, false});
      std::push_heap(heap_.begin(), heap_.end(), Later);
    }
    return id;
  }

  void Follow(std::uint32_t from, std::uint32_t position, const Arc &arc) {
    const float distance = pairs_[from].distance + LatticeWeight(arc.weight.Value());
    if (distance == kInfinity) overflowed_ = true;
    const std::uint32_t to = Reach(position, arc.nextstate, distance);
    arcs_.push_back({from, to, &arc});
  }

  template <class Continue>
  Step Settle(Continue keep_going) {
    while (!heap_.empty()) {
      if (++steps_ % kCancelCheckInterval == 0 && Cancelled()) return Step::kCancelled;
      const QueueEntry top = heap_.front();
      if (!keep_going(top.key)) return Step::kDone;
      std::pop_heap(heap_.begin(), heap_.end(), Later);
      heap_.pop_back();
      Pair &pair = pairs_[top.item];
      if (pair.settled || top.key > pair.distance) continue;
      pair.settled = true;
      const std::uint32_t id = top.item;
      const std::uint32_t position = pair.position;
      const Arc::StateId state = pair.state;
      if (position == end_position_) {
        const float final_weight = model_.Final(state).Value();
        if (final_weight != kInfinity) {
          const float complete = pair.distance + LatticeWeight(final_weight);
          if (complete == kInfinity) overflowed_ = true;
          best_complete_ = std::min(best_complete_, complete);
        }
      }
      const auto [first, last] = ArcsOf(model_, state);
      // Sorted by input label: the input-epsilon arcs come first.
      const Arc *arc = first;
      for (; arc != last && arc->ilabel == 0; ++arc) Follow(id, position, *arc);
      for (fst::ArcIterator<VectorFst> letters(acceptor_, static_cast<Arc::StateId>(position));
           !letters.Done(); letters.Next()) {
        const Arc &letter = letters.Value();
        const Label label = static_cast<Label>(letter.olabel);
        const Arc *match = std::lower_bound(
            arc, last, label, [](const Arc &lhs, Label rhs) { return static_cast<Label>(lhs.ilabel) < rhs; });
        for (; match != last && static_cast<Label>(match->ilabel) == label; ++match) {
          Follow(id, static_cast<std::uint32_t>(letter.nextstate), *match);
        }
      }
      if (pairs_.size() > budget_.lattice_states || arcs_.size() > budget_.lattice_arcs) {
        return Step::kOverBudget;
      }
    }
    return Step::kDone;
  }

  // The settled pairs' incoming arcs from settled pairs, grouped by pair.
  void BuildIncomingArcs() {
    incoming_begin_.assign(pairs_.size() + 1, 0);
    for (const PairArc &arc : arcs_) {
      if (pairs_[arc.to].settled) ++incoming_begin_[arc.to + 1];
    }
    for (std::size_t i = 1; i < incoming_begin_.size(); ++i) {
      incoming_begin_[i] += incoming_begin_[i - 1];
    }
    incoming_.resize(incoming_begin_.back());
    std::vector<std::uint32_t> filled(incoming_begin_.begin(), incoming_begin_.end() - 1);
    for (const PairArc &arc : arcs_) {
      if (pairs_[arc.to].settled) incoming_[filled[arc.to]++] = arc;
    }
  }

  void Push(std::uint32_t pair, std::uint32_t parent, const Arc *arc, float backward) {
    const auto id = static_cast<std::uint32_t>(partial_paths_.size());
    const float key = pairs_[pair].distance + backward;
    if (key == kInfinity) overflowed_ = true;
    partial_paths_.push_back({pair, parent, arc, backward});
    queue_.push_back({key, id, false});
    std::push_heap(queue_.begin(), queue_.end(), Later);
  }

  // The record of the path that starts with partial path `first`, as
  // reading OpenFst's result path would make it. That path begins with two
  // epsilon arcs of weight 0, which leave no trace, and ends with an
  // epsilon arc carrying the final weight.
  void Read(std::uint32_t first, const ClusterTable &output_clusters, const VetoSet &veto,
            FoundPath &found) const {
    PathData &record = found.record;
    record = PathData();
    found.arcs = 0;
    for (std::uint32_t item = first;; item = partial_paths_[item].parent) {
      const PartialPath &partial = partial_paths_[item];
      if (partial.parent == kNone) {
        const float final_weight = LatticeWeight(model_.Final(pairs_[partial.pair].state).Value());
        AppendPathArc(Arc(0, 0, final_weight, 0), output_clusters, veto, record);
        break;
      }
      const Arc &arc = *partial.arc;
      AppendPathArc(Arc(arc.ilabel, arc.olabel, LatticeWeight(arc.weight.Value()), 0),
                    output_clusters, veto, record);
      ++found.arcs;
    }
  }

  const VectorFst &model_;
  const VectorFst &acceptor_;
  const DirectSearchBudget &budget_;
  const std::atomic<bool> *cancel_;
  const std::uint32_t end_position_;

  PairIndex index_;
  std::vector<Pair> pairs_;
  std::vector<QueueEntry> heap_;
  std::vector<PairArc> arcs_;
  std::uint32_t start_pair_ = kNone;
  float best_complete_ = kInfinity;
  bool overflowed_ = false;
  std::uint64_t steps_ = 0;

  std::vector<std::uint32_t> incoming_begin_;
  std::vector<PairArc> incoming_;
  std::vector<PartialPath> partial_paths_;
  std::vector<QueueEntry> queue_;
};

// Whether log-adding `added` to `sum` in any order gives the same bits:
// rounding can make the order matter. Runs longer than this are not tried.
constexpr std::size_t kLongestPermutedRun = 6;

bool SumIgnoresOrder(float sum, std::vector<float> &added) {
  if (std::all_of(added.begin(), added.end(),
                  [&](float weight) { return SameBits(weight, added.front()); })) {
    return true;
  }
  if (added.size() > kLongestPermutedRun) return false;
  std::sort(added.begin(), added.end());
  std::optional<float> first;
  do {
    float total = sum;
    for (const float weight : added) total = LogAdd(total, weight);
    if (!first) {
      first = total;
    } else if (!SameBits(*first, total)) {
      return false;
    }
  } while (std::next_permutation(added.begin(), added.end()));
  return true;
}

// Whether every order OpenFst could give the paths of each run of
// near-ties gives the result that the order found gives. `consumed` paths
// are read by the search (the rest were found to see where the last run
// ends); `stopped_by_cap` tells whether reading stopped at the cap.
bool OrderIsCertain(const std::vector<FoundPath> &paths, std::size_t consumed,
                    bool accumulate, bool stopped_by_cap, std::size_t long_path) {
  std::unordered_map<LabelSequence, std::size_t, LabelSequenceHash> first_index;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    first_index.emplace(paths[i].record.uniques, i);
  }
  std::size_t run_begin = 0;
  while (run_begin < consumed) {
    std::size_t run_end = run_begin + 1;
    while (run_end < paths.size()) {
      const FoundPath &previous = paths[run_end - 1];
      const FoundPath &next = paths[run_end];
      const float tolerance = TieTolerance(std::max(previous.key, next.key),
                                           std::max({previous.arcs, next.arcs, long_path}));
      if (next.key - previous.key > tolerance) break;
      ++run_end;
    }
    if (run_end - run_begin > 1) {
      // Outputs met for the first time within the run: their order, and
      // which of their paths is kept, could change.
      std::vector<std::size_t> new_outputs;
      for (std::size_t i = run_begin; i < run_end; ++i) {
        if (first_index.at(paths[i].record.uniques) == i) new_outputs.push_back(i);
      }
      if (new_outputs.size() > 1) return false;
      if (new_outputs.size() == 1) {
        const PathData &kept = paths[new_outputs[0]].record;
        for (std::size_t i = run_begin; i < run_end; ++i) {
          if (paths[i].record.uniques == kept.uniques && !IdenticalRecord(paths[i].record, kept)) {
            return false;
          }
        }
      }
      const bool straddles = run_end > consumed;
      if (straddles && (accumulate || (stopped_by_cap && !new_outputs.empty()))) return false;
      if (accumulate) {
        std::unordered_map<LabelSequence, std::vector<float>, LabelSequenceHash> weights;
        for (std::size_t i = run_begin; i < std::min(run_end, consumed); ++i) {
          weights[paths[i].record.uniques].push_back(paths[i].record.path_weight);
        }
        for (auto &[output, added] : weights) {
          if (added.size() < 2) continue;
          float sum_before = kInfinity;
          for (std::size_t i = first_index.at(output); i < run_begin; ++i) {
            if (paths[i].record.uniques == output) {
              sum_before = LogAdd(sum_before, paths[i].record.path_weight);
            }
          }
          if (!SumIgnoresOrder(sum_before, added)) return false;
        }
      }
    }
    run_begin = run_end;
  }
  return true;
}

// The request size of the pass of SearchNbest that reads `consumed` paths.
std::uint64_t FinalRequest(std::uint64_t consumed, const PathRequests &requests) {
  std::uint64_t request = requests.first;
  while (request < consumed && request < requests.cap) {
    request = std::min(request > requests.cap / 2 ? requests.cap : request * 2, requests.cap);
  }
  return request;
}

DirectSearchResult Unsure() {
  DirectSearchResult result;
  result.outcome = DirectSearchOutcome::kUnsure;
  return result;
}

DirectSearchResult Failed(Step step) {
  DirectSearchResult result;
  switch (step) {
    case Step::kOverBudget:
      result.outcome = DirectSearchOutcome::kOverBudget;
      break;
    case Step::kCancelled:
      result.outcome = DirectSearchOutcome::kCancelled;
      break;
    case Step::kDone:
      result.outcome = DirectSearchOutcome::kUnsure;
      break;
  }
  return result;
}

}  // namespace

bool SuitsDirectSearch(const VectorFst &model) {
  for (fst::StateIterator<VectorFst> states(model); !states.Done(); states.Next()) {
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

DirectSearchResult SearchDirect(const VectorFst &model, const VectorFst &acceptor,
                                std::uint64_t nbest, bool accumulate,
                                const ClusterTable &output_clusters, const VetoSet &veto,
                                const DirectSearchBudget &budget,
                                const std::atomic<bool> *cancel) {
  DirectSearchResult result;
  if (nbest == 0 || acceptor.NumStates() == 0) return result;
  for (Arc::StateId state = 0; state < acceptor.NumStates(); ++state) {
    for (fst::ArcIterator<VectorFst> arcs(acceptor, state); !arcs.Done(); arcs.Next()) {
      if (arcs.Value().olabel == 0) return Unsure();
    }
  }

  Search search(model, acceptor, budget, cancel);
  if (const Step step = search.FindBest(); step != Step::kDone) return Failed(step);
  const float best = search.best_complete();
  if (search.overflowed()) return Unsure();
  if (best == kInfinity) return result;

  const PathRequests requests = PathRequestsFor(nbest);
  // Rounding grows with the length of a path; a path has at least one arc
  // per letter, and rarely more than a few per letter.
  const std::size_t long_path = 4 * static_cast<std::size_t>(acceptor.NumStates()) + 64;
  float margin = nbest == 1 && !accumulate ? kFirstMarginOnePath : kFirstMarginManyPaths;
  std::vector<FoundPath> paths;
  std::size_t consumed = 0;
  bool stopped_by_cap = false;
  for (;; margin *= 4.0f) {
    const float bound = best + margin;
    if (const Step step = search.SettleUpTo(bound); step != Step::kDone) return Failed(step);
    search.StartEnumeration();
    // Paths up to this weight run through settled pairs only.
    const float trusted = bound - TieTolerance(bound, long_path);
    paths.clear();
    result.collection = PathCollection();
    consumed = 0;
    stopped_by_cap = false;
    bool stopped = false;
    bool complete = false;
    int new_outputs_in_run = 0;
    FoundPath found;
    while (!complete) {
      switch (search.NextPath(trusted, output_clusters, veto, found)) {
        case Search::Next::kCancelled:
          return Failed(Step::kCancelled);
        case Search::Next::kOverBudget:
          return Unsure();
        case Search::Next::kExhausted:
          complete = true;
          break;
        case Search::Next::kBeyond:
          // Once reading has stopped, only paths that could tie with the
          // last one found matter, and all of those were found if `trusted`
          // is beyond any tie with it.
          complete = stopped && trusted - paths.back().key >
                                    TieTolerance(trusted, long_path);
          if (!complete) goto widen;
          break;
        case Search::Next::kPath:
          if (stopped) {
            const FoundPath &last = paths.back();
            if (found.key - last.key >
                TieTolerance(found.key, std::max({last.arcs, found.arcs, long_path}))) {
              complete = true;
              break;
            }
            // Endless ties (a cycle of weight 0) leave the order to OpenFst.
            if (paths.size() - consumed >= kLongestLookahead) return Unsure();
            paths.push_back(found);
            break;
          }
          // Two new outputs tying with each other settle it: OpenFst's
          // order between them is its own.
          if (!paths.empty() &&
              found.key - paths.back().key <=
                  TieTolerance(found.key, std::max({paths.back().arcs, found.arcs, long_path}))) {
            if (result.collection.paths.find(found.record.uniques) ==
                result.collection.paths.end()) {
              if (++new_outputs_in_run > 1) return Unsure();
            }
          } else {
            new_outputs_in_run = result.collection.paths.find(found.record.uniques) ==
                                         result.collection.paths.end()
                                     ? 1
                                     : 0;
          }
          paths.push_back(found);
          MergePath(found.record, accumulate, result.collection);
          ++consumed;
          // OpenFst's search would stop at its budget long before.
          if (2 * search.partial_paths() > budget.reference_result_states) return Unsure();
          if (result.collection.keys.size() >= nbest) {
            stopped = true;
          } else if (consumed >= requests.cap) {
            stopped = stopped_by_cap = true;
          }
          break;
      }
    }
    break;
  widen:;
  }

  if (search.overflowed() ||
      !OrderIsCertain(paths, consumed, accumulate, stopped_by_cap, long_path)) {
    return Unsure();
  }

  // The pass of OpenFst's search that gives this result must not run into
  // the search's budgets, which would cut it short.
  const bool reading_stopped = result.collection.keys.size() >= nbest || stopped_by_cap;
  const std::uint64_t request =
      reading_stopped ? FinalRequest(consumed, requests) : requests.cap;
  const double partial_per_path =
      static_cast<double>(search.partial_paths()) / static_cast<double>(std::max<std::size_t>(paths.size(), 1));
  std::uint64_t walked = 0;
  std::uint64_t kept = 0;
  for (std::size_t i = 0; i < consumed; ++i) walked += paths[i].arcs + 3;
  for (const LabelSequence &key : result.collection.keys) {
    const PathData &record = result.collection.paths.at(key);
    kept += record.path_weights.size() + record.uniques.size();
  }
  if (2.0 * partial_per_path * static_cast<double>(request) >
          static_cast<double>(budget.reference_result_states) ||
      walked >= budget.walked_arcs || kept >= budget.kept_arcs) {
    return Unsure();
  }
  result.outcome = DirectSearchOutcome::kFound;
  return result;
}

}  // namespace vurel
