#include "joint_ngram.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
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

TEST(JointNgramTest, FractionalCountsMatchHandComputedValues) {
  // Entry 0 is "0" with share 3/4 or "1" with share 1/4; entry 1 is "0".
  const Sequences sequences = {{0}, {1}, {0}};
  const std::vector<std::size_t> entries = {0, 0, 1};
  const std::vector<double> shares = {0.75, 0.25, 1.0};
  Result<JointNgramModel> model = JointNgramModel::Estimate(
      sequences, 2, {1, Smoothing::kKneserNey}, {entries, shares});
  ASSERT_TRUE(model.ok());
  // Token 0 is seen twice with probability 3/4, once with 1/4; token 1 once
  // with 1/4; the end twice. Expected n1 = 1/2 and n2 = 7/4 give the one
  // discount D = 1/8; the expected counts total 4.
  const NodeId root = JointNgramModel::kRoot;
  const double backoff = (1.0 + 0.25 + 1.0) / 8 / 4;
  EXPECT_DOUBLE_EQ(model->backoff_weight(root), backoff);
  EXPECT_DOUBLE_EQ(model->Probability(root, 0), (1.75 - 0.125) / 4 + backoff / 3);
  EXPECT_DOUBLE_EQ(model->Probability(root, 1),
                   (0.25 - 0.125 * 0.25) / 4 + backoff / 3);
  EXPECT_DOUBLE_EQ(model->Probability(root, model->end_token()),
                   (2 - 0.125) / 4 + backoff / 3);
}

TEST(JointNgramTest, AlternativesThatAgreeCountAsOneSequence) {
  // Shares of one entry exclude each other: two identical halves are one
  // whole sequence, not two independent half counts.
  const Sequences once = {{0, 1, 0}, {1, 1}, {0}};
  const Sequences split = {{0, 1, 0}, {0, 1, 0}, {1, 1}, {0}};
  const std::vector<std::size_t> entries = {0, 0, 1, 2};
  const std::vector<double> shares = {0.5, 0.5, 1.0, 1.0};
  for (Smoothing smoothing : {Smoothing::kKneserNey, Smoothing::kWittenBell}) {
    const JointNgramModel whole = EstimateOk(once, 2, 3, smoothing);
    Result<JointNgramModel> halves = JointNgramModel::Estimate(
        split, 2, {3, smoothing}, {entries, shares});
    ASSERT_TRUE(halves.ok());
    ASSERT_EQ(halves->num_nodes(), whole.num_nodes());
    for (NodeId node = 0; node < whole.num_nodes(); ++node) {
      EXPECT_NEAR(halves->backoff_weight(node), whole.backoff_weight(node), 1e-12);
      for (std::uint32_t token = 0; token < whole.predicted_tokens(); ++token) {
        EXPECT_NEAR(halves->Probability(node, token), whole.Probability(node, token),
                    1e-12);
      }
    }
  }
}

TEST(JointNgramTest, EveryHistoryDistributionSumsToOne) {
  std::mt19937 random_state(7);
  Sequences corpus(300);
  for (auto &sequence : corpus) {
    sequence.resize(1 + random_state() % 8);
    // A skewed distribution, so that count-of-counts vary by order.
    for (auto &token : sequence) token = (random_state() % 6) * (random_state() % 3);
  }
  // Also with the sequences as alternatives of entries of one to three.
  std::vector<std::size_t> entries;
  std::vector<double> shares;
  for (std::size_t s = 0; s < corpus.size();) {
    const std::size_t size = std::min<std::size_t>(1 + random_state() % 3, corpus.size() - s);
    const double first = size == 1 ? 1.0 : 0.6;
    for (std::size_t k = 0; k < size; ++k, ++s) {
      entries.push_back(s - k);
      shares.push_back(k == 0 ? first : (1 - first) / static_cast<double>(size - 1));
    }
  }
  for (bool fractional : {false, true}) {
    for (Smoothing smoothing : {Smoothing::kKneserNey, Smoothing::kWittenBell}) {
      for (int order : {1, 2, 3, 5}) {
        Result<JointNgramModel> estimated = JointNgramModel::Estimate(
            corpus, 11, {order, smoothing},
            fractional ? SequenceShares{entries, shares} : SequenceShares{});
        ASSERT_TRUE(estimated.ok());
        const JointNgramModel &model = *estimated;
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

TEST(JointNgramTest, RejectsBadInputWithItsReason) {
  const std::vector<std::size_t> entries = {0, 0};
  const std::vector<double> bad_shares = {0.5, 0.0};
  struct Case {
    Sequences sequences;
    std::uint32_t vocabulary;
    NgramOptions options;
    SequenceShares shares;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{}, 3, {}, {}, "no training sequences"},
      {{{0, 3}}, 3, {}, {}, "token 3 outside the vocabulary"},
      {{{0}}, 0xFFFFFFF0u, {}, {}, "vocabulary too large"},
      {{{0}}, 3, {0, Smoothing::kKneserNey}, {}, "n-gram order must be 1 to 20"},
      {{{0}}, 3, {21, Smoothing::kWittenBell}, {}, "n-gram order must be 1 to 20"},
      {{{0}, {1}}, 3, {}, {entries, bad_shares}, "sequence shares must lie in (0, 1]"},
      {{{0}}, 3, {}, {entries, bad_shares}, "sequence shares do not match the sequences"},
  };
  for (const Case &test : cases) {
    Result<JointNgramModel> model =
        JointNgramModel::Estimate(test.sequences, test.vocabulary, test.options, test.shares);
    ASSERT_FALSE(model.ok()) << test.reason;
    EXPECT_EQ(model.error().code, ErrorCode::kInvalidInput) << test.reason;
    EXPECT_EQ(model.error().message, test.reason);
  }
  // The edges of what is accepted.
  EXPECT_TRUE(JointNgramModel::Estimate({{0}}, 3, {1, Smoothing::kKneserNey}).ok());
  EXPECT_TRUE(JointNgramModel::Estimate({{0}}, 3, {20, Smoothing::kKneserNey}).ok());
  const std::vector<std::size_t> one_entry = {0};
  const std::vector<double> whole = {1.0};
  EXPECT_TRUE(JointNgramModel::Estimate({{2}}, 3, {}, {one_entry, whole}).ok());
}

}  // namespace
}  // namespace vurel::train
