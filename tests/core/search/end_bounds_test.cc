#include "search/end_bounds.h"

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

#include "driver/tokenizer.h"
#include "driver/word_acceptor.h"
#include "fst_builder.h"
#include "random_model.h"

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

// Letters a, b, c and phonemes A, B, C are labels 3 to 5. Reading c and
// ending after a:A, b:B and a:B costs 1.5, 2.5 and 0.75, or 2 after a:A or
// b:B through state 6, which reads no letter; a:C leads nowhere. Every state has a
// history of its own, so the merged model is the model.
Model HandModel() {
  Result<Model> model = ModelFrom(test_fst::MakeFst(
      7,
      {{0, 3, 3, 0.0f, 1}, {0, 4, 4, 0.0f, 2}, {0, 3, 4, 0.5f, 4}, {0, 3, 5, 0.0f, 5},
       {1, 5, 5, 1.0f, 3}, {1, 5, 5, 3.0f, 3}, {2, 5, 5, 2.0f, 3}, {4, 5, 5, 0.25f, 3},
       {1, 0, 2, 0.25f, 6}, {2, 0, 2, 0.25f, 6}, {6, 5, 5, 1.25f, 3}},
      {{3, 0.5f}}));
  EXPECT_TRUE(model.ok());
  return std::move(model).value();
}

struct HandCase {
  const char *word;
  std::uint32_t position;
  Arc::StateId state;
  float bound;  // the exact distance to the end
};
// A token of the letter alone would merge 1 and 4 (and 5) and give them
// 0.75; the heavier of the parallel arcs out of 1 would give it 2; without
// the arcs that read no letter, 2 would get 2.5.
constexpr HandCase kHandCases[] = {
    {"ac", 0, 0, 1.25f}, {"ac", 1, 1, 1.5f},  {"ac", 1, 4, 0.75f},
    {"ac", 1, 6, 1.75f}, {"ac", 2, 3, 0.5f},  {"ac", 1, 5, std::numeric_limits<float>::infinity()},
    {"bc", 0, 0, 2.0f},  {"bc", 1, 2, 2.0f}};

TEST(EndBoundsTest, StatesReachedByDifferentTokensKeepTheirOwnBounds) {
  const Model model = HandModel();
  const HistoryQuotient quotient(model.fst());
  for (const HandCase &c : kHandCases) {
    const EndBounds bounds(quotient, AcceptorFor(model, c.word), kNoLimit);
    EXPECT_FLOAT_EQ(bounds.At(c.position, c.state), c.bound)
        << c.word << " at (" << c.position << ", " << c.state << ")";
  }
}

// "ac" reaches six merged pairs; past the budget the search gets no bounds.
TEST(EndBoundsTest, MoreMergedPairsThanTheBudgetGiveBoundsOfZero) {
  const Model model = HandModel();
  const HistoryQuotient quotient(model.fst());
  const VectorFst acceptor = AcceptorFor(model, "ac");
  constexpr std::uint64_t kAny = std::numeric_limits<std::uint64_t>::max();
  struct Budget {
    std::uint64_t most_states;
    std::uint64_t most_arcs;
    bool exact;
  };
  // "ac" reaches 6 merged pairs, with arcs among them.
  for (const Budget &budget : {Budget{1, kAny, false}, Budget{5, kAny, false},
                               Budget{6, kAny, true}, Budget{6, 0, false}}) {
    const EndBounds bounds(quotient, acceptor, budget.most_states, budget.most_arcs);
    for (const HandCase &c : kHandCases) {
      if (std::string(c.word) != "ac") continue;
      EXPECT_FLOAT_EQ(bounds.At(c.position, c.state), budget.exact ? c.bound : 0.0f)
          << "budget of " << budget.most_states << " pairs and " << budget.most_arcs
          << " arcs at (" << c.position << ", " << c.state << ")";
    }
  }
}

// A model of 4,000 arcs a search or more waits for that many searches
// before it builds the merged model; a smaller one builds it at once.
TEST(EndBoundsTest, TheMergedModelIsBuiltOnceSearchesCanRepayIt) {
  for (const int arcs : {11, 8000, 13000}) {
    std::vector<test_fst::ArcSpec> specs;
    for (int i = 0; i < arcs; ++i) specs.push_back({0, 3, 3, 0.001f * static_cast<float>(i), 1});
    Result<Model> model = ModelFrom(test_fst::MakeFst(2, specs, {{1, 0.0f}}));
    ASSERT_TRUE(model.ok());
    const int searches_first = arcs / 4000;
    for (int search = 0; search < searches_first; ++search) {
      EXPECT_EQ(model->history_quotient(), nullptr) << arcs << " arcs, search " << search;
    }
    const HistoryQuotient *built = model->history_quotient();
    ASSERT_NE(built, nullptr) << arcs << " arcs";
    EXPECT_EQ(model->BuildHistoryQuotient(), built);
    EXPECT_EQ(model->history_quotient(), built);
  }
}

// Merged arcs keep their weights in steps of 1/256 and labels from 65,535
// on under one key. On a model of one path, 0 -first-> 1 -second-> 2, a
// bound must never exceed the distance, nor fall below `lowest`.
struct PackedCase {
  const char *fault;
  Label first, second;
  float first_weight, second_weight;
  float lowest;
};
constexpr PackedCase kPackedCases[] = {
    {"a weight rounded to the nearest step, above it", 3, 4, 0.3f, 0.0f, 0.29f},
    {"a weight past the largest step wrapped round", 3, 4, 300.0f, 1.0f, 255.0f},
    {"a label past the keys looked up whole", 70001, 70002, 1.0f, 2.0f, 2.99f},
};

TEST(EndBoundsTest, PackedArcsStillBoundFromBelow) {
  for (const PackedCase &c : kPackedCases) {
    const ModelFst model(test_fst::MakeFst(
        3,
        {{0, static_cast<int>(c.first), 3, c.first_weight, 1},
         {1, static_cast<int>(c.second), 3, c.second_weight, 2}},
        {{2, 0.0f}}));
    const HistoryQuotient quotient(model);
    const EndBounds bounds(quotient, BuildWordAcceptor({c.first, c.second}, ClusterTable{}),
                           kNoLimit);
    const float bound = bounds.At(0, 0);
    EXPECT_LE(bound, c.first_weight + c.second_weight) << c.fault;
    EXPECT_GE(bound, c.lowest) << c.fault;
  }
}

// The model reader's fuzzer found a model without states, whose merged
// model has no state to start from.
TEST(EndBoundsTest, AModelWithoutStatesGivesBoundsOfZero) {
  Result<Model> model = ModelFrom(test_fst::MakeFst(0, {}, {}));
  ASSERT_TRUE(model.ok());
  const HistoryQuotient quotient(model->fst());
  EXPECT_EQ(quotient.classes(), 0u);
  const EndBounds bounds(quotient, AcceptorFor(*model, "ab"), kNoLimit);
  EXPECT_EQ(bounds.At(0, 0), 0.0f);
}

}  // namespace
}  // namespace vurel
