// Benchmark kernels for bench/report.py, each on a real model file:
//
//   g2p_bench load MODEL REPETITIONS
//       median milliseconds of Model::Load, of ReadFstFile, of OpenFst's
//       StdVectorFst::Read, and of Read followed by OpenFst's ArcSort by
//       input label (what a decoder on bare OpenFst needs), loads interleaved.
//   g2p_bench memory MODEL [openfst | WORDS]
//       resident memory in KiB before and after Model::Load (or, with
//       "openfst", StdVectorFst::Read). With a file of WORDS, also once every
//       word has been decoded at nbest 5 and by the distinct search for 5
//       pronunciations, with and without their probabilities, after the
//       merged model is built: what a process that decodes holds. Then the
//       sizes of the loaded model and of the merged model too.
//   g2p_bench decode MODEL WORDS NBEST ROUNDS
//       seconds of each round of decoding every word of the file WORDS (one
//       per line) with the phoneticize driver.
//   g2p_bench decode-reference MODEL WORDS NBEST ROUNDS
//       the same with OpenFst's pipeline only, never the direct search.
//   g2p_bench distinct MODEL WORDS COUNT ROUNDS [prob]
//       the same with the distinct-pronunciation search for COUNT
//       pronunciations (with "prob", their probabilities too); the merged
//       model it builds on first use is built, and timed, before the rounds.
//   g2p_bench word-times MODEL WORDS COUNT REPEATS [distinct | prob]
//       each word's least time in milliseconds over REPEATS decodings, as
//       "word_ms MS WORD": the driver at nbest COUNT, or the distinct search
//       for COUNT pronunciations (with "prob", their probabilities too); the
//       merged model is built before the clock starts.
//   g2p_bench bare MODEL WORDS NBEST ROUNDS
//       the same words through the least that OpenFst needs for the answer:
//       Compose (which connects), then ShortestPath for every pass the driver
//       makes on the word, without reading any path; acceptors are built and
//       the passes found before the clock starts.
//   g2p_bench bare-last MODEL WORDS NBEST ROUNDS
//       the same with only the driver's last pass: the answer had the final
//       number of paths been known in advance.
//
// Results are printed one per line as "name value".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/tokenizer.h"
#include "driver/word_acceptor.h"
#include "model/fst_file.h"
#include "model/model.h"
#include "openfst.h"
#include "reference/composition.h"
#include "reference/nbest.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

vurel::Model LoadOrExit(const std::string &path) {
  vurel::Result<vurel::Model> model = vurel::Model::Load(path, "");
  if (!model.ok()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), model.error().message.c_str());
    std::exit(1);
  }
  return std::move(model).value();
}

std::vector<std::string> ReadWords(const std::string &path) {
  std::ifstream file(path);
  std::vector<std::string> words;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty()) words.push_back(line);
  }
  return words;
}

int TimeLoads(const std::string &path, int repetitions) {
  std::vector<double> model_ms, reader_ms, openfst_ms, openfst_sorted_ms;
  const auto time_ms = [](auto load) {
    const Clock::time_point start = Clock::now();
    load();
    return 1000 * SecondsSince(start);
  };
  bool failed = false;
  for (int k = 0; k < repetitions; ++k) {
    model_ms.push_back(time_ms([&] { failed |= !vurel::Model::Load(path, "").ok(); }));
    reader_ms.push_back(time_ms([&] { failed |= !vurel::ReadFstFile(path).ok(); }));
    openfst_ms.push_back(time_ms([&] {
      std::unique_ptr<fst::StdVectorFst> fst(fst::StdVectorFst::Read(path));
      failed |= fst == nullptr;
    }));
    openfst_sorted_ms.push_back(time_ms([&] {
      std::unique_ptr<fst::StdVectorFst> fst(fst::StdVectorFst::Read(path));
      failed |= fst == nullptr;
      if (fst) fst::ArcSort(fst.get(), fst::ILabelCompare<vurel::Arc>());
    }));
  }
  if (failed) {
    std::fprintf(stderr, "a load of %s failed\n", path.c_str());
    return 1;
  }
  std::printf("model_load_ms %.3f\nread_fst_file_ms %.3f\nopenfst_read_ms %.3f\n"
              "openfst_read_arcsort_ms %.3f\n",
              Median(model_ms), Median(reader_ms), Median(openfst_ms), Median(openfst_sorted_ms));
  return 0;
}

int MeasureOpenFstMemory(const std::string &path) {
  const long before = ResidentKib();
  const std::unique_ptr<fst::StdVectorFst> fst(fst::StdVectorFst::Read(path));
  const long after = ResidentKib();
  std::printf("rss_before_kib %ld\nrss_after_kib %ld\n", before, after);
  return fst != nullptr ? 0 : 1;
}

int MeasureMemory(const std::string &path, const std::string &words_path) {
  const long before = ResidentKib();
  const vurel::Model model = LoadOrExit(path);
  std::printf("rss_before_kib %ld\nrss_after_kib %ld\n", before, ResidentKib());
  if (words_path.empty()) return 0;
  model.BuildHistoryQuotient();
  vurel::PhoneticizeOptions options;
  options.nbest = 5;
  vurel::DistinctOptions distinct;
  distinct.count = 5;
  for (const std::string &word : ReadWords(words_path)) {
    (void)vurel::Decode(model, word, options);
    for (const bool probabilities : {false, true}) {
      distinct.probabilities = probabilities;
      (void)vurel::DecodeDistinct(model, word, distinct);
    }
  }
  std::printf("rss_decoding_kib %ld\n", ResidentKib());
  std::printf("model_kib %zu\n", model.fst().MemoryBytes() >> 10);
  if (const vurel::HistoryQuotient *merged = model.history_quotient()) {
    std::printf("merged_model_kib %zu\n", merged->MemoryBytes() >> 10);
  }
  return 0;
}

int TimeDriver(const std::string &model_path, const std::string &words_path,
               std::uint64_t nbest, int rounds, vurel::Engine engine) {
  const vurel::Model model = LoadOrExit(model_path);
  const std::vector<std::string> words = ReadWords(words_path);
  vurel::PhoneticizeOptions options;
  options.nbest = nbest;
  std::size_t records = 0;
  for (int round = 0; round < rounds; ++round) {
    records = 0;
    const Clock::time_point start = Clock::now();
    for (const std::string &word : words) {
      records += vurel::Decode(model, word, options, nullptr, engine).paths.size();
    }
    std::printf("round_seconds %.6f\n", SecondsSince(start));
  }
  std::printf("words %zu\nrecords %zu\n", words.size(), records);
  return 0;
}

int TimeDistinct(const std::string &model_path, const std::string &words_path,
                 std::uint64_t count, int rounds, bool probabilities) {
  const vurel::Model model = LoadOrExit(model_path);
  const std::vector<std::string> words = ReadWords(words_path);
  vurel::DistinctOptions options;
  options.count = count;
  options.probabilities = probabilities;
  // The merged model the search builds on first use belongs with the load,
  // which is not timed either.
  const auto built = Clock::now();
  model.BuildHistoryQuotient();
  std::printf("merged_model_seconds %.6f\n", SecondsSince(built));
  std::size_t found = 0;
  for (int round = 0; round < rounds; ++round) {
    found = 0;
    const Clock::time_point start = Clock::now();
    for (const std::string &word : words) {
      found += vurel::DecodeDistinct(model, word, options).pronunciations.size();
    }
    std::printf("round_seconds %.6f\n", SecondsSince(start));
  }
  std::printf("words %zu\npronunciations %zu\n", words.size(), found);
  return 0;
}

int TimeEachWord(const std::string &model_path, const std::string &words_path, std::uint64_t count,
                 int repeats, bool distinct, bool probabilities) {
  const vurel::Model model = LoadOrExit(model_path);
  if (distinct) model.BuildHistoryQuotient();
  vurel::PhoneticizeOptions options;
  options.nbest = count;
  vurel::DistinctOptions distinct_options;
  distinct_options.count = count;
  distinct_options.probabilities = probabilities;
  for (const std::string &word : ReadWords(words_path)) {
    double least = 0.0;
    for (int repeat = 0; repeat < repeats; ++repeat) {
      const Clock::time_point start = Clock::now();
      if (distinct) {
        (void)vurel::DecodeDistinct(model, word, distinct_options);
      } else {
        (void)vurel::Decode(model, word, options);
      }
      const double seconds = SecondsSince(start);
      least = repeat == 0 ? seconds : std::min(least, seconds);
    }
    std::printf("word_ms %.4f %s\n", 1000 * least, word.c_str());
  }
  return 0;
}

// The requests of every pass the driver makes for each word, found by
// running the search once before the clock starts.
struct BareWord {
  vurel::VectorFst acceptor;
  std::vector<std::int32_t> requests;
};

int TimeBareOpenFst(const std::string &model_path, const std::string &words_path,
                    std::uint64_t nbest, int rounds, bool last_pass_only) {
  const vurel::Model model = LoadOrExit(model_path);
  std::vector<BareWord> bare_words;
  for (const std::string &word : ReadWords(words_path)) {
    const std::vector<vurel::Label> labels =
        vurel::Tokenize(word, model.delimiter(), model.input_symbols());
    if (labels.empty()) continue;
    BareWord &bare = bare_words.emplace_back();
    bare.acceptor = vurel::BuildWordAcceptor(labels, model.input_clusters());
    vurel::Result<vurel::VectorFst> lattice = vurel::PrepareLattice(bare.acceptor, model.fst());
    if (!lattice.ok()) continue;
    (void)vurel::SearchNbest(*lattice, nbest, false, model.output_clusters(), model.veto_set(),
                             [&](std::uint64_t requested) {
                               bare.requests.push_back(static_cast<std::int32_t>(requested));
                             });
    if (last_pass_only && !bare.requests.empty()) bare.requests.erase(bare.requests.begin(), bare.requests.end() - 1);
  }
  std::size_t found = 0, passes = 0;
  for (int round = 0; round < rounds; ++round) {
    found = passes = 0;
    const Clock::time_point start = Clock::now();
    for (const BareWord &bare : bare_words) {
      vurel::VectorFst lattice;
      fst::Compose(bare.acceptor, model.fst(), &lattice);
      for (const std::int32_t paths : bare.requests) {
        vurel::VectorFst shortest;
        fst::ShortestPath(lattice, &shortest, paths);
        if (shortest.Start() != fst::kNoStateId) found += shortest.NumArcs(shortest.Start());
        ++passes;
      }
    }
    std::printf("round_seconds %.6f\n", SecondsSince(start));
  }
  std::printf("words %zu\npasses %zu\npaths %zu\n", bare_words.size(), passes, found);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "load" && argc == 4) return TimeLoads(argv[2], std::max(1, std::atoi(argv[3])));
  if (mode == "memory" && (argc == 3 || argc == 4)) {
    if (argc == 4 && std::string(argv[3]) == "openfst") return MeasureOpenFstMemory(argv[2]);
    return MeasureMemory(argv[2], argc == 4 ? argv[3] : "");
  }
  if (mode == "distinct" && (argc == 6 || (argc == 7 && std::string(argv[6]) == "prob"))) {
    return TimeDistinct(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10),
                        std::max(1, std::atoi(argv[5])), argc == 7);
  }
  if (mode == "word-times" && argc >= 6 && argc <= 7) {
    const std::string kind = argc == 7 ? argv[6] : "";
    if (kind.empty() || kind == "distinct" || kind == "prob") {
      return TimeEachWord(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10),
                          std::max(1, std::atoi(argv[5])), !kind.empty(), kind == "prob");
    }
  }
  if ((mode == "decode" || mode == "decode-reference" || mode == "bare" || mode == "bare-last") &&
      argc == 6) {
    const std::uint64_t nbest = std::strtoull(argv[4], nullptr, 10);
    const int rounds = std::max(1, std::atoi(argv[5]));
    if (mode == "decode" || mode == "decode-reference") {
      return TimeDriver(argv[2], argv[3], nbest, rounds,
                        mode == "decode" ? vurel::Engine::kAuto : vurel::Engine::kReference);
    }
    return TimeBareOpenFst(argv[2], argv[3], nbest, rounds, mode == "bare-last");
  }
  std::fprintf(stderr,
               "usage: g2p_bench load MODEL REPETITIONS | memory MODEL [openfst | WORDS] |\n"
               "       g2p_bench decode|decode-reference|bare|bare-last MODEL WORDS NBEST ROUNDS |\n"
               "       g2p_bench distinct MODEL WORDS COUNT ROUNDS [prob] |\n"
               "       g2p_bench word-times MODEL WORDS COUNT REPEATS [distinct | prob]\n");
  return 2;
}
