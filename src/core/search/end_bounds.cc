#include "search/end_bounds.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "util/flat_index.h"
#include "util/thread_spare.h"

namespace vurel {
namespace {

// A history is the last kHistoryTokens tokens of the routes into a state,
// kTokenBits to a token, the newest lowest; token 0 is no token. A token is
// a letter with its phonemes, or kInsertionToken for an arc that writes
// phonemes without reading a letter: told apart by their phonemes,
// insertions make thousands of merged states a word, and left out, they
// make the bounds of the pairs after them much looser. The one token is
// what leaves the bounds loose on the Czech model, whose insertions reach
// 6,500 states at each letter: told apart, a held-out word settles 23
// pairs instead of 797, but its search then takes 16 times the
// instructions, nearly all in working out the bounds (300 words at 1
// pronunciation). Against three tokens, four cut the work of a word by a
// tenth at 5 pronunciations and by a seventh at 10 (268,677 merged states
// for the English model instead of 80,932); five cost more in bounds than
// they save.
constexpr int kHistoryTokens = 4;
constexpr int kTokenBits = 15;
constexpr std::uint64_t kTokenMask = (std::uint64_t{1} << kTokenBits) - 1;
constexpr std::uint64_t kHistoryMask = (std::uint64_t{1} << (kHistoryTokens * kTokenBits)) - 1;
constexpr std::uint64_t kUnreached = ~std::uint64_t{0};
// The start's own token, so that the start's context stays apart from the
// states every other context backs off to.
constexpr std::uint64_t kStartToken = 1;
constexpr std::uint64_t kInsertionToken = 2;
// Labels past this share one token: merging more states only loosens the
// bounds. The largest own token, 3 + 180 * 181 + 180, stays below
// kSharedToken.
constexpr Label kLargestOwnLabel = 180;
constexpr std::uint64_t kSharedToken = kTokenMask;
static_assert(3 + kLargestOwnLabel * (kLargestOwnLabel + 1) + kLargestOwnLabel < kSharedToken);
static_assert(kHistoryTokens * kTokenBits < 64);

constexpr float kInfinity = std::numeric_limits<float>::infinity();

std::uint64_t KeyOf(std::uint32_t position, std::uint32_t merged) {
  return (std::uint64_t{position} << 32) | merged;
}

// The token an arc adds to the history; 0 for a backoff, which reads and
// writes nothing.
std::uint64_t TokenOf(const Arc &arc) {
  if (arc.ilabel == 0) return arc.olabel == 0 ? 0 : kInsertionToken;
  const auto ilabel = static_cast<Label>(arc.ilabel);
  const auto olabel = static_cast<Label>(arc.olabel);
  if (ilabel > kLargestOwnLabel || olabel > kLargestOwnLabel) return kSharedToken;
  return 3 + ilabel * (kLargestOwnLabel + 1) + olabel;
}

// The newest tokens the two histories share. Tokens are never 0 below a
// history's oldest, so the lowest differing bit marks where they part.
std::uint64_t CommonSuffix(std::uint64_t lhs, std::uint64_t rhs) {
  const std::uint64_t differing = lhs ^ rhs;
  if (differing == 0) return lhs;
  const int shared = std::countr_zero(differing) / kTokenBits;
  return lhs & ((std::uint64_t{1} << (shared * kTokenBits)) - 1);
}

// The most steps of HistoryQuotient::kWeightStep not above `weight`, which
// is not negative (infinite: the most there are).
std::uint16_t WeightStepsAtMost(float weight) {
  constexpr double kMostSteps = 0xFFFF;
  return static_cast<std::uint16_t>(
      std::min(kMostSteps, std::floor(static_cast<double>(weight) / HistoryQuotient::kWeightStep)));
}

std::pair<const Arc *, const Arc *> StateArcs(const ModelFst &model, Arc::StateId state) {
  fst::ArcIteratorData<Arc> data;
  model.InitArcIterator(state, &data);
  return {data.arcs, data.arcs + data.narcs};
}

// Each reachable state's history: what every route from the start into it
// ends with. A history only shortens, and the histories come out the same
// whatever order the states are taken in, so they are swept in the order
// of their arcs in memory: a state whose history shortened is taken later
// in the sweep, or in the next one if it lies behind. On the English model
// eight sweeps take each state about once, where a stack of states took
// each twice and missed the cache at nearly every one.
std::vector<std::uint64_t> Histories(const ModelFst &model) {
  std::vector<std::uint64_t> history(static_cast<std::size_t>(model.NumStates()), kUnreached);
  const Arc::StateId start = model.Start();
  if (start == fst::kNoStateId) return history;
  // A bit a state, set while its arcs have not offered its latest history.
  std::vector<std::uint64_t> pending((history.size() + 63) / 64, 0);
  history[start] = kStartToken;
  pending[start / 64] |= std::uint64_t{1} << (start % 64);
  std::size_t sweep_from = static_cast<std::size_t>(start) / 64;
  while (sweep_from < pending.size()) {
    std::size_t next_sweep = pending.size();
    for (std::size_t word = sweep_from; word < pending.size(); ++word) {
      while (pending[word] != 0) {
        const std::size_t state =
            word * 64 + static_cast<std::size_t>(std::countr_zero(pending[word]));
        pending[word] &= pending[word] - 1;
        const std::uint64_t from = history[state];
        const auto [first, last] = StateArcs(model, static_cast<Arc::StateId>(state));
        for (const Arc *arc = first; arc != last; ++arc) {
          const std::uint64_t token = TokenOf(*arc);
          const std::uint64_t offered =
              token == 0 ? from : ((from << kTokenBits) | token) & kHistoryMask;
          const auto to = static_cast<std::size_t>(arc->nextstate);
          const std::uint64_t merged =
              history[to] == kUnreached ? offered : CommonSuffix(history[to], offered);
          if (merged == history[to]) continue;
          history[to] = merged;
          pending[to / 64] |= std::uint64_t{1} << (to % 64);
          if (to / 64 < word) next_sweep = std::min(next_sweep, to / 64);
        }
      }
    }
    sweep_from = next_sweep;
  }
  return history;
}

}  // namespace

HistoryQuotient::HistoryQuotient(const ModelFst &model) {
  const std::vector<std::uint64_t> history = Histories(model);
  // Classes are numbered as their states come, and each class's states are
  // listed together, so that its arcs can be gathered without sorting all.
  // A class stands for some twenty states on the English model: a slot for
  // every eight spares most lookups a second probe.
  FlatIndex class_of_history(std::bit_ceil(std::max<std::size_t>(history.size() / 8, 1024)));
  std::vector<std::uint32_t> class_size;
  class_of_state_.resize(history.size());
  for (std::size_t state = 0; state < history.size(); ++state) {
    // Unreached states never make a pair; they share the empty history.
    const bool reached = history[state] != kUnreached;
    const auto next = static_cast<std::uint32_t>(class_size.size());
    const std::uint32_t merged = class_of_history.FindOrInsert(reached ? history[state] : 0, next);
    if (merged == next) class_size.push_back(0);
    class_of_state_[state] = merged;
    class_size[merged] += reached ? 1 : 0;
  }
  const std::size_t classes = class_size.size();
  if (model.Start() != fst::kNoStateId) start_class_ = class_of_state_[model.Start()];

  std::vector<std::uint32_t> class_begin(classes + 1, 0);
  for (std::size_t merged = 0; merged < classes; ++merged) {
    class_begin[merged + 1] = class_begin[merged] + class_size[merged];
  }
  std::vector<std::uint32_t> states_in_class(class_begin[classes]);
  std::vector<std::uint32_t> &filled = class_size;
  std::copy(class_begin.begin(), class_begin.end() - 1, filled.begin());
  for (std::size_t state = 0; state < history.size(); ++state) {
    if (history[state] != kUnreached) {
      states_in_class[filled[class_of_state_[state]]++] = static_cast<std::uint32_t>(state);
    }
  }

  // The states of a class share most (label, target) pairs of their arcs:
  // an arc is merged as it comes into the class's first arc to its target,
  // and only the merged arcs are sorted. The arcs into a class nearly all
  // read the letter of its newest token, so the chain of a target's other
  // labels is rarely walked.
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  struct Gathered {
    std::uint16_t label_key;
    std::uint32_t target;
    float weight;
    std::uint32_t same_target;  // the next of this class's arcs to the same target
  };
  struct Seen {
    std::uint32_t from = kNone;  // the class whose arcs `gathered` holds
    std::uint32_t gathered = 0;  // its first arc to this target
  };
  std::vector<Seen> seen(classes);
  std::vector<Gathered> gathered;
  final_weights_.assign(classes, kInfinity);
  ranges_.assign(classes + 1, {0, 0});
  for (std::uint32_t merged = 0; merged < classes; ++merged) {
    gathered.clear();
    float final_weight = kInfinity;
    for (std::uint32_t i = class_begin[merged]; i < class_begin[merged + 1]; ++i) {
      const auto state = static_cast<Arc::StateId>(states_in_class[i]);
      final_weight = std::min(final_weight, model.Final(state).Value());
      const auto [first, last] = StateArcs(model, state);
      for (const Arc *arc = first; arc != last; ++arc) {
        const std::uint32_t target = class_of_state_[arc->nextstate];
        // A loop that reads no letter never shortens a distance.
        if (arc->ilabel == 0 && target == merged) continue;
        const std::uint16_t key = LabelKey(static_cast<Label>(arc->ilabel));
        const float weight = arc->weight.Value();
        const auto added = static_cast<std::uint32_t>(gathered.size());
        Seen &to = seen[target];
        if (to.from != merged) {
          to = {merged, added};
          gathered.push_back({key, target, weight, kNone});
          continue;
        }
        std::uint32_t g = to.gathered;
        while (gathered[g].label_key != key && gathered[g].same_target != kNone) {
          g = gathered[g].same_target;
        }
        if (gathered[g].label_key == key) {
          gathered[g].weight = std::min(gathered[g].weight, weight);
        } else {
          gathered[g].same_target = added;
          gathered.push_back({key, target, weight, kNone});
        }
      }
    }
    final_weights_[merged] = final_weight;
    std::sort(gathered.begin(), gathered.end(), [](const Gathered &lhs, const Gathered &rhs) {
      if (lhs.label_key != rhs.label_key) return lhs.label_key < rhs.label_key;
      return lhs.target < rhs.target;
    });
    ranges_[merged].begin = static_cast<std::uint32_t>(arcs_.size());
    ranges_[merged].letters = ranges_[merged].begin;
    for (const Gathered &g : gathered) {
      arcs_.push_back({g.target, g.label_key, WeightStepsAtMost(g.weight)});
      if (g.label_key == 0) ++ranges_[merged].letters;
    }
  }
  const auto total = static_cast<std::uint32_t>(arcs_.size());
  ranges_[classes] = {total, total};
  // The array grew by doubling: its spare room is a fifth of it.
  arcs_.shrink_to_fit();
}

std::size_t HistoryQuotient::MemoryBytes() const {
  return class_of_state_.capacity() * sizeof(std::uint32_t) + ranges_.capacity() * sizeof(ArcRange) +
         arcs_.capacity() * sizeof(MergedArc) + final_weights_.capacity() * sizeof(float);
}

// Per word: the merged states reached, by (position, merged state), with
// their bounds; and what computing them takes. Kept per thread between words:
// allocating them afresh took a fifth of the bounds' time.
struct EndBounds::Tables {
  struct Edge {
    std::uint32_t to;
    float weight;
  };

  FlatIndex indices{4096};
  std::vector<float> bounds;             // per index
  std::vector<std::uint32_t> merged_of;  // merged state, per index
  // The indices in the order their arcs were read, position by position:
  // a position's run ends at position_end[position].
  std::vector<std::uint32_t> order;
  std::vector<std::uint32_t> position_end;
  // Per later position, the indices found there so far (a letter may span
  // several positions).
  std::vector<std::vector<std::uint32_t>> found_ahead;
  // The arcs read from order[i]: its epsilon arcs from edge_begin[i] to
  // letter_begin[i], then its letters' to edge_begin[i + 1].
  std::vector<Edge> edges;
  std::vector<std::uint32_t> edge_begin;
  std::vector<std::uint32_t> letter_begin;
  std::vector<double> distance;  // per index
  // The word's letters, position by position: those read from a position
  // run from letters[letters_begin[position]], each with the position it
  // leads to.
  std::vector<std::pair<Label, std::uint32_t>> letters;
  std::vector<std::uint32_t> letters_begin;

  void Clear() {
    indices.Clear();
    bounds.clear();
    merged_of.clear();
    order.clear();
    position_end.clear();
    for (std::vector<std::uint32_t> &found : found_ahead) found.clear();
    edges.clear();
    edge_begin.clear();
    letter_begin.clear();
    distance.clear();
    letters.clear();
    letters_begin.clear();
  }
};

namespace {

// The largest float not above `value`, which is not negative.
float FloatAtMost(double value) {
  float rounded = static_cast<float>(value);
  if (static_cast<double>(rounded) > value && rounded > 0.0f) {
    rounded = std::bit_cast<float>(std::bit_cast<std::uint32_t>(rounded) - 1);
  }
  return rounded;
}

}  // namespace

EndBounds::EndBounds(const HistoryQuotient &quotient, const VectorFst &acceptor,
                     std::uint64_t most_states, std::uint64_t most_arcs)
    : quotient_(quotient),
      tables_(ThreadSpare<Tables>::Take()) {
  // A model without states has no merged state either, and no pair to bound.
  if (quotient_.classes() == 0) return;
  Tables &t = *tables_;
  const auto end = static_cast<std::uint32_t>(acceptor.NumStates() - 1);
  const auto reach = [&](std::uint32_t position, std::uint32_t merged,
                         std::vector<std::uint32_t> &found) {
    const auto next = static_cast<std::uint32_t>(t.merged_of.size());
    const std::uint32_t index = t.indices.FindOrInsert(KeyOf(position, merged), next);
    if (index == next) {
      // Its arcs are read once the states found before it are done.
      quotient_.PrefetchArcs(merged);
      t.merged_of.push_back(merged);
      found.push_back(index);
    }
    return index;
  };

  // The merged states the word reaches, position by position (a position's
  // run grows as its states' epsilon arcs are followed), and the arcs among
  // them.
  if (t.found_ahead.size() <= end) t.found_ahead.resize(end + 1);
  for (std::uint32_t position = 0; position < end; ++position) {
    t.letters_begin.push_back(static_cast<std::uint32_t>(t.letters.size()));
    for (fst::ArcIterator<VectorFst> letters(acceptor, static_cast<Arc::StateId>(position));
         !letters.Done(); letters.Next()) {
      t.letters.push_back({static_cast<Label>(letters.Value().olabel),
                           static_cast<std::uint32_t>(letters.Value().nextstate)});
    }
  }
  t.letters_begin.push_back(static_cast<std::uint32_t>(t.letters.size()));
  reach(0, quotient_.start_class(), t.order);
  for (std::uint32_t position = 0; position <= end; ++position) {
    t.order.insert(t.order.end(), t.found_ahead[position].begin(), t.found_ahead[position].end());
    for (std::size_t i = t.position_end.empty() ? 0 : t.position_end.back(); i < t.order.size();
         ++i) {
      const std::uint32_t merged = t.merged_of[t.order[i]];
      t.edge_begin.push_back(static_cast<std::uint32_t>(t.edges.size()));
      for (const HistoryQuotient::MergedArc &arc : quotient_.EpsilonArcs(merged)) {
        t.edges.push_back({reach(position, arc.target, t.order), arc.weight()});
      }
      t.letter_begin.push_back(static_cast<std::uint32_t>(t.edges.size()));
      if (position < end) {
        for (std::uint32_t letter = t.letters_begin[position];
             letter < t.letters_begin[position + 1]; ++letter) {
          const auto [label, next] = t.letters[letter];
          for (const HistoryQuotient::MergedArc &arc : quotient_.ArcsReading(merged, label)) {
            t.edges.push_back({reach(next, arc.target, t.found_ahead[next]), arc.weight()});
          }
        }
      }
      if (t.merged_of.size() > most_states || t.edges.size() > most_arcs) {
        t.Clear();
        return;
      }
    }
    t.position_end.push_back(static_cast<std::uint32_t>(t.order.size()));
  }
  t.edge_begin.push_back(static_cast<std::uint32_t>(t.edges.size()));

  // Their distances to the end, from the end backwards. Within a position,
  // the states are taken last found first, which takes the target of an
  // epsilon arc (a backoff) before its source; rounds over the epsilon arcs
  // then mend the rest (weights are not negative, so each round settles at
  // least one more).
  t.distance.assign(t.merged_of.size(), std::numeric_limits<double>::infinity());
  for (std::uint32_t position = end + 1; position-- > 0;) {
    const std::uint32_t first = position == 0 ? 0 : t.position_end[position - 1];
    const std::uint32_t last = t.position_end[position];
    for (std::uint32_t i = last; i-- > first;) {
      double best = position == end ? quotient_.FinalWeight(t.merged_of[t.order[i]]) : kInfinity;
      for (std::uint32_t e = t.edge_begin[i]; e < t.edge_begin[i + 1]; ++e) {
        best = std::min(best, t.edges[e].weight + t.distance[t.edges[e].to]);
      }
      t.distance[t.order[i]] = best;
    }
    for (std::uint32_t round = first; round < last; ++round) {
      bool changed = false;
      for (std::uint32_t i = first; i < last; ++i) {
        double &distance = t.distance[t.order[i]];
        for (std::uint32_t e = t.edge_begin[i]; e < t.letter_begin[i]; ++e) {
          const double offered = t.edges[e].weight + t.distance[t.edges[e].to];
          if (offered < distance) {
            distance = offered;
            changed = true;
          }
        }
      }
      if (!changed) break;
    }
  }
  // Rounded down, so that a float bound is never above the true one.
  t.bounds.resize(t.merged_of.size());
  for (std::size_t i = 0; i < t.bounds.size(); ++i) {
    t.bounds[i] = std::max(FloatAtMost(t.distance[i]), 0.0f);
  }
}

EndBounds::~EndBounds() {
  // Tables of a word of thousands of letters are freed rather than kept.
  if (tables_->order.capacity() > std::size_t{1} << 16 || tables_->found_ahead.size() > 4096) return;
  tables_->Clear();
  ThreadSpare<Tables>::Keep(std::move(tables_));
}

float EndBounds::At(std::uint32_t position, Arc::StateId state) const {
  if (tables_->bounds.empty()) return 0.0f;
  const std::uint32_t index = tables_->indices.Find(KeyOf(position, quotient_.ClassOf(state)));
  // Every pair reached maps to a merged state the word reaches; 0 is safe.
  return index == FlatIndex::kAbsent ? 0.0f : tables_->bounds[index];
}

}  // namespace vurel
