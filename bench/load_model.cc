// Times loading a generated model of about a million arcs with ReadFstFile,
// next to OpenFst's own StdVectorFst::Read of the same file.
//
// Usage: load_model [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/fst_file.h"
#include "openfst.h"

namespace {

constexpr int kInputSymbols = 50;
constexpr int kOutputSymbols = 80;
constexpr int kStates = 200'000;
constexpr int kPairs = 400;  // grapheme-phoneme pairs the model knows

// A joint n-gram model's shape: a unigram state holding every pair, and
// history states with a few pairs each plus one epsilon backoff arc to a
// shorter history. A fixed random state makes every run build the same model.
vurel::VectorFst GenerateModel() {
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> input(1, kInputSymbols - 1);
  std::uniform_int_distribution<int> output(1, kOutputSymbols - 1);
  std::uniform_int_distribution<int> pair_count(1, 7);
  std::uniform_real_distribution<float> weight(0.1f, 12.0f);

  std::vector<std::pair<int, int>> pairs;
  for (int k = 0; k < kPairs; ++k) pairs.emplace_back(input(random), output(random));
  std::uniform_int_distribution<int> pick_pair(0, kPairs - 1);

  vurel::VectorFst fst;
  fst.AddStates(kStates);
  fst.SetStart(1);
  for (const auto &[ilabel, olabel] : pairs) {
    std::uniform_int_distribution<int> target(1, kStates - 1);
    fst.AddArc(0, vurel::Arc(ilabel, olabel, weight(random), target(random)));
  }
  fst.SetFinal(0, weight(random));
  for (int state = 1; state < kStates; ++state) {
    // Backoff to a shorter history, which has a smaller number here.
    std::uniform_int_distribution<int> shorter(0, std::max(0, state / 8));
    fst.AddArc(state, vurel::Arc(0, 0, weight(random), shorter(random)));
    const int count = pair_count(random);
    for (int k = 0; k < count; ++k) {
      const auto &[ilabel, olabel] = pairs[pick_pair(random)];
      std::uniform_int_distribution<int> target(1, kStates - 1);
      fst.AddArc(state, vurel::Arc(ilabel, olabel, weight(random), target(random)));
    }
    if (state % 5 == 0) fst.SetFinal(state, weight(random));
  }

  fst::SymbolTable isymbols;
  isymbols.AddSymbol("<eps>");
  for (int k = 1; k < kInputSymbols; ++k) {
    std::string text(1, static_cast<char>('a' + k % 26));
    if (k >= 26) {
      text += '|';
      text += static_cast<char>('a' + (k * 7) % 26);
    }
    isymbols.AddSymbol(text);
  }
  fst::SymbolTable osymbols;
  osymbols.AddSymbol("<eps>");
  for (int k = 1; k < kOutputSymbols; ++k) osymbols.AddSymbol(std::to_string(k) + "ph");
  fst.SetInputSymbols(&isymbols);
  fst.SetOutputSymbols(&osymbols);
  return fst;
}

std::size_t CountArcs(const vurel::VectorFst &fst) {
  std::size_t arcs = 0;
  for (int state = 0; state < fst.NumStates(); ++state) arcs += fst.NumArcs(state);
  return arcs;
}

template <class Load>
double MedianMilliseconds(int repetitions, Load load) {
  std::vector<double> times;
  for (int k = 0; k < repetitions; ++k) {
    const auto started = std::chrono::steady_clock::now();
    load();
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - started;
    times.push_back(elapsed.count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  const std::string path =
      (std::filesystem::temp_directory_path() / "vurel_load_model_bench.fst").string();

  const vurel::VectorFst model = GenerateModel();
  if (const vurel::Status written = vurel::WriteFstFile(model, path); !written.ok()) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), written.error().message.c_str());
    return 1;
  }
  std::printf("model: %d states, %zu arcs, %ju bytes\n", model.NumStates(), CountArcs(model),
              static_cast<std::uintmax_t>(std::filesystem::file_size(path)));

  bool failed = false;
  const auto ours = [&] {
    auto fst = vurel::ReadFstFile(path);
    if (!fst.ok() || CountArcs(*fst) != CountArcs(model)) failed = true;
  };
  const auto openfst = [&] {
    std::unique_ptr<fst::StdVectorFst> fst(fst::StdVectorFst::Read(path));
    if (!fst || CountArcs(*fst) != CountArcs(model)) failed = true;
  };
  // Warm the page cache and both code paths first.
  ours();
  openfst();
  const double ours_ms = MedianMilliseconds(repetitions, ours);
  const double openfst_ms = MedianMilliseconds(repetitions, openfst);
  std::filesystem::remove(path);
  if (failed) {
    std::fprintf(stderr, "a load failed or read a different number of arcs\n");
    return 1;
  }

  std::printf("median of %d loads (each followed by an arc count):\n", repetitions);
  std::printf("  ReadFstFile           %8.1f ms\n", ours_ms);
  std::printf("  StdVectorFst::Read    %8.1f ms\n", openfst_ms);
  std::printf("  ratio ours / OpenFst  %8.2f\n", ours_ms / openfst_ms);
  return 0;
}
