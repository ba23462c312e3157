#include "cluster_table.h"

#include <string>
#include <string_view>

#include "util/utf8.h"

namespace vurel {

std::size_t LabelSequenceHash::operator()(
    const LabelSequence &labels) const noexcept {
  // Labels are small dense integers, so each is spread over all 64 bits
  // (the splitmix64 finaliser) before it is folded in; the fold is
  // order-sensitive so that permutations of a sequence hash apart.
  std::uint64_t hash = labels.size();
  for (const Label label : labels) {
    std::uint64_t mixed = label + 0x9e3779b97f4a7c15ULL;
    mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebULL;
    mixed ^= mixed >> 31;
    hash = (hash ^ mixed) * 0x100000001b3ULL + (hash >> 29);
  }
  return static_cast<std::size_t>(hash);
}

namespace {

// Appends the label of `piece` to `decomposition` when it is a symbol.
void AppendPieceLabel(const fst::SymbolTable &symbols, std::string_view piece,
                      LabelSequence &decomposition) {
  const std::int64_t label = symbols.Find(std::string(piece));
  if (label >= 0) decomposition.push_back(static_cast<Label>(label));
}

LabelSequence Decompose(const fst::SymbolTable &symbols, Label label,
                        std::string_view text, std::string_view tie) {
  LabelSequence decomposition;
  if (tie.empty()) {
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t length = Utf8CharLength(text, pos);
      AppendPieceLabel(symbols, text.substr(pos, length), decomposition);
      pos += length;
    }
    return decomposition;
  }
  if (text.find(tie) == std::string_view::npos) return {label};
  std::size_t start = 0;
  while (true) {
    const std::size_t found = text.find(tie, start);
    const std::size_t end = found == std::string_view::npos ? text.size() : found;
    if (end > start) {
      AppendPieceLabel(symbols, text.substr(start, end - start), decomposition);
    }
    if (found == std::string_view::npos) break;
    start = found + tie.size();
  }
  return decomposition;
}

}  // namespace

ClusterTable BuildClusterTable(const fst::SymbolTable &symbols) {
  ClusterTable table;
  const std::size_t size = symbols.NumSymbols();
  const std::string tie = size >= 2 ? symbols.Find(1) : std::string("|");
  if (size > 2) {
    table.decompositions.reserve(size - 2);
    table.clusters.reserve(size - 2);
  }
  for (std::size_t j = 2; j < size; ++j) {
    const Label label = static_cast<Label>(j);
    const std::string text = symbols.Find(static_cast<std::int64_t>(j));
    LabelSequence decomposition = Decompose(symbols, label, text, tie);
    if (decomposition.size() > table.longest) {
      table.longest = decomposition.size();
    }
    table.clusters.insert_or_assign(decomposition, label);
    table.decompositions.emplace(label, std::move(decomposition));
  }
  return table;
}

VetoSet MakeVetoSet() { return VetoSet{0, 1, 2}; }

void AppendDecomposition(const ClusterTable &output_clusters,
                         const VetoSet &veto, Label label,
                         LabelSequence &uniques) {
  const auto entry = output_clusters.decompositions.find(label);
  if (entry == output_clusters.decompositions.end()) return;
  for (const Label piece : entry->second) {
    if (!veto.contains(piece)) uniques.push_back(piece);
  }
}

}  // namespace vurel
