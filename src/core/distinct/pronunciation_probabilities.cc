#include "distinct/pronunciation_probabilities.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "reference/nbest.h"

namespace vurel {
namespace {

using direct::kNone;
using direct::LatticeWeight;
using direct::PairGraph;

constexpr double kUnreached = std::numeric_limits<double>::infinity();

// Distances to the end, least first, for Dijkstra's algorithm: keys taken
// out never decrease. They lie in [0, `most`], cut into as many buckets of
// equal width as there are entries to expect, so that a bucket holds one or
// two and the least of a bucket is found by looking at each; a bucket where
// keys crowd becomes a heap. A heap of all the entries took a dozen steps
// per entry, a radix heap on double keys (whose low bits all differ) moved
// each entry down its buckets as many times.
class DistanceBuckets {
 public:
  struct Entry {
    double key;
    std::uint32_t item;
  };

  DistanceBuckets(double most, std::size_t expected)
      : scale_(most > 0.0 ? static_cast<double>(expected) / most : 0.0),
        first_(expected + 1, kNone) {
    entries_.reserve(expected);
  }

  bool empty() const { return size_ == 0; }

  // `key` must lie in [0, most] and not below the key last taken out.
  void Push(double key, std::uint32_t item) {
    ++size_;
    const std::size_t bucket = Bucket(key);
    if (crowded_ && bucket == current_) {
      heap_.push_back({key, item});
      std::push_heap(heap_.begin(), heap_.end(), Later);
      return;
    }
    entries_.push_back({{key, item}, first_[bucket]});
    first_[bucket] = static_cast<std::uint32_t>(entries_.size() - 1);
  }

  Entry Pop() {
    --size_;
    if (crowded_) return PopHeap();
    while (first_[current_] == kNone) ++current_;
    // Where the least entry of the bucket is linked from. None lies below
    // the last key taken out: one equal to it is the least.
    std::uint32_t *least = &first_[current_];
    std::size_t looked_at = 1;
    for (std::uint32_t *link = &entries_[*least].next;
         *link != kNone && entries_[*least].entry.key != last_; link = &entries_[*link].next) {
      if (++looked_at > kMostLookedAt) {
        for (std::uint32_t at = first_[current_]; at != kNone; at = entries_[at].next) {
          heap_.push_back(entries_[at].entry);
        }
        first_[current_] = kNone;
        std::make_heap(heap_.begin(), heap_.end(), Later);
        crowded_ = true;
        return PopHeap();
      }
      if (entries_[*link].entry.key < entries_[*least].entry.key) least = link;
    }
    const std::uint32_t taken = *least;
    *least = entries_[taken].next;
    last_ = entries_[taken].entry.key;
    return entries_[taken].entry;
  }

 private:
  static constexpr std::size_t kMostLookedAt = 16;

  struct Linked {
    Entry entry;
    std::uint32_t next;  // the entry pushed before it into its bucket
  };

  static bool Later(const Entry &lhs, const Entry &rhs) { return lhs.key > rhs.key; }

  std::size_t Bucket(double key) const {
    return std::min(static_cast<std::size_t>(key * scale_), first_.size() - 1);
  }

  // Takes out the least entry of the crowded bucket, done with it when none
  // is left.
  Entry PopHeap() {
    std::pop_heap(heap_.begin(), heap_.end(), Later);
    const Entry least = heap_.back();
    heap_.pop_back();
    last_ = least.key;
    if (heap_.empty()) crowded_ = false;
    return least;
  }

  double scale_;
  std::vector<std::uint32_t> first_;  // per bucket, its newest entry
  std::vector<Linked> entries_;
  std::size_t current_ = 0;  // the bucket being taken out
  // Whether it is crowded, its entries in `heap_`.
  bool crowded_ = false;
  std::vector<Entry> heap_;
  std::size_t size_ = 0;
  double last_ = 0.0;
};

// Prefix ids of the pronunciations found: node 0 is the empty prefix, and
// PronunciationAt tells which pronunciation a node spells out in full.
// Children sit in one open-addressing table.
class PrefixTrie {
 public:
  explicit PrefixTrie(const std::vector<Pronunciation> &pronunciations) : pronunciation_(1, kNone) {
    std::size_t labels = 0;
    for (const Pronunciation &pronunciation : pronunciations) {
      labels += pronunciation.record.uniques.size();
    }
    keys_.assign(std::bit_ceil(2 * labels + 2), kEmpty);
    children_.resize(keys_.size());
    for (std::size_t i = 0; i < pronunciations.size(); ++i) {
      std::uint32_t node = 0;
      for (const Label label : pronunciations[i].record.uniques) {
        const std::uint64_t key = Key(node, label);
        std::size_t slot = Slot(key);
        while (keys_[slot] != kEmpty && keys_[slot] != key) slot = (slot + 1) & (keys_.size() - 1);
        if (keys_[slot] == kEmpty) {
          keys_[slot] = key;
          children_[slot] = static_cast<std::uint32_t>(pronunciation_.size());
          pronunciation_.push_back(kNone);
          if (label >= parents_.size()) parents_.resize(label + 1, 0);
          parents_[label] |= Bit(node);
        }
        node = children_[slot];
      }
      pronunciation_[node] = i;
    }
  }

  std::size_t size() const { return pronunciation_.size(); }

  // A set of nodes as a mask: nodes from 63 on share the last bit, so a
  // mask may hold more nodes than asked, never fewer.
  static std::uint64_t Bit(std::uint32_t node) {
    return std::uint64_t{1} << std::min<std::uint32_t>(node, 63);
  }

  // The node after [first, last) from `node`; kNone when no pronunciation
  // goes on that way.
  std::uint32_t Step(std::uint32_t node, const Label *first, const Label *last) const {
    for (; first != last; ++first) {
      const std::uint64_t key = Key(node, *first);
      std::size_t slot = Slot(key);
      while (keys_[slot] != key) {
        if (keys_[slot] == kEmpty) return kNone;
        slot = (slot + 1) & (keys_.size() - 1);
      }
      node = children_[slot];
    }
    return node;
  }

  // The nodes from which [first, last) (not empty) steps to a node.
  std::uint64_t StepsFrom(const Label *first, const Label *last) const {
    if (last - first == 1) return *first < parents_.size() ? parents_[*first] : 0;
    std::uint64_t nodes = 0;
    for (std::uint32_t node = 0; node < size(); ++node) {
      if (Step(node, first, last) != kNone) nodes |= Bit(node);
    }
    return nodes;
  }

  // The index of the pronunciation `node` spells, or kNone.
  std::size_t PronunciationAt(std::uint32_t node) const { return pronunciation_[node]; }

 private:
  static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

  static std::uint64_t Key(std::uint32_t node, Label label) {
    return (std::uint64_t{node} << 32) | label;
  }
  std::size_t Slot(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 40) & (keys_.size() - 1);
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> children_;
  std::vector<std::size_t> pronunciation_;
  // Per label, the nodes with a child by it.
  std::vector<std::uint64_t> parents_;
};

// What each output label adds to uniques, looked up in the cluster table
// once per label and word, with the nodes of the trie it steps from. Id 0
// adds nothing, which most arcs (backoffs) do: their step in the trie is
// no step, from every node.
class Decompositions {
 public:
  Decompositions(const ClusterTable &output_clusters, const VetoSet &veto, const PrefixTrie &trie)
      : output_clusters_(output_clusters), veto_(veto), trie_(trie), ranges_(1, {0, 0}),
        steps_from_(1, ~std::uint64_t{0}) {}

  std::uint32_t IdOf(Label label) {
    if (label >= ids_.size()) ids_.resize(label + 1, kNone);
    if (ids_[label] == kNone) {
      const auto begin = static_cast<std::uint32_t>(labels_.size());
      AppendDecomposition(output_clusters_, veto_, label, labels_);
      const auto end = static_cast<std::uint32_t>(labels_.size());
      ids_[label] = begin == end ? 0 : static_cast<std::uint32_t>(ranges_.size());
      if (begin != end) {
        ranges_.push_back({begin, end});
        steps_from_.push_back(trie_.StepsFrom(labels_.data() + begin, labels_.data() + end));
      }
    }
    return ids_[label];
  }

  // How many ids there are, 0 among them.
  std::size_t size() const { return ranges_.size(); }

  const Label *begin(std::uint32_t id) const { return labels_.data() + ranges_[id].first; }
  const Label *end(std::uint32_t id) const { return labels_.data() + ranges_[id].second; }
  std::uint64_t steps_from(std::uint32_t id) const { return steps_from_[id]; }

 private:
  const ClusterTable &output_clusters_;
  const VetoSet &veto_;
  const PrefixTrie &trie_;
  std::vector<std::uint32_t> ids_;
  LabelSequence labels_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;
  std::vector<std::uint64_t> steps_from_;
};

// The pairs that lie on a path of the settled pairs weighing at most the
// bound, numbered in the order found, with what the sums read of them copied
// once: following the arcs into a pair, and into the model's arcs, misses the
// cache at every step.
struct Within {
  struct Arc {
    std::uint32_t from;  // its number
    float weight;        // as on the lattice
    Label olabel;
  };
  // Per settled pair, by rank in the order of settling: its number, or kNone.
  std::vector<std::uint32_t> number;
  // Per pair within the bound: its distance from the start, whether it lies
  // on a path within the inner bound too (bit 2) and within the middle one
  // (bit 1), and where its arcs from pairs within the bound begin in `arcs`
  // (then the end).
  std::vector<float> distance;
  std::vector<std::uint8_t> inner;
  std::vector<std::uint32_t> arcs_begin;
  std::vector<Arc> arcs;
};

// A pair lies on such a path when its distance from the start plus its
// shortest distance to the end (Dijkstra's algorithm backwards over the
// settled arcs) is within the bound. The pairs within `inner_bound` and
// `middle_bound` (not above `bound`) are those a graph settled only that far
// would give.
Within OnPathsWithin(const PairGraph &graph, double bound, double inner_bound,
                     double middle_bound) {
  const auto &pairs = graph.pairs();
  const auto &arcs = graph.arcs();
  const auto &order = graph.settled_order();
  Within within;
  within.number.assign(order.size(), kNone);
  within.distance.reserve(order.size());
  within.inner.reserve(order.size());
  within.arcs_begin.reserve(order.size() + 1);
  // Each arc is followed once at most, from the pair it leads to; `from`
  // holds a rank until every pair within the bound is known.
  const auto followed = std::make_unique_for_overwrite<Within::Arc[]>(arcs.size());
  std::uint32_t followed_count = 0;
  std::vector<double> to_end(order.size(), kUnreached);
  DistanceBuckets queue(bound, order.size());
  // A route past the bound is never offered; a lighter route from the same
  // pair is offered on its own.
  const auto offer = [&](const direct::Pair &pair, double distance) {
    if (distance < to_end[pair.rank] && pair.distance + distance <= bound) {
      to_end[pair.rank] = distance;
      queue.Push(distance, pair.rank);
    }
  };
  for (const std::uint32_t pair : graph.final_pairs()) {
    offer(pairs[pair], LatticeWeight(graph.FinalWeightAtEnd(pair)));
  }
  while (!queue.empty()) {
    const auto [distance, rank] = queue.Pop();
    // Paths through a pair's predecessors to the end through it weigh at
    // least as much as its own best one.
    if (distance > to_end[rank] || within.number[rank] != kNone) continue;
    within.number[rank] = static_cast<std::uint32_t>(within.distance.size());
    const direct::Pair &pair = pairs[order[rank]];
    within.distance.push_back(pair.distance);
    within.inner.push_back((pair.distance + distance <= inner_bound ? 2 : 0) |
                           (pair.distance + distance <= middle_bound ? 1 : 0));
    within.arcs_begin.push_back(followed_count);
    for (std::uint32_t i = pair.last_incoming; i != kNone; i = arcs[i].next_incoming) {
      const direct::Pair &from = pairs[arcs[i].from];
      const float weight = LatticeWeight(arcs[i].arc->weight.Value());
      followed[followed_count++] = {from.rank, weight, static_cast<Label>(arcs[i].arc->olabel)};
      offer(from, distance + weight);
    }
  }
  within.arcs_begin.push_back(followed_count);
  // Only the arcs between pairs within the bound are summed.
  within.arcs.reserve(followed_count);
  std::uint32_t begin = 0;
  for (std::size_t pair = 0; pair < within.distance.size(); ++pair) {
    const std::uint32_t end = within.arcs_begin[pair + 1];
    within.arcs_begin[pair] = static_cast<std::uint32_t>(within.arcs.size());
    for (std::uint32_t i = begin; i != end; ++i) {
      const std::uint32_t from = within.number[followed[i].from];
      if (from != kNone) within.arcs.push_back({from, followed[i].weight, followed[i].olabel});
    }
    begin = end;
  }
  within.arcs_begin.back() = static_cast<std::uint32_t>(within.arcs.size());
  return within;
}

// The pairs within the bound grouped in strongly connected components (pairs
// on a cycle of arcs share one), the components in an order where each comes
// after every component with an arc into it: Tarjan's algorithm over the
// arcs into each pair, from the pairs in the order settled, which emits a
// component once all its predecessors' are out. Within a component, pairs
// come in the order the search was done with them, after the pairs it
// reached through their arcs into them: round a cycle in that order, most
// arcs lead forwards, and the sums move less at each round.
struct Components {
  std::vector<std::uint32_t> pairs;  // numbers within the bound, component by component
  std::vector<std::uint32_t> begin;  // where each component starts in `pairs`, then the end
};

Components StronglyConnected(const Within &within) {
  const std::size_t count = within.distance.size();
  // Per pair, its place in the search; after its component is out, kOut,
  // above any place, so that arcs from it lower no pair's `low`.
  constexpr std::uint32_t kOut = kNone - 1;
  std::vector<std::uint32_t> place(count, kNone);
  std::vector<std::uint32_t> low(count);
  std::vector<std::uint32_t> open;
  // The pairs done with and not yet in a component, in the order done: a
  // component is always the last of them.
  std::vector<std::uint32_t> done_with;
  struct Call {
    std::uint32_t pair;
    std::uint32_t next;  // its next arc to follow
  };
  std::vector<Call> calls;
  open.reserve(count);
  done_with.reserve(count);
  calls.reserve(count);
  Components components;
  components.pairs.reserve(count);
  components.begin.reserve(count + 1);
  std::uint32_t next_place = 0;
  // Most pairs come after all their predecessors' components, which the
  // order of settling mostly follows: such a pair is a component of its own
  // at once, which the search would find through a call of its own.
  const auto alone = [&](std::uint32_t pair) {
    for (std::uint32_t a = within.arcs_begin[pair]; a != within.arcs_begin[pair + 1]; ++a) {
      const std::uint32_t from = within.arcs[a].from;
      if (from != pair && place[from] != kOut) return false;
    }
    place[pair] = kOut;
    components.begin.push_back(static_cast<std::uint32_t>(components.pairs.size()));
    components.pairs.push_back(pair);
    return true;
  };
  const auto enter = [&](std::uint32_t pair) {
    place[pair] = low[pair] = next_place++;
    open.push_back(pair);
    calls.push_back({pair, within.arcs_begin[pair]});
  };
  for (const std::uint32_t root : within.number) {
    if (root == kNone || place[root] != kNone || alone(root)) continue;
    enter(root);
    while (!calls.empty()) {
      Call &call = calls.back();
      if (call.next != within.arcs_begin[call.pair + 1]) {
        const std::uint32_t from = within.arcs[call.next++].from;
        if (place[from] == kNone) {
          if (!alone(from)) enter(from);
        } else {
          low[call.pair] = std::min(low[call.pair], place[from]);
        }
        continue;
      }
      const std::uint32_t done = call.pair;
      done_with.push_back(done);
      calls.pop_back();
      if (!calls.empty()) low[calls.back().pair] = std::min(low[calls.back().pair], low[done]);
      if (low[done] != place[done]) continue;
      components.begin.push_back(static_cast<std::uint32_t>(components.pairs.size()));
      std::size_t size = 0;
      std::uint32_t member;
      do {
        member = open.back();
        open.pop_back();
        place[member] = kOut;
        ++size;
      } while (member != done);
      components.pairs.insert(components.pairs.end(), done_with.end() - size, done_with.end());
      done_with.resize(done_with.size() - size);
    }
  }
  components.begin.push_back(static_cast<std::uint32_t>(components.pairs.size()));
  return components;
}

// Sums of the paths reaching a cycle's pairs are taken round it again and
// again, until no sum moves by more than this share of itself, at most this
// many times; a cycle that holds almost all the mass takes longer, and the
// word goes to the reference.
constexpr double kConvergence = 1e-8;
constexpr int kMostRounds = 10000;

// The share of the word's sum that the paths of the shell below the bound
// may hold for the sums to stand: the mass of the paths heavier than the
// bound falls off beyond it at least about as fast as within a shell of 4
// (on 10,000 CMUdict words at 5 and 10 pronunciations, no probability
// was off by more than 1.1e-5), so what they leave out stays below it.
constexpr double kLeftOutShare = 2e-5;

// Whether a pair within the bound is at an unbounded state.
bool AnyUnbounded(const PairGraph &graph, const Within &within, const UnboundedStates &unbounded) {
  if (unbounded.empty()) return false;
  const auto &order = graph.settled_order();
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    if (within.number[rank] != kNone && unbounded[graph.pairs()[order[rank]].state] != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

double FurtherReach(double shell_mass, double upper_half_mass, double word, double shell) {
  const double half = shell / 2.0;
  const double lower_half_mass = shell_mass - upper_half_mass;
  if (!(upper_half_mass > 0.0) || !(lower_half_mass > upper_half_mass)) return half;
  const double fall = upper_half_mass / lower_half_mass;
  const double halves = std::ceil(std::log(kLeftOutShare * word / shell_mass) / std::log(fall));
  return half * std::clamp(halves, 1.0, 4.0);
}

bool ReachesUnboundedState(const PairGraph &graph, double bound,
                           const UnboundedStates &unbounded) {
  return !unbounded.empty() &&
         AnyUnbounded(graph, OnPathsWithin(graph, bound, bound, bound), unbounded);
}

// A pair's sums are kept as multiples of e^-distance, its best path's
// probability: an arc from `from` to `to` of weight w then carries
// e^-(distance(from) + w - distance(to)) of each sum of `from`, a factor of
// at most 1 computed once per arc, and the sums need no logarithms.
ProbabilitySums SetProbabilities(const PairGraph &graph, double bound, double shell,
                                 const ClusterTable &output_clusters, const VetoSet &veto,
                                 const UnboundedStates &unbounded,
                                 std::vector<Pronunciation> &pronunciations, double &further) {
  const Within within = OnPathsWithin(graph, bound, bound - shell, bound - shell / 2.0);
  if (AnyUnbounded(graph, within, unbounded)) return ProbabilitySums::kUndefined;
  const Components components = StronglyConnected(within);
  // The pairs within the bound renumbered in the order they are summed,
  // with their arcs.
  const std::size_t kept = components.pairs.size();
  std::vector<std::uint32_t> local(kept);
  std::vector<std::uint8_t> pair_inner(kept);
  for (std::size_t i = 0; i < kept; ++i) {
    local[components.pairs[i]] = static_cast<std::uint32_t>(i);
    pair_inner[i] = within.inner[components.pairs[i]];
  }
  const PrefixTrie trie(pronunciations);
  Decompositions decompositions(output_clusters, veto, trie);
  const std::size_t arcs = within.arcs.size();
  std::vector<std::uint32_t> arc_from(arcs);
  std::vector<double> arc_factor(arcs);
  std::vector<std::uint32_t> arc_labels(arcs);
  std::vector<std::uint32_t> arcs_begin(kept + 1);
  std::uint32_t next_arc = 0;
  for (std::size_t i = 0; i < kept; ++i) {
    const std::uint32_t pair = components.pairs[i];
    arcs_begin[i] = next_arc;
    const double distance = within.distance[pair];
    for (std::uint32_t a = within.arcs_begin[pair]; a != within.arcs_begin[pair + 1]; ++a) {
      const Within::Arc &arc = within.arcs[a];
      arc_from[next_arc] = local[arc.from];
      arc_factor[next_arc] = std::exp(distance - within.distance[arc.from] - arc.weight);
      arc_labels[next_arc] = decompositions.IdOf(arc.olabel);
      ++next_arc;
    }
  }
  arcs_begin[kept] = next_arc;
  const std::uint32_t start_number = within.number[graph.pairs()[graph.start_pair()].rank];
  const std::uint32_t start = start_number == kNone ? kNone : local[start_number];

  // The trie's steps by node and decomposition, looked up when first taken:
  // few prefixes meet few decompositions, again and again round a cycle.
  constexpr std::uint32_t kUnknown = kNone - 1;
  const std::size_t labels = decompositions.size();
  std::vector<std::uint32_t> steps(trie.size() * labels, kUnknown);
  const auto step = [&](std::uint32_t node, std::uint32_t id) {
    if (id == 0) return node;
    std::uint32_t &next = steps[node * labels + id];
    if (next == kUnknown) next = trie.Step(node, decompositions.begin(id), decompositions.end(id));
    return next;
  };
  // Per pair: the sum over all paths from the start, and over those whose
  // uniques so far are a prefix of a pronunciation, by prefix: `prefix_count`
  // entries of `prefix_sums` from `prefix_begin`. A pair whose prefixes
  // change round a cycle takes new entries at the end.
  struct PrefixSum {
    std::uint32_t node;
    double sum;
  };
  std::vector<double> total(kept, 0.0);
  // The same over the pairs and arcs within the inner bound; 0 elsewhere.
  std::vector<double> inner_total(kept, 0.0);
  // And within the middle of the shell, which with the inner sum tells how
  // fast the mass falls off across it.
  std::vector<double> middle_total(kept, 0.0);
  std::vector<std::uint32_t> prefix_begin(kept, 0);
  std::vector<std::uint32_t> prefix_count(kept, 0);
  // The nodes of each pair's prefixes, as a mask.
  std::vector<std::uint64_t> prefix_nodes(kept, 0);
  std::vector<PrefixSum> prefix_sums;
  std::vector<PrefixSum> sums;
  // Where each prefix node is in `sums`, or kNone.
  std::vector<std::uint32_t> slot_of(trie.size(), kNone);
  // Whether a sum moved by more than kConvergence of itself.
  const auto moved_far = [](double before, double after) {
    return after != before && !(std::fabs(after - before) <= kConvergence * after);
  };
  // Sums `pair`'s totals anew; whether one moved far, asked only while
  // `watch` (a round that some pair already sends round again need not
  // tell). A pair off every path within the inner bound, or the middle one,
  // has 0 for that sum, and its predecessors' are not read: most pairs lie
  // in the shell.
  const auto sum_totals = [&](std::uint32_t pair, bool watch) {
    const double first = pair == start ? 1.0 : 0.0;
    double sum = first;
    double inner_sum = 0.0;
    double middle_sum = 0.0;
    const std::uint32_t begin = arcs_begin[pair];
    const std::uint32_t end = arcs_begin[pair + 1];
    if ((pair_inner[pair] & 2) != 0) {
      inner_sum = middle_sum = first;
      for (std::uint32_t a = begin; a != end; ++a) {
        sum += total[arc_from[a]] * arc_factor[a];
        inner_sum += inner_total[arc_from[a]] * arc_factor[a];
        middle_sum += middle_total[arc_from[a]] * arc_factor[a];
      }
      if ((pair_inner[pair] & 1) == 0) middle_sum = 0.0;
    } else if ((pair_inner[pair] & 1) != 0) {
      middle_sum = first;
      for (std::uint32_t a = begin; a != end; ++a) {
        sum += total[arc_from[a]] * arc_factor[a];
        middle_sum += middle_total[arc_from[a]] * arc_factor[a];
      }
    } else {
      for (std::uint32_t a = begin; a != end; ++a) sum += total[arc_from[a]] * arc_factor[a];
    }
    const bool far =
        watch && (moved_far(total[pair], sum) || moved_far(inner_total[pair], inner_sum));
    total[pair] = sum;
    inner_total[pair] = inner_sum;
    middle_total[pair] = middle_sum;
    return far;
  };
  // Sums `pair`'s paths by prefix anew from those of its predecessors, into
  // `sums`.
  const auto sum_prefixes = [&](std::uint32_t pair) {
    sums.clear();
    if (pair == start) {
      sums.push_back({0, 1.0});
      slot_of[0] = 0;
    }
    for (std::uint32_t a = arcs_begin[pair]; a != arcs_begin[pair + 1]; ++a) {
      const std::uint32_t from = arc_from[a];
      const std::uint32_t id = arc_labels[a];
      if ((prefix_nodes[from] & decompositions.steps_from(id)) == 0) continue;
      const double factor = arc_factor[a];
      const PrefixSum *first = prefix_sums.data() + prefix_begin[from];
      for (const PrefixSum *entry = first; entry != first + prefix_count[from]; ++entry) {
        const std::uint32_t next = step(entry->node, id);
        if (next == kNone) continue;
        if (slot_of[next] == kNone) {
          slot_of[next] = static_cast<std::uint32_t>(sums.size());
          sums.push_back({next, entry->sum * factor});
        } else {
          sums[slot_of[next]].sum += entry->sum * factor;
        }
      }
    }
    for (const PrefixSum &entry : sums) slot_of[entry.node] = kNone;
  };
  const auto store_prefixes = [&](std::uint32_t pair) {
    std::uint64_t nodes = 0;
    for (const PrefixSum &entry : sums) nodes |= PrefixTrie::Bit(entry.node);
    prefix_nodes[pair] = nodes;
    if (sums.size() != prefix_count[pair]) {
      prefix_begin[pair] = static_cast<std::uint32_t>(prefix_sums.size());
      prefix_count[pair] = static_cast<std::uint32_t>(sums.size());
      prefix_sums.insert(prefix_sums.end(), sums.begin(), sums.end());
    } else {
      std::copy(sums.begin(), sums.end(), prefix_sums.begin() + prefix_begin[pair]);
    }
  };
  // Whether `pair`'s sums by prefix change when `sums` replace them, and
  // whether by more than kConvergence of themselves.
  struct Change {
    bool any;
    bool far;
  };
  const auto prefixes_change = [&](std::uint32_t pair) -> Change {
    if (sums.size() != prefix_count[pair]) return {true, true};
    Change change{false, false};
    const PrefixSum *old = prefix_sums.data() + prefix_begin[pair];
    for (std::size_t i = 0; i < sums.size(); ++i) {
      if (old[i].node != sums[i].node) return {true, true};
      change.any = change.any || old[i].sum != sums[i].sum;
      change.far = change.far || moved_far(old[i].sum, sums[i].sum);
    }
    return change;
  };
  // When each pair's sums by prefix were last summed, and last changed, on
  // a clock that ticks at each: round a cycle, a pair whose predecessors'
  // did not change since would come out the same.
  std::vector<std::uint64_t> summed_at(kept, 0);
  std::vector<std::uint64_t> changed_at(kept, 0);
  std::uint64_t clock = 0;
  const auto component_cycles = [&](std::uint32_t first, std::uint32_t last) {
    if (last - first > 1) return true;
    for (std::uint32_t a = arcs_begin[first]; a != arcs_begin[first + 1]; ++a) {
      if (arc_from[a] == first) return true;
    }
    return false;
  };
  const std::size_t component_count = components.begin.size() - 1;
  std::vector<std::uint8_t> cycles(component_count);
  for (std::size_t c = 0; c < component_count; ++c) {
    const std::uint32_t first = components.begin[c];
    const std::uint32_t last = components.begin[c + 1];
    cycles[c] = component_cycles(first, last) ? 1 : 0;
    if (!cycles[c]) {
      sum_totals(first, false);
      continue;
    }
    for (int round = 0;; ++round) {
      if (round == kMostRounds) return ProbabilitySums::kUnsure;
      bool far = false;
      for (std::uint32_t pair = first; pair != last; ++pair) far = sum_totals(pair, !far) || far;
      if (!far) break;
    }
  }
  // The word's sums, as multiples of e^-best: the paths of the inner sum
  // are those a bound lower by `shell` would have summed, and what the
  // outer one adds to it tells what the paths beyond the bound would.
  const auto &pairs = graph.pairs();
  const double best = graph.best_complete();
  const auto final_scale = [&](std::uint32_t pair) {
    return std::exp(best - pairs[pair].distance - LatticeWeight(graph.FinalWeightAtEnd(pair)));
  };
  double word = 0.0;
  double inner_word = 0.0;
  double middle_word = 0.0;
  for (const std::uint32_t pair : graph.final_pairs()) {
    const std::uint32_t number = within.number[pairs[pair].rank];
    if (number == kNone) continue;
    const double scale = final_scale(pair);
    word += total[local[number]] * scale;
    inner_word += inner_total[local[number]] * scale;
    middle_word += middle_total[local[number]] * scale;
  }
  if (!(word > 0.0) || !std::isfinite(word)) return ProbabilitySums::kUnsure;
  if (word - inner_word > kLeftOutShare * word) {
    further = FurtherReach(word - inner_word, word - middle_word, word, shell);
    return ProbabilitySums::kTooNarrow;
  }
  // Paths heavier than the bound may still reach an unbounded state.
  if (!unbounded.empty() && bound != kUnreached) return ProbabilitySums::kUnsure;

  for (std::size_t c = 0; c < component_count; ++c) {
    const std::uint32_t first = components.begin[c];
    const std::uint32_t last = components.begin[c + 1];
    if (!cycles[c]) {
      sum_prefixes(first);
      store_prefixes(first);
      continue;
    }
    // A pair's sums by prefix are summed again only when a predecessor's
    // that it can take changed since, and once a round leaves them all as
    // they were, every later round would too.
    for (int round = 0;; ++round) {
      if (round == kMostRounds) return ProbabilitySums::kUnsure;
      bool far = false;
      for (std::uint32_t pair = first; pair != last; ++pair) {
        if (round > 0 && [&] {
              for (std::uint32_t a = arcs_begin[pair]; a != arcs_begin[pair + 1]; ++a) {
                const std::uint32_t from = arc_from[a];
                if (changed_at[from] > summed_at[pair] &&
                    (prefix_nodes[from] & decompositions.steps_from(arc_labels[a])) != 0) {
                  return false;
                }
              }
              return true;
            }()) {
          continue;
        }
        summed_at[pair] = ++clock;
        sum_prefixes(pair);
        const Change change = prefixes_change(pair);
        if (change.any) changed_at[pair] = ++clock;
        far = far || change.far;
        store_prefixes(pair);
      }
      if (!far) break;
    }
  }
  std::vector<double> each(pronunciations.size(), 0.0);
  for (const std::uint32_t pair : graph.final_pairs()) {
    const std::uint32_t number = within.number[pairs[pair].rank];
    if (number == kNone) continue;
    const std::uint32_t at = local[number];
    const double scale = final_scale(pair);
    const PrefixSum *first = prefix_sums.data() + prefix_begin[at];
    for (const PrefixSum *entry = first; entry != first + prefix_count[at]; ++entry) {
      const std::size_t index = trie.PronunciationAt(entry->node);
      if (index != kNone) each[index] += entry->sum * scale;
    }
  }
  for (std::size_t i = 0; i < pronunciations.size(); ++i) {
    pronunciations[i].probability = std::min(1.0, each[i] / word);
  }
  return ProbabilitySums::kSet;
}

}  // namespace vurel
