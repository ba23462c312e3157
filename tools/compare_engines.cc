// Runs both of vurel's searches over a word list and counts, for each set
// of options, the words whose records are identical (field by field, weights
// bit for bit), the words the direct search left to OpenFst, and the words
// that differ. Prints the first few differences.
//
// Usage: compare-engines MODEL WORDS [nbest...]
// Without nbest: 1, 5 and 10, each plain, with accumulate and with pmass 0.9.
// Words are read one per line, as given (no case folding).
// Exit status: 0 when no word differs, 1 when some did, 2 on bad usage.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "driver.h"
#include "model.h"

namespace {

using Clock = std::chrono::steady_clock;

struct OptionSet {
  std::string name;
  vurel::PhoneticizeOptions options;
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

std::vector<OptionSet> OptionSets(int argc, char **argv) {
  std::vector<std::uint64_t> nbests;
  for (int i = 3; i < argc; ++i) nbests.push_back(std::strtoull(argv[i], nullptr, 10));
  if (nbests.empty()) nbests = {1, 5, 10};
  std::vector<OptionSet> sets;
  for (const std::uint64_t nbest : nbests) {
    vurel::PhoneticizeOptions plain;
    plain.nbest = nbest;
    vurel::PhoneticizeOptions accumulate = plain;
    accumulate.accumulate = true;
    vurel::PhoneticizeOptions pmass = plain;
    pmass.pmass = 0.9;
    const std::string n = "nbest " + std::to_string(nbest);
    sets.push_back({n, plain});
    sets.push_back({n + " accumulate", accumulate});
    sets.push_back({n + " pmass 0.9", pmass});
  }
  return sets;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL WORDS [nbest...]\n", argv[0]);
    return 2;
  }
  vurel::Result<vurel::Model> model = vurel::Model::Load(argv[1], "");
  if (!model.ok()) {
    std::fprintf(stderr, "%s\n", model.error().message.c_str());
    return 2;
  }
  std::ifstream input(argv[2]);
  if (!input) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  std::vector<std::string> words;
  for (std::string line; std::getline(input, line);) {
    if (!line.empty()) words.push_back(line);
  }
  std::printf("%zu words; the direct search %s this model\n", words.size(),
              model->suits_direct_search() ? "suits" : "does not suit");

  bool any_differed = false;
  for (const OptionSet &set : OptionSets(argc, argv)) {
    std::uint64_t identical = 0;
    std::uint64_t fell_back = 0;
    std::uint64_t differed = 0;
    double auto_seconds = 0.0;
    double reference_seconds = 0.0;
    for (const std::string &word : words) {
      auto start = Clock::now();
      const vurel::Decoding fast = vurel::Decode(*model, word, set.options);
      auto middle = Clock::now();
      const vurel::Decoding reference =
          vurel::Decode(*model, word, set.options, nullptr, vurel::Engine::kReference);
      auto end = Clock::now();
      auto_seconds += std::chrono::duration<double>(middle - start).count();
      reference_seconds += std::chrono::duration<double>(end - middle).count();
      if (fast.fell_back) ++fell_back;
      if (vurel::IdenticalRecords(fast.paths, reference.paths) && fast.status == reference.status) {
        ++identical;
        continue;
      }
      if (++differed <= 5) {
        std::printf("DIFFERS (%s) %s\n direct:\n%s reference:\n%s", set.name.c_str(),
                    word.c_str(), Describe(fast.paths).c_str(),
                    Describe(reference.paths).c_str());
      }
    }
    any_differed = any_differed || differed > 0;
    std::printf("%-22s identical %llu  fell back %llu  differed %llu  "
                "words/s %.0f (reference %.0f)\n",
                set.name.c_str(), static_cast<unsigned long long>(identical),
                static_cast<unsigned long long>(fell_back),
                static_cast<unsigned long long>(differed),
                static_cast<double>(words.size()) / auto_seconds,
                static_cast<double>(words.size()) / reference_seconds);
  }
  return any_differed ? 1 : 0;
}
