// Times decoding a word list with a generated model shaped like a trained
// joint n-gram transducer, for nbest 1 and 10, and splits the time between
// the stages: lattice (composition and trimming) and n-best search.
//
// Usage: decode [words [nbest]]; without nbest, times nbest 1 and 10.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/tokenizer.h"
#include "driver/word_acceptor.h"
#include "model/model.h"
#include "openfst.h"
#include "reference/composition.h"
#include "reference/nbest.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kPhonemes[] = {
    "AA", "AE", "AH", "AO", "AW", "AY", "B",  "CH", "D",  "DH", "EH", "ER", "EY", "F",
    "G",  "HH", "IH", "IY", "JH", "K",  "L",  "M",  "N",  "NG", "OW", "OY", "P",  "R",
    "S",  "SH", "T",  "TH", "UH", "UW", "V",  "W",  "Y",  "Z",  "ZH", "AX"};
constexpr const char *kPhonemeClusters[] = {"K|S", "Y|UW", "W|AH", "AX|L"};
constexpr const char *kGraphemeClusters[] = {"c|h", "s|h", "t|h", "p|h", "c|k",
                                             "n|g", "q|u", "e|e", "o|o", "l|l"};
// Rough English letter frequencies, per thousand, a to z.
constexpr int kLetterFrequency[] = {82, 15, 28, 43, 127, 22, 20, 61, 70, 2, 8, 40, 24,
                                    67, 75, 19, 1,  60, 63, 91, 28, 10, 24, 2, 20, 1};

// A joint n-gram model of order 3 over grapheme-phoneme pairs: a root
// state that reads every pair, a state per pair (bigram histories), and
// trigram histories for the pairs seen after each; every history state
// backs off to a shorter one by a weighted epsilon arc.
vurel::Model GenerateModel(std::size_t *arc_count) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);

  fst::SymbolTable graphemes("graphemes");
  for (const char *text : {"<eps>", "|", "_"}) graphemes.AddSymbol(text);
  for (char letter = 'a'; letter <= 'z'; ++letter) graphemes.AddSymbol(std::string(1, letter));
  for (const char *text : kGraphemeClusters) graphemes.AddSymbol(text);
  fst::SymbolTable phonemes("phonemes");
  for (const char *text : {"<eps>", "|", "_"}) phonemes.AddSymbol(text);
  for (const char *text : kPhonemes) phonemes.AddSymbol(text);
  for (const char *text : kPhonemeClusters) phonemes.AddSymbol(text);

  // Pairs: each letter with three phonemes (or the skip symbol "_"), each
  // grapheme cluster with two, and a few letters with a phoneme cluster.
  std::vector<std::pair<int, int>> pairs;
  const int num_phonemes = static_cast<int>(std::size(kPhonemes));
  std::uniform_int_distribution<int> phoneme(3, 3 + num_phonemes - 1);
  for (int letter = 3; letter < 3 + 26; ++letter) {
    pairs.emplace_back(letter, 2);
    pairs.emplace_back(letter, phoneme(random));
    pairs.emplace_back(letter, phoneme(random));
  }
  for (int cluster = 3 + 26; cluster < static_cast<int>(graphemes.NumSymbols()); ++cluster) {
    pairs.emplace_back(cluster, phoneme(random));
    pairs.emplace_back(cluster, phoneme(random));
  }
  for (int i = 0; i < static_cast<int>(std::size(kPhonemeClusters)); ++i) {
    pairs.emplace_back(3 + static_cast<int>(random() % 26), 3 + num_phonemes + i);
  }
  const int num_pairs = static_cast<int>(pairs.size());

  vurel::VectorFst fst;
  const int root = fst.AddState();
  std::vector<int> bigram(num_pairs);
  for (int &state : bigram) state = fst.AddState();
  fst.SetStart(root);
  fst.SetFinal(root, 4.0f);

  // Trigram histories: 60 successors per pair.
  std::vector<std::vector<int>> trigram(num_pairs, std::vector<int>(num_pairs, -1));
  std::uniform_int_distribution<int> pick_pair(0, num_pairs - 1);
  for (int first = 0; first < num_pairs; ++first) {
    for (int k = 0; k < 60; ++k) trigram[first][pick_pair(random)] = fst.AddState();
  }

  // Root: every pair, to its bigram state.
  for (int p = 0; p < num_pairs; ++p) {
    fst.AddArc(root, vurel::Arc(pairs[p].first, pairs[p].second, 3.0f + 6.0f * unit(random),
                                bigram[p]));
  }
  const auto next_state = [&](int previous, int p) {
    return trigram[previous][p] >= 0 ? trigram[previous][p] : bigram[p];
  };
  for (int previous = 0; previous < num_pairs; ++previous) {
    // Bigram state: the successors seen, and a backoff to the root.
    for (int p = 0; p < num_pairs; ++p) {
      if (trigram[previous][p] < 0 && unit(random) > 0.25f) continue;
      fst.AddArc(bigram[previous], vurel::Arc(pairs[p].first, pairs[p].second,
                                              1.0f + 5.0f * unit(random),
                                              next_state(previous, p)));
    }
    fst.AddArc(bigram[previous], vurel::Arc(0, 0, 0.5f + 2.0f * unit(random), root));
    if (unit(random) < 0.5f) fst.SetFinal(bigram[previous], 1.0f + 4.0f * unit(random));
    // Trigram states reached after `previous` then `middle`.
    for (int middle = 0; middle < num_pairs; ++middle) {
      const int state = trigram[previous][middle];
      if (state < 0) continue;
      for (int k = 0; k < 20; ++k) {
        const int p = pick_pair(random);
        fst.AddArc(state, vurel::Arc(pairs[p].first, pairs[p].second,
                                     0.5f + 4.0f * unit(random), next_state(middle, p)));
      }
      fst.AddArc(state, vurel::Arc(0, 0, 0.3f + 1.5f * unit(random), bigram[middle]));
      if (unit(random) < 0.3f) fst.SetFinal(state, 0.5f + 3.0f * unit(random));
    }
  }
  *arc_count = 0;
  for (int state = 0; state < fst.NumStates(); ++state) *arc_count += fst.NumArcs(state);
  fst.SetInputSymbols(&graphemes);
  fst.SetOutputSymbols(&phonemes);
  vurel::Result<vurel::Model> model = vurel::Model::FromFst(std::move(fst), "");
  if (!model.ok()) {
    std::fprintf(stderr, "model: %s\n", model.error().message.c_str());
    std::exit(1);
  }
  return std::move(model).value();
}

std::vector<std::string> GenerateWords(std::size_t count) {
  std::mt19937 random(11);
  std::discrete_distribution<int> letter(std::begin(kLetterFrequency),
                                         std::end(kLetterFrequency));
  std::uniform_int_distribution<int> length(3, 10);
  std::vector<std::string> words(count);
  for (std::string &word : words) {
    for (int n = length(random); n > 0; --n) word += static_cast<char>('a' + letter(random));
  }
  return words;
}

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

void TimeDecoding(const vurel::Model &model, const std::vector<std::string> &words,
                  std::uint64_t nbest) {
  vurel::PhoneticizeOptions options;
  options.nbest = nbest;
  std::size_t records = 0;
  const Clock::time_point start = Clock::now();
  for (const std::string &word : words) records += vurel::Phoneticize(model, word, options).size();
  const double seconds = Seconds(Clock::now() - start);

  // The same words again, stage by stage.
  Clock::duration lattice_time{}, search_time{};
  std::size_t lattice_states = 0;
  for (const std::string &word : words) {
    const Clock::time_point t0 = Clock::now();
    vurel::VectorFst acceptor = vurel::BuildWordAcceptor(
        vurel::Tokenize(word, model.delimiter(), model.input_symbols()), model.input_clusters());
    vurel::Result<vurel::VectorFst> lattice = vurel::PrepareLattice(std::move(acceptor), model.fst());
    const Clock::time_point t1 = Clock::now();
    if (!lattice.ok()) continue;
    lattice_states += lattice->NumStates();
    (void)vurel::SearchNbest(*lattice, nbest, false, model.output_clusters(), model.veto_set());
    search_time += Clock::now() - t1;
    lattice_time += t1 - t0;
  }
  const double staged = Seconds(lattice_time) + Seconds(search_time);
  std::printf(
      "nbest %llu: %.0f words/s (%zu words, %.3f s, %.2f records/word); "
      "lattice %.0f%%, n-best search %.0f%%; %.0f lattice states/word\n",
      static_cast<unsigned long long>(nbest), words.size() / seconds, words.size(), seconds,
      static_cast<double>(records) / words.size(), 100 * Seconds(lattice_time) / staged,
      100 * Seconds(search_time) / staged, static_cast<double>(lattice_states) / words.size());
}

}  // namespace

int main(int argc, char **argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  std::size_t arcs = 0;
  const vurel::Model model = GenerateModel(&arcs);
  std::printf("model: %d states, %zu arcs, %d input and %d output symbols\n",
              model.fst().NumStates(), arcs, static_cast<int>(model.input_symbols().NumSymbols()),
              static_cast<int>(model.output_symbols().NumSymbols()));
  const std::vector<std::string> words = GenerateWords(count);
  if (argc > 2) {
    TimeDecoding(model, words, std::strtoull(argv[2], nullptr, 10));
  } else {
    TimeDecoding(model, words, 1);
    TimeDecoding(model, words, 10);
  }
  return 0;
}
