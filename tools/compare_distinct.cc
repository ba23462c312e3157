// Runs the distinct-pronunciation search and its OpenFst reference over a
// word list and counts, for each number of pronunciations, the words on
// which they agree (AgreesWithReference), the words the search left to the
// reference, and the words that differ; prints the first few differences.
// With --prob, probabilities are computed by both and compared too (both
// must find them undefined on the same words, counted as undefined), and
// the largest absolute difference is printed.
//
// Usage: compare-distinct MODEL WORDS [--prob] [count...]
// Without counts: 1, 5 and 10. Words are read one per line, as given.
// Exit status: 0 when no word differs, 1 when some did, 2 on bad usage.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "comparison_input.h"
#include "driver/driver.h"
#include "model/model.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Describe(const vurel::DistinctDecoding &decoding) {
  std::string text = decoding.probabilities_undefined ? "  probabilities undefined\n" : "";
  for (const vurel::Pronunciation &pronunciation : decoding.pronunciations) {
    text.append("  ").append(std::to_string(pronunciation.weight));
    if (pronunciation.probability >= 0.0) {
      text.append(" p=").append(std::to_string(pronunciation.probability));
    }
    text.append(" [");
    for (const vurel::Label label : pronunciation.record.uniques) {
      text.append(" ").append(std::to_string(label));
    }
    text.append(" ]\n");
  }
  return text;
}

double LargestProbabilityGap(const vurel::DistinctDecoding &found,
                             const vurel::DistinctDecoding &reference) {
  double largest = 0.0;
  for (const vurel::Pronunciation &pronunciation : found.pronunciations) {
    for (const vurel::Pronunciation &other : reference.pronunciations) {
      if (other.record.uniques == pronunciation.record.uniques) {
        largest = std::max(largest, std::fabs(other.probability - pronunciation.probability));
      }
    }
  }
  return largest;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL WORDS [--prob] [count...]\n", argv[0]);
    return 2;
  }
  std::optional<vurel::tools::ComparisonInput> input =
      vurel::tools::ReadComparisonInput(argv[1], argv[2]);
  if (!input) return 2;
  const vurel::Model &model = input->model;
  const std::vector<std::string> &words = input->words;
  // The search bounds its pairs with the merged model from the first word,
  // rather than after the words that repay building it.
  model.BuildHistoryQuotient();
  std::vector<std::uint64_t> counts;
  bool probabilities = false;
  for (int i = 3; i < argc; ++i) {
    if (std::string(argv[i]) == "--prob") {
      probabilities = true;
    } else {
      counts.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (counts.empty()) counts = {1, 5, 10};

  bool any_differed = false;
  for (const std::uint64_t count : counts) {
    vurel::DistinctOptions options;
    options.count = count;
    options.probabilities = probabilities;
    std::uint64_t agreed = 0;
    std::uint64_t fell_back = 0;
    std::uint64_t differed = 0;
    std::uint64_t fewer = 0;
    std::uint64_t undefined = 0;
    double largest_gap = 0.0;
    double search_seconds = 0.0;
    double reference_seconds = 0.0;
    for (const std::string &word : words) {
      const auto start = Clock::now();
      const vurel::DistinctDecoding found = vurel::DecodeDistinct(model, word, options);
      const auto middle = Clock::now();
      const vurel::DistinctDecoding reference =
          vurel::DecodeDistinct(model, word, options, nullptr, vurel::Engine::kReference);
      const auto end = Clock::now();
      search_seconds += std::chrono::duration<double>(middle - start).count();
      reference_seconds += std::chrono::duration<double>(end - middle).count();
      fell_back += found.fell_back ? 1 : 0;
      fewer += found.pronunciations.size() < count ? 1 : 0;
      if (probabilities) largest_gap = std::max(largest_gap, LargestProbabilityGap(found, reference));
      undefined += reference.probabilities_undefined ? 1 : 0;
      if (found.status == reference.status &&
          found.probabilities_undefined == reference.probabilities_undefined &&
          vurel::AgreesWithReference(found.pronunciations, reference.pronunciations)) {
        ++agreed;
        continue;
      }
      if (++differed <= 5) {
        std::printf("DIFFERS (count %llu) %s\n search:\n%s reference:\n%s",
                    static_cast<unsigned long long>(count), word.c_str(),
                    Describe(found).c_str(), Describe(reference).c_str());
      }
    }
    any_differed = any_differed || differed > 0;
    std::printf("count %-3llu%s agreed %llu  fell back %llu  differed %llu  fewer than asked %llu",
                static_cast<unsigned long long>(count), probabilities ? " prob" : "",
                static_cast<unsigned long long>(agreed), static_cast<unsigned long long>(fell_back),
                static_cast<unsigned long long>(differed), static_cast<unsigned long long>(fewer));
    if (probabilities) {
      std::printf("  largest probability gap %.3g  undefined %llu", largest_gap,
                  static_cast<unsigned long long>(undefined));
    }
    std::printf("  words/s %.0f (reference %.0f)\n",
                static_cast<double>(words.size()) / search_seconds,
                static_cast<double>(words.size()) / reference_seconds);
    std::fflush(stdout);
  }
  return any_differed ? 1 : 0;
}
