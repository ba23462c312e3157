// A transducer in three arrays: final weights, each state's run of arcs,
// and the arcs of all states one after the other. A model file is read into
// one, checked and sorted there, then its arcs are handed to a ModelFst
// without a copy: building a VectorFst instead costs an allocation per
// state, and freeing those costs more than the whole load.
#ifndef VUREL_CORE_FLAT_FST_H_
#define VUREL_CORE_FLAT_FST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model_fst.h"
#include "openfst.h"

namespace vurel {

class FlatFst : public fst::ExpandedFst<Arc> {
 public:
  FlatFst() = default;
  // A copy of `fst`: its states, arcs, symbol tables and stored properties.
  explicit FlatFst(const VectorFst &fst);
  FlatFst(const FlatFst &other);
  FlatFst(FlatFst &&) = default;
  FlatFst &operator=(FlatFst &&) = default;

  // What the file reader builds with, as on a MutableFst, except that the
  // arcs of a state must be added after those of every state before it (so
  // ReserveArcs has nothing to do: ReserveTotalArcs sizes the one array).
  void AddStates(std::size_t count);
  void SetStart(Arc::StateId state) { start_ = state; }
  void SetFinal(Arc::StateId state, Weight weight) { finals_[state] = weight; }
  void ReserveArcs(Arc::StateId /*state*/, std::size_t /*count*/) {}
  // Room for `count` arcs in all, so that the arc array grows once.
  void ReserveTotalArcs(std::size_t count) { arcs_.reserve(count); }
  void AddArc(Arc::StateId state, const Arc &arc);
  void SetInputSymbols(const fst::SymbolTable *symbols);
  void SetOutputSymbols(const fst::SymbolTable *symbols);
  // Sets the bits of `properties` selected by `mask`.
  void SetProperties(std::uint64_t properties, std::uint64_t mask);

  // The FST as a ModelFst, which takes the arc array over; this one is left
  // empty. Fewer than ModelFst::kMostArcs arcs.
  ModelFst ReleaseAsModelFst() &&;

  // The arcs of `state`, to be reordered in place.
  std::span<Arc> MutableArcs(Arc::StateId state);
  std::span<const Arc> ArcsOf(Arc::StateId state) const;

  Arc::StateId Start() const override { return start_; }
  Weight Final(Arc::StateId state) const override { return finals_[state]; }
  std::size_t NumArcs(Arc::StateId state) const override { return runs_[state].count; }
  std::size_t NumInputEpsilons(Arc::StateId state) const override;
  std::size_t NumOutputEpsilons(Arc::StateId state) const override;
  Arc::StateId NumStates() const override { return static_cast<Arc::StateId>(finals_.size()); }
  // The arcs of all states.
  std::size_t TotalArcs() const { return arcs_.size(); }
  // The stored bits only, `test` ignored: unknown bits stay unknown
  // (OpenFst's computation of them goes wrong on some hostile models). It
  // also reports kMutable: it is filled and sorted in place.
  std::uint64_t Properties(std::uint64_t mask, bool test) const override;
  const std::string &Type() const override;
  FlatFst *Copy(bool safe = false) const override;
  const fst::SymbolTable *InputSymbols() const override { return input_symbols_.get(); }
  const fst::SymbolTable *OutputSymbols() const override { return output_symbols_.get(); }
  void InitStateIterator(fst::StateIteratorData<Arc> *data) const override;
  void InitArcIterator(Arc::StateId state, fst::ArcIteratorData<Arc> *data) const override;

 private:
  struct Run {
    std::uint64_t begin = 0;
    std::uint32_t count = 0;
  };

  Arc::StateId start_ = fst::kNoStateId;
  std::vector<Weight> finals_;
  std::vector<Run> runs_;
  std::vector<Arc> arcs_;
  std::uint64_t properties_ = 0;
  std::unique_ptr<fst::SymbolTable> input_symbols_;
  std::unique_ptr<fst::SymbolTable> output_symbols_;
};

}  // namespace vurel

#endif  // VUREL_CORE_FLAT_FST_H_
