// A smoothed n-gram model over the tokens of aligned entries (a joint
// n-gram model of letter-phoneme units, Galescu and Allen 2001; Bisani and
// Ney 2008), stored as a trie of the n-grams seen in training.
#ifndef VUREL_TRAIN_JOINT_NGRAM_H_
#define VUREL_TRAIN_JOINT_NGRAM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "result.h"

namespace vurel::train {

enum class Smoothing {
  kKneserNey,   // interpolated, modified (three discounts per order)
  kWittenBell,  // interpolated
};

// Order 9 was best on the CMU dictionary with single-letter units (orders
// 8 to 12 within 0.1 points); Kneser-Ney beat Witten-Bell by 2 points.
struct NgramOptions {
  int order = 9;
  Smoothing smoothing = Smoothing::kKneserNey;
};

// Discounts for counts 1, 2 and 3 or more from the numbers of n-grams seen
// once to four times (Chen and Goodman 1998). When those numbers give a
// discount outside (0, count), all three become n1 / (n1 + 2 n2), or 0.5
// when n1 or n2 is 0.
std::array<double, 3> KneserNeyDiscounts(const std::array<double, 4> &count_of_counts);

// Training entries may come as several alternative token sequences, each
// with a share of the entry: `entry[i]` names the entry of sequence i
// (equal names adjacent) and `share[i]` its share, an entry's shares
// summing to 1. Empty spans make every sequence an entry of its own.
struct SequenceShares {
  std::span<const std::size_t> entry;
  std::span<const double> share;
};

// The distribution of an n-gram's count over the training entries, as the
// probabilities of counts 0 to 4 and of 5 or more. Fractional counts keep
// the Kneser-Ney statistics in expectation (Zhang and Chiang 2014); whole
// counts give a distribution with all its mass on one count.
using CountDistribution = std::array<double, 6>;

class JointNgramModel {
 public:
  using NodeId = std::uint32_t;
  static constexpr NodeId kRoot = 0;
  static constexpr NodeId kNoNode = 0xFFFFFFFF;

  // Estimates a model of `options.order` from token sequences over tokens
  // 0 to vocabulary_size - 1; every sequence implicitly starts with the
  // begin token and ends with the end token. Fails on an order below 1, an
  // empty corpus, a token out of range or shares that do not match the
  // sequences.
  static Result<JointNgramModel> Estimate(
      const std::vector<std::vector<std::uint32_t>> &sequences,
      std::uint32_t vocabulary_size, const NgramOptions &options,
      SequenceShares shares = {});

  int order() const { return order_; }
  std::uint32_t end_token() const { return vocabulary_size_; }
  std::uint32_t begin_token() const { return vocabulary_size_ + 1; }
  // Predicted tokens: the vocabulary and the end token.
  std::uint32_t predicted_tokens() const { return vocabulary_size_ + 1; }
  // The history of a sequence's first token.
  NodeId begin_history() const { return begin_node_; }

  // Each node is an n-gram seen in training (the root is the empty one).
  std::size_t num_nodes() const { return token_.size(); }
  std::uint32_t token(NodeId node) const { return token_[node]; }
  int order_of(NodeId node) const { return node_order_[node]; }
  // The node without its first token; kNoNode for the root.
  NodeId backoff(NodeId node) const { return backoff_[node]; }
  // The n-grams extending `node` by one token, as predicted events.
  std::span<const NodeId> children(NodeId node) const;
  // The child of `history` with `token`, or kNoNode.
  NodeId Find(NodeId history, std::uint32_t token) const;

  // P(token of node | its prefix), for a node with a predicted token.
  double probability(NodeId node) const { return probability_[node]; }
  // Mass left by `history` for its unseen tokens (1 for a node without
  // children).
  double backoff_weight(NodeId history) const { return backoff_weight_[history]; }
  // P(token | history), backing off as far as needed.
  double Probability(NodeId history, std::uint32_t token) const;

 private:
  JointNgramModel() = default;
  // What training says of each node: its expected count and the
  // distribution of its count.
  struct Counts {
    std::vector<double> expected;
    std::vector<CountDistribution> distribution;
  };
  Counts Count(const std::vector<std::vector<std::uint32_t>> &sequences,
               SequenceShares shares);
  void Smooth(Counts counts, Smoothing smoothing);

  int order_ = 0;
  std::uint32_t vocabulary_size_ = 0;
  NodeId begin_node_ = kNoNode;
  std::vector<std::uint32_t> token_;
  std::vector<NodeId> parent_;
  std::vector<NodeId> backoff_;
  std::vector<std::uint8_t> node_order_;
  std::vector<std::uint8_t> starts_with_begin_;
  std::vector<double> probability_;
  std::vector<double> backoff_weight_;
  std::vector<std::size_t> first_child_;  // children of node n: [first_child_[n], first_child_[n+1])
  std::vector<NodeId> child_list_;
  std::unordered_map<std::uint64_t, NodeId> child_index_;
};

}  // namespace vurel::train

#endif  // VUREL_TRAIN_JOINT_NGRAM_H_
