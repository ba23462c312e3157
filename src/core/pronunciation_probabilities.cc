#include "pronunciation_probabilities.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <queue>
#include <unordered_map>
#include <utility>

#include "nbest.h"

namespace vurel {
namespace {

using direct::kNone;
using direct::LatticeWeight;
using direct::PairGraph;

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

}  // namespace

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

}  // namespace vurel
