#include "model_fst.h"

#include <algorithm>
#include <utility>

#include <fst/test-properties.h>

namespace vurel {

namespace {

std::unique_ptr<fst::SymbolTable> CopyOf(const fst::SymbolTable *symbols) {
  return std::unique_ptr<fst::SymbolTable>(symbols != nullptr ? symbols->Copy() : nullptr);
}

}  // namespace

ModelFst::ModelFst()
    : ModelFst({}, {State{Weight::Zero(), 0}}, fst::kNoStateId, nullptr, nullptr, 0) {}

ModelFst::ModelFst(const fst::Fst<Arc> &fst) {
  std::vector<State> states;
  std::vector<Arc> arcs;
  for (fst::StateIterator<fst::Fst<Arc>> it(fst); !it.Done(); it.Next()) {
    states.push_back({fst.Final(it.Value()), static_cast<std::uint32_t>(arcs.size())});
    for (fst::ArcIterator<fst::Fst<Arc>> arc(fst, it.Value()); !arc.Done(); arc.Next()) {
      arcs.push_back(arc.Value());
    }
  }
  states.push_back({Weight::Zero(), static_cast<std::uint32_t>(arcs.size())});
  arcs.shrink_to_fit();
  states.shrink_to_fit();
  *this = ModelFst(std::move(arcs), std::move(states), fst.Start(), CopyOf(fst.InputSymbols()),
                   CopyOf(fst.OutputSymbols()), fst.Properties(fst::kCopyProperties, false));
}

ModelFst::ModelFst(std::vector<Arc> arcs, std::vector<State> states, Arc::StateId start,
                   std::unique_ptr<fst::SymbolTable> input_symbols,
                   std::unique_ptr<fst::SymbolTable> output_symbols, std::uint64_t properties) {
  auto tables = std::make_shared<Tables>();
  tables->arcs = std::move(arcs);
  tables->states = std::move(states);
  tables->start = start;
  tables->input_symbols = std::move(input_symbols);
  tables->output_symbols = std::move(output_symbols);
  tables->properties = (properties & fst::kCopyProperties) | fst::kExpanded;
  tables_ = std::move(tables);
}

std::size_t ModelFst::MemoryBytes() const {
  return tables_->arcs.size() * sizeof(Arc) + tables_->states.size() * sizeof(State);
}

std::size_t InputEpsilonsAmong(std::span<const Arc> arcs) {
  return static_cast<std::size_t>(
      std::count_if(arcs.begin(), arcs.end(), [](const Arc &arc) { return arc.ilabel == 0; }));
}

std::size_t OutputEpsilonsAmong(std::span<const Arc> arcs) {
  return static_cast<std::size_t>(
      std::count_if(arcs.begin(), arcs.end(), [](const Arc &arc) { return arc.olabel == 0; }));
}

std::uint64_t ModelFst::Properties(std::uint64_t mask, bool test) const {
  if (!test) return tables_->properties.load(std::memory_order_relaxed) & mask;
  std::uint64_t known = 0;
  const std::uint64_t tested = fst::internal::TestProperties(*this, mask, &known);
  tables_->properties.fetch_or(tested & known, std::memory_order_relaxed);
  return tested & mask;
}

const std::string &ModelFst::Type() const {
  static const std::string kType = "model";
  return kType;
}

}  // namespace vurel
