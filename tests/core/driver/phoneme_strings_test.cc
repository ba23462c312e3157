#include "driver/phoneme_strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_test_model.h"
#include "driver/driver.h"

namespace vurel {
namespace {

using testing_model::MakeModel;
using testing_model::ScratchDirectory;
using Texts = std::vector<std::string>;

TEST(RenderLabelsTest, SkipsLabelsOutsideTheTableAndKeepsRepeats) {
  fst::SymbolTable symbols;
  for (const char *text : {"<eps>", "|", "_", "A", "B"}) symbols.AddSymbol(text);
  EXPECT_EQ(RenderLabels({3, 4, 3, 5, 0x80000000u, 0xffffffffu, 2}, symbols),
            Texts({"A", "B", "A", "_"}));
  EXPECT_TRUE(RenderLabels({}, symbols).empty());
  EXPECT_TRUE(RenderLabels({0, 1}, fst::SymbolTable()).empty());
}

class PhoneticizeStringsTest : public ::testing::Test {
 protected:
  Model model_ = MakeModel();
};

TEST_F(PhoneticizeStringsTest, BestRendersTheFirstPathOnly) {
  EXPECT_EQ(PhoneticizeBest(model_, "abc"), Texts({"A", "B", "C"}));
  EXPECT_TRUE(PhoneticizeBest(model_, "ba").empty());
  EXPECT_TRUE(PhoneticizeBest(model_, "c").empty());  // only the vetoed "_"
}

TEST_F(PhoneticizeStringsTest, SamplingRendersEveryPathInOrder) {
  const std::vector<Texts> expected = {{"A", "B", "C"}, {"A", "B", "X", "C"}};
  EXPECT_EQ(PhoneticizeSampling(model_, "abc", 5, 10000, 99.0f, 99.0), expected);
  EXPECT_EQ(PhoneticizeSampling(model_, "abc", 1, 10000, 99.0f, 99.0),
            std::vector<Texts>({expected[0]}));
  EXPECT_EQ(PhoneticizeSampling(model_, "abc", 5, 1, 99.0f, 99.0),
            std::vector<Texts>({expected[0]}));
  // A path without phonemes is kept as an empty list.
  EXPECT_EQ(PhoneticizeSampling(model_, "c", 1, 10000, 99.0f, 99.0), std::vector<Texts>({{}}));
  EXPECT_TRUE(PhoneticizeSampling(model_, "ba", 5, 10000, 99.0f, 99.0).empty());
}

TEST_F(PhoneticizeStringsTest, NeitherWritesFilesNorAccumulates) {
  ScratchDirectory directory;
  // The two alignments of A B C weigh 2.25 and 2.75: only added together do
  // they pass a threshold of 2.
  PhoneticizeOptions accumulating;
  accumulating.nbest = 3;
  accumulating.threshold = 2.0f;
  accumulating.accumulate = true;
  ASSERT_EQ(Phoneticize(model_, "abc", accumulating).size(), 1u);

  EXPECT_TRUE(PhoneticizeSampling(model_, "abc", 3, 10000, 2.0f, 99.0).empty());
  EXPECT_EQ(PhoneticizeBest(model_, "abc"), Texts({"A", "B", "C"}));
  EXPECT_TRUE(directory.Files().empty());
}

}  // namespace
}  // namespace vurel
