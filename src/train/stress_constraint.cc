#include "stress_constraint.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>

namespace vurel::train {
namespace {

constexpr StateId kNoState = std::numeric_limits<StateId>::max();

bool IsPrimaryStress(std::string_view phoneme) {
  return phoneme.size() > 1 && phoneme.back() == '1';
}

}  // namespace

int PrimaryStresses(std::string_view text) {
  int count = 0;
  for (std::size_t begin = 0;;) {
    const std::size_t end = text.find('|', begin);
    if (IsPrimaryStress(text.substr(begin, end - begin))) ++count;
    if (end == std::string_view::npos) return count;
    begin = end + 1;
  }
}

double ShareWithOnePrimaryStress(const std::vector<DictionaryEntry> &entries) {
  if (entries.empty()) return 0;
  std::size_t with_one = 0;
  for (const DictionaryEntry &entry : entries) {
    int count = 0;
    for (const std::string &phoneme : entry.phonemes) count += IsPrimaryStress(phoneme);
    with_one += count == 1;
  }
  return static_cast<double>(with_one) / static_cast<double>(entries.size());
}

Result<VectorFst> RequireOnePrimaryStress(const VectorFst &model) {
  const fst::SymbolTable *outputs = model.OutputSymbols();
  if (outputs == nullptr) return InvalidInput("the model has no output symbols");
  if (model.Start() == fst::kNoStateId) return InvalidInput("the model has no start state");
  std::vector<int> stresses_of_label;
  for (std::int64_t label = 0; label < outputs->AvailableKey(); ++label) {
    stresses_of_label.push_back(PrimaryStresses(outputs->Find(label)));
  }
  if (std::ranges::find(stresses_of_label, 1) == stresses_of_label.end()) {
    return InvalidInput("no phoneme of the model carries a primary stress");
  }
  const auto stresses = [&](Arc::Label label) {
    const auto index = static_cast<std::size_t>(label);
    return index < stresses_of_label.size() ? stresses_of_label[index] : 0;
  };

  // A pair (state, stressed) is numbered 2 * state + stressed.
  VectorFst result;
  std::vector<StateId> state_of_pair(2 * static_cast<std::size_t>(model.NumStates()), kNoState);
  std::deque<std::size_t> pending;
  const auto state_of = [&](std::size_t pair) {
    if (state_of_pair[pair] == kNoState) {
      state_of_pair[pair] = static_cast<StateId>(result.AddState());
      pending.push_back(pair);
    }
    return state_of_pair[pair];
  };
  result.SetStart(state_of(2 * static_cast<std::size_t>(model.Start())));
  while (!pending.empty()) {
    const std::size_t pair = pending.front();
    pending.pop_front();
    const auto state = static_cast<Arc::StateId>(pair / 2);
    const int stressed = static_cast<int>(pair % 2);
    const StateId from = state_of_pair[pair];
    for (fst::ArcIterator<VectorFst> arcs(model, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      const int after = stressed + stresses(arc.olabel);
      if (after > 1) continue;
      const StateId to =
          state_of(2 * static_cast<std::size_t>(arc.nextstate) + static_cast<std::size_t>(after));
      result.AddArc(from, Arc(arc.ilabel, arc.olabel, arc.weight, to));
    }
    if (stressed == 1) result.SetFinal(from, model.Final(state));
  }
  result.SetInputSymbols(model.InputSymbols());
  result.SetOutputSymbols(model.OutputSymbols());
  return result;
}

}  // namespace vurel::train
