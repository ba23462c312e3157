// Small random models over three letters and three phonemes (with a cluster
// on each side), for tests that hold two engines to the same answers.
#ifndef VUREL_TESTS_CORE_RANDOM_MODEL_H_
#define VUREL_TESTS_CORE_RANDOM_MODEL_H_

#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "model/model.h"

namespace vurel::random_model {

inline fst::SymbolTable Symbols(const std::vector<std::string> &texts) {
  fst::SymbolTable symbols;
  for (const std::string &text : texts) symbols.AddSymbol(text);
  return symbols;
}

// Letters a, b, c are labels 3 to 5 and the cluster a|b is 6; phonemes A,
// B, C are 3 to 5 and the cluster A|B is 6.
inline const fst::SymbolTable &Graphemes() {
  static const fst::SymbolTable symbols = Symbols({"<eps>", "|", "_", "a", "b", "c", "a|b"});
  return symbols;
}
inline const fst::SymbolTable &Phonemes() {
  static const fst::SymbolTable symbols = Symbols({"<eps>", "|", "_", "A", "B", "C", "A|B"});
  return symbols;
}

inline Result<Model> ModelFrom(VectorFst fst, const DecodeSettings &settings = {}) {
  fst.SetInputSymbols(&Graphemes());
  fst.SetOutputSymbols(&Phonemes());
  return Model::FromFst(std::move(fst), "", settings);
}

// Weights from a small set, so that different paths often weigh exactly
// the same (or, with 0.1 and 0.3, the same but for rounding, which depends
// on the order of the sums), or drawn freely; when `hostile`, now and then
// one the direct search refuses.
inline float RandomWeight(std::mt19937 &random, bool hostile) {
  static constexpr float kTied[] = {0.0f, 0.5f, 1.0f, 0.1f, 0.3f, 0.0005f};
  const int draw = std::uniform_int_distribution<int>(0, 19)(random);
  if (hostile && draw == 0) return std::numeric_limits<float>::quiet_NaN();
  if (hostile && draw == 1) return -0.75f;
  if (draw < 10) return kTied[draw % 6];
  return std::uniform_real_distribution<float>(0.0f, 3.0f)(random);
}

// A random model: input-epsilon arcs (cycles among them), clusters on both
// sides, unreachable and dead states. With `least_epsilon_weight`, no
// input-epsilon arc weighs less: a cycle of weight 0 that reads no letter
// gives a word endless paths of one weight.
inline VectorFst RandomModel(std::mt19937 &random, bool hostile,
                             float least_epsilon_weight = 0.0f) {
  const int num_states = std::uniform_int_distribution<int>(1, 6)(random);
  const int num_arcs = std::uniform_int_distribution<int>(num_states, 6 * num_states)(random);
  std::uniform_int_distribution<int> state(0, num_states - 1);
  std::uniform_int_distribution<int> input(0, 6);
  std::uniform_int_distribution<int> output(0, 6);
  VectorFst fst;
  for (int i = 0; i < num_states; ++i) fst.AddState();
  fst.SetStart(0);
  for (int i = 0; i < num_arcs; ++i) {
    const int from = state(random);
    const int ilabel = input(random);
    const int olabel = output(random);
    float weight = RandomWeight(random, hostile);
    if (ilabel == 0 && weight < least_epsilon_weight) weight += least_epsilon_weight;
    fst.AddArc(from, Arc(ilabel, olabel, weight, state(random)));
  }
  for (int i = 0; i < num_states; ++i) {
    if (std::uniform_int_distribution<int>(0, 2)(random) == 0) {
      fst.SetFinal(i, RandomWeight(random, hostile));
    }
  }
  return fst;
}

// A word of 1 to `longest` letters among a, b and c.
inline std::string RandomWord(std::mt19937 &random, int longest) {
  std::string word;
  const int length = std::uniform_int_distribution<int>(1, longest)(random);
  for (int i = 0; i < length; ++i) word += "abc"[std::uniform_int_distribution<int>(0, 2)(random)];
  return word;
}

}  // namespace vurel::random_model

#endif  // VUREL_TESTS_CORE_RANDOM_MODEL_H_
