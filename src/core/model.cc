#include "model.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "fst_file.h"

namespace vurel {

namespace {

bool IsSortedByInput(const VectorFst &fst, Arc::StateId state) {
  fst::ArcIterator<VectorFst> arcs(fst, state);
  if (arcs.Done()) return true;
  Label previous = arcs.Value().ilabel;
  for (arcs.Next(); !arcs.Done(); arcs.Next()) {
    const Label current = arcs.Value().ilabel;
    if (current < previous) return false;
    previous = current;
  }
  return true;
}

std::optional<Label> FindLabel(const fst::SymbolTable &symbols,
                               std::string_view text) {
  const std::int64_t label = symbols.Find(std::string(text));
  if (label < 0) return std::nullopt;
  return static_cast<Label>(label);
}

std::optional<std::string> FindText(const fst::SymbolTable &symbols,
                                    std::int64_t label) {
  if (label < 0 || static_cast<std::uint64_t>(label) >= symbols.NumSymbols()) {
    return std::nullopt;
  }
  return symbols.Find(label);
}

}  // namespace

// OpenFst's ArcSort sorts with std::sort, which may reorder arcs with equal
// input labels; composition results depend on that order, so the file's
// order is kept here. Properties are computed as ArcSort's StateMap does:
// from the properties known before the sort, through the comparator.
void StableSortArcsByInput(VectorFst &fst) {
  if (fst.Start() == fst::kNoStateId) return;
  const std::uint64_t known = fst.Properties(fst::kFstProperties, false);
  const auto by_input = [](const Arc &lhs, const Arc &rhs) {
    return lhs.ilabel < rhs.ilabel;
  };
  std::vector<Arc> arcs;
  for (Arc::StateId state = 0; state < fst.NumStates(); ++state) {
    if (IsSortedByInput(fst, state)) continue;
    arcs.clear();
    for (fst::ArcIterator<VectorFst> it(fst, state); !it.Done(); it.Next()) {
      arcs.push_back(it.Value());
    }
    std::stable_sort(arcs.begin(), arcs.end(), by_input);
    fst::MutableArcIterator<VectorFst> it(&fst, state);
    for (const Arc &arc : arcs) {
      it.SetValue(arc);
      it.Next();
    }
  }
  fst.SetProperties(fst::ILabelCompare<Arc>().Properties(known),
                    fst::kFstProperties);
}

Result<Model> Model::Load(const std::string &path, std::string delimiter) {
  Result<VectorFst> read = ReadFstFile(path);
  if (!read.ok()) {
    Error error = std::move(read).error();
    if (error.code != ErrorCode::kInvalidInput) return error;
    return InvalidInput("failed to read FST: " + error.message);
  }
  return FromFst(std::move(read).value(), std::move(delimiter));
}

Result<Model> Model::FromFst(VectorFst fst, std::string delimiter) {
  StableSortArcsByInput(fst);
  if (fst.InputSymbols() == nullptr) {
    return InvalidInput("FST is missing input symbol table");
  }
  if (fst.OutputSymbols() == nullptr) {
    return InvalidInput("FST is missing output symbol table");
  }
  Model model;
  model.fst_ = std::move(fst);
  model.input_clusters_ = BuildClusterTable(*model.fst_.InputSymbols());
  model.output_clusters_ = BuildClusterTable(*model.fst_.OutputSymbols());
  model.veto_set_ = MakeVetoSet();
  model.delimiter_ = std::move(delimiter);
  return model;
}

std::optional<Label> Model::FindInputLabel(std::string_view text) const {
  return FindLabel(input_symbols(), text);
}

std::optional<Label> Model::FindOutputLabel(std::string_view text) const {
  return FindLabel(output_symbols(), text);
}

std::optional<std::string> Model::FindInputText(std::int64_t label) const {
  return FindText(input_symbols(), label);
}

std::optional<std::string> Model::FindOutputText(std::int64_t label) const {
  return FindText(output_symbols(), label);
}

}  // namespace vurel
