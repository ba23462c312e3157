#include "aligner.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <unordered_map>
#include <utility>

namespace vurel::train {
namespace {

constexpr int kMostAlternatives = 64;

struct Step {
  int graphemes;
  int phonemes;
};

std::vector<Step> AllowedSteps(const AlignerOptions &options) {
  std::vector<Step> steps;
  for (int a = 1; a <= options.max_graphemes; ++a) {
    for (int b = 0; b <= options.max_phonemes; ++b) {
      if (b == 0 && !options.allow_deletions) continue;
      if (a > 1 && b > 1 && !options.allow_many_to_many) continue;
      steps.push_back({a, b});
    }
  }
  if (options.allow_insertions && options.max_phonemes >= 1) {
    steps.push_back({0, 1});
  }
  return steps;
}

// Interns texts as ids from 1 (0 stands for "no symbol" in a unit key).
class Interner {
 public:
  std::uint32_t Id(const std::string &text) {
    auto [it, added] = ids_.emplace(text, texts_.size() + 1);
    if (added) texts_.push_back(text);
    return it->second;
  }
  const std::string &Text(std::uint32_t id) const { return texts_[id - 1]; }
  std::size_t size() const { return texts_.size(); }

 private:
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::vector<std::string> texts_;
};

// One entry's segmentation lattice: a grid of (letters read, phonemes
// written) cells, and for each cell and step the unit it uses (or -1).
struct Lattice {
  int letters = 0;
  int phonemes = 0;
  std::size_t first_edge = 0;  // offset into the shared edge array
  std::size_t Cells() const {
    return static_cast<std::size_t>(letters + 1) * (phonemes + 1);
  }
};

class AlignerImpl {
 public:
  AlignerImpl(const std::vector<DictionaryEntry> &entries,
              const AlignerOptions &options)
      : entries_(entries), options_(options), steps_(AllowedSteps(options)) {}

  Result<Alignment> Run(const ProgressCallback &progress) {
    if (Status status = BuildLattices(); !status.ok()) return status.error();
    if (lattices_.empty()) {
      return InvalidInput("no dictionary entry can be aligned");
    }
    std::vector<double> probabilities(unit_keys_.size(),
                                      1.0 / static_cast<double>(unit_keys_.size()));
    std::vector<double> counts(unit_keys_.size());
    double previous = -std::numeric_limits<double>::infinity();
    Alignment alignment;
    for (int iteration = 1; iteration <= options_.max_iterations; ++iteration) {
      std::fill(counts.begin(), counts.end(), 0.0);
      const double log_likelihood = ExpectedCounts(probabilities, counts);
      const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
      if (!(total > 0.0)) return InternalError("alignment collected no counts");
      for (std::size_t u = 0; u < counts.size(); ++u) {
        probabilities[u] = counts[u] / total;
      }
      alignment.iterations = iteration;
      alignment.log_likelihood = log_likelihood;
      if (!GoOn(progress, "alignment iteration " + std::to_string(iteration) +
                              ": log-likelihood " + std::to_string(log_likelihood))) {
        return StoppedError();
      }
      if (log_likelihood - previous <
          options_.tolerance * std::fabs(log_likelihood)) {
        break;
      }
      previous = log_likelihood;
    }
    BestPaths(probabilities, alignment);
    return alignment;
  }

 private:
  std::uint64_t UnitKey(const DictionaryEntry &entry, int i, int a, int j,
                        int b, bool &too_many) {
    std::uint64_t key = 0;
    for (int k = 0; k < 2; ++k) {
      const std::uint32_t id =
          k < a ? graphemes_.Id(entry.graphemes[i + k]) : 0;
      too_many |= id > 0xFFFF;
      key = (key << 16) | id;
    }
    for (int k = 0; k < 2; ++k) {
      const std::uint32_t id = k < b ? phonemes_.Id(entry.phonemes[j + k]) : 0;
      too_many |= id > 0xFFFF;
      key = (key << 16) | id;
    }
    return key;
  }

  Status BuildLattices() {
    if (options_.max_graphemes < 1 || options_.max_graphemes > 2 ||
        options_.max_phonemes < 0 || options_.max_phonemes > 2) {
      return InvalidInput(
          "alignment steps take 1 or 2 letters and 0 to 2 phonemes");
    }
    if (options_.alternatives < 1 || options_.alternatives > kMostAlternatives) {
      return InvalidInput("alternative alignments must number 1 to " +
                          std::to_string(kMostAlternatives));
    }
    std::unordered_map<std::uint64_t, std::int32_t> unit_ids;
    const std::size_t step_count = steps_.size();
    for (std::size_t index = 0; index < entries_.size(); ++index) {
      const DictionaryEntry &entry = entries_[index];
      Lattice lattice;
      lattice.letters = static_cast<int>(entry.graphemes.size());
      lattice.phonemes = static_cast<int>(entry.phonemes.size());
      lattice.first_edge = edges_.size();
      edges_.resize(edges_.size() + lattice.Cells() * step_count, -1);
      bool too_many = false;
      for (int i = 0; i <= lattice.letters; ++i) {
        for (int j = 0; j <= lattice.phonemes; ++j) {
          const std::size_t cell =
              static_cast<std::size_t>(i) * (lattice.phonemes + 1) + j;
          for (std::size_t s = 0; s < step_count; ++s) {
            const Step step = steps_[s];
            if (i + step.graphemes > lattice.letters ||
                j + step.phonemes > lattice.phonemes) {
              continue;
            }
            const std::uint64_t key =
                UnitKey(entry, i, step.graphemes, j, step.phonemes, too_many);
            auto [it, added] = unit_ids.emplace(key, unit_keys_.size());
            if (added) unit_keys_.push_back(key);
            edges_[lattice.first_edge + cell * step_count + s] = it->second;
          }
        }
      }
      if (too_many) {
        return InvalidInput("more than 65535 distinct letters or phonemes");
      }
      if (!Reachable(lattice)) {
        edges_.resize(lattice.first_edge);
        unalignable_.push_back(index);
        continue;
      }
      lattices_.push_back(lattice);
      lattice_entry_.push_back(index);
    }
    return {};
  }

  std::size_t Destination(const Lattice &lattice, std::size_t cell,
                          const Step &step) const {
    return cell + static_cast<std::size_t>(step.graphemes) *
                      (lattice.phonemes + 1) + step.phonemes;
  }

  bool Reachable(const Lattice &lattice) const {
    std::vector<char> reached(lattice.Cells(), 0);
    reached[0] = 1;
    for (std::size_t cell = 0; cell < reached.size(); ++cell) {
      if (!reached[cell]) continue;
      for (std::size_t s = 0; s < steps_.size(); ++s) {
        if (edges_[lattice.first_edge + cell * steps_.size() + s] >= 0) {
          reached[Destination(lattice, cell, steps_[s])] = 1;
        }
      }
    }
    return reached.back() != 0;
  }

  // Adds each unit's expected count over all entries to `counts` and returns
  // the total log-likelihood.
  double ExpectedCounts(const std::vector<double> &probabilities,
                        std::vector<double> &counts) const {
    const std::size_t step_count = steps_.size();
    double log_likelihood = 0.0;
    std::vector<double> alpha, beta;
    for (const Lattice &lattice : lattices_) {
      const std::size_t cells = lattice.Cells();
      const std::int32_t *edges = edges_.data() + lattice.first_edge;
      alpha.assign(cells, 0.0);
      beta.assign(cells, 0.0);
      alpha[0] = 1.0;
      for (std::size_t cell = 0; cell < cells; ++cell) {
        if (alpha[cell] == 0.0) continue;
        for (std::size_t s = 0; s < step_count; ++s) {
          const std::int32_t unit = edges[cell * step_count + s];
          if (unit < 0) continue;
          alpha[Destination(lattice, cell, steps_[s])] +=
              alpha[cell] * probabilities[unit];
        }
      }
      const double total = alpha[cells - 1];
      // Too improbable to represent: the entry sits this iteration out.
      if (!(total > std::numeric_limits<double>::min())) continue;
      beta[cells - 1] = 1.0;
      for (std::size_t cell = cells - 1; cell-- > 0;) {
        double sum = 0.0;
        for (std::size_t s = 0; s < step_count; ++s) {
          const std::int32_t unit = edges[cell * step_count + s];
          if (unit < 0) continue;
          sum += probabilities[unit] * beta[Destination(lattice, cell, steps_[s])];
        }
        beta[cell] = sum;
      }
      log_likelihood += std::log(total);
      for (std::size_t cell = 0; cell < cells; ++cell) {
        if (alpha[cell] == 0.0) continue;
        const double scale = alpha[cell] / total;
        for (std::size_t s = 0; s < step_count; ++s) {
          const std::int32_t unit = edges[cell * step_count + s];
          if (unit < 0) continue;
          counts[unit] += scale * probabilities[unit] *
                          beta[Destination(lattice, cell, steps_[s])];
        }
      }
    }
    return log_likelihood;
  }

  JointUnit UnitFromKey(std::uint64_t key) const {
    JointUnit unit;
    const std::uint32_t ids[4] = {
        static_cast<std::uint32_t>(key >> 48) & 0xFFFF,
        static_cast<std::uint32_t>(key >> 32) & 0xFFFF,
        static_cast<std::uint32_t>(key >> 16) & 0xFFFF,
        static_cast<std::uint32_t>(key) & 0xFFFF};
    for (int k = 0; k < 2; ++k) {
      if (ids[k] != 0) unit.graphemes.push_back(graphemes_.Text(ids[k]));
    }
    for (int k = 2; k < 4; ++k) {
      if (ids[k] != 0) unit.phonemes.push_back(phonemes_.Text(ids[k]));
    }
    return unit;
  }

  // Viterbi segmentation of every entry; tokens are renumbered densely in
  // the order of the units' texts so that equal input gives equal ids.
  void BestPaths(const std::vector<double> &probabilities,
                 Alignment &alignment) const {
    const std::size_t step_count = steps_.size();
    std::vector<double> log_probabilities(probabilities.size());
    for (std::size_t u = 0; u < probabilities.size(); ++u) {
      log_probabilities[u] = probabilities[u] > 0.0
                                 ? std::log(probabilities[u])
                                 : -std::numeric_limits<double>::infinity();
    }
    // The k best ways into each cell, best first.
    struct Way {
      double score;
      std::size_t from_cell;
      std::int32_t step;
      std::int32_t from_rank;
    };
    const std::size_t alternatives = static_cast<std::size_t>(options_.alternatives);
    std::vector<std::vector<std::int32_t>> paths;
    std::vector<std::size_t> path_lattice;
    std::vector<double> path_shares;
    std::vector<std::vector<Way>> ways;
    std::vector<char> used(unit_keys_.size(), 0);
    for (std::size_t l = 0; l < lattices_.size(); ++l) {
      const Lattice &lattice = lattices_[l];
      const std::size_t cells = lattice.Cells();
      const std::int32_t *edges = edges_.data() + lattice.first_edge;
      ways.assign(cells, {});
      ways[0].push_back({0.0, 0, -1, -1});
      for (std::size_t cell = 0; cell < cells; ++cell) {
        for (std::size_t rank = 0; rank < ways[cell].size(); ++rank) {
          for (std::size_t s = 0; s < step_count; ++s) {
            const std::int32_t unit = edges[cell * step_count + s];
            if (unit < 0) continue;
            std::vector<Way> &into = ways[Destination(lattice, cell, steps_[s])];
            const Way way{ways[cell][rank].score + log_probabilities[unit], cell,
                          static_cast<std::int32_t>(s), static_cast<std::int32_t>(rank)};
            // Among equal scores the way found first stays ahead.
            auto at = std::upper_bound(into.begin(), into.end(), way,
                                       [](const Way &a, const Way &b) { return a.score > b.score; });
            if (static_cast<std::size_t>(at - into.begin()) >= alternatives) continue;
            into.insert(at, way);
            if (into.size() > alternatives) into.pop_back();
          }
        }
      }
      const std::vector<Way> &endings = ways[cells - 1];
      // Only the first way when even the best has probability 0.
      const std::size_t kept =
          endings.front().score > -std::numeric_limits<double>::infinity()
              ? endings.size() : 1;
      double total = 0;
      for (std::size_t rank = 0; rank < kept; ++rank) {
        total += std::exp(endings[rank].score - endings.front().score);
      }
      for (std::size_t rank = 0; rank < kept; ++rank) {
        std::vector<std::int32_t> path;
        std::size_t cell = cells - 1;
        std::size_t at = rank;
        while (cell != 0) {
          const Way &way = ways[cell][at];
          const std::int32_t unit = edges[way.from_cell * step_count + way.step];
          path.push_back(unit);
          used[unit] = 1;
          cell = way.from_cell;
          at = static_cast<std::size_t>(way.from_rank);
        }
        std::reverse(path.begin(), path.end());
        paths.push_back(std::move(path));
        path_lattice.push_back(l);
        path_shares.push_back(
            kept == 1 ? 1.0 : std::exp(endings[rank].score - endings.front().score) / total);
      }
    }

    std::vector<std::pair<std::pair<std::string, std::string>, std::int32_t>>
        order;
    std::vector<JointUnit> units(unit_keys_.size());
    for (std::size_t u = 0; u < unit_keys_.size(); ++u) {
      if (!used[u]) continue;
      units[u] = UnitFromKey(unit_keys_[u]);
      order.push_back({{GraphemeText(units[u]), PhonemeText(units[u])},
                       static_cast<std::int32_t>(u)});
    }
    std::sort(order.begin(), order.end());
    std::vector<std::uint32_t> token(unit_keys_.size(), 0);
    for (std::size_t t = 0; t < order.size(); ++t) {
      token[order[t].second] = static_cast<std::uint32_t>(t);
      alignment.units.push_back(std::move(units[order[t].second]));
    }
    for (std::size_t l = 0; l < paths.size(); ++l) {
      std::vector<std::uint32_t> sequence;
      for (std::int32_t unit : paths[l]) sequence.push_back(token[unit]);
      alignment.sequences.push_back(std::move(sequence));
      alignment.entry_index.push_back(lattice_entry_[path_lattice[l]]);
      alignment.shares.push_back(path_shares[l]);
    }
    alignment.unalignable = unalignable_;
  }

  const std::vector<DictionaryEntry> &entries_;
  const AlignerOptions &options_;
  const std::vector<Step> steps_;
  Interner graphemes_;
  Interner phonemes_;
  std::vector<std::uint64_t> unit_keys_;
  std::vector<std::int32_t> edges_;
  std::vector<Lattice> lattices_;
  std::vector<std::size_t> lattice_entry_;
  std::vector<std::size_t> unalignable_;
};

std::string JoinOrSkip(const std::vector<std::string> &members) {
  if (members.empty()) return "_";
  std::string text = members.front();
  for (std::size_t i = 1; i < members.size(); ++i) text += "|" + members[i];
  return text;
}

}  // namespace

std::string GraphemeText(const JointUnit &unit) {
  return JoinOrSkip(unit.graphemes);
}

std::string PhonemeText(const JointUnit &unit) {
  return JoinOrSkip(unit.phonemes);
}

namespace {

std::string WithoutStress(const std::string &phoneme) {
  std::string stripped;
  for (char c : phoneme) {
    if (c < '0' || c > '9') stripped.push_back(c);
  }
  return stripped.empty() ? phoneme : stripped;
}

// Replaces the units of `alignment`, made from `stripped` entries, by the
// units of the same segmentation over the phonemes of `entries`.
void RestorePhonemes(const std::vector<DictionaryEntry> &entries,
                     Alignment &alignment) {
  std::map<std::pair<std::string, std::string>, std::size_t> ids;
  std::vector<JointUnit> units;
  for (std::size_t s = 0; s < alignment.sequences.size(); ++s) {
    const DictionaryEntry &entry = entries[alignment.entry_index[s]];
    std::size_t phoneme = 0;
    for (std::uint32_t &token : alignment.sequences[s]) {
      const JointUnit &stripped = alignment.units[token];
      JointUnit unit;
      unit.graphemes = stripped.graphemes;
      unit.phonemes.assign(
          entry.phonemes.begin() + phoneme,
          entry.phonemes.begin() + phoneme + stripped.phonemes.size());
      phoneme += stripped.phonemes.size();
      auto [it, added] = ids.try_emplace(
          {GraphemeText(unit), PhonemeText(unit)}, units.size());
      if (added) units.push_back(std::move(unit));
      token = static_cast<std::uint32_t>(it->second);
    }
  }
  // Tokens in the order of the units' texts, as Align gives them.
  std::vector<std::uint32_t> renumbered(units.size());
  std::uint32_t next = 0;
  for (const auto &[texts, id] : ids) renumbered[id] = next++;
  alignment.units.assign(units.size(), JointUnit{});
  for (std::size_t id = 0; id < units.size(); ++id) {
    alignment.units[renumbered[id]] = std::move(units[id]);
  }
  for (auto &sequence : alignment.sequences) {
    for (std::uint32_t &token : sequence) token = renumbered[token];
  }
}

}  // namespace

Error StoppedError() { return InvalidInput("stopped by its progress callback"); }

Result<Alignment> Align(const std::vector<DictionaryEntry> &entries,
                        const AlignerOptions &options,
                        const ProgressCallback &progress) {
  if (!options.ignore_stress) return AlignerImpl(entries, options).Run(progress);
  std::vector<DictionaryEntry> stripped = entries;
  for (DictionaryEntry &entry : stripped) {
    for (std::string &phoneme : entry.phonemes) phoneme = WithoutStress(phoneme);
  }
  Result<Alignment> alignment = AlignerImpl(stripped, options).Run(progress);
  if (alignment.ok()) RestorePhonemes(entries, *alignment);
  return alignment;
}

}  // namespace vurel::train
