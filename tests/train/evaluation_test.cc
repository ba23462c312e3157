#include "evaluation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "trainer.h"

namespace vurel::train {
namespace {

using Phonemes = std::vector<std::string>;

TEST(EditDistanceTest, CountsSubstitutionsInsertionsAndDeletions) {
  const struct {
    Phonemes a, b;
    std::size_t distance;
  } cases[] = {
      {{}, {}, 0},
      {{}, {"K", "AE", "T"}, 3},
      {{"K", "AE", "T"}, {}, 3},
      {{"K", "AE", "T"}, {"K", "AE", "T"}, 0},
      {{"K", "AE", "T"}, {"K", "AH", "T"}, 1},
      {{"K", "AE", "T"}, {"K", "AE", "T", "S"}, 1},
      {{"S", "K", "AE", "T"}, {"K", "AE", "T"}, 1},
      {{"K", "AE", "T"}, {"T", "AE", "K"}, 2},
      {{"AE", "B"}, {"B", "AE"}, 2},
  };
  for (const auto &test : cases) {
    EXPECT_EQ(EditDistance(test.a, test.b), test.distance)
        << test.a.size() << " " << test.b.size();
    EXPECT_EQ(EditDistance(test.b, test.a), test.distance);
  }
}

Dictionary Parse(const std::string &text) {
  Result<Dictionary> dictionary = ParseDictionary(text, "test", {});
  EXPECT_TRUE(dictionary.ok());
  return std::move(dictionary).value();
}

TEST(EvaluationTest, ScoresAgainstTheNearestVariant) {
  std::filesystem::create_directories(VUREL_TEST_TMPDIR);
  const std::string path = std::string(VUREL_TEST_TMPDIR) + "/evaluated.fst";
  TrainOptions options;
  options.ngram.order = 4;
  ASSERT_TRUE(TrainModel(Parse("cat K AE1 T\nhat HH AE1 T\ntax T AE1 K S\n"
                               "sax S AE1 K S\nhats HH AE1 T S\n"),
                         options, path)
                  .ok());
  Result<Model> model = Model::Load(path, "");
  ASSERT_TRUE(model.ok());

  // hat: right through its first variant; tax: one phoneme missing from
  // the reference; qat: "q" is unknown, so nothing is decoded.
  const Dictionary test = Parse(
      "hat HH AE1 T\nhat(2) HH EY1 T\ntax T AE1 K\nqat K AE1 T\n");
  const EvaluationReport report = Evaluate(*model, test, true);
  EXPECT_EQ(report.words, 3u);
  EXPECT_EQ(report.word_errors, 2u);
  EXPECT_EQ(report.words_with_unknown_letters, 1u);
  EXPECT_EQ(report.reference_phonemes, 9u);
  EXPECT_EQ(report.phoneme_errors, 4u);
  EXPECT_NEAR(report.word_error_rate(), 200.0 / 3, 1e-9);
  EXPECT_NEAR(report.phoneme_error_rate(), 400.0 / 9, 1e-9);
  ASSERT_EQ(report.errors.size(), 2u);
  EXPECT_EQ(report.errors[0].word, "tax");
  EXPECT_EQ(report.errors[0].predicted, Phonemes({"T", "AE1", "K", "S"}));
  EXPECT_EQ(report.errors[0].edits, 1u);
  EXPECT_EQ(report.errors[1].word, "qat");
  EXPECT_TRUE(report.errors[1].predicted.empty());

  EXPECT_TRUE(Evaluate(*model, test, false).errors.empty());
  const EvaluationReport empty = Evaluate(*model, Dictionary{}, true);
  EXPECT_EQ(empty.words, 0u);
  EXPECT_EQ(empty.word_error_rate(), 0.0);
}

}  // namespace
}  // namespace vurel::train
