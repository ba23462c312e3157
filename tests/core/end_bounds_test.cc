#include "end_bounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "random_model.h"
#include "tokenizer.h"
#include "word_acceptor.h"

namespace vurel {
namespace {

using random_model::ModelFrom;
using PairKey = std::pair<std::uint32_t, Arc::StateId>;  // (position, model state)

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Bounds are summed in another order than the exact distances and rounded
// to float.
double Slack(double distance) { return 1e-4 * (1.0 + distance); }

VectorFst AcceptorFor(const Model &model, const std::string &word) {
  return BuildWordAcceptor(Tokenize(word, model.delimiter(), model.input_symbols()),
                           model.input_clusters());
}

struct ProductArc {
  PairKey from, to;
  double weight;
};

// The pairs the word reaches from the start, each with its exact distance to
// the end, and the arcs among them.
struct Product {
  std::map<PairKey, double> to_end;
  std::vector<ProductArc> arcs;
};

Product Explore(const ModelFst &model, const VectorFst &acceptor) {
  const auto end = static_cast<std::uint32_t>(acceptor.NumStates() - 1);
  Product product;
  std::vector<PairKey> queue;
  const auto reach = [&](const PairKey &pair) {
    const double at_end = pair.first == end ? model.Final(pair.second).Value() : kInfinity;
    if (product.to_end.emplace(pair, at_end).second) queue.push_back(pair);
  };
  reach({0, model.Start()});
  while (!queue.empty()) {
    const PairKey from = queue.back();
    queue.pop_back();
    const auto follow = [&](Arc::StateId position, const Arc &arc) {
      product.arcs.push_back({from, {position, arc.nextstate}, arc.weight.Value()});
      reach(product.arcs.back().to);
    };
    for (fst::ArcIterator<ModelFst> arcs(model, from.second); !arcs.Done(); arcs.Next()) {
      if (arcs.Value().ilabel == 0) follow(from.first, arcs.Value());
      for (fst::ArcIterator<VectorFst> letters(acceptor, from.first); !letters.Done();
           letters.Next()) {
        if (letters.Value().olabel == arcs.Value().ilabel) {
          follow(letters.Value().nextstate, arcs.Value());
        }
      }
    }
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (const ProductArc &arc : product.arcs) {
      const double offered = arc.weight + product.to_end[arc.to];
      double &distance = product.to_end[arc.from];
      changed |= offered < distance;
      distance = std::min(distance, offered);
    }
  }
  return product;
}

TEST(EndBoundsTest, BoundsAreConsistentLowerBoundsOnRandomModels) {
  std::mt19937 random(31);
  // Models this small seldom have an arc that reads no letter between merged
  // states and decides a bound: it takes thousands of words to meet a few
  // dozen.
  int finite = 0;
  int positive = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    Result<Model> model = ModelFrom(random_model::RandomModel(random, false));
    if (!model.ok() || !model->suits_direct_search()) continue;
    const HistoryQuotient quotient(model->fst());
    for (int word_index = 0; word_index < 8; ++word_index) {
      const std::string word = random_model::RandomWord(random, 4);
      const VectorFst acceptor = AcceptorFor(*model, word);
      const EndBounds bounds(quotient, acceptor, kNoLimit);
      const auto at = [&](const PairKey &pair) { return bounds.At(pair.first, pair.second); };
      const Product product = Explore(model->fst(), acceptor);
      const std::string context = "trial " + std::to_string(trial) + " word " + word;
      for (const auto &[pair, exact] : product.to_end) {
        ASSERT_LE(at(pair), exact + Slack(exact)) << context << " at " << pair.first << ","
                                                   << pair.second;
        finite += exact > 0.0 && exact < kInfinity ? 1 : 0;
        positive += exact < kInfinity && at(pair) > 0.0f ? 1 : 0;
      }
      for (const ProductArc &arc : product.arcs) {
        const double next = arc.weight + at(arc.to);
        ASSERT_LE(at(arc.from), next + Slack(next))
            << context << " from " << arc.from.first << "," << arc.from.second << " to "
            << arc.to.first << "," << arc.to.second;
      }
    }
  }
  std::printf("%d of %d pairs with a positive distance bounded above 0\n", positive, finite);
  EXPECT_GT(finite, 20000);
  EXPECT_GT(positive, finite * 3 / 4);
}

}  // namespace
}  // namespace vurel
