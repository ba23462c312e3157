#include "distinct_search.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

#include "flat_index.h"
#include "nbest.h"
#include "pair_graph.h"
#include "pronunciation_probabilities.h"

namespace vurel {
namespace {

using direct::kCancelCheckInterval;
using direct::kInfinity;
using direct::kNone;
using direct::LatticeWeight;
using direct::PairGraph;
using direct::SettleStep;

// The first margin above the best path within which pairs are settled, and
// how it grows when the pronunciations wanted lie beyond it. One
// pronunciation needs only the paths that might tie with the best.
constexpr float kFirstMarginOnePronunciation = 1.0f / 64.0f;
constexpr float kFirstMarginManyPronunciations = 4.0f;
constexpr float kMarginGrowth = 1.25f;

// How far a partial path's key (the pair's distance from the start plus its
// weight summed from the end) may lie from the weight of the whole paths it
// leads to, read from the start: both are single-precision sums in different
// orders. Pronunciations within this of the last one wanted are all read,
// so that rounding cannot decide which of them is kept.
float KeySlack(float weight) { return 1.0f / 1024.0f + weight / 8192.0f; }

// A partial path: from `pair` to the end of the word, through `arc` to the
// pair of `parent` (kNone: the end itself, through the final weight).
// `suffix` names the uniques it writes from its pair to the end; `backward`
// is its weight summed from the end.
struct PartialPath {
  std::uint32_t pair;
  std::uint32_t parent;
  const Arc *arc;
  std::uint32_t suffix;
  float backward;
};

struct HeapEntry {
  float key;
  std::uint32_t item;
  // std::push_heap keeps the largest first: the lightest key, then the
  // oldest entry, which makes the order of equal keys the heap's no more.
  bool operator<(const HeapEntry &other) const {
    return key != other.key ? key > other.key : item > other.item;
  }
};

// Ids of uniques sequences read from the end: id 0 is the empty one, and
// each other id stands for a label in front of the sequence of an earlier id.
class Suffixes {
 public:
  Suffixes() : nodes_(1, {0, kNone}) {}

  std::uint32_t Prepend(Label label, std::uint32_t after) {
    const auto next = static_cast<std::uint32_t>(nodes_.size());
    const std::uint32_t id = ids_.FindOrInsert(KeyOf(label, after), next);
    if (id == next) nodes_.push_back({label, after});
    return id;
  }

  void Clear() {
    // Node 0, the empty sequence, is not in the index; its key only empties
    // slots that are empty in the end anyway.
    ids_.ClearKeys(nodes_, [](const Node &node) { return KeyOf(node.label, node.after); });
    nodes_.resize(1);
  }

 private:
  struct Node {
    Label label;
    std::uint32_t after;
  };

  static std::uint64_t KeyOf(Label label, std::uint32_t after) {
    return (std::uint64_t{label} << 32) | after;
  }

  std::vector<Node> nodes_;
  FlatIndex ids_;
};

enum class Run { kDone, kBeyond, kOverBudget, kCancelled, kOverflow };

class DistinctSearch {
 public:
  DistinctSearch(PairGraph &graph, std::uint64_t count, const ClusterTable &output_clusters,
                 const VetoSet &veto, const DirectSearchBudget &budget)
      : graph_(graph), count_(count), output_clusters_(output_clusters), veto_(veto),
        budget_(budget) {}

  // A* over the pairs settled so far, from the end of the word backwards.
  // kDone once the `count` best pronunciations (or all there are) are read
  // with every one within KeySlack of the last; kBeyond when they may lie
  // past the pairs settled.
  Run Search() {
    partial_paths_.clear();
    heap_.clear();
    expanded_.ClearKeys(expanded_keys_, [](std::uint64_t key) { return key; });
    expanded_keys_.clear();
    suffixes_.Clear();
    found_.clear();
    found_index_.clear();
    kept_arcs_ = 0;
    cutoff_ = kInfinity;
    const float trusted = graph_.all_settled() ? kInfinity
                                               : graph_.bound() - 2.0f * KeySlack(graph_.bound());
    // Entries past `trusted` would never be taken in this run: they are
    // not kept, only the lightest of their keys, to widen the pairs to.
    float lightest_left_out = kInfinity;
    const auto offer = [&](std::uint32_t pair, std::uint32_t parent, const Arc *arc,
                           std::uint32_t suffix, float backward) {
      const float key = graph_.pairs()[pair].distance + backward;
      if (key > trusted) {
        lightest_left_out = std::min(lightest_left_out, key);
        return;
      }
      Push(pair, parent, arc, suffix, backward, key);
    };
    for (const std::uint32_t pair : graph_.final_pairs()) {
      offer(pair, kNone, nullptr, 0, LatticeWeight(graph_.FinalWeightAtEnd(pair)));
    }
    std::uint64_t steps = 0;
    while (!heap_.empty()) {
      if (++steps % kCancelCheckInterval == 0 && graph_.Cancelled()) return Run::kCancelled;
      const float key = heap_.front().key;
      if (key == kInfinity) return Run::kOverflow;
      if (key > cutoff_ ||
          (found_.size() >= count_ && found_.size() - count_ >= kMostTiedPronunciations)) {
        needed_ = cutoff_;
        return cutoff_ <= trusted ? Run::kDone : Run::kBeyond;
      }
      if (key > trusted) {
        needed_ = std::min(key, lightest_left_out);
        return Run::kBeyond;
      }
      std::pop_heap(heap_.begin(), heap_.end());
      const std::uint32_t item = heap_.back().item;
      heap_.pop_back();
      const PartialPath partial = partial_paths_[item];
      // The first partial path taken at a pair with given phonemes to the
      // end is the lightest; any later one leads to no better pronunciation.
      const std::uint64_t expanded = (std::uint64_t{partial.pair} << 32) | partial.suffix;
      const std::size_t expanded_before = expanded_.size();
      expanded_.FindOrInsert(expanded, 0);
      if (expanded_.size() == expanded_before) continue;
      expanded_keys_.push_back(expanded);
      if (partial.pair == graph_.start_pair()) Complete(item);
      const auto &pairs = graph_.pairs();
      const auto &arcs = graph_.arcs();
      for (std::uint32_t i = pairs[partial.pair].last_incoming; i != kNone;
           i = arcs[i].next_incoming) {
        const direct::PairArc &incoming = arcs[i];
        const float backward = partial.backward + LatticeWeight(incoming.arc->weight.Value());
        if (pairs[incoming.from].distance + backward > trusted) {
          lightest_left_out = std::min(lightest_left_out, pairs[incoming.from].distance + backward);
          continue;
        }
        const std::uint32_t suffix = SuffixThrough(*incoming.arc, partial.suffix);
        if (expanded_.Find((std::uint64_t{incoming.from} << 32) | suffix) != FlatIndex::kAbsent) {
          continue;
        }
        offer(incoming.from, item, incoming.arc, suffix, backward);
      }
      if (partial_paths_.size() > budget_.partial_paths || kept_arcs_ > budget_.kept_arcs) {
        return Run::kOverBudget;
      }
    }
    needed_ = lightest_left_out;
    return graph_.all_settled() || (found_.size() >= count_ && cutoff_ <= trusted) ? Run::kDone
                                                                                   : Run::kBeyond;
  }

  // After kBeyond: the weight up to which the pairs must be settled for the
  // search to go on (infinite when it cannot tell).
  float needed() const { return needed_; }

  // The pronunciations read, best first, ties by uniques, at most `count`.
  std::vector<Pronunciation> TakeFound() {
    std::vector<Pronunciation> pronunciations(found_.size());
    for (std::size_t i = 0; i < found_.size(); ++i) {
      pronunciations[i].weight = found_[i].weight;
      for (std::uint32_t item = found_[i].item; item != kNone; item = partial_paths_[item].parent) {
        AppendPathArc(ArcOf(partial_paths_[item]), output_clusters_, veto_,
                      pronunciations[i].record);
      }
    }
    std::sort(pronunciations.begin(), pronunciations.end(), ComesBefore);
    if (pronunciations.size() > count_) pronunciations.resize(count_);
    return pronunciations;
  }

  // The heaviest weight a pronunciation read may have, after Search.
  float LastWeight() const {
    float last = 0.0f;
    for (const Found &found : found_) {
      last = std::max(last, found.weight);
    }
    return last;
  }

 private:
  void Push(std::uint32_t pair, std::uint32_t parent, const Arc *arc, std::uint32_t suffix,
            float backward, float key) {
    const auto id = static_cast<std::uint32_t>(partial_paths_.size());
    partial_paths_.push_back({pair, parent, arc, suffix, backward});
    heap_.push_back({key, id});
    std::push_heap(heap_.begin(), heap_.end());
  }

  // The suffix of a partial path that takes `arc` in front of `after`.
  std::uint32_t SuffixThrough(const Arc &arc, std::uint32_t after) {
    decomposition_.clear();
    AppendDecomposition(output_clusters_, veto_, static_cast<Label>(arc.olabel), decomposition_);
    for (auto label = decomposition_.rbegin(); label != decomposition_.rend(); ++label) {
      after = suffixes_.Prepend(*label, after);
    }
    return after;
  }

  // The lattice arc a partial path takes from its pair: the final weight at
  // the end.
  Arc ArcOf(const PartialPath &partial) const {
    return partial.parent == kNone
               ? Arc(0, 0, LatticeWeight(graph_.FinalWeightAtEnd(partial.pair)), 0)
               : Arc(partial.arc->ilabel, partial.arc->olabel,
                     LatticeWeight(partial.arc->weight.Value()), 0);
  }

  // A whole path, from the start: the first of its pronunciation is that
  // one's best (a later one lighter by rounding alone replaces it).
  void Complete(std::uint32_t first) {
    float weight = 0.0f;
    std::uint64_t arcs = 0;
    for (std::uint32_t item = first; item != kNone; item = partial_paths_[item].parent) {
      weight += ArcOf(partial_paths_[item]).weight.Value();
      ++arcs;
    }
    const std::uint32_t suffix = partial_paths_[first].suffix;
    const auto [known, added] = found_index_.try_emplace(suffix, found_.size());
    if (added) {
      // A cycle that writes phonemes makes ever longer pronunciations: the
      // records kept count against the budget.
      kept_arcs_ += arcs;
      found_.push_back({weight, first});
    } else if (weight < found_[known->second].weight) {
      found_[known->second] = {weight, first};
    } else {
      return;
    }
    if (found_.size() >= count_) {
      // The count-th lightest weight read so far, and the slack around it.
      std::vector<float> weights;
      weights.reserve(found_.size());
      for (const Found &found : found_) weights.push_back(found.weight);
      std::nth_element(weights.begin(), weights.begin() + (count_ - 1), weights.end());
      const float last = weights[count_ - 1];
      cutoff_ = last + KeySlack(last);
    }
  }

  PairGraph &graph_;
  const std::uint64_t count_;
  const ClusterTable &output_clusters_;
  const VetoSet &veto_;
  const DirectSearchBudget &budget_;

  std::vector<PartialPath> partial_paths_;
  std::vector<HeapEntry> heap_;
  // The (pair, suffix) of the partial paths that went on, and their keys.
  FlatIndex expanded_;
  std::vector<std::uint64_t> expanded_keys_;
  Suffixes suffixes_;
  LabelSequence decomposition_;
  // The best whole path read of each pronunciation, by the partial path
  // that starts it; records are made only of those kept.
  struct Found {
    float weight;
    std::uint32_t item;
  };
  std::vector<Found> found_;
  std::unordered_map<std::uint32_t, std::size_t> found_index_;
  float cutoff_ = kInfinity;
  float needed_ = kInfinity;
  std::uint64_t kept_arcs_ = 0;
};

DistinctSearchResult Outcome(DirectSearchOutcome outcome) {
  DistinctSearchResult result;
  result.outcome = outcome;
  return result;
}

DistinctSearchResult Failed(SettleStep step) {
  return Outcome(step == SettleStep::kCancelled ? DirectSearchOutcome::kCancelled
                                                : DirectSearchOutcome::kOverBudget);
}

}  // namespace

DistinctSearchResult SearchDistinct(const ModelFst &model, const StartClosure &start_closure,
                                    const HistoryQuotient *quotient, const VectorFst &acceptor,
                                    std::uint64_t count,
                                    bool probabilities, const ClusterTable &output_clusters,
                                    const VetoSet &veto, const DirectSearchBudget &budget,
                                    const std::atomic<bool> *cancel) {
  if (count == 0 || acceptor.NumStates() == 0) return {};
  if (direct::ReadsEpsilon(acceptor)) return Outcome(DirectSearchOutcome::kUnsure);
  std::optional<EndBounds> to_end;
  if (quotient != nullptr && count > 1) {
    to_end.emplace(*quotient, acceptor, budget.lattice_states, budget.lattice_arcs);
  }
  PairGraph graph(model, start_closure.data(), acceptor, budget, cancel,
                  /*decide_exactness=*/false, to_end ? &*to_end : nullptr);
  if (const SettleStep step = graph.FindBest(); step != SettleStep::kDone) return Failed(step);
  if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
  const float best = graph.best_complete();
  if (best == kInfinity) return {};

  DistinctSearch search(graph, count, output_clusters, veto, budget);
  float margin = count == 1 ? kFirstMarginOnePronunciation : kFirstMarginManyPronunciations;
  for (;;) {
    if (const SettleStep step = graph.SettleWithin(margin); step != SettleStep::kDone) {
      return Failed(step);
    }
    const Run run = search.Search();
    if (run == Run::kDone) break;
    switch (run) {
      case Run::kBeyond:
        // Far enough for the entry that stopped the search, with the slack
        // the search keeps below the bound, and a little more. Where no
        // entry stopped it (the pairs that lead on are not settled, so none
        // of their arcs is known), a step further.
        margin = search.needed() == kInfinity
                     ? margin * kMarginGrowth
                     : std::max(margin * kMarginGrowth,
                                search.needed() + 4.0f * KeySlack(search.needed()) - best);
        continue;
      case Run::kOverBudget:
        return Outcome(DirectSearchOutcome::kOverBudget);
      case Run::kCancelled:
        return Outcome(DirectSearchOutcome::kCancelled);
      default:
        return Outcome(DirectSearchOutcome::kUnsure);
    }
  }
  DistinctSearchResult result;
  result.outcome = DirectSearchOutcome::kFound;
  if (probabilities) {
    result.pronunciations = search.TakeFound();
    for (float reach = std::max(margin, kProbabilityReach);; reach += kProbabilityStep) {
      if (const SettleStep step = graph.SettleWithin(reach); step != SettleStep::kDone) {
        return Failed(step);
      }
      if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
      const double bound = graph.all_settled() ? std::numeric_limits<double>::infinity()
                                               : static_cast<double>(best) + reach;
      switch (SetProbabilities(graph, bound, kProbabilityShell, output_clusters, veto,
                               result.pronunciations)) {
        case ProbabilitySums::kSet:
          return result;
        case ProbabilitySums::kTooNarrow:
          continue;
        case ProbabilitySums::kUnsure:
          return Outcome(DirectSearchOutcome::kUnsure);
      }
    }
  }
  result.pronunciations = search.TakeFound();
  if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
  return result;
}

}  // namespace vurel
