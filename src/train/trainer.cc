#include "trainer.h"

#include <chrono>

#include "model/model.h"
#include "stress_constraint.h"

namespace vurel::train {
namespace {

constexpr double kOnePrimaryStressShare = 0.95;

}  // namespace

Result<TrainReport> TrainModel(const Dictionary &dictionary,
                               const TrainOptions &options,
                               const std::string &model_path,
                               const ProgressCallback &progress) {
  const auto start = std::chrono::steady_clock::now();
  if (dictionary.entries.empty()) {
    return InvalidInput("the dictionary has no entries");
  }
  TrainReport report;
  report.entries = dictionary.entries.size();
  if (!GoOn(progress, "aligning " + std::to_string(report.entries) + " entries")) {
    return StoppedError();
  }
  Result<Alignment> alignment =
      Align(dictionary.entries, options.aligner, progress);
  if (!alignment.ok()) return alignment.error();
  report.unalignable = alignment->unalignable.size();
  report.alignment_iterations = alignment->iterations;
  report.units = alignment->units.size();

  if (!GoOn(progress, "estimating the " + std::to_string(options.ngram.order) +
                          "-gram model over " + std::to_string(report.units) + " units")) {
    return StoppedError();
  }
  Result<JointNgramModel> model = JointNgramModel::Estimate(
      alignment->sequences, static_cast<std::uint32_t>(report.units),
      options.ngram, {alignment->entry_index, alignment->shares});
  if (!model.ok()) return model.error();
  report.ngrams = model->num_nodes() - 1;

  Result<VectorFst> fst = BuildModelFst(*model, alignment->units);
  if (!fst.ok()) return fst.error();
  report.one_primary_stress_share = ShareWithOnePrimaryStress(dictionary.entries);
  report.one_primary_stress =
      options.primary_stress == PrimaryStress::kOne ||
      (options.primary_stress == PrimaryStress::kAuto &&
       report.one_primary_stress_share >= kOnePrimaryStressShare);
  if (report.one_primary_stress) {
    if (!GoOn(progress, "keeping the paths with one primary stress")) return StoppedError();
    fst = RequireOnePrimaryStress(*fst);
    if (!fst.ok()) return fst.error();
  }
  if (!GoOn(progress, "writing the model to " + model_path)) return StoppedError();
  // Decoders look arcs up by input label; a file already in that order
  // loads without sorting. They find a word's states faster in
  // LetterHistoryOrder.
  fst::StateSort(&*fst, LetterHistoryOrder(*fst));
  StableSortArcsByInput(*fst);
  Result<ModelFileSize> size = WriteModel(*fst, model_path);
  if (!size.ok()) return size.error();
  report.model = *size;
  report.seconds = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - start)
                       .count();
  return report;
}

}  // namespace vurel::train
