#include "evaluation.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <unordered_map>

#include "driver/driver.h"

namespace vurel::train {

double EvaluationReport::word_error_rate() const {
  return words == 0 ? 0.0 : 100.0 * static_cast<double>(word_errors) / words;
}

double EvaluationReport::phoneme_error_rate() const {
  return reference_phonemes == 0
             ? 0.0
             : 100.0 * static_cast<double>(phoneme_errors) / reference_phonemes;
}

std::size_t EditDistance(const std::vector<std::string> &a,
                         const std::vector<std::string> &b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

Status CheckEvaluable(const Dictionary &dictionary) {
  if (dictionary.entries.empty()) return InvalidInput("the dictionary has no entries");
  return {};
}

EvaluationReport Evaluate(const Model &model, const Dictionary &dictionary,
                          bool list_errors) {
  std::vector<std::string> words;
  std::unordered_map<std::string, std::vector<std::vector<std::string>>>
      references;
  for (const DictionaryEntry &entry : dictionary.entries) {
    auto [it, added] = references.try_emplace(entry.word);
    if (added) words.push_back(entry.word);
    it->second.push_back(entry.phonemes);
  }

  EvaluationReport report;
  const PhoneticizeOptions options;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string &word : words) {
    const auto &variants = references[word];
    ++report.words;
    std::vector<std::string> letters;
    SplitCodePoints(word, letters);
    const bool known = std::all_of(
        letters.begin(), letters.end(), [&](const std::string &letter) {
          return model.FindInputLabel(letter).has_value();
        });
    std::vector<std::string> predicted;
    if (known) {
      const std::vector<PathData> paths = Phoneticize(model, word, options);
      if (!paths.empty()) {
        for (Label label : paths.front().uniques) {
          predicted.push_back(model.FindOutputText(label).value_or("?"));
        }
      }
    } else {
      ++report.words_with_unknown_letters;
    }
    std::size_t best_edits = std::numeric_limits<std::size_t>::max();
    std::size_t best_length = 0;
    for (const auto &variant : variants) {
      const std::size_t edits = EditDistance(predicted, variant);
      if (edits < best_edits) {
        best_edits = edits;
        best_length = variant.size();
      }
    }
    report.reference_phonemes += best_length;
    report.phoneme_errors += best_edits;
    if (best_edits != 0 || !known) {
      ++report.word_errors;
      if (list_errors) {
        report.errors.push_back({word, std::move(predicted), variants, best_edits});
      }
    }
  }
  report.decoding_seconds = std::chrono::duration<double>(
                                std::chrono::steady_clock::now() - start)
                                .count();
  return report;
}

}  // namespace vurel::train
