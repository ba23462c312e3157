#include "resegmenter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

namespace vurel::train {
namespace {

using NodeId = JointNgramModel::NodeId;

// The history after `token` follows `history`: the longest suffix of the
// two that the model keeps as a history.
NodeId NextHistory(const JointNgramModel &model, NodeId history,
                   std::uint32_t token) {
  for (NodeId node = history;; node = model.backoff(node)) {
    const NodeId child = model.Find(node, token);
    if (child != JointNgramModel::kNoNode) {
      NodeId next = model.order_of(child) >= model.order() ? model.backoff(child) : child;
      while (next != JointNgramModel::kRoot && model.children(next).empty()) {
        next = model.backoff(next);
      }
      return next;
    }
    if (node == JointNgramModel::kRoot) return JointNgramModel::kRoot;
  }
}

std::string Joined(const std::vector<std::string> &symbols, std::size_t first,
                   std::size_t count) {
  if (count == 0) return "_";
  std::string text = symbols[first];
  for (std::size_t k = 1; k < count; ++k) text += "|" + symbols[first + k];
  return text;
}

struct Way {
  double score;
  NodeId history;
  std::size_t from_cell;
  std::uint32_t from_way;
  std::uint32_t token;
};

}  // namespace

Alignment Resegment(const std::vector<DictionaryEntry> &entries,
                    const Alignment &alignment, const JointNgramModel &model,
                    const ResegmentOptions &options) {
  std::unordered_map<std::string, std::uint32_t> tokens;
  std::vector<std::pair<std::size_t, std::size_t>> shapes;
  for (std::size_t t = 0; t < alignment.units.size(); ++t) {
    const JointUnit &unit = alignment.units[t];
    tokens.emplace(GraphemeText(unit) + '\t' + PhonemeText(unit),
                   static_cast<std::uint32_t>(t));
    const std::pair shape(unit.graphemes.size(), unit.phonemes.size());
    if (std::find(shapes.begin(), shapes.end(), shape) == shapes.end()) {
      shapes.push_back(shape);
    }
  }

  Alignment result;
  result.units = alignment.units;
  result.unalignable = alignment.unalignable;
  result.iterations = alignment.iterations;
  result.log_likelihood = alignment.log_likelihood;
  const auto by_score = [](const Way &a, const Way &b) { return a.score > b.score; };
  std::vector<std::vector<Way>> ways;
  for (std::size_t first = 0; first < alignment.sequences.size();) {
    std::size_t last = first + 1;
    while (last < alignment.sequences.size() &&
           alignment.entry_index[last] == alignment.entry_index[first]) {
      ++last;
    }
    const std::size_t index = alignment.entry_index[first];
    const DictionaryEntry &entry = entries[index];
    const std::size_t letters = entry.graphemes.size();
    const std::size_t phonemes = entry.phonemes.size();
    const std::size_t cells = (letters + 1) * (phonemes + 1);
    ways.assign(cells, {});
    ways[0].push_back({0.0, model.begin_history(), 0, 0, 0});
    for (std::size_t cell = 0; cell < cells; ++cell) {
      std::vector<Way> &here = ways[cell];
      std::sort(here.begin(), here.end(), by_score);
      if (here.size() > options.beam) here.resize(options.beam);
      if (cell == cells - 1) break;
      const std::size_t i = cell / (phonemes + 1), j = cell % (phonemes + 1);
      for (const auto &[a, b] : shapes) {
        if (i + a > letters || j + b > phonemes) continue;
        const auto found = tokens.find(Joined(entry.graphemes, i, a) + '\t' +
                                       Joined(entry.phonemes, j, b));
        if (found == tokens.end()) continue;
        const std::uint32_t token = found->second;
        std::vector<Way> &there = ways[cell + a * (phonemes + 1) + b];
        for (std::size_t w = 0; w < here.size(); ++w) {
          const double probability = model.Probability(here[w].history, token);
          if (!(probability > 0)) continue;
          there.push_back({here[w].score + std::log(probability),
                           NextHistory(model, here[w].history, token), cell,
                           static_cast<std::uint32_t>(w), token});
        }
      }
    }
    std::vector<Way> &endings = ways[cells - 1];
    for (Way &way : endings) {
      way.score += std::log(model.Probability(way.history, model.end_token()));
    }
    std::sort(endings.begin(), endings.end(), by_score);
    const std::size_t kept =
        std::min(endings.size(), static_cast<std::size_t>(options.alternatives));
    if (kept == 0) {
      for (std::size_t s = first; s < last; ++s) {
        result.sequences.push_back(alignment.sequences[s]);
        result.entry_index.push_back(index);
        result.shares.push_back(alignment.shares[s]);
      }
      first = last;
      continue;
    }
    double total = 0;
    for (std::size_t rank = 0; rank < kept; ++rank) {
      total += std::exp(endings[rank].score - endings.front().score);
    }
    for (std::size_t rank = 0; rank < kept; ++rank) {
      std::vector<std::uint32_t> sequence;
      std::size_t cell = cells - 1;
      std::size_t at = rank;
      while (cell != 0) {
        const Way &way = ways[cell][at];
        sequence.push_back(way.token);
        cell = way.from_cell;
        at = way.from_way;
      }
      std::reverse(sequence.begin(), sequence.end());
      result.sequences.push_back(std::move(sequence));
      result.entry_index.push_back(index);
      result.shares.push_back(std::exp(endings[rank].score - endings.front().score) / total);
    }
    first = last;
  }
  return result;
}

}  // namespace vurel::train
