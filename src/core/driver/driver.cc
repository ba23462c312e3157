#include "driver/driver.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "distinct/distinct_search.h"
#include "driver/tokenizer.h"
#include "driver/word_acceptor.h"
#include "model/fst_file.h"
#include "reference/composition.h"
#include "search/direct_search.h"

namespace vurel {

std::vector<PathData> SelectPaths(const PathCollection &collection,
                                  std::uint64_t beam, float threshold,
                                  double pmass) {
  std::vector<PathData> selected;
  selected.reserve(collection.keys.size());
  if (collection.keys.empty()) return selected;

  // NaN compares false, so it switches a rule off like 99.0 does.
  const bool use_pmass = pmass < kOptionOff;
  const bool use_threshold = threshold < static_cast<float>(kOptionOff);
  constexpr float kNoMass = std::numeric_limits<float>::infinity();

  float total = kNoMass;
  if (use_pmass) {
    for (const LabelSequence &key : collection.keys) {
      const auto kept = collection.paths.find(key);
      if (kept != collection.paths.end()) {
        total = LogAdd(total, kept->second.path_weight);
      }
    }
  }

  float running_mass = kNoMass;
  for (const LabelSequence &key : collection.keys) {
    const auto kept = collection.paths.find(key);
    if (kept == collection.paths.end()) continue;
    float weight = kept->second.path_weight;
    if (use_pmass) {
      weight -= total;
      // Records skipped by the threshold still count towards the mass.
      running_mass = LogAdd(running_mass, weight);
    }
    if (use_threshold && weight > threshold) continue;
    selected.push_back(kept->second);
    selected.back().path_weight = weight;
    if (use_pmass && pmass > static_cast<double>(running_mass)) break;
    if (selected.size() >= beam) break;
  }
  return selected;
}

namespace {

DecodeStatus StatusOf(const Error &error) {
  switch (error.code) {
    case ErrorCode::kOverBudget:
      return DecodeStatus::kOverBudget;
    case ErrorCode::kCancelled:
      return DecodeStatus::kCancelled;
    case ErrorCode::kInvalidInput:
    case ErrorCode::kInternal:
      break;
  }
  return DecodeStatus::kFailed;
}

// A word's budget in shares: the lattice a quarter; OpenFst's n-shortest
// paths result half; its reversed copy of the lattice and the trimming the
// last quarter.
constexpr std::uint64_t kBytesPerResultState = 128;
// The direct search's partial paths, with their queue entries.
constexpr std::uint64_t kBytesPerPartialPath = 32;

SearchBudget SearchBudgetFor(std::uint64_t word_budget_bytes) {
  SearchBudget budget;
  budget.largest_result_states = static_cast<std::int64_t>(std::min<std::uint64_t>(
      word_budget_bytes / 2 / kBytesPerResultState,
      std::numeric_limits<std::int64_t>::max()));
  return budget;
}

// The word's acceptor, reading the model's input symbols; none when no
// piece of the word is a symbol.
std::optional<VectorFst> AcceptorFor(const Model &model, std::string_view word) {
  const std::vector<Label> labels = Tokenize(word, model.delimiter(), model.input_symbols());
  if (labels.empty()) return std::nullopt;
  VectorFst acceptor = BuildWordAcceptor(labels, model.input_clusters());
  // SymbolTable copies share their contents, so the model's table is
  // referenced, not duplicated.
  acceptor.SetInputSymbols(&model.input_symbols());
  acceptor.SetOutputSymbols(&model.input_symbols());
  return acceptor;
}

// What one word may spend, in each engine's terms.
struct WordBudgets {
  LatticeBudget lattice;
  SearchBudget search;
  DirectSearchBudget direct;
};

WordBudgets BudgetsFor(const Model &model) {
  const std::uint64_t budget_bytes = model.settings().word_budget_bytes;
  WordBudgets budgets{LatticeBudget::ForBytes(budget_bytes / 4), SearchBudgetFor(budget_bytes), {}};
  budgets.direct = DirectSearchBudget{
      .lattice_states = budgets.lattice.states,
      .lattice_arcs = budgets.lattice.arcs,
      // Partial paths are numbered in 32 bits.
      .partial_paths = std::min<std::uint64_t>(budget_bytes / 4 / kBytesPerPartialPath,
                                               std::numeric_limits<std::uint32_t>::max() - 1),
      .reference_result_states = static_cast<std::uint64_t>(
          std::min(budgets.search.result_states, budgets.search.largest_result_states)),
      .walked_arcs = budgets.search.walked_arcs,
      .kept_arcs = budgets.search.kept_arcs};
  return budgets;
}

bool TriesDirectSearch(const Model &model, Engine engine) {
  return engine == Engine::kAuto && model.suits_direct_search() &&
         !model.settings().reference_only;
}

std::uint64_t SaturatingProduct(std::uint64_t lhs, std::uint64_t rhs) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(lhs, rhs, &product) ? std::numeric_limits<std::uint64_t>::max()
                                                    : product;
}

}  // namespace

Decoding Decode(const Model &model, std::string_view word,
                const PhoneticizeOptions &options, const std::atomic<bool> *cancel,
                Engine engine) {
  std::optional<VectorFst> acceptor = AcceptorFor(model, word);
  if (!acceptor) return {};

  // A file name cannot hold a NUL byte; the system would cut the name at it
  // and write to a different file, so such a word writes nothing.
  const bool write_fsts =
      options.write_fsts && word.find('\0') == std::string_view::npos;
  const std::string file_stem(write_fsts ? word : std::string_view());
  if (write_fsts) (void)WriteFstFile(*acceptor, file_stem + ".fst");

  const WordBudgets budgets = BudgetsFor(model);
  bool fell_back = false;
  if (!write_fsts && TriesDirectSearch(model, engine)) {
    DirectSearchResult direct =
        SearchDirect(model.fst(), model.start_closure(), *acceptor, options.nbest,
                     options.accumulate, model.output_clusters(), model.veto_set(),
                     budgets.direct, cancel);
    switch (direct.outcome) {
      case DirectSearchOutcome::kFound:
        return Decoding{SelectPaths(direct.collection, options.beam, options.threshold,
                                    options.pmass),
                        DecodeStatus::kDecoded, true, false, direct.distinct_outputs};
      case DirectSearchOutcome::kNoPath:
        return Decoding{{}, DecodeStatus::kNoPath, true, false};
      case DirectSearchOutcome::kOverBudget:
        return Decoding{{}, DecodeStatus::kOverBudget, true, false};
      case DirectSearchOutcome::kCancelled:
        return Decoding{{}, DecodeStatus::kCancelled, true, false};
      case DirectSearchOutcome::kUnsure:
        fell_back = true;
        break;
    }
  }

  Result<VectorFst> lattice =
      PrepareLattice(std::move(*acceptor), model.fst(), budgets.lattice, cancel);
  if (!lattice.ok()) return Decoding{{}, StatusOf(lattice.error()), false, fell_back};
  if (write_fsts) (void)WriteFstFile(*lattice, file_stem + ".lat.fst");
  if (lattice->Start() == fst::kNoStateId) {
    return Decoding{{}, DecodeStatus::kNoPath, false, fell_back};
  }

  Result<PathCollection> collection =
      SearchNbest(*lattice, options.nbest, options.accumulate, model.output_clusters(),
                  model.veto_set(), {}, budgets.search);
  if (!collection.ok()) return Decoding{{}, StatusOf(collection.error()), false, fell_back};
  return Decoding{SelectPaths(*collection, options.beam, options.threshold, options.pmass),
                  DecodeStatus::kDecoded, false, fell_back};
}

DistinctDecoding DecodeDistinct(const Model &model, std::string_view word,
                                const DistinctOptions &options, const std::atomic<bool> *cancel,
                                Engine engine) {
  DistinctDecoding decoding;
  // Each search looks at the flag only now and then; a word asked for once
  // the flag is set must not be decoded whole.
  if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
    decoding.status = DecodeStatus::kCancelled;
    return decoding;
  }
  std::optional<VectorFst> acceptor = AcceptorFor(model, word);
  if (!acceptor || options.count == 0) return decoding;
  const bool by_probability = options.ranking == Ranking::kProbability;
  const std::uint64_t wanted =
      by_probability ? SaturatingProduct(options.count, kCandidatesPerProbabilityRank)
                     : options.count;
  const bool probabilities = options.probabilities || by_probability;
  const WordBudgets budgets = BudgetsFor(model);
  if (TriesDirectSearch(model, engine)) {
    DistinctSearchResult direct =
        SearchDistinct(model.fst(), model.start_closure(),
                       model.history_quotient(), *acceptor, wanted,
                       probabilities, model.output_clusters(), model.veto_set(), budgets.direct,
                       cancel, probabilities ? &model.unbounded_states() : nullptr);
    decoding.direct = true;
    switch (direct.outcome) {
      case DirectSearchOutcome::kFound:
        decoding.pronunciations = std::move(direct.pronunciations);
        decoding.probabilities_undefined = direct.probabilities_undefined;
        break;
      case DirectSearchOutcome::kNoPath:
        return decoding;
      case DirectSearchOutcome::kOverBudget:
        decoding.status = DecodeStatus::kOverBudget;
        return decoding;
      case DirectSearchOutcome::kCancelled:
        decoding.status = DecodeStatus::kCancelled;
        return decoding;
      case DirectSearchOutcome::kUnsure:
        decoding.direct = false;
        decoding.fell_back = true;
        break;
    }
  }
  if (!decoding.direct) {
    Result<VectorFst> lattice =
        PrepareLattice(std::move(*acceptor), model.fst(), budgets.lattice, cancel);
    if (!lattice.ok()) {
      decoding.status = StatusOf(lattice.error());
      return decoding;
    }
    decoding.probabilities_undefined = probabilities && PathsHoldUnboundedMass(*lattice);
    Result<std::vector<Pronunciation>> found = ReferencePronunciations(
        *lattice, wanted, probabilities && !decoding.probabilities_undefined,
        model.output_clusters(), model.veto_set(),
        ReferenceBudget{std::min(budgets.search.result_states, budgets.search.largest_result_states),
                        budgets.search.kept_arcs});
    if (!found.ok()) {
      decoding.status = StatusOf(found.error());
      return decoding;
    }
    decoding.pronunciations = std::move(found).value();
  }
  if (by_probability && !decoding.probabilities_undefined) {
    std::stable_sort(decoding.pronunciations.begin(), decoding.pronunciations.end(),
                     [](const Pronunciation &lhs, const Pronunciation &rhs) {
                       return lhs.probability > rhs.probability;
                     });
  }
  if (by_probability && decoding.pronunciations.size() > options.count) {
    decoding.pronunciations.resize(options.count);
  }
  decoding.status =
      decoding.pronunciations.empty() ? DecodeStatus::kNoPath : DecodeStatus::kDecoded;
  return decoding;
}

std::vector<PathData> Phoneticize(const Model &model, std::string_view word,
                                  const PhoneticizeOptions &options) {
  return Decode(model, word, options).paths;
}

}  // namespace vurel
