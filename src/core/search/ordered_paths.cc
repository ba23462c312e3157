#include "search/ordered_paths.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "search/path_counting.h"

namespace vurel {
namespace direct {
namespace {

// The margin grows, by a tenth at least, whenever the paths need more
// pairs settled.
constexpr float kMarginGrowth = 1.1f;

// How many times more paths a widening of the margin may bring in: while
// the paths counted times this stay below the cap, the next widening is
// not worth counting for.
constexpr std::uint64_t kCountGrowthPerWidening = 16;

// OpenFst's order, as a function object, which the heap algorithms inline
// where a function pointer would be called. std::push_heap and
// std::pop_heap keep first what comes last under it.
struct InQueueOrder {
  bool operator()(const QueueEntry &lhs, const QueueEntry &rhs) const {
    return ComesLater(lhs, rhs);
  }
};

bool Equivalent(const QueueEntry &lhs, const QueueEntry &rhs) {
  return !ComesLater(lhs, rhs) && !ComesLater(rhs, lhs);
}

}  // namespace

OrderedPaths::OrderedPaths(PairGraph &graph, const ClusterTable &output_clusters,
                           const VetoSet &veto, const DirectSearchBudget &budget)
    : graph_(graph), output_clusters_(output_clusters), veto_(veto), budget_(budget) {
  LabelSequence zero_uniques;
  AppendDecomposition(output_clusters_, veto_, 0, zero_uniques);
  zero_writes_nothing_ = zero_uniques.empty();
  TrustSettledPairs();
}

// Entries of pairs not settled weigh more than the bound they were
// settled within; a whole path must come out before any of them could,
// even by the delta.
void OrderedPaths::TrustSettledPairs() {
  const float bound = graph_.bound();
  trusted_ = graph_.all_settled() || bound == kInfinity ? kInfinity
                                                         : bound - 2.0f * DistanceWindow(bound);
}

void OrderedPaths::StartPass(std::uint64_t request) {
  request_ = request;
  distinct_ = false;
  completed_ = 0;
  pruned_ = false;
  in_run_ = false;
  pops_.assign(graph_.pairs().size(), 0);
  expansions_.assign(graph_.pairs().size(), kNone);
  partial_paths_.clear();
  queue_.clear();
  for (const std::uint32_t pair : graph_.settled_order()) PushIfFinal(pair);
}

void OrderedPaths::StartDistinctPass() {
  StartPass(kLargestRequest);
  distinct_ = true;
  expanded_suffixes_.clear();
}

OrderedPaths::Next OrderedPaths::NextPath(std::vector<FoundPath> &run) {
  if (Outgrown()) return Next::kUnsure;
  if (completed_ == request_) return Next::kFull;
  while (!queue_.empty()) {
    if (++steps_ % kCancelCheckInterval == 0 && graph_.Cancelled()) return Next::kCancelled;
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
      // The run is read whole before any of it is merged: its arcs count
      // against the partial paths' share of the budget, and SearchNbest
      // would stop reading within it past half its own.
      std::uint64_t walked = run.front().arcs + 3;
      while (!queue_.empty() && Equivalent(entry, queue_.front())) {
        run.emplace_back();
        Read(Pop().item, run.back());
        walked += run.back().arcs + 3;
        if (2 * walked >= budget_.walked_arcs || walked > budget_.partial_paths) {
          return Next::kUnsure;
        }
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
  return graph_.all_settled() ? Next::kExhausted : Next::kBeyond;
}

OrderedPaths::Next OrderedPaths::NextDistinctPath(FoundPath &found) {
  if (Outgrown()) return Next::kUnsure;
  while (!queue_.empty()) {
    if (++steps_ % kCancelCheckInterval == 0 && graph_.Cancelled()) return Next::kCancelled;
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
  return graph_.all_settled() ? Next::kExhausted : Next::kBeyond;
}

SettleStep OrderedPaths::Widen(float least_margin) {
  const std::size_t known_arcs = graph_.arcs().size();
  const std::size_t known_settled = graph_.settled_order().size();
  // Enough for the next entry to be taken, and at least a tenth more.
  float margin = std::max(graph_.margin() * kMarginGrowth, least_margin);
  if (!queue_.empty()) {
    const float next = queue_.front().key;
    margin = std::max(margin, next + 4.0f * DistanceWindow(next) - graph_.best_complete());
  }
  if (const SettleStep step = graph_.SettleWithin(margin); step != SettleStep::kDone) {
    return step;
  }
  TrustSettledPairs();
  pops_.resize(graph_.pairs().size(), 0);
  expansions_.resize(graph_.pairs().size(), kNone);
  // Each new arc brings one entry per expansion of its pair; the next step
  // says kUnsure once they outgrow the budget.
  for (std::size_t i = known_arcs; i < graph_.arcs().size() && !Outgrown(); ++i) {
    const PairArc arc = graph_.arcs()[i];
    for (std::uint32_t expanded = expansions_[arc.to]; expanded != kNone;
         expanded = partial_paths_[expanded].earlier_expansion) {
      Push(arc.from, expanded, arc.arc,
           partial_paths_[expanded].backward + LatticeWeight(arc.arc->weight.Value()));
    }
  }
  for (std::size_t i = known_settled; i < graph_.settled_order().size(); ++i) {
    PushIfFinal(graph_.settled_order()[i]);
  }
  return SettleStep::kDone;
}

QueueEntry OrderedPaths::Pop() {
  std::pop_heap(queue_.begin(), queue_.end(), InQueueOrder{});
  const QueueEntry entry = queue_.back();
  queue_.pop_back();
  return entry;
}

// Expands a partial path as OpenFst's search does: one entry for each
// arc into its pair, and a whole path when the pair is the start.
// kLeadsAhead when, during a run of equal weight `run`, one of them comes
// out before the run; kPruned when the pair was expanded enough times;
// kUnsure when the pair's distance may not be OpenFst's or the entries
// outgrow the budget.
OrderedPaths::Expansion OrderedPaths::Expand(const QueueEntry &entry, const QueueEntry *run) {
  const PartialPath partial = partial_paths_[entry.item];
  if (!graph_.pairs()[partial.pair].exact) return Expansion::kUnsure;
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
  for (std::uint32_t i = graph_.pairs()[partial.pair].last_incoming; i != kNone;
       i = graph_.arcs()[i].next_incoming) {
    const PairArc incoming = graph_.arcs()[i];
    const QueueEntry pushed =
        Push(incoming.from, entry.item, incoming.arc,
             partial.backward + LatticeWeight(incoming.arc->weight.Value()));
    ahead |= run != nullptr && ComesLater(*run, pushed);
  }
  if (partial.pair == graph_.start_pair()) {
    // The start state is final in the reversed lattice, with weight 0.
    const QueueEntry whole{partial.backward + 0.0f, entry.item, true};
    ahead |= run != nullptr && ComesLater(*run, whole);
    Enqueue(whole);
  }
  if (Outgrown()) return Expansion::kUnsure;
  return ahead ? Expansion::kLeadsAhead : Expansion::kDone;
}

// OpenFst's search may hold more entries than these (those of pairs not
// settled); far from its budget, it is not stopped by it.
bool OrderedPaths::Outgrown() const {
  return partial_paths_.size() > budget_.partial_paths ||
         2 * partial_paths_.size() > budget_.reference_result_states;
}

// A partial path whose output from its pair to the end is that of one
// expanded there before it, and whose weight is above that one's by more
// than PathTolerance, leads to paths of which each comes after the same
// path through the earlier one: never the first of its output. kDominated
// then, kUnsure when the two are closer than that (their paths' order
// could be rounding's).
OrderedPaths::Expansion OrderedPaths::ExpandFirstOfItsOutput(std::uint32_t item) {
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
std::uint32_t OrderedPaths::SuffixOf(const PartialPath &partial) {
  const std::uint32_t after = partial.parent == kNone ? 0 : partial_paths_[partial.parent].suffix;
  const Arc arc = ResultArc(partial);
  if (LeavesNoTrace(arc) || !WritesUniques(static_cast<Label>(arc.olabel))) return after;
  const std::uint64_t key = (std::uint64_t{static_cast<std::uint32_t>(arc.olabel)} << 32) | after;
  const auto next_id = static_cast<std::uint32_t>(suffix_ids_.size() + 1);
  return suffix_ids_.try_emplace(key, next_id).first->second;
}

bool OrderedPaths::WritesUniques(Label label) {
  if (label == 0) return !zero_writes_nothing_;
  const auto known = writes_uniques_.find(label);
  if (known != writes_uniques_.end()) return known->second;
  LabelSequence uniques;
  AppendDecomposition(output_clusters_, veto_, label, uniques);
  return writes_uniques_.emplace(label, !uniques.empty()).first->second;
}

// Pushes the entry of the super-initial state's arc into `pair`, with the
// final weight, when `pair` ends the word and is final.
void OrderedPaths::PushIfFinal(std::uint32_t pair) {
  const float final_weight = graph_.FinalWeightAtEnd(pair);
  if (final_weight == kInfinity) return;
  Push(pair, kNone, nullptr, 0.0f + LatticeWeight(final_weight));
}

// Adds a partial path and its entry; returns a copy of the entry.
QueueEntry OrderedPaths::Push(std::uint32_t pair, std::uint32_t parent, const Arc *arc,
                              float backward) {
  const auto id = static_cast<std::uint32_t>(partial_paths_.size());
  const float key = graph_.pairs()[pair].distance + backward;
  if (key == kInfinity) overflowed_ = true;
  partial_paths_.push_back({pair, parent, arc, backward});
  const QueueEntry entry{key, id, false};
  Enqueue(entry);
  return entry;
}

void OrderedPaths::Enqueue(const QueueEntry &entry) {
  queue_.push_back(entry);
  std::push_heap(queue_.begin(), queue_.end(), InQueueOrder{});
}

// The record of the path that starts with partial path `first`, as
// reading OpenFst's result path would make it. That path begins with two
// epsilon arcs of weight 0, which leave no trace, and ends with an
// epsilon arc carrying the final weight.
void OrderedPaths::Read(std::uint32_t first, FoundPath &found) const {
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
Arc OrderedPaths::ResultArc(const PartialPath &partial) const {
  if (partial.parent == kNone) {
    return Arc(0, 0, LatticeWeight(graph_.FinalWeightAtEnd(partial.pair)), 0);
  }
  const Arc &arc = *partial.arc;
  return Arc(arc.ilabel, arc.olabel, LatticeWeight(arc.weight.Value()), 0);
}

// Reads as Read does, except that when an earlier path of the word wrote
// the same output labels, and so has the same uniques, it reads only the
// weight. Most paths are other alignments of a pronunciation already read.
void OrderedPaths::ReadWeightIfOutputKnown(std::uint32_t first, FoundPath &found) {
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

namespace {

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

// How the passes end when settling stops short; nothing when it is done.
std::optional<PassesEnd> EndAfter(SettleStep step) {
  switch (step) {
    case SettleStep::kDone:
      return std::nullopt;
    case SettleStep::kOverBudget:
      return PassesEnd::kOverBudget;
    case SettleStep::kCancelled:
      return PassesEnd::kCancelled;
  }
  return std::nullopt;
}

}  // namespace

PassesEnd RunPasses(OrderedPaths &paths, std::uint64_t nbest, bool accumulate,
                    const DirectSearchBudget &budget, PathCollection &collection) {
  const PathRequests requests = PathRequestsFor(nbest);
  std::vector<FoundPath> run;
  std::uint64_t requested = requests.first;
  std::uint64_t asked = std::min(requested, kLargestRequest);
  paths.StartPass(asked);
  collection = PathCollection();
  // What SearchNbest spends reading paths, over all passes (it counts per
  // pass); half its budget, since its paths may be walked a little
  // differently.
  std::uint64_t walked = 0;
  std::uint64_t kept = 0;
  for (;;) {
    bool exhausted = false;
    while (collection.keys.size() < nbest && !exhausted) {
      switch (paths.NextPath(run)) {
        case OrderedPaths::Next::kPath:
          if (run.size() > 1 &&
              !RunReadsTheSame(run, collection, nbest, accumulate,
                               paths.completed() > paths.request())) {
            return PassesEnd::kUnsure;
          }
          for (FoundPath &found : run) {
            walked += found.arcs + 3;
            if (found.uniques_only != nullptr) {
              if (MergeIntoKnownKey(*found.uniques_only, found.record.path_weight, accumulate,
                                    collection)) {
                continue;
              }
              paths.ReadRecord(found);
            }
            kept += MergePath(found.record, accumulate, collection);
            if (collection.keys.size() >= nbest) break;
          }
          if (2 * walked >= budget.walked_arcs || 2 * kept >= budget.kept_arcs) {
            return PassesEnd::kUnsure;
          }
          continue;
        case OrderedPaths::Next::kFull:
          break;
        case OrderedPaths::Next::kExhausted:
          exhausted = true;
          continue;
        case OrderedPaths::Next::kBeyond:
          if (const std::optional<PassesEnd> end = EndAfter(paths.Widen())) return *end;
          continue;
        case OrderedPaths::Next::kUnsure:
          return PassesEnd::kUnsure;
        case OrderedPaths::Next::kCancelled:
          return PassesEnd::kCancelled;
      }
      break;
    }
    if (collection.keys.size() >= nbest) return PassesEnd::kFound;
    if (exhausted) {
      // Every path of the lattice was found, and every later pass finds
      // them again; unless some state was not expanded again, or not one
      // path came out, where SearchNbest takes other turns.
      return paths.pruned() || paths.completed() == 0 ? PassesEnd::kUnsure
                                                        : PassesEnd::kFound;
    }
    if (requested >= requests.cap) return PassesEnd::kFound;
    const std::uint64_t next = NextPathRequest(requested, requests);
    if (std::min(next, kLargestRequest) == asked) return PassesEnd::kFound;
    requested = next;
    asked = std::min(requested, kLargestRequest);
    if (paths.pruned()) {
      paths.StartPass(asked);
      collection = PathCollection();
      walked = 0;
      kept = 0;
    } else {
      // No state reached the limit of expansions: the larger pass takes
      // the very same steps so far, and reads the same paths.
      paths.ExtendPass(asked);
    }
  }
}

PassesEnd RunDistinctPass(OrderedPaths &paths, std::uint64_t nbest,
                          const DirectSearchBudget &budget, PathCollection &collection) {
  const PathRequests requests = PathRequestsFor(nbest);
  const std::uint64_t cap = std::min(requests.cap, kLargestRequest);
  PathCounter counter(paths.graph());
  paths.StartDistinctPass();
  collection = PathCollection();
  FoundPath found;
  // The weights on OpenFst's heap of the first paths of the outputs found.
  std::vector<float> first_weights;
  // Once set, the outputs not found yet all lie past the cap.
  bool rest_past_cap = false;
  PathBounds bounds;
  // Those of the weight last counted towards the cap.
  PathBounds cap_bounds{0, cap, 0, 0};
  // The paths read here are some of those SearchNbest's last pass reads:
  // once they are half its budget for reading, it may be cut short.
  std::uint64_t walked = 0;
  std::uint64_t kept = 0;
  while (collection.keys.size() < nbest && !rest_past_cap) {
    // Each path read is one of OpenFst's: past the cap, no more are read.
    if (paths.completed() > cap) return PassesEnd::kUnsure;
    switch (paths.NextDistinctPath(found)) {
      case OrderedPaths::Next::kPath:
        break;
      case OrderedPaths::Next::kBeyond: {
        // The outputs not found yet weigh more than the paths read so far;
        // once the cap's number of paths is lighter, none of them is read.
        // Counting is skipped while the paths last counted were far fewer:
        // a widening seldom multiplies them by more than that.
        const float counted = counter.CountableWeight(paths.trusted());
        if (!first_weights.empty() && counted > first_weights.back() &&
            cap_bounds.within * kCountGrowthPerWidening >= cap) {
          counter.CountPaths(counted, cap);
          rest_past_cap =
              Locate(counter, counted, requests, cap, false, cap_bounds) == PassPlace::kPastCap;
          if (rest_past_cap) continue;
        }
        if (const std::optional<PassesEnd> end = EndAfter(paths.Widen())) return *end;
        continue;
      }
      case OrderedPaths::Next::kCancelled:
        return PassesEnd::kCancelled;
      default:
        return PassesEnd::kUnsure;
    }
    walked += found.arcs + 3;
    if (2 * walked >= budget.walked_arcs) return PassesEnd::kUnsure;
    if (found.uniques_only != nullptr &&
        MergeIntoKnownKey(*found.uniques_only, found.record.path_weight, false, collection)) {
      continue;
    }
    if (found.uniques_only != nullptr) paths.ReadRecord(found);
    const std::size_t outputs = collection.keys.size();
    kept += MergePath(found.record, false, collection);
    if (2 * kept >= budget.kept_arcs) return PassesEnd::kUnsure;
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
    if (!paths.graph().SettledTo(CountingReach(last_weight))) {
      const float margin = CountingReach(last_weight) - paths.graph().best_complete();
      if (const std::optional<PassesEnd> end = EndAfter(paths.Widen(margin))) return *end;
    }
    counter.CountPaths(last_weight, cap);
  }
  for (std::size_t output = 1; output < first_weights.size(); ++output) {
    const bool last = output + 1 == nbest;
    switch (Locate(counter, first_weights[output], requests, cap, last, bounds)) {
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
  const std::uint64_t walked_last_pass = read * (std::uint64_t{bounds.longest} + 3);
  if ((first_weights.size() > 1 || past_cap) &&
      (bounds.heap_entries > budget.reference_result_states / 2 ||
       2 * walked_last_pass >= budget.walked_arcs || 2 * walked_last_pass >= budget.kept_arcs)) {
    return PassesEnd::kUnsure;
  }
  return PassesEnd::kFound;
}

}  // namespace direct
}  // namespace vurel
