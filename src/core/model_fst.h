// A loaded model's transducer: every arc in one array, and for each state
// its final weight and where its arcs begin, 8 bytes a state where OpenFst's
// ConstFst takes 20 (it also keeps three counts a state that a sorted model
// can do without). The arcs and states together then take less memory than
// the model's file. Copies, and OpenFst's Copy(), share the arrays.
#ifndef VUREL_CORE_MODEL_FST_H_
#define VUREL_CORE_MODEL_FST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "openfst.h"

namespace vurel {

// The arcs among `arcs` that read no letter, and those that write no phoneme.
std::size_t InputEpsilonsAmong(std::span<const Arc> arcs);
std::size_t OutputEpsilonsAmong(std::span<const Arc> arcs);

class ModelFst final : public fst::ExpandedFst<Arc> {
 public:
  // One entry a state, and one more after the last whose first_arc is the
  // number of arcs: a state's arcs end where the next state's begin.
  struct State {
    Weight final_weight;
    std::uint32_t first_arc;
  };
  // The most arcs a ModelFst holds.
  static constexpr std::uint64_t kMostArcs = UINT32_MAX;

  // No states.
  ModelFst();
  // A copy of `fst` (fewer than kMostArcs arcs): its states, arcs, symbol
  // tables and the properties it knows. None are computed here: OpenFst's
  // computation fails on an FST whose states have no start.
  explicit ModelFst(const fst::Fst<Arc> &fst);
  // Takes the arrays as they are: `states` as State says (the arcs of each
  // state lie from its first_arc on, state after state), `properties` the
  // bits known of them.
  ModelFst(std::vector<Arc> arcs, std::vector<State> states, Arc::StateId start,
           std::unique_ptr<fst::SymbolTable> input_symbols,
           std::unique_ptr<fst::SymbolTable> output_symbols, std::uint64_t properties);
  ModelFst(const ModelFst &) = default;
  ModelFst(ModelFst &&) = default;
  ModelFst &operator=(const ModelFst &) = default;
  ModelFst &operator=(ModelFst &&) = default;

  std::span<const Arc> ArcsOf(Arc::StateId state) const {
    const State *entry = tables_->states.data() + state;
    return {tables_->arcs.data() + entry[0].first_arc, tables_->arcs.data() + entry[1].first_arc};
  }
  // The bytes its arrays use (symbol tables aside: a few KiB). The arc
  // array may have room reserved beyond them, never written and so never
  // resident.
  std::size_t MemoryBytes() const;

  Arc::StateId Start() const override { return tables_->start; }
  Weight Final(Arc::StateId state) const override { return tables_->states[state].final_weight; }
  std::size_t NumArcs(Arc::StateId state) const override { return ArcsOf(state).size(); }
  // Counted on each call: OpenFst's composition and search ask for these
  // of the word's side and of their own results, never of the model's.
  std::size_t NumInputEpsilons(Arc::StateId state) const override {
    return InputEpsilonsAmong(ArcsOf(state));
  }
  std::size_t NumOutputEpsilons(Arc::StateId state) const override {
    return OutputEpsilonsAmong(ArcsOf(state));
  }
  Arc::StateId NumStates() const override {
    return static_cast<Arc::StateId>(tables_->states.size() - 1);
  }
  // With `test`, unknown bits of `mask` are worked out and kept, as
  // OpenFst's own FSTs do.
  std::uint64_t Properties(std::uint64_t mask, bool test) const override;
  const std::string &Type() const override;
  ModelFst *Copy(bool /*safe*/ = false) const override { return new ModelFst(*this); }
  const fst::SymbolTable *InputSymbols() const override { return tables_->input_symbols.get(); }
  const fst::SymbolTable *OutputSymbols() const override { return tables_->output_symbols.get(); }
  void InitStateIterator(fst::StateIteratorData<Arc> *data) const override {
    data->base = nullptr;
    data->nstates = NumStates();
  }
  void InitArcIterator(Arc::StateId state, fst::ArcIteratorData<Arc> *data) const override {
    const std::span<const Arc> arcs = ArcsOf(state);
    data->base = nullptr;
    data->arcs = arcs.data();
    data->narcs = arcs.size();
    data->ref_count = nullptr;
  }

 private:
  struct Tables {
    std::vector<Arc> arcs;
    std::vector<State> states;
    Arc::StateId start = fst::kNoStateId;
    std::unique_ptr<fst::SymbolTable> input_symbols;
    std::unique_ptr<fst::SymbolTable> output_symbols;
    mutable std::atomic<std::uint64_t> properties{0};
  };
  std::shared_ptr<const Tables> tables_;
};

}  // namespace vurel

// OpenFst's iterators over a ModelFst read its arrays directly, as they do
// over a ConstFst, rather than through the virtual calls of the generic ones.
namespace fst {

template <>
class StateIterator<vurel::ModelFst> {
 public:
  explicit StateIterator(const vurel::ModelFst &fst) : states_(fst.NumStates()) {}
  bool Done() const { return state_ >= states_; }
  vurel::Arc::StateId Value() const { return state_; }
  void Next() { ++state_; }
  void Reset() { state_ = 0; }

 private:
  vurel::Arc::StateId states_;
  vurel::Arc::StateId state_ = 0;
};

template <>
class ArcIterator<vurel::ModelFst> {
 public:
  ArcIterator(const vurel::ModelFst &fst, vurel::Arc::StateId state) : arcs_(fst.ArcsOf(state)) {}
  bool Done() const { return position_ >= arcs_.size(); }
  const vurel::Arc &Value() const { return arcs_[position_]; }
  void Next() { ++position_; }
  std::size_t Position() const { return position_; }
  void Reset() { position_ = 0; }
  void Seek(std::size_t position) { position_ = position; }
  // Arcs are read in place: every field is always there, and nothing is cached.
  constexpr auto Flags() const { return kArcValueFlags; }
  template <class Value, class Mask>
  void SetFlags(Value, Mask) {}

 private:
  std::span<const vurel::Arc> arcs_;
  std::size_t position_ = 0;
};

}  // namespace fst

#endif  // VUREL_CORE_MODEL_FST_H_
