#include "distinct/distinct_search.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "distinct/pronunciation_probabilities.h"
#include "reference/nbest.h"
#include "search/pair_graph.h"
#include "util/flat_index.h"
#include "util/thread_spare.h"

namespace vurel {
namespace {

using direct::kCancelCheckInterval;
using direct::kInfinity;
using direct::kNone;
using direct::LatticeWeight;
using direct::PairGraph;
using direct::SettleStep;

// The first margin above the best path within which pairs are settled, and
// how it grows at least when the pronunciations wanted lie beyond it. One
// pronunciation needs only the paths that might tie with the best. The
// backward search goes on where it stopped, so small steps cost little,
// while a large one settles pairs that no pronunciation wanted needs.
constexpr float kFirstMarginOnePronunciation = 1.0f / 64.0f;
constexpr float kFirstMarginManyPronunciations = 4.0f;
constexpr float kMarginGrowth = 1.0625f;

// How far a partial path's key (the pair's distance from the start plus its
// weight summed from the end) may lie from the weight of the whole paths it
// leads to, read from the start: both are single-precision sums in different
// orders. Pronunciations within this of the last one wanted are all read,
// so that rounding cannot decide which of them is kept.
float KeySlack(float weight) { return 1.0f / 1024.0f + weight / 8192.0f; }

// A partial path: from `pair` to the end of the word, through `arc` to the
// pair of `parent` (kNone: the end itself, through the final weight).
// `suffix` names the uniques it writes from its pair to the end; `backward`
// is its weight summed from the end. Once it goes on, `expansion` is its
// place among those that did, and `next_at_pair` the one before it at its
// pair.
struct PartialPath {
  std::uint32_t pair;
  std::uint32_t parent;
  const Arc *arc;
  std::uint32_t suffix;
  float backward;
  std::uint32_t expansion = kNone;
  std::uint32_t next_at_pair = kNone;
};

// Entries of equal keys are taken in the order a search from scratch over
// the same pairs would make them: the final pairs in the order settled,
// then the extensions of each partial path that goes on, in the order they
// go on, each one's arcs newest first. Searches that go on after more pairs
// are settled then take the very entries a search from scratch would.
std::uint64_t OrderOfFinal(std::size_t index) { return index; }
std::uint64_t OrderOfExtension(std::uint32_t expansion, std::uint32_t arc) {
  return ((std::uint64_t{expansion} + 1) << 32) | (~arc & 0xFFFFFFFFu);
}

struct HeapEntry {
  float key;
  std::uint64_t order;
  std::uint32_t item;
  // std::push_heap keeps the largest first: the lightest key, then the
  // first made.
  bool operator<(const HeapEntry &other) const {
    return key != other.key ? key > other.key : order > other.order;
  }
};

// A partial path whose key lies past the pairs settled so far: it is made
// (its suffix read) only once they reach it.
struct Waiting {
  float key;
  std::uint64_t order;
  std::uint32_t pair;
  std::uint32_t parent;
  std::uint32_t arc;  // the PairArc it takes (kNone: the final weight)
  float backward;
  bool operator<(const Waiting &other) const {
    return key != other.key ? key > other.key : order > other.order;
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
    nodes_.resize(1);
    ids_.Clear();
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

// The best whole path read of a pronunciation, by the partial path that
// starts it; records are made only of those kept.
struct Found {
  float weight;
  std::uint32_t item;
};

// What a search fills. Each thread keeps the tables of its last search for
// the next one, as it keeps the pair graph's buffers.
struct SearchTables {
  std::vector<PartialPath> partial_paths;
  std::vector<HeapEntry> heap;
  std::vector<Waiting> waiting;
  // Per pair, the last partial path that went on there (kNone: none).
  std::vector<std::uint32_t> first_at_pair;
  // The (pair, suffix) of the partial paths that went on.
  FlatIndex expanded;
  Suffixes suffixes;
  LabelSequence decomposition;
  std::vector<Found> found;
  std::unordered_map<std::uint32_t, std::size_t> found_index;

  void Clear() {
    partial_paths.clear();
    heap.clear();
    waiting.clear();
    first_at_pair.clear();
    expanded.Clear();
    suffixes.Clear();
    found.clear();
    found_index.clear();
  }
};

// Tables that grew past this many partial paths are freed rather than kept.
constexpr std::size_t kLargestKeptPartialPaths = std::size_t{1} << 18;

enum class Run { kDone, kBeyond, kOverBudget, kCancelled, kOverflow };

class DistinctSearch {
 public:
  DistinctSearch(PairGraph &graph, std::uint64_t count, const ClusterTable &output_clusters,
                 const VetoSet &veto, const DirectSearchBudget &budget)
      : graph_(graph), count_(count), output_clusters_(output_clusters), veto_(veto),
        budget_(budget),
        tables_(ThreadSpare<SearchTables>::Take()),
        partial_paths_(tables_->partial_paths), heap_(tables_->heap), waiting_(tables_->waiting),
        first_at_pair_(tables_->first_at_pair), expanded_(tables_->expanded),
        suffixes_(tables_->suffixes), decomposition_(tables_->decomposition),
        found_(tables_->found), found_index_(tables_->found_index) {}

  ~DistinctSearch() {
    if (partial_paths_.capacity() > kLargestKeptPartialPaths) return;
    tables_->Clear();
    ThreadSpare<SearchTables>::Keep(std::move(tables_));
  }
  DistinctSearch(const DistinctSearch &) = delete;
  DistinctSearch &operator=(const DistinctSearch &) = delete;

  // A* over the pairs settled so far, from the end of the word backwards,
  // going on from where the last run stopped: the entries it left past the
  // pairs then settled, and the arcs settled since into pairs where partial
  // paths went on, join the heap. kDone once the `count` best
  // pronunciations (or all there are) are read with every one within
  // KeySlack of the last; kBeyond when they may lie past the pairs settled.
  Run Search() {
    const float trusted = graph_.all_settled() ? kInfinity
                                               : graph_.bound() - 2.0f * KeySlack(graph_.bound());
    OfferNewFinalPairs(trusted);
    OfferNewArcs(trusted);
    TakeWaitingWithin(trusted);
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
      std::pop_heap(heap_.begin(), heap_.end());
      const std::uint32_t item = heap_.back().item;
      heap_.pop_back();
      const std::uint32_t pair = partial_paths_[item].pair;
      // The first partial path taken at a pair with given phonemes to the
      // end is the lightest; any later one leads to no better pronunciation.
      const std::uint64_t expanded = (std::uint64_t{pair} << 32) | partial_paths_[item].suffix;
      const std::size_t expanded_before = expanded_.size();
      expanded_.FindOrInsert(expanded, 0);
      if (expanded_.size() == expanded_before) continue;
      if (first_at_pair_.size() <= pair) first_at_pair_.resize(graph_.pairs().size(), kNone);
      partial_paths_[item].expansion = expansions_++;
      partial_paths_[item].next_at_pair = first_at_pair_[pair];
      first_at_pair_[pair] = item;
      if (pair == graph_.start_pair()) Complete(item);
      for (std::uint32_t i = graph_.pairs()[pair].last_incoming; i != kNone;
           i = graph_.arcs()[i].next_incoming) {
        Extend(item, i, trusted);
      }
      if (partial_paths_.size() + waiting_.size() > budget_.partial_paths ||
          kept_arcs_ > budget_.kept_arcs) {
        return Run::kOverBudget;
      }
    }
    needed_ = waiting_.empty() ? kInfinity : waiting_.front().key;
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
      PathData &record = pronunciations[i].record;
      std::size_t arcs = 0;
      for (std::uint32_t item = found_[i].item; item != kNone; item = partial_paths_[item].parent) {
        ++arcs;
      }
      record.ilabels.reserve(arcs);
      record.olabels.reserve(arcs);
      record.path_weights.reserve(arcs);
      record.uniques.reserve(arcs);
      for (std::uint32_t item = found_[i].item; item != kNone; item = partial_paths_[item].parent) {
        AppendPathArc(ArcOf(partial_paths_[item]), output_clusters_, veto_, record);
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
  void Push(const PartialPath &partial, float key, std::uint64_t order) {
    const auto id = static_cast<std::uint32_t>(partial_paths_.size());
    partial_paths_.push_back(partial);
    heap_.push_back({key, order, id});
    std::push_heap(heap_.begin(), heap_.end());
  }

  // Offers the partial path that takes the arc `arc_id` of the graph in
  // front of `item`, which went on: to the heap, or to wait past `trusted`.
  void Extend(std::uint32_t item, std::uint32_t arc_id, float trusted) {
    const PartialPath &partial = partial_paths_[item];
    const direct::PairArc &incoming = graph_.arcs()[arc_id];
    const float backward = partial.backward + LatticeWeight(incoming.arc->weight.Value());
    const float key = graph_.pairs()[incoming.from].distance + backward;
    const std::uint64_t order = OrderOfExtension(partial.expansion, arc_id);
    if (key > trusted) {
      Wait({key, order, incoming.from, item, arc_id, backward});
      return;
    }
    const std::uint32_t suffix = SuffixThrough(*incoming.arc, partial.suffix);
    if (expanded_.Find((std::uint64_t{incoming.from} << 32) | suffix) != FlatIndex::kAbsent) return;
    Push({incoming.from, item, incoming.arc, suffix, backward}, key, order);
  }

  // Makes the waiting entries within `trusted` partial paths on the heap.
  void TakeWaitingWithin(float trusted) {
    while (!waiting_.empty() && waiting_.front().key <= trusted) {
      std::pop_heap(waiting_.begin(), waiting_.end());
      const Waiting entry = waiting_.back();
      waiting_.pop_back();
      if (entry.parent == kNone) {
        Push({entry.pair, kNone, nullptr, 0, entry.backward}, entry.key, entry.order);
        continue;
      }
      const Arc *arc = graph_.arcs()[entry.arc].arc;
      const std::uint32_t suffix = SuffixThrough(*arc, partial_paths_[entry.parent].suffix);
      Push({entry.pair, entry.parent, arc, suffix, entry.backward}, entry.key, entry.order);
    }
  }

  // Entries past `trusted` would not be taken in this run: they wait.
  void Wait(const Waiting &entry) {
    waiting_.push_back(entry);
    std::push_heap(waiting_.begin(), waiting_.end());
  }

  // The whole paths through the final pairs settled since the last run.
  void OfferNewFinalPairs(float trusted) {
    const auto &final_pairs = graph_.final_pairs();
    for (; finals_offered_ < final_pairs.size(); ++finals_offered_) {
      const std::uint32_t pair = final_pairs[finals_offered_];
      const float backward = LatticeWeight(graph_.FinalWeightAtEnd(pair));
      const float key = graph_.pairs()[pair].distance + backward;
      const std::uint64_t order = OrderOfFinal(finals_offered_);
      if (key > trusted) {
        Wait({key, order, pair, kNone, kNone, backward});
      } else {
        Push({pair, kNone, nullptr, 0, backward}, key, order);
      }
    }
  }

  // The arcs settled since the last run into pairs where partial paths went
  // on: those took the pair's arcs known then, and take these now.
  void OfferNewArcs(float trusted) {
    const auto &arcs = graph_.arcs();
    // Before any partial path went on, no arc has one to join; the start
    // closure alone holds thousands of arcs on some models.
    if (first_at_pair_.empty()) arcs_offered_ = arcs.size();
    for (; arcs_offered_ < arcs.size(); ++arcs_offered_) {
      const std::uint32_t to = arcs[arcs_offered_].to;
      if (to >= first_at_pair_.size()) continue;
      for (std::uint32_t item = first_at_pair_[to]; item != kNone;
           item = partial_paths_[item].next_at_pair) {
        Extend(item, static_cast<std::uint32_t>(arcs_offered_), trusted);
      }
    }
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

  std::unique_ptr<SearchTables> tables_;
  std::vector<PartialPath> &partial_paths_;
  std::vector<HeapEntry> &heap_;
  std::vector<Waiting> &waiting_;
  std::vector<std::uint32_t> &first_at_pair_;
  FlatIndex &expanded_;
  Suffixes &suffixes_;
  LabelSequence &decomposition_;
  std::vector<Found> &found_;
  std::unordered_map<std::uint32_t, std::size_t> &found_index_;
  std::uint32_t expansions_ = 0;
  std::size_t finals_offered_ = 0;
  std::size_t arcs_offered_ = 0;
  float cutoff_ = kInfinity;
  float needed_ = kInfinity;
  std::uint64_t kept_arcs_ = 0;
};

// Short words spread their mass further above the best path: on the 1,000
// words of the report, most of 3 to 5 letters needed a reach of 20 to 24,
// most of 6 letters 20 and most of 7 or more 18. Starting there spares
// sums that would only tell that the reach was too short (7% of the work
// on 300 other words).
float FirstProbabilityReach(std::uint32_t letters) {
  if (letters <= 5) return kProbabilityReach + 2.0f * kProbabilityStep;
  if (letters <= 6) return kProbabilityReach + kProbabilityStep;
  return kProbabilityReach;
}

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
                                    const std::atomic<bool> *cancel,
                                    const UnboundedStates *unbounded) {
  if (count == 0 || acceptor.NumStates() == 0) return {};
  if (direct::ReadsEpsilon(acceptor)) return Outcome(DirectSearchOutcome::kUnsure);
  std::optional<EndBounds> to_end;
  if (quotient != nullptr) {
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
    const float first_reach = std::max(margin, FirstProbabilityReach(graph.end_position()));
    // Most words of a model with unbounded states reach one a step or two
    // past the pairs settled already: looking step by step settles fewer.
    for (float reach = margin; unbounded != nullptr && !unbounded->empty() && reach < first_reach;
         reach += kProbabilityStep) {
      if (ReachesUnboundedState(graph, static_cast<double>(best) + reach, *unbounded)) {
        result.probabilities_undefined = true;
        return result;
      }
      if (const SettleStep step = graph.SettleWithin(reach + kProbabilityStep);
          step != SettleStep::kDone) {
        return Failed(step);
      }
    }
    double further = kProbabilityStep;
    for (float reach = first_reach;; reach += static_cast<float>(further)) {
      if (const SettleStep step = graph.SettleWithin(reach); step != SettleStep::kDone) {
        return Failed(step);
      }
      if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
      const double bound = graph.all_settled() ? std::numeric_limits<double>::infinity()
                                               : static_cast<double>(best) + reach;
      static const UnboundedStates kNoneUnbounded;
      switch (SetProbabilities(graph, bound, kProbabilityShell, output_clusters, veto,
                               unbounded != nullptr ? *unbounded : kNoneUnbounded,
                               result.pronunciations, further)) {
        case ProbabilitySums::kSet:
          return result;
        case ProbabilitySums::kTooNarrow:
          continue;
        case ProbabilitySums::kUnsure:
          return Outcome(DirectSearchOutcome::kUnsure);
        case ProbabilitySums::kUndefined:
          result.probabilities_undefined = true;
          return result;
      }
    }
  }
  result.pronunciations = search.TakeFound();
  if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
  return result;
}

}  // namespace vurel
