// The whole training pipeline: dictionary entries in, model file out.
#ifndef VUREL_TRAIN_TRAINER_H_
#define VUREL_TRAIN_TRAINER_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "aligner.h"
#include "dictionary.h"
#include "joint_ngram.h"
#include "model_builder.h"
#include "result.h"

namespace vurel::train {

enum class PrimaryStress {
  // One per word when at least 95% of the entries have exactly one (98.5%
  // of the CMU dictionary's entries do); any number otherwise, so that
  // dictionaries without stress marks are left alone.
  kAuto,
  kOne,  // every pronunciation gets exactly one
  kAny,  // the n-gram model alone decides
};

struct TrainOptions {
  AlignerOptions aligner;
  NgramOptions ngram;
  PrimaryStress primary_stress = PrimaryStress::kAuto;
};

// The names by which the front ends (the tool, the Python module) spell the
// options' values, so that they spell them alike.
template <class Value>
struct NamedValue {
  std::string_view name;
  Value value;
};
inline constexpr NamedValue<DictionaryFormat> kDictionaryFormatNames[] = {
    {"auto", DictionaryFormat::kAuto}, {"cmu", DictionaryFormat::kCmu}, {"tsv", DictionaryFormat::kTsv}};
inline constexpr NamedValue<Smoothing> kSmoothingNames[] = {
    {"kn", Smoothing::kKneserNey}, {"wb", Smoothing::kWittenBell}};
inline constexpr NamedValue<PrimaryStress> kPrimaryStressNames[] = {
    {"auto", PrimaryStress::kAuto}, {"one", PrimaryStress::kOne}, {"any", PrimaryStress::kAny}};

// The value that `names` gives `name`, or nullopt.
template <class Value>
std::optional<Value> ValueNamed(std::span<const NamedValue<Value>> names, std::string_view name) {
  for (const NamedValue<Value> &named : names) {
    if (named.name == name) return named.value;
  }
  return std::nullopt;
}

struct TrainReport {
  std::size_t entries = 0;      // entries given
  std::size_t unalignable = 0;  // entries left out by the aligner
  int alignment_iterations = 0;
  std::size_t units = 0;   // distinct letter-phoneme units
  std::size_t ngrams = 0;  // n-grams kept by the model
  // Whether the model writes exactly one primary stress per word, and the
  // share of the entries that have exactly one.
  bool one_primary_stress = false;
  double one_primary_stress_share = 0;
  ModelFileSize model;
  double seconds = 0;
};

// Aligns `dictionary`, estimates the joint n-gram model and writes it to
// `model_path`. Fails on an empty dictionary, on invalid options, or when
// the model cannot be written or does not pass its check.
Result<TrainReport> TrainModel(const Dictionary &dictionary,
                               const TrainOptions &options,
                               const std::string &model_path,
                               const ProgressCallback &progress = {});

}  // namespace vurel::train

#endif  // VUREL_TRAIN_TRAINER_H_
