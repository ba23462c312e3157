#include "search/pair_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vurel {
namespace {

using direct::kNone;
using direct::PairGraph;
using direct::SettleStep;

constexpr double kUnreached = std::numeric_limits<double>::infinity();

// A random model with non-negative weights: letters 1 to 3, input-epsilon
// arcs (cycles among them, some of weight 0), unreachable and dead states.
// Arcs sorted by input label, as the graph reads them.
VectorFst RandomModel(std::mt19937 &random) {
  static constexpr float kTied[] = {0.0f, 0.5f, 1.0f, 0.25f};
  const auto weight = [&] {
    const int draw = std::uniform_int_distribution<int>(0, 7)(random);
    return draw < 4 ? kTied[draw] : std::uniform_real_distribution<float>(0.0f, 3.0f)(random);
  };
  const int num_states = std::uniform_int_distribution<int>(1, 8)(random);
  const int num_arcs = std::uniform_int_distribution<int>(num_states, 5 * num_states)(random);
  std::uniform_int_distribution<int> state(0, num_states - 1);
  std::uniform_int_distribution<int> label(0, 3);
  VectorFst fst;
  for (int i = 0; i < num_states; ++i) fst.AddState();
  fst.SetStart(0);
  for (int i = 0; i < num_arcs; ++i) {
    fst.AddArc(state(random), Arc(label(random), label(random), weight(), state(random)));
  }
  for (int i = 0; i < num_states; ++i) {
    if (std::uniform_int_distribution<int>(0, 2)(random) == 0) fst.SetFinal(i, weight());
  }
  fst::ArcSort(&fst, fst::ILabelCompare<Arc>());
  return fst;
}

// The acceptor of a word: states 0 to n in order, n final.
VectorFst Acceptor(const std::vector<Label> &word) {
  VectorFst fst;
  fst.AddState();
  fst.SetStart(0);
  for (std::size_t i = 0; i < word.size(); ++i) {
    fst.AddState();
    fst.AddArc(static_cast<Arc::StateId>(i),
               Arc(word[i], word[i], 0.0f, static_cast<Arc::StateId>(i + 1)));
  }
  fst.SetFinal(static_cast<Arc::StateId>(word.size()), Weight::One());
  return fst;
}

// Every pair's shortest distance from the start by Bellman-Ford, in double
// precision, indexed by position * states + state.
std::vector<double> ShortestDistances(const ModelFst &model, const std::vector<Label> &word) {
  const auto states = static_cast<std::size_t>(model.NumStates());
  std::vector<double> distance((word.size() + 1) * states, kUnreached);
  distance[static_cast<std::size_t>(model.Start())] = 0.0;
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t position = 0; position <= word.size(); ++position) {
      for (std::size_t state = 0; state < states; ++state) {
        const double from = distance[position * states + state];
        if (from == kUnreached) continue;
        for (fst::ArcIterator<ModelFst> arcs(model, static_cast<Arc::StateId>(state)); !arcs.Done();
             arcs.Next()) {
          const Arc &arc = arcs.Value();
          std::size_t to_position = position;
          if (arc.ilabel != 0) {
            if (position == word.size() || word[position] != static_cast<Label>(arc.ilabel)) {
              continue;
            }
            to_position = position + 1;
          }
          double &to = distance[to_position * states + static_cast<std::size_t>(arc.nextstate)];
          if (from + arc.weight.Value() < to - 1e-9) {
            to = from + arc.weight.Value();
            changed = true;
          }
        }
      }
    }
  }
  return distance;
}

// What one graph shows of a word.
struct Checked {
  bool has_paths = false;
  bool partly_settled = false;
};

// The settled graph against a plain shortest-distance computation: each
// check below catches a fault in settling (a pair settled out of order or
// with a wrong distance, an epsilon arc or letter not followed, a pair
// within the margin left unsettled, an arc missing from a pair's incoming
// list, a final pair missed), with the start closure `start` replayed or
// none.
Checked CheckSettled(const ModelFst &model, const StartClosure::Data *start,
                     const std::vector<Label> &word, float margin, const std::string &context) {
  const DirectSearchBudget budget;
  const std::size_t states = static_cast<std::size_t>(model.NumStates());
  const VectorFst acceptor = Acceptor(word);
  const std::vector<double> reference = ShortestDistances(model, word);
  double reference_best = kUnreached;
  for (std::size_t state = 0; state < states; ++state) {
    const float final_weight = model.Final(static_cast<Arc::StateId>(state)).Value();
    if (final_weight == direct::kInfinity) continue;
    reference_best =
        std::min(reference_best, reference[word.size() * states + state] + final_weight);
  }
  PairGraph graph(model, start, acceptor, budget, nullptr);
  EXPECT_EQ(graph.FindBest(), SettleStep::kDone) << context;
  if (reference_best == kUnreached) {
    EXPECT_EQ(graph.best_complete(), direct::kInfinity) << context;
    return {};
  }
  EXPECT_NEAR(graph.best_complete(), reference_best, 1e-4) << context;
  EXPECT_EQ(graph.SettleWithin(margin), SettleStep::kDone) << context;
  const auto &pairs = graph.pairs();
  const auto &arcs = graph.arcs();
  std::map<std::pair<std::uint32_t, Arc::StateId>, std::uint32_t> ids;
  for (std::uint32_t id = 0; id < pairs.size(); ++id) {
    EXPECT_TRUE(ids.emplace(std::pair(pairs[id].position, pairs[id].state), id).second)
        << context << ": a pair reached twice";
  }
  EXPECT_EQ(pairs[graph.start_pair()].position, 0u) << context;
  EXPECT_EQ(pairs[graph.start_pair()].state, model.Start()) << context;
  // Settled in order of distance (after the closure's pairs, when it is
  // replayed), each at its shortest distance, and every pair within the
  // margin settled.
  const std::vector<std::uint32_t> &order = graph.settled_order();
  for (std::size_t i = start ? start->settled_order.size() + 1 : 1; i < order.size(); ++i) {
    EXPECT_GE(pairs[order[i]].distance, pairs[order[i - 1]].distance) << context;
  }
  std::vector<std::uint32_t> finals;
  for (std::uint32_t id = 0; id < pairs.size(); ++id) {
    const double expected =
        reference[pairs[id].position * states + static_cast<std::size_t>(pairs[id].state)];
    if (!pairs[id].settled) {
      EXPECT_GT(expected, graph.bound() - 1e-4) << context;
      continue;
    }
    EXPECT_NEAR(pairs[id].distance, expected, 1e-4) << context;
    // Its incoming list holds exactly the arcs into it from settled pairs.
    std::multiset<std::pair<std::uint32_t, const Arc *>> listed;
    for (std::uint32_t i = pairs[id].last_incoming; i != kNone; i = arcs[i].next_incoming) {
      EXPECT_EQ(arcs[i].to, id) << context;
      listed.insert({arcs[i].from, arcs[i].arc});
    }
    std::multiset<std::pair<std::uint32_t, const Arc *>> into;
    for (std::uint32_t from = 0; from < pairs.size(); ++from) {
      if (!pairs[from].settled) continue;
      const auto [first, end] = direct::ArcsOf(model, pairs[from].state);
      for (const Arc *arc = first; arc != end; ++arc) {
        const std::uint32_t from_position = pairs[from].position;
        const std::uint32_t position = from_position + (arc->ilabel != 0);
        if (arc->ilabel != 0 && (from_position == word.size() ||
                                 word[from_position] != static_cast<Label>(arc->ilabel))) {
          continue;
        }
        if (position == pairs[id].position && arc->nextstate == pairs[id].state) {
          into.insert({from, arc});
        }
      }
    }
    EXPECT_EQ(listed, into) << context << ": incoming arcs of pair " << id;
    if (graph.FinalWeightAtEnd(id) != direct::kInfinity) finals.push_back(id);
  }
  for (std::size_t key = 0; key < reference.size(); ++key) {
    if (reference[key] == kUnreached || !(reference[key] <= graph.bound() - 1e-4)) continue;
    const auto found = ids.find(
        {static_cast<std::uint32_t>(key / states), static_cast<Arc::StateId>(key % states)});
    EXPECT_NE(found, ids.end()) << context << ": pair " << key << " not reached";
    if (found != ids.end()) EXPECT_TRUE(pairs[found->second].settled) << context << ": pair " << key;
  }
  std::sort(finals.begin(), finals.end(), [&](std::uint32_t lhs, std::uint32_t rhs) {
    return pairs[lhs].rank < pairs[rhs].rank;
  });
  EXPECT_EQ(graph.final_pairs(), finals) << context;
  return {true, !graph.all_settled()};
}

std::vector<Label> RandomWord(std::mt19937 &random) {
  std::vector<Label> word(std::uniform_int_distribution<std::size_t>(1, 4)(random));
  for (Label &letter : word) letter = std::uniform_int_distribution<Label>(1, 3)(random);
  return word;
}

TEST(PairGraphTest, SettledPairsMatchShortestDistancesOnRandomModels) {
  std::mt19937 random(21);
  int with_paths = 0;
  int partly_settled = 0;
  int replayed = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const ModelFst model(RandomModel(random));
    const std::vector<Label> word = RandomWord(random);
    static constexpr float kMargins[] = {0.0f, 0.5f, 2.0f, direct::kInfinity};
    const float margin = kMargins[trial % 4];
    const StartClosure closure = FindStartClosure(model);
    for (const StartClosure::Data *start : {static_cast<const StartClosure::Data *>(nullptr),
                                            closure.data()}) {
      const Checked checked = CheckSettled(model, start, word, margin,
                                           "trial " + std::to_string(trial) +
                                               (start ? " replayed" : ""));
      if (HasFailure()) return;
      with_paths += checked.has_paths;
      partly_settled += checked.partly_settled;
      replayed += checked.has_paths && start != nullptr;
    }
  }
  // The interesting cases occurred: words with paths, margins that leave
  // pairs unsettled, and the start closure replayed.
  EXPECT_GT(with_paths, 100);
  EXPECT_GT(partly_settled, 30);
  EXPECT_GT(replayed, 50);
}

// Each thread keeps the pairs of the last start closure replayed for the
// next graph: graphs of several models taking turns on one thread must each
// replay their own model's closure, whether it is the one held or not.
TEST(PairGraphTest, ModelsTakingTurnsOnAThreadEachReplayTheirOwnStartClosure) {
  std::mt19937 random(8);
  std::vector<ModelFst> models;
  std::vector<StartClosure> closures;
  models.reserve(3);
  while (models.size() < 3) {
    ModelFst model(RandomModel(random));
    StartClosure closure = FindStartClosure(model);
    if (closure.data() == nullptr || closure.data()->pairs.size() < 2) continue;
    models.push_back(std::move(model));
    closures.push_back(std::move(closure));
  }
  int with_paths = 0;
  for (int turn = 0; turn < 60; ++turn) {
    const std::size_t which = std::uniform_int_distribution<std::size_t>(0, 2)(random);
    const bool replayed = turn % 5 != 4;
    with_paths += CheckSettled(models[which], replayed ? closures[which].data() : nullptr,
                               RandomWord(random), direct::kInfinity,
                               "turn " + std::to_string(turn) + " model " +
                                   std::to_string(which))
                      .has_paths;
    if (HasFailure()) return;
  }
  EXPECT_GT(with_paths, 20);
}

// A chain of states that reads no letter, each with two arcs to the next:
// a word reaches every state at position 0, `length` pairs and 2 * `length`
// arcs in all.
ModelFst EpsilonChain(int length) {
  VectorFst fst;
  for (int i = 0; i <= length; ++i) fst.AddState();
  fst.SetStart(0);
  for (int i = 0; i < length; ++i) {
    fst.AddArc(i, Arc(0, 1, 0.5f, i + 1));
    fst.AddArc(i, Arc(0, 2, 0.75f, i + 1));
  }
  fst.SetFinal(length, 0.0f);
  return ModelFst(fst);
}

// Settling stops at either part of the budget and on cancellation, which
// it checks every kCancelCheckInterval pairs.
TEST(PairGraphTest, SettlingStopsAtTheBudgetAndOnCancellation) {
  const VectorFst acceptor = Acceptor({});
  const ModelFst chain = EpsilonChain(3000);
  const std::atomic<bool> cancelled{true};
  struct Case {
    const char *name;
    std::uint64_t lattice_states;
    std::uint64_t lattice_arcs;
    const std::atomic<bool> *cancel;
    SettleStep expected;
  };
  const Case cases[] = {
      {"within budget", 3001, 6000, nullptr, SettleStep::kDone},
      {"one pair too many", 3000, 6000, nullptr, SettleStep::kOverBudget},
      {"one arc too many", 3001, 5999, nullptr, SettleStep::kOverBudget},
      {"cancelled", 3001, 6000, &cancelled, SettleStep::kCancelled},
  };
  for (const Case &c : cases) {
    DirectSearchBudget budget;
    budget.lattice_states = c.lattice_states;
    budget.lattice_arcs = c.lattice_arcs;
    PairGraph graph(chain, nullptr, acceptor, budget, c.cancel);
    EXPECT_EQ(graph.FindBest(), c.expected) << c.name;
  }
  // Fewer steps than the interval: the flag is not looked at.
  const ModelFst short_chain = EpsilonChain(10);
  PairGraph graph(short_chain, nullptr, acceptor, DirectSearchBudget(), &cancelled);
  EXPECT_EQ(graph.FindBest(), SettleStep::kDone);
  EXPECT_EQ(graph.best_complete(), 5.0f);
}

}  // namespace
}  // namespace vurel
