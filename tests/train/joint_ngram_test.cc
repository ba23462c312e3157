#include "joint_ngram.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vurel::train {
namespace {

using Sequences = std::vector<std::vector<std::uint32_t>>;
using NodeId = JointNgramModel::NodeId;

JointNgramModel EstimateOk(const Sequences &sequences, std::uint32_t vocabulary,
                           int order, Smoothing smoothing) {
  Result<JointNgramModel> model =
      JointNgramModel::Estimate(sequences, vocabulary, {order, smoothing});
  EXPECT_TRUE(model.ok()) << (model.ok() ? "" : model.error().message);
  return std::move(model).value();
}

TEST(KneserNeyDiscountsTest, FollowsCountOfCountsOrFallsBack) {
  // Y = 10 / 18; D1 = 1 - 2Y 4/10, D2 = 2 - 3Y 2/4, D3 = 3 - 4Y 1/2.
  const auto discounts = KneserNeyDiscounts({10, 4, 2, 1});
  EXPECT_DOUBLE_EQ(discounts[0], 5.0 / 9);
  EXPECT_DOUBLE_EQ(discounts[1], 7.0 / 6);
  EXPECT_DOUBLE_EQ(discounts[2], 17.0 / 9);
  // D2 = 2 - 3 (1/3) 10 is negative: one discount n1 / (n1 + 2 n2) for all.
  const auto fallback = KneserNeyDiscounts({1, 1, 10, 1});
  EXPECT_DOUBLE_EQ(fallback[0], 1.0 / 3);
  EXPECT_DOUBLE_EQ(fallback[2], 1.0 / 3);
  EXPECT_DOUBLE_EQ(KneserNeyDiscounts({3, 0, 0, 0})[1], 0.5);
}

// Corpus "<s> 0 1 </s>" and "<s> 0 </s>" over tokens {0, 1}; </s> is 2.
const Sequences kTinyCorpus = {{0, 1}, {0}};

TEST(JointNgramTest, WittenBellBigramsMatchHandComputedValues) {
  const JointNgramModel model =
      EstimateOk(kTinyCorpus, 2, 2, Smoothing::kWittenBell);
  const NodeId root = JointNgramModel::kRoot;
  const std::uint32_t end = model.end_token();
  // Unigrams: counts 2, 1, 2 of 5 with 3 types; backoff 3/8 to uniform 1/3.
  EXPECT_DOUBLE_EQ(model.Probability(root, 0), 3.0 / 8);
  EXPECT_DOUBLE_EQ(model.Probability(root, 1), 2.0 / 8);
  EXPECT_DOUBLE_EQ(model.Probability(root, end), 3.0 / 8);
  EXPECT_DOUBLE_EQ(model.Probability(model.begin_history(), 0),
                   2.0 / 3 + 1.0 / 3 * 3.0 / 8);
  const NodeId zero = model.Find(root, 0);
  ASSERT_NE(zero, JointNgramModel::kNoNode);
  EXPECT_DOUBLE_EQ(model.backoff_weight(zero), 0.5);
  EXPECT_DOUBLE_EQ(model.Probability(zero, 1), 3.0 / 8);
  EXPECT_DOUBLE_EQ(model.Probability(zero, end), 7.0 / 16);
  EXPECT_DOUBLE_EQ(model.Probability(zero, 0), 3.0 / 16);
  EXPECT_DOUBLE_EQ(model.Probability(model.Find(root, 1), end), 11.0 / 16);
}

TEST(JointNgramTest, KneserNeyBigramsMatchHandComputedValues) {
  const JointNgramModel model =
      EstimateOk(kTinyCorpus, 2, 2, Smoothing::kKneserNey);
  const NodeId root = JointNgramModel::kRoot;
  const std::uint32_t end = model.end_token();
  // Unigram continuation counts 1, 1, 2 with discount 2 / (2 + 2 * 1).
  EXPECT_DOUBLE_EQ(model.backoff_weight(root), 3.0 / 8);
  EXPECT_DOUBLE_EQ(model.Probability(root, 0), 0.25);
  EXPECT_DOUBLE_EQ(model.Probability(root, 1), 0.25);
  EXPECT_DOUBLE_EQ(model.Probability(root, end), 0.5);
  // Bigram raw counts 2, 1, 1, 1: discount 3 / (3 + 2 * 1) = 0.6.
  const NodeId begin = model.begin_history();
  EXPECT_DOUBLE_EQ(model.backoff_weight(begin), 0.3);
  EXPECT_DOUBLE_EQ(model.Probability(begin, 0), 0.7 + 0.3 * 0.25);
  const NodeId zero = model.Find(root, 0);
  EXPECT_DOUBLE_EQ(model.backoff_weight(zero), 0.6);
  EXPECT_DOUBLE_EQ(model.Probability(zero, 1), 0.35);
  EXPECT_DOUBLE_EQ(model.Probability(zero, end), 0.5);
  EXPECT_DOUBLE_EQ(model.Probability(zero, 0), 0.15);
}

TEST(JointNgramTest, EveryHistoryDistributionSumsToOne) {
  std::mt19937 random_state(7);
  Sequences corpus(300);
  for (auto &sequence : corpus) {
    sequence.resize(1 + random_state() % 8);
    // A skewed distribution, so that count-of-counts vary by order.
    for (auto &token : sequence) token = (random_state() % 6) * (random_state() % 3);
  }
  for (Smoothing smoothing : {Smoothing::kKneserNey, Smoothing::kWittenBell}) {
    for (int order : {1, 2, 3, 5}) {
      const JointNgramModel model = EstimateOk(corpus, 11, order, smoothing);
      std::size_t histories = 0;
      for (NodeId node = 0; node < model.num_nodes(); ++node) {
        if (model.children(node).empty()) continue;
        ++histories;
        double sum = 0;
        for (std::uint32_t token = 0; token < model.predicted_tokens(); ++token) {
          sum += model.Probability(node, token);
        }
        EXPECT_NEAR(sum, 1.0, 1e-9) << "order " << order << " node " << node;
        EXPECT_GT(model.backoff_weight(node), 0.0);
        EXPECT_LE(model.backoff_weight(node), 1.0);
      }
      EXPECT_GE(histories, order == 1 ? 1u : 10u);
    }
  }
}

TEST(JointNgramTest, KeepsNgramsUpToTheOrderAndBacksOffToSuffixes) {
  const JointNgramModel model =
      EstimateOk({{0, 1, 2, 3}}, 4, 3, Smoothing::kKneserNey);
  // Unigrams 0 1 2 3 </s>, begin; bigrams <s>0 01 12 23 3</s>; trigrams
  // <s>01 012 123 23</s>.
  EXPECT_EQ(model.num_nodes(), 1u + 6 + 5 + 4);
  const NodeId root = JointNgramModel::kRoot;
  const NodeId one_two = model.Find(model.Find(root, 1), 2);
  const NodeId zero_one_two = model.Find(model.Find(model.Find(root, 0), 1), 2);
  ASSERT_NE(zero_one_two, JointNgramModel::kNoNode);
  EXPECT_EQ(model.order_of(zero_one_two), 3);
  EXPECT_EQ(model.backoff(zero_one_two), one_two);
  EXPECT_EQ(model.Find(zero_one_two, 3), JointNgramModel::kNoNode);
}

TEST(JointNgramTest, RejectsBadInput) {
  EXPECT_FALSE(JointNgramModel::Estimate({}, 3, {}).ok());
  EXPECT_FALSE(JointNgramModel::Estimate({{0, 3}}, 3, {}).ok());
  EXPECT_FALSE(JointNgramModel::Estimate({{0}}, 3, {0, Smoothing::kKneserNey}).ok());
  EXPECT_FALSE(JointNgramModel::Estimate({{0}}, 3, {21, Smoothing::kKneserNey}).ok());
}

}  // namespace
}  // namespace vurel::train
