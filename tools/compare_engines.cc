// Runs both of vurel's searches over a word list and counts, for each set
// of options, the words whose records are identical (field by field, weights
// bit for bit), the words the direct search left to OpenFst, and the words
// that differ. Prints the first few differences.
//
// Usage: compare-engines MODEL WORDS [--no-accumulate | --only-accumulate] [nbest...]
// Without nbest: 1, 5 and 10. Each is run plain and with accumulate; the
// records with pmass 0.9 are selected from those of the same run, as
// Decode selects them, rather than decoded again.
// Words are read one per line, as given (no case folding).
// Exit status: 0 when no word differs, 1 when some did, 2 on bad usage.
#include <chrono>
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

// Counts for one set of options.
struct Tally {
  std::string name;
  std::uint64_t identical = 0;
  std::uint64_t fell_back = 0;
  std::uint64_t differed = 0;
  std::uint64_t distinct_outputs = 0;  // answered reading one path per output
  double direct_seconds = 0.0;
  double reference_seconds = 0.0;
};

std::string Describe(const std::vector<vurel::PathData> &paths) {
  std::string text;
  for (const vurel::PathData &path : paths) {
    text.append("  ").append(std::to_string(path.path_weight)).append(" [");
    for (const vurel::Label label : path.uniques) text.append(" ").append(std::to_string(label));
    text.append(" ] arcs ").append(std::to_string(path.ilabels.size())).append("\n");
  }
  return text;
}

void Count(Tally &tally, const std::string &word, const std::vector<vurel::PathData> &direct,
           const std::vector<vurel::PathData> &reference, bool same_status) {
  if (same_status && vurel::IdenticalRecords(direct, reference)) {
    ++tally.identical;
    return;
  }
  if (++tally.differed <= 5) {
    std::printf("DIFFERS (%s) %s\n direct:\n%s reference:\n%s", tally.name.c_str(),
                word.c_str(), Describe(direct).c_str(), Describe(reference).c_str());
  }
}

// The records a decode with pmass 0.9 gives, from those of the same decode
// without it: pmass only selects among the records found.
std::vector<vurel::PathData> WithPmass(const std::vector<vurel::PathData> &paths) {
  vurel::PathCollection collection;
  for (const vurel::PathData &path : paths) {
    collection.keys.push_back(path.uniques);
    collection.paths.emplace(path.uniques, path);
  }
  return vurel::SelectPaths(collection, vurel::PhoneticizeOptions{}.beam, vurel::kOptionOff, 0.9);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL WORDS [--no-accumulate | --only-accumulate] [nbest...]\n",
                 argv[0]);
    return 2;
  }
  std::optional<vurel::tools::ComparisonInput> input =
      vurel::tools::ReadComparisonInput(argv[1], argv[2]);
  if (!input) return 2;
  const vurel::Model &model = input->model;
  const std::vector<std::string> &words = input->words;

  std::vector<std::uint64_t> nbests;
  bool with_accumulate = true;
  bool with_plain = true;
  for (int i = 3; i < argc; ++i) {
    if (std::string(argv[i]) == "--no-accumulate") {
      with_accumulate = false;
    } else if (std::string(argv[i]) == "--only-accumulate") {
      with_plain = false;
    } else {
      nbests.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (nbests.empty()) nbests = {1, 5, 10};
  bool any_differed = false;
  for (const std::uint64_t nbest : nbests) {
    for (const bool accumulate : {false, true}) {
      if (accumulate ? !with_accumulate : !with_plain) continue;
      vurel::PhoneticizeOptions options;
      options.nbest = nbest;
      options.accumulate = accumulate;
      const std::string name = "nbest " + std::to_string(nbest) + (accumulate ? " accumulate" : "");
      Tally plain{name};
      Tally pmass{name + " pmass 0.9"};
      for (const std::string &word : words) {
        const auto start = Clock::now();
        const vurel::Decoding direct = vurel::Decode(model, word, options);
        const auto middle = Clock::now();
        const vurel::Decoding reference =
            vurel::Decode(model, word, options, nullptr, vurel::Engine::kReference);
        const auto end = Clock::now();
        plain.direct_seconds += std::chrono::duration<double>(middle - start).count();
        plain.reference_seconds += std::chrono::duration<double>(end - middle).count();
        const bool same_status = direct.status == reference.status;
        plain.fell_back += direct.fell_back ? 1 : 0;
        plain.distinct_outputs += direct.distinct_outputs ? 1 : 0;
        pmass.fell_back += direct.fell_back ? 1 : 0;
        Count(plain, word, direct.paths, reference.paths, same_status);
        Count(pmass, word, WithPmass(direct.paths), WithPmass(reference.paths), same_status);
      }
      for (const Tally *tally : {&plain, &pmass}) {
        any_differed = any_differed || tally->differed > 0;
        std::printf("%-28s identical %llu  fell back %llu  differed %llu", tally->name.c_str(),
                    static_cast<unsigned long long>(tally->identical),
                    static_cast<unsigned long long>(tally->fell_back),
                    static_cast<unsigned long long>(tally->differed));
        if (tally == &plain) {
          std::printf("  one path per output %llu  words/s %.0f (reference %.0f)",
                      static_cast<unsigned long long>(plain.distinct_outputs),
                      static_cast<double>(words.size()) / plain.direct_seconds,
                      static_cast<double>(words.size()) / plain.reference_seconds);
        }
        std::printf("\n");
      }
      std::fflush(stdout);
    }
  }
  return any_differed ? 1 : 0;
}
