#include "joint_ngram.h"

#include <algorithm>
#include <string>
#include <tuple>

namespace vurel::train {
namespace {

constexpr int kMaxOrder = 20;

std::uint64_t ChildKey(JointNgramModel::NodeId history, std::uint32_t token) {
  return (static_cast<std::uint64_t>(history) << 32) | token;
}

constexpr std::size_t kCountBuckets = std::tuple_size_v<CountDistribution>;

// The count is the sum of independent counts: their distributions
// convolve, the last bucket collecting everything from 5 on.
void AddIndependent(CountDistribution &sum, const CountDistribution &term) {
  CountDistribution result{};
  for (std::size_t i = 0; i < kCountBuckets; ++i) {
    if (sum[i] == 0.0) continue;
    for (std::size_t j = 0; j < kCountBuckets; ++j) {
      result[std::min(i + j, kCountBuckets - 1)] += sum[i] * term[j];
    }
  }
  sum = result;
}

CountDistribution CertainCount(std::size_t count) {
  CountDistribution distribution{};
  distribution[std::min(count, kCountBuckets - 1)] = 1.0;
  return distribution;
}

// Discounts for counts 1, 2 and 3 or more, weighted by how likely each is.
double ExpectedDiscount(const std::array<double, 3> &discounts,
                        const CountDistribution &distribution) {
  double discount = 0;
  for (std::size_t count = 1; count < kCountBuckets; ++count) {
    discount += discounts[std::min<std::size_t>(count, 3) - 1] * distribution[count];
  }
  return discount;
}

}  // namespace

std::array<double, 3> KneserNeyDiscounts(const std::array<double, 4> &n) {
  if (n[0] > 0 && n[1] > 0 && n[2] > 0 && n[3] > 0) {
    const double y = n[0] / (n[0] + 2 * n[1]);
    const std::array<double, 3> discounts = {1 - 2 * y * n[1] / n[0],
                                             2 - 3 * y * n[2] / n[1],
                                             3 - 4 * y * n[3] / n[2]};
    if (discounts[0] > 0 && discounts[0] < 1 && discounts[1] > 0 &&
        discounts[1] < 2 && discounts[2] > 0 && discounts[2] < 3) {
      return discounts;
    }
  }
  const double single =
      n[0] > 0 && n[1] > 0 ? n[0] / (n[0] + 2 * n[1]) : 0.5;
  return {single, single, single};
}

Result<JointNgramModel> JointNgramModel::Estimate(
    const std::vector<std::vector<std::uint32_t>> &sequences,
    std::uint32_t vocabulary_size, const NgramOptions &options,
    SequenceShares shares) {
  if (options.order < 1 || options.order > kMaxOrder) {
    return InvalidInput("n-gram order must be 1 to " +
                        std::to_string(kMaxOrder));
  }
  if (sequences.empty()) return InvalidInput("no training sequences");
  if (vocabulary_size >= 0xFFFFFFF0u) return InvalidInput("vocabulary too large");
  for (const auto &sequence : sequences) {
    for (std::uint32_t token : sequence) {
      if (token >= vocabulary_size) {
        return InvalidInput("token " + std::to_string(token) +
                            " outside the vocabulary");
      }
    }
  }
  if (shares.entry.size() != shares.share.size() ||
      (!shares.entry.empty() && shares.entry.size() != sequences.size())) {
    return InvalidInput("sequence shares do not match the sequences");
  }
  for (double share : shares.share) {
    if (!(share > 0.0 && share <= 1.0)) {
      return InvalidInput("sequence shares must lie in (0, 1]");
    }
  }
  JointNgramModel model;
  model.order_ = options.order;
  model.vocabulary_size_ = vocabulary_size;
  model.Smooth(model.Count(sequences, shares), options.smoothing);
  return model;
}

JointNgramModel::Counts JointNgramModel::Count(
    const std::vector<std::vector<std::uint32_t>> &sequences,
    SequenceShares shares) {
  Counts counts;
  const auto add_node = [&](NodeId parent, std::uint32_t token, NodeId backoff,
                            int order, bool starts_with_begin) {
    auto [it, added] = child_index_.emplace(ChildKey(parent, token),
                                            static_cast<NodeId>(token_.size()));
    if (added) {
      token_.push_back(token);
      parent_.push_back(parent);
      backoff_.push_back(backoff);
      node_order_.push_back(static_cast<std::uint8_t>(order));
      starts_with_begin_.push_back(starts_with_begin);
      counts.expected.push_back(0.0);
      counts.distribution.push_back(CertainCount(0));
    }
    return it->second;
  };
  token_.push_back(0);
  parent_.push_back(kNoNode);
  backoff_.push_back(kNoNode);
  node_order_.push_back(0);
  starts_with_begin_.push_back(0);
  counts.expected.push_back(0.0);
  counts.distribution.push_back(CertainCount(0));
  // A unigram model has no histories but the empty one.
  begin_node_ =
      order_ > 1 ? add_node(kRoot, begin_token(), kRoot, 1, true) : kRoot;

  // The n-grams of one sequence, each once per occurrence.
  std::vector<NodeId> occurrences;
  // ending[k] is the node of the n-gram of order k ending at the previous
  // position (ending[0] the root); each new n-gram extends one of them, and
  // its backoff is the n-gram one order lower ending at the same position.
  std::vector<NodeId> ending(order_ + 1), next(order_ + 1);
  const auto collect = [&](const std::vector<std::uint32_t> &sequence) {
    occurrences.clear();
    std::fill(ending.begin(), ending.end(), kNoNode);
    ending[0] = kRoot;
    ending[1] = begin_node_;
    for (std::size_t i = 0; i <= sequence.size(); ++i) {
      const std::uint32_t token = i < sequence.size() ? sequence[i] : end_token();
      std::fill(next.begin(), next.end(), kNoNode);
      next[0] = kRoot;
      for (int k = 1; k <= order_; ++k) {
        if (ending[k - 1] == kNoNode) break;
        // The window of order k starts at the begin token when it is as long
        // as the tokens read so far plus the begin token.
        const bool starts_with_begin = static_cast<std::size_t>(k) == i + 2;
        next[k] = add_node(ending[k - 1], token, next[k - 1], k,
                           starts_with_begin);
        occurrences.push_back(next[k]);
      }
      std::swap(ending, next);
    }
    std::sort(occurrences.begin(), occurrences.end());
  };

  // Within an entry the alternatives exclude each other: an n-gram's count
  // there is count c with the summed share of the alternatives holding it c
  // times. Entries are independent of each other.
  std::unordered_map<NodeId, CountDistribution> in_entry;
  for (std::size_t first = 0; first < sequences.size();) {
    std::size_t last = first + 1;
    if (!shares.entry.empty()) {
      while (last < sequences.size() &&
             shares.entry[last] == shares.entry[first]) {
        ++last;
      }
    }
    in_entry.clear();
    for (std::size_t s = first; s < last; ++s) {
      const double share = shares.share.empty() ? 1.0 : shares.share[s];
      collect(sequences[s]);
      for (std::size_t i = 0; i < occurrences.size();) {
        std::size_t j = i;
        while (j < occurrences.size() && occurrences[j] == occurrences[i]) ++j;
        const NodeId node = occurrences[i];
        counts.expected[node] += share * static_cast<double>(j - i);
        in_entry[node][std::min(j - i, kCountBuckets - 1)] += share;
        i = j;
      }
    }
    for (auto &[node, distribution] : in_entry) {
      double held = 0;
      for (std::size_t c = 1; c < kCountBuckets; ++c) held += distribution[c];
      distribution[0] = std::max(0.0, 1.0 - held);
      AddIndependent(counts.distribution[node], distribution);
    }
    first = last;
  }
  return counts;
}

void JointNgramModel::Smooth(Counts counts, Smoothing smoothing) {
  const std::size_t nodes = token_.size();
  first_child_.assign(nodes + 1, 0);
  for (NodeId node = 1; node < nodes; ++node) ++first_child_[parent_[node] + 1];
  for (std::size_t n = 0; n < nodes; ++n) first_child_[n + 1] += first_child_[n];
  child_list_.assign(nodes - 1, 0);
  {
    std::vector<std::size_t> fill(first_child_.begin(), first_child_.end() - 1);
    for (NodeId node = 1; node < nodes; ++node) {
      child_list_[fill[parent_[node]]++] = node;
    }
  }

  // Kneser-Ney replaces the count of a lower-order n-gram by the number of
  // distinct tokens seen before it, except where nothing can precede it
  // (the highest order, and n-grams starting with the begin token). A token
  // is seen before it as often as the longer n-gram has a count above 0.
  std::vector<double> adjusted = std::move(counts.expected);
  std::vector<CountDistribution> distribution = std::move(counts.distribution);
  if (smoothing == Smoothing::kKneserNey) {
    std::vector<double> left_extensions(nodes, 0.0);
    std::vector<CountDistribution> left_distribution(nodes, CertainCount(0));
    for (NodeId node = 1; node < nodes; ++node) {
      if (node_order_[node] < 2) continue;
      const double seen = 1.0 - distribution[node][0];
      left_extensions[backoff_[node]] += seen;
      AddIndependent(left_distribution[backoff_[node]],
                     {1.0 - seen, seen, 0, 0, 0, 0});
    }
    for (NodeId node = 1; node < nodes; ++node) {
      if (node_order_[node] == order_ || starts_with_begin_[node]) continue;
      adjusted[node] = left_extensions[node];
      distribution[node] = left_distribution[node];
    }
  }
  if (begin_node_ != kRoot) {  // never predicted
    adjusted[begin_node_] = 0;
    distribution[begin_node_] = CertainCount(0);
  }

  std::vector<std::array<double, 3>> discounts(order_ + 1);
  if (smoothing == Smoothing::kKneserNey) {
    std::vector<std::array<double, 4>> count_of_counts(order_ + 1, {0, 0, 0, 0});
    for (NodeId node = 1; node < nodes; ++node) {
      for (std::size_t count = 1; count <= 4; ++count) {
        count_of_counts[node_order_[node]][count - 1] += distribution[node][count];
      }
    }
    for (int k = 1; k <= order_; ++k) {
      discounts[k] = KneserNeyDiscounts(count_of_counts[k]);
    }
  }

  probability_.assign(nodes, 0.0);
  backoff_weight_.assign(nodes, 1.0);
  std::vector<double> total(nodes, 0.0);
  for (NodeId history = 0; history < nodes; ++history) {
    double sum = 0, held_out = 0, types = 0;
    for (NodeId child : children(history)) {
      if (adjusted[child] <= 0) continue;
      sum += adjusted[child];
      types += 1.0 - distribution[child][0];
      if (smoothing == Smoothing::kKneserNey) {
        held_out += ExpectedDiscount(discounts[node_order_[child]],
                                     distribution[child]);
      }
    }
    if (sum <= 0) continue;
    if (smoothing == Smoothing::kWittenBell) {
      held_out = types;
      total[history] = sum + held_out;
    } else {
      total[history] = sum;
    }
    backoff_weight_[history] = held_out / total[history];
  }

  const double uniform = 1.0 / static_cast<double>(predicted_tokens());
  // A node's backoff is created before it, so its probability is ready.
  for (NodeId node = 1; node < nodes; ++node) {
    if (adjusted[node] <= 0) continue;
    const NodeId history = parent_[node];
    const double lower =
        node_order_[node] == 1 ? uniform : probability_[backoff_[node]];
    double kept = adjusted[node];
    if (smoothing == Smoothing::kKneserNey) {
      kept -= ExpectedDiscount(discounts[node_order_[node]], distribution[node]);
    }
    probability_[node] =
        kept / total[history] + backoff_weight_[history] * lower;
  }
}

std::span<const JointNgramModel::NodeId> JointNgramModel::children(
    NodeId node) const {
  return std::span<const NodeId>(child_list_.data() + first_child_[node],
                                 first_child_[node + 1] - first_child_[node]);
}

JointNgramModel::NodeId JointNgramModel::Find(NodeId history,
                                              std::uint32_t token) const {
  auto it = child_index_.find(ChildKey(history, token));
  return it == child_index_.end() ? kNoNode : it->second;
}

double JointNgramModel::Probability(NodeId history, std::uint32_t token) const {
  double weight = 1.0;
  for (NodeId node = history;; node = backoff_[node]) {
    const NodeId child = Find(node, token);
    if (child != kNoNode && probability_[child] > 0) {
      return weight * probability_[child];
    }
    weight *= backoff_weight_[node];
    if (node == kRoot) return weight / static_cast<double>(predicted_tokens());
  }
}

}  // namespace vurel::train
