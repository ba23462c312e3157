#include "distinct_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "nbest.h"
#include "pair_graph.h"

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
    const std::uint64_t key = (std::uint64_t{label} << 32) | after;
    const auto next = static_cast<std::uint32_t>(nodes_.size());
    const auto [found, added] = ids_.try_emplace(key, next);
    if (added) nodes_.push_back({label, after});
    return found->second;
  }

  void Clear() {
    nodes_.resize(1);
    ids_.clear();
  }

 private:
  struct Node {
    Label label;
    std::uint32_t after;
  };
  std::vector<Node> nodes_;
  std::unordered_map<std::uint64_t, std::uint32_t> ids_;
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
    expanded_.clear();
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
      if (!expanded_.insert((std::uint64_t{partial.pair} << 32) | partial.suffix).second) continue;
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
        if (expanded_.contains((std::uint64_t{incoming.from} << 32) | suffix)) continue;
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
    std::sort(found_.begin(), found_.end(), ComesBefore);
    if (found_.size() > count_) found_.resize(count_);
    return std::move(found_);
  }

  // The heaviest weight a pronunciation read may have, after Search.
  float LastWeight() const {
    float last = 0.0f;
    for (const Pronunciation &pronunciation : found_) {
      last = std::max(last, pronunciation.weight);
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

  // A whole path, from the start: the first of its pronunciation is that
  // one's best (a later one lighter by rounding alone replaces it).
  void Complete(std::uint32_t first) {
    Pronunciation read;
    for (std::uint32_t item = first;; item = partial_paths_[item].parent) {
      const PartialPath &partial = partial_paths_[item];
      const Arc arc =
          partial.parent == kNone
              ? Arc(0, 0, LatticeWeight(graph_.FinalWeightAtEnd(partial.pair)), 0)
              : Arc(partial.arc->ilabel, partial.arc->olabel,
                    LatticeWeight(partial.arc->weight.Value()), 0);
      read.weight += arc.weight.Value();
      AppendPathArc(arc, output_clusters_, veto_, read.record);
      if (partial.parent == kNone) break;
    }
    const std::uint32_t suffix = partial_paths_[first].suffix;
    const auto [known, added] = found_index_.try_emplace(suffix, found_.size());
    if (added) {
      // A cycle that writes phonemes makes ever longer pronunciations: the
      // records kept count against the budget.
      kept_arcs_ += read.record.ilabels.size() + 1;
      found_.push_back(std::move(read));
    } else if (read.weight < found_[known->second].weight) {
      found_[known->second] = std::move(read);
    } else {
      return;
    }
    if (found_.size() >= count_) {
      // The count-th lightest weight read so far, and the slack around it.
      std::vector<float> weights;
      weights.reserve(found_.size());
      for (const Pronunciation &pronunciation : found_) weights.push_back(pronunciation.weight);
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
  std::unordered_set<std::uint64_t> expanded_;
  Suffixes suffixes_;
  LabelSequence decomposition_;
  std::vector<Pronunciation> found_;
  std::unordered_map<std::uint32_t, std::size_t> found_index_;
  float cutoff_ = kInfinity;
  float needed_ = kInfinity;
  std::uint64_t kept_arcs_ = 0;
};

// Prefix ids of the pronunciations found: node 0 is the empty prefix; a
// node is `complete` for the pronunciation it spells out in full.
class PrefixTrie {
 public:
  explicit PrefixTrie(const std::vector<Pronunciation> &pronunciations) : nodes_(1) {
    for (std::size_t i = 0; i < pronunciations.size(); ++i) {
      std::uint32_t node = 0;
      for (const Label label : pronunciations[i].record.uniques) {
        const std::uint64_t key = (std::uint64_t{node} << 32) | label;
        const auto [found, added] =
            children_.try_emplace(key, static_cast<std::uint32_t>(nodes_.size()));
        if (added) nodes_.emplace_back();
        node = found->second;
      }
      nodes_[node].pronunciation = i;
    }
  }

  // The node after `labels` from `node`; kNone when no pronunciation goes on
  // that way.
  std::uint32_t Step(std::uint32_t node, const LabelSequence &labels) const {
    for (const Label label : labels) {
      const auto found = children_.find((std::uint64_t{node} << 32) | label);
      if (found == children_.end()) return kNone;
      node = found->second;
    }
    return node;
  }

  // The index of the pronunciation `node` spells, or kNone.
  std::size_t PronunciationAt(std::uint32_t node) const { return nodes_[node].pronunciation; }

 private:
  struct Node {
    std::size_t pronunciation = kNone;
  };
  std::vector<Node> nodes_;
  std::unordered_map<std::uint64_t, std::uint32_t> children_;
};

// The settled pairs grouped in strongly connected components (pairs on a
// cycle of settled arcs share one), the components in an order where each
// comes after every component with an arc into it. Tarjan's algorithm over
// the arcs into each pair, which emits a component once all its
// predecessors' are out.
struct Components {
  std::vector<std::uint32_t> pairs;     // component by component
  std::vector<std::uint32_t> begin;     // where each component starts in `pairs`, then the end
  // Per pair, when the search was done with it: after the pairs it reached
  // through their arcs into it, so in this order most arcs of a cycle lead
  // forwards.
  std::vector<std::uint32_t> finished;
};

Components StronglyConnected(const PairGraph &graph, const std::vector<bool> &kept) {
  const auto &pairs = graph.pairs();
  const auto &arcs = graph.arcs();
  std::vector<std::uint32_t> index(pairs.size(), kNone);
  std::vector<std::uint32_t> low(pairs.size(), 0);
  std::vector<bool> on_stack(pairs.size(), false);
  std::vector<std::uint32_t> open;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;  // pair, next arc into it
  Components components;
  components.finished.assign(pairs.size(), kNone);
  std::uint32_t next_index = 0;
  std::uint32_t next_finished = 0;
  const auto enter = [&](std::uint32_t pair) {
    index[pair] = low[pair] = next_index++;
    open.push_back(pair);
    on_stack[pair] = true;
    calls.push_back({pair, pairs[pair].last_incoming});
  };
  for (const std::uint32_t root : graph.settled_order()) {
    if (!kept[root] || index[root] != kNone) continue;
    enter(root);
    while (!calls.empty()) {
      auto &[pair, next] = calls.back();
      if (next != kNone) {
        const std::uint32_t from = arcs[next].from;
        next = arcs[next].next_incoming;
        if (!kept[from]) continue;
        if (index[from] == kNone) {
          enter(from);
        } else if (on_stack[from]) {
          low[pair] = std::min(low[pair], index[from]);
        }
        continue;
      }
      const std::uint32_t done = pair;
      components.finished[done] = next_finished++;
      calls.pop_back();
      if (!calls.empty()) low[calls.back().first] = std::min(low[calls.back().first], low[done]);
      if (low[done] != index[done]) continue;
      components.begin.push_back(static_cast<std::uint32_t>(components.pairs.size()));
      std::uint32_t member;
      do {
        member = open.back();
        open.pop_back();
        on_stack[member] = false;
        components.pairs.push_back(member);
      } while (member != done);
    }
  }
  components.begin.push_back(static_cast<std::uint32_t>(components.pairs.size()));
  return components;
}

// Whether each pair lies on a path of the settled pairs that weighs at most
// `bound`: its distance from the start plus its shortest distance to the end
// (Dijkstra's algorithm backwards over the settled arcs) within it.
std::vector<bool> OnPathsWithin(const PairGraph &graph, double bound) {
  const auto &pairs = graph.pairs();
  const auto &arcs = graph.arcs();
  std::vector<double> to_end(pairs.size(), std::numeric_limits<double>::infinity());
  using Entry = std::pair<double, std::uint32_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
  // A route past the bound is never offered; a lighter route from the same
  // pair is offered on its own.
  const auto offer = [&](std::uint32_t pair, double distance) {
    if (distance < to_end[pair] && pairs[pair].distance + distance <= bound) {
      to_end[pair] = distance;
      heap.push({distance, pair});
    }
  };
  for (const std::uint32_t pair : graph.final_pairs()) {
    offer(pair, LatticeWeight(graph.FinalWeightAtEnd(pair)));
  }
  std::vector<bool> within(pairs.size(), false);
  while (!heap.empty()) {
    const auto [distance, pair] = heap.top();
    heap.pop();
    // Paths through a pair's predecessors to the end through it weigh at
    // least as much as its own best one.
    if (distance > to_end[pair] || within[pair]) continue;
    within[pair] = true;
    for (std::uint32_t i = pairs[pair].last_incoming; i != kNone; i = arcs[i].next_incoming) {
      offer(arcs[i].from, distance + LatticeWeight(arcs[i].arc->weight.Value()));
    }
  }
  return within;
}

// Sums of the paths reaching a cycle's pairs are taken round it again and
// again, until no sum moves by more than this share of itself, at most this
// many times; a cycle that holds almost all the mass takes longer, and the
// word goes to the reference.
constexpr double kConvergence = 1e-8;
constexpr int kMostRounds = 10000;

// Sets the probability of each of `pronunciations` from the sums of the
// paths over the settled pairs that lie on paths within `bound`; false when
// the sums round a cycle do not converge.
//
// A pair's sums are kept as multiples of e^-distance, its best path's
// probability: an arc from `from` to `to` of weight w then carries
// e^-(distance(from) + w - distance(to)) of each sum of `from`, a factor of
// at most 1 computed once per arc, and the sums need no logarithms.
bool SetProbabilities(const PairGraph &graph, double bound, const ClusterTable &output_clusters,
                      const VetoSet &veto, std::vector<Pronunciation> &pronunciations) {
  const std::vector<bool> kept = OnPathsWithin(graph, bound);
  const auto &pairs = graph.pairs();
  const auto &arcs = graph.arcs();
  const PrefixTrie trie(pronunciations);
  // Per pair: the sum over all paths from the start, and over those whose
  // uniques so far are a prefix of a pronunciation, by prefix.
  std::vector<double> total(pairs.size(), 0.0);
  std::vector<std::vector<std::pair<std::uint32_t, double>>> by_prefix(pairs.size());
  std::vector<double> factors(arcs.size(), -1.0);
  // What each output label adds to uniques, by label.
  std::vector<std::optional<LabelSequence>> decompositions;
  const auto decomposition = [&](Label label) -> const LabelSequence & {
    if (label >= decompositions.size()) decompositions.resize(label + 1);
    if (!decompositions[label]) {
      decompositions[label].emplace();
      AppendDecomposition(output_clusters, veto, label, *decompositions[label]);
    }
    return *decompositions[label];
  };
  std::vector<std::pair<std::uint32_t, double>> sums;
  // Sums `pair`'s paths anew from those of its predecessors; returns by what
  // share of themselves its sums moved.
  const auto sum_into = [&](std::uint32_t pair) {
    sums.clear();
    double sum_total = 0.0;
    if (pair == graph.start_pair()) {
      sum_total = 1.0;
      sums.push_back({0, 1.0});
    }
    for (std::uint32_t i = pairs[pair].last_incoming; i != kNone; i = arcs[i].next_incoming) {
      const direct::PairArc &incoming = arcs[i];
      if (!kept[incoming.from]) continue;
      if (factors[i] < 0.0) {
        factors[i] = std::exp(static_cast<double>(pairs[pair].distance) -
                              pairs[incoming.from].distance -
                              LatticeWeight(incoming.arc->weight.Value()));
      }
      const double factor = factors[i];
      sum_total += total[incoming.from] * factor;
      const LabelSequence &labels = decomposition(static_cast<Label>(incoming.arc->olabel));
      for (const auto &[node, sum] : by_prefix[incoming.from]) {
        const std::uint32_t next = trie.Step(node, labels);
        if (next == kNone) continue;
        const auto same = std::find_if(sums.begin(), sums.end(),
                                       [next](const auto &entry) { return entry.first == next; });
        if (same == sums.end()) {
          sums.push_back({next, sum * factor});
        } else {
          same->second += sum * factor;
        }
      }
    }
    const auto share = [](double before, double after) {
      return after == before ? 0.0 : std::fabs(after - before) / after;
    };
    double moved = sums.size() == by_prefix[pair].size() ? share(total[pair], sum_total) : 1.0;
    for (std::size_t i = 0; i < sums.size() && moved < 1.0; ++i) {
      const auto &old = by_prefix[pair][i];
      moved = old.first != sums[i].first ? 1.0 : std::max(moved, share(old.second, sums[i].second));
    }
    total[pair] = sum_total;
    by_prefix[pair].assign(sums.begin(), sums.end());
    return moved;
  };
  Components components = StronglyConnected(graph, kept);
  for (std::size_t c = 0; c + 1 < components.begin.size(); ++c) {
    const auto first = components.pairs.begin() + components.begin[c];
    const auto last = components.pairs.begin() + components.begin[c + 1];
    // Round a cycle in an order where most arcs lead forwards: the sums
    // then move less at each round.
    std::sort(first, last, [&](std::uint32_t lhs, std::uint32_t rhs) {
      return components.finished[lhs] < components.finished[rhs];
    });
    const bool cycle = last - first > 1 || [&] {
      for (std::uint32_t i = pairs[*first].last_incoming; i != kNone; i = arcs[i].next_incoming) {
        if (arcs[i].from == *first) return true;
      }
      return false;
    }();
    if (!cycle) {
      sum_into(*first);
      continue;
    }
    for (int round = 0;; ++round) {
      if (round == kMostRounds) return false;
      double moved = 0.0;
      for (auto pair = first; pair != last; ++pair) moved = std::max(moved, sum_into(*pair));
      if (moved <= kConvergence) break;
    }
  }
  // Each final pair's sums, as multiples of e^-best.
  const double best = graph.best_complete();
  double word = 0.0;
  std::vector<double> each(pronunciations.size(), 0.0);
  for (const std::uint32_t pair : graph.final_pairs()) {
    if (!kept[pair]) continue;
    const double scale = std::exp(best - pairs[pair].distance -
                                  LatticeWeight(graph.FinalWeightAtEnd(pair)));
    word += total[pair] * scale;
    for (const auto &[node, sum] : by_prefix[pair]) {
      const std::size_t index = trie.PronunciationAt(node);
      if (index != kNone) each[index] += sum * scale;
    }
  }
  if (!(word > 0.0) || !std::isfinite(word)) return false;
  for (std::size_t i = 0; i < pronunciations.size(); ++i) {
    pronunciations[i].probability = std::min(1.0, each[i] / word);
  }
  return true;
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
                                    const std::atomic<bool> *cancel) {
  if (count == 0 || acceptor.NumStates() == 0) return {};
  if (direct::ReadsEpsilon(acceptor)) return Outcome(DirectSearchOutcome::kUnsure);
  std::optional<EndBounds> to_end;
  if (quotient != nullptr && count > 1) to_end.emplace(*quotient, acceptor, budget.lattice_states);
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
        // the search keeps below the bound, and a little more.
        margin = std::max(margin * kMarginGrowth,
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
    const float reach = std::max(margin, search.LastWeight() - best + kProbabilityMargin);
    if (const SettleStep step = graph.SettleWithin(reach); step != SettleStep::kDone) {
      return Failed(step);
    }
    if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
    result.pronunciations = search.TakeFound();
    if (!SetProbabilities(graph, static_cast<double>(best) + reach, output_clusters, veto,
                          result.pronunciations)) {
      return Outcome(DirectSearchOutcome::kUnsure);
    }
    return result;
  }
  result.pronunciations = search.TakeFound();
  if (graph.overflowed()) return Outcome(DirectSearchOutcome::kUnsure);
  return result;
}

}  // namespace vurel
