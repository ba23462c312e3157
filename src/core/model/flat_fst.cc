#include "model/flat_fst.h"

#include <utility>

namespace vurel {

FlatFst::FlatFst(const VectorFst &fst) {
  AddStates(static_cast<std::size_t>(fst.NumStates()));
  std::size_t arcs = 0;
  for (Arc::StateId state = 0; state < fst.NumStates(); ++state) arcs += fst.NumArcs(state);
  ReserveTotalArcs(arcs);
  for (Arc::StateId state = 0; state < fst.NumStates(); ++state) {
    SetFinal(state, fst.Final(state));
    for (fst::ArcIterator<VectorFst> it(fst, state); !it.Done(); it.Next()) {
      AddArc(state, it.Value());
    }
  }
  SetStart(fst.Start());
  SetInputSymbols(fst.InputSymbols());
  SetOutputSymbols(fst.OutputSymbols());
  SetProperties(fst.Properties(fst::kFstProperties, false), fst::kFstProperties);
}

FlatFst::FlatFst(const FlatFst &other)
    : fst::ExpandedFst<Arc>(),
      start_(other.start_),
      finals_(other.finals_),
      runs_(other.runs_),
      arcs_(other.arcs_),
      properties_(other.properties_),
      input_symbols_(other.input_symbols_ ? other.input_symbols_->Copy() : nullptr),
      output_symbols_(other.output_symbols_ ? other.output_symbols_->Copy() : nullptr) {}

void FlatFst::AddStates(std::size_t count) {
  finals_.resize(finals_.size() + count, Weight::Zero());
  runs_.resize(finals_.size(), Run{arcs_.size(), 0});
}

void FlatFst::AddArc(Arc::StateId state, const Arc &arc) {
  Run &run = runs_[state];
  if (run.count == 0) run.begin = arcs_.size();
  arcs_.push_back(arc);
  ++run.count;
}

void FlatFst::SetInputSymbols(const fst::SymbolTable *symbols) {
  input_symbols_.reset(symbols != nullptr ? symbols->Copy() : nullptr);
}

void FlatFst::SetOutputSymbols(const fst::SymbolTable *symbols) {
  output_symbols_.reset(symbols != nullptr ? symbols->Copy() : nullptr);
}

void FlatFst::SetProperties(std::uint64_t properties, std::uint64_t mask) {
  properties_ = (properties_ & ~mask) | (properties & mask);
}

ModelFst FlatFst::ReleaseAsModelFst() && {
  std::vector<ModelFst::State> states;
  states.reserve(finals_.size() + 1);
  std::uint32_t first_arc = 0;
  for (std::size_t state = 0; state < finals_.size(); ++state) {
    states.push_back({finals_[state], first_arc});
    first_arc += runs_[state].count;
  }
  states.push_back({Weight::Zero(), first_arc});
  const std::uint64_t properties = Properties(fst::kFstProperties, false);
  finals_ = {};
  runs_ = {};
  return ModelFst(std::exchange(arcs_, {}), std::move(states), std::exchange(start_, fst::kNoStateId),
                  std::move(input_symbols_), std::move(output_symbols_), properties);
}

std::span<Arc> FlatFst::MutableArcs(Arc::StateId state) {
  const Run &run = runs_[state];
  return std::span<Arc>(arcs_.data() + run.begin, run.count);
}

std::span<const Arc> FlatFst::ArcsOf(Arc::StateId state) const {
  const Run &run = runs_[state];
  return std::span<const Arc>(arcs_.data() + run.begin, run.count);
}

std::size_t FlatFst::NumInputEpsilons(Arc::StateId state) const {
  return InputEpsilonsAmong(ArcsOf(state));
}

std::size_t FlatFst::NumOutputEpsilons(Arc::StateId state) const {
  return OutputEpsilonsAmong(ArcsOf(state));
}

std::uint64_t FlatFst::Properties(std::uint64_t mask, bool /*test*/) const {
  return (properties_ | fst::kExpanded | fst::kMutable) & mask;
}

const std::string &FlatFst::Type() const {
  static const std::string kType = "flat";
  return kType;
}

FlatFst *FlatFst::Copy(bool /*safe*/) const { return new FlatFst(*this); }

void FlatFst::InitStateIterator(fst::StateIteratorData<Arc> *data) const {
  data->base = nullptr;
  data->nstates = NumStates();
}

void FlatFst::InitArcIterator(Arc::StateId state, fst::ArcIteratorData<Arc> *data) const {
  const Run &run = runs_[state];
  data->base = nullptr;
  data->arcs = arcs_.data() + run.begin;
  data->narcs = run.count;
  data->ref_count = nullptr;
}

}  // namespace vurel
