// Lower bounds on the distance from a pair (position in the word, model
// state) to the end of the word. With them the distinct search settles
// pairs in order of distance plus bound (A*) instead of distance alone, and
// a pair whose context reads the rest of the word badly is never settled.
//
// The bounds come from a smaller model: the model's states merged by the
// last four tokens (letter and phoneme labels) of every route into them,
// each merged arc keeping the least weight of the arcs it stands for. Every
// path of the model maps onto a path of the merged model that is no heavier,
// so the merged model's distances to the end of a word bound the model's
// from below, and they are consistent: a pair's bound is at most an arc's
// weight plus the bound of the pair the arc leads to. Backoffs add no token,
// and insertions of phonemes (arcs that read no letter) all add the same
// one, so that a word reaches a few hundred merged states, not thousands.
#ifndef VUREL_CORE_END_BOUNDS_H_
#define VUREL_CORE_END_BOUNDS_H_

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "model_fst.h"
#include "openfst.h"

namespace vurel {

// The merged model. Immutable once built; safe to read from several threads.
class HistoryQuotient {
 public:
  // Merges the states of `model` (arcs sorted by input label, weights not
  // negative) reachable from its start.
  explicit HistoryQuotient(const ModelFst &model);

  // A merged arc in 8 bytes rather than 12, a sixth of the merged model's
  // memory: its weight is rounded down to a step of kWeightStep (at most
  // 65,535 steps), and labels from 65,535 on share one key (LabelKey).
  // Either only lowers a bound.
  static constexpr float kWeightStep = 1.0f / 256.0f;
  struct MergedArc {
    std::uint32_t target;
    std::uint16_t label_key;
    std::uint16_t weight_steps;
    float weight() const { return static_cast<float>(weight_steps) * kWeightStep; }
  };
  static std::uint16_t LabelKey(Label label) {
    return static_cast<std::uint16_t>(std::min<Label>(label, 0xFFFF));
  }

  std::uint32_t ClassOf(Arc::StateId state) const { return class_of_state_[state]; }
  // Asks for ClassOf(state) ahead of its use: the table is too large for
  // the cache.
  void Prefetch(Arc::StateId state) const { __builtin_prefetch(&class_of_state_[state]); }
  // Asks for where the arcs of `merged` lie ahead of reading them.
  void PrefetchArcs(std::uint32_t merged) const { __builtin_prefetch(&ranges_[merged]); }
  std::uint32_t start_class() const { return start_class_; }
  // The merged arcs of `merged` that read no letter, and those reading
  // `label` (not 0).
  std::span<const MergedArc> EpsilonArcs(std::uint32_t merged) const {
    return {arcs_.data() + ranges_[merged].begin, arcs_.data() + ranges_[merged].letters};
  }
  std::span<const MergedArc> ArcsReading(std::uint32_t merged, Label label) const {
    const std::uint16_t key = LabelKey(label);
    const MergedArc *first = arcs_.data() + ranges_[merged].letters;
    const MergedArc *last = arcs_.data() + ranges_[merged + 1].begin;
    // Most merged states read a few letters: a scan beats a binary search.
    if (last - first > 16) {
      first = std::lower_bound(first, last, key, [](const MergedArc &arc, std::uint16_t wanted) {
        return arc.label_key < wanted;
      });
    } else {
      while (first != last && first->label_key < key) ++first;
    }
    const MergedArc *stop = first;
    while (stop != last && stop->label_key == key) ++stop;
    return {first, stop};
  }
  // The least final weight among the states merged (infinite: none final).
  float FinalWeight(std::uint32_t merged) const { return final_weights_[merged]; }
  std::size_t classes() const { return final_weights_.size(); }
  std::size_t arcs() const { return arcs_.size(); }
  // The bytes its tables hold.
  std::size_t MemoryBytes() const;

 private:
  std::vector<std::uint32_t> class_of_state_;
  // Where a class's arcs begin, and its first arc reading a letter; one
  // more holds the end.
  struct ArcRange {
    std::uint32_t begin;
    std::uint32_t letters;
  };
  std::vector<ArcRange> ranges_;
  std::vector<MergedArc> arcs_;
  std::vector<float> final_weights_;
  std::uint32_t start_class_ = 0;
};

// The bounds for one word: the merged model's shortest distances to the end
// over the word acceptor (states 0 to n in order, n final), for the merged
// states a route from the start reaches. Past `most_states` merged states or
// `most_arcs` arcs among them (a word of thousands of letters) every bound
// is 0, and the search settles pairs by distance alone. Each thread keeps
// the tables of its last word's bounds for its next one.
class EndBounds {
 public:
  EndBounds(const HistoryQuotient &quotient, const VectorFst &acceptor, std::uint64_t most_states,
            std::uint64_t most_arcs = std::numeric_limits<std::uint64_t>::max());
  ~EndBounds();
  EndBounds(const EndBounds &) = delete;
  EndBounds &operator=(const EndBounds &) = delete;

  // A lower bound on the distance from (`position`, `state`) to the end,
  // for a pair reached from the start; infinite when no path leads on.
  float At(std::uint32_t position, Arc::StateId state) const;
  void Prefetch(Arc::StateId state) const { quotient_.Prefetch(state); }

  struct Tables;

 private:
  const HistoryQuotient &quotient_;
  std::unique_ptr<Tables> tables_;
};

}  // namespace vurel

#endif  // VUREL_CORE_END_BOUNDS_H_
