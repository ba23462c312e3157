#include "model/model.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <malloc.h>

#include "model/fst_file.h"
#include "search/direct_search.h"
#include "util/claimed_build.h"
#include "util/unbounded_mass.h"

namespace vurel {

namespace {

bool ByInput(const Arc &lhs, const Arc &rhs) { return lhs.ilabel < rhs.ilabel; }

template <class FstType>
bool IsSortedByInput(const FstType &fst, Arc::StateId state) {
  fst::ArcIterator<FstType> arcs(fst, state);
  if (arcs.Done()) return true;
  Label previous = arcs.Value().ilabel;
  for (arcs.Next(); !arcs.Done(); arcs.Next()) {
    const Label current = arcs.Value().ilabel;
    if (current < previous) return false;
    previous = current;
  }
  return true;
}

std::optional<Label> FindLabel(const fst::SymbolTable &symbols,
                               std::string_view text) {
  const std::int64_t label = symbols.Find(std::string(text));
  if (label < 0) return std::nullopt;
  return static_cast<Label>(label);
}

std::optional<std::string> FindText(const fst::SymbolTable &symbols,
                                    std::int64_t label) {
  if (label < 0 || static_cast<std::uint64_t>(label) >= symbols.NumSymbols()) {
    return std::nullopt;
  }
  return symbols.Find(label);
}

// An arc that reads nothing and can lower a path's weight. NaN and -inf
// weights are left out: OpenFst's shortest distance fails on them at once,
// and +inf is no path at all.
bool IsFiniteEpsilon(const Arc &arc) {
  return arc.ilabel == 0 && std::isfinite(arc.weight.Value());
}

template <class Fst>
bool HasEpsilonLoop(const Fst &fst, Arc::StateId state) {
  for (fst::ArcIterator<Fst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
    const Arc &arc = arcs.Value();
    if (arc.ilabel > 0) break;
    if (IsFiniteEpsilon(arc) && arc.nextstate == state) return true;
  }
  return false;
}

// Whether any input-epsilon arc has a negative weight: without one there
// is no negative cycle, and the check ends after this one pass.
bool HasNegativeEpsilon(const FlatFst &fst) {
  for (Arc::StateId state = 0; state < fst.NumStates(); ++state) {
    for (fst::ArcIterator<FlatFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      if (arc.ilabel > 0) break;
      if (IsFiniteEpsilon(arc) && arc.weight.Value() < 0.0f) return true;
    }
  }
  return false;
}

// Strongly connected components of the graph of input-epsilon arcs
// (Tarjan's algorithm, iterative). Our own rather than OpenFst's SccVisitor:
// that walks every arc of the model, while after the arc sort a state's
// epsilon arcs come first (after any negative labels), so this touches
// little more than the states. Returns the components with more than one
// state or with an epsilon loop, the only ones that can hold a cycle.
template <class Fst>
std::vector<std::vector<Arc::StateId>> CyclicEpsilonComponents(const Fst &fst) {
  const auto num_states = static_cast<std::size_t>(fst.NumStates());
  constexpr std::uint32_t kUnvisited = 0;
  std::vector<std::uint32_t> order(num_states, kUnvisited);
  std::vector<std::uint32_t> lowlink(num_states, 0);
  std::vector<bool> on_stack(num_states, false);
  std::vector<Arc::StateId> component_stack;
  struct Frame {
    Arc::StateId state;
    std::size_t next_arc;
  };
  std::vector<Frame> frames;
  std::vector<std::vector<Arc::StateId>> cyclic;
  std::uint32_t counter = 0;

  // The next input-epsilon arc of `state` from `index` on, or nullptr.
  const auto next_epsilon = [&fst, num_states](Arc::StateId state, std::size_t &index) -> const Arc * {
    fst::ArcIterator<Fst> arcs(fst, state);
    for (arcs.Seek(index); !arcs.Done(); arcs.Next(), ++index) {
      const Arc &arc = arcs.Value();
      if (arc.ilabel > 0) break;
      if (IsFiniteEpsilon(arc) && arc.nextstate >= 0 &&
          static_cast<std::size_t>(arc.nextstate) < num_states) {
        ++index;
        return &arc;
      }
    }
    index = fst.NumArcs(state);
    return nullptr;
  };

  for (Arc::StateId root = 0; static_cast<std::size_t>(root) < num_states; ++root) {
    if (order[root] != kUnvisited) continue;
    frames.push_back({root, 0});
    order[root] = lowlink[root] = ++counter;
    component_stack.push_back(root);
    on_stack[root] = true;
    while (!frames.empty()) {
      Frame &frame = frames.back();
      const Arc::StateId state = frame.state;
      if (const Arc *arc = next_epsilon(state, frame.next_arc)) {
        const Arc::StateId next = arc->nextstate;
        if (order[next] == kUnvisited) {
          order[next] = lowlink[next] = ++counter;
          component_stack.push_back(next);
          on_stack[next] = true;
          frames.push_back({next, 0});
        } else if (on_stack[next]) {
          lowlink[state] = std::min(lowlink[state], order[next]);
        }
        continue;
      }
      frames.pop_back();
      if (!frames.empty()) {
        const Arc::StateId parent = frames.back().state;
        lowlink[parent] = std::min(lowlink[parent], lowlink[state]);
      }
      if (lowlink[state] != order[state]) continue;
      // Most components are single states without a loop: popped without
      // building anything.
      if (component_stack.back() == state) {
        component_stack.pop_back();
        on_stack[state] = false;
        if (HasEpsilonLoop(fst, state)) cyclic.push_back({state});
        continue;
      }
      std::vector<Arc::StateId> component;
      Arc::StateId member;
      do {
        member = component_stack.back();
        component_stack.pop_back();
        on_stack[member] = false;
        component.push_back(member);
      } while (member != state);
      cyclic.push_back(std::move(component));
    }
  }
  return cyclic;
}

// States on some path from the start state to a final state.
std::vector<bool> UsefulStates(const FlatFst &fst) {
  std::vector<bool> accessible;
  std::vector<bool> coaccessible;
  std::uint64_t properties = 0;
  fst::SccVisitor<Arc> visitor(nullptr, &accessible, &coaccessible, &properties);
  fst::DfsVisit(fst, &visitor);
  std::vector<bool> useful(static_cast<std::size_t>(fst.NumStates()), false);
  for (std::size_t state = 0; state < useful.size(); ++state) {
    useful[state] = state < accessible.size() && state < coaccessible.size() &&
                    accessible[state] && coaccessible[state];
  }
  return useful;
}

// The convergence delta of the n-best search: OpenFst improves a distance
// only by more than this, so cycles whose weight is within it of zero end.
constexpr double kCycleTolerance = 1e-6;

// Bellman-Ford checks cost rounds times arcs; beyond this the component is
// too large to prove safe (no trained model comes near).
constexpr std::uint64_t kCycleCheckWork = std::uint64_t{1} << 28;

struct EpsilonEdge {
  std::uint32_t from;
  std::uint32_t to;
  double weight;
};

enum class CycleCheck { kNone, kNegative, kTooLarge };

// Bellman-Ford from a virtual source joined to every state of the
// component: a distance still falling after as many rounds as states means
// a cycle of negative weight.
CycleCheck CheckComponent(const FlatFst &fst,
                          const std::vector<Arc::StateId> &component,
                          const std::vector<bool> &useful, std::uint64_t &work) {
  std::unordered_map<Arc::StateId, std::uint32_t> position;
  for (const Arc::StateId state : component) {
    if (useful[state]) position.emplace(state, static_cast<std::uint32_t>(position.size()));
  }
  std::vector<EpsilonEdge> edges;
  for (const auto &[state, from] : position) {
    for (fst::ArcIterator<FlatFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      if (arc.ilabel > 0) break;
      if (!IsFiniteEpsilon(arc)) continue;
      const auto to = position.find(arc.nextstate);
      if (to != position.end()) {
        edges.push_back({from, to->second, static_cast<double>(arc.weight.Value())});
      }
    }
  }
  std::vector<double> distance(position.size(), 0.0);
  for (std::size_t round = 0; round <= position.size(); ++round) {
    work += edges.size();
    if (work > kCycleCheckWork) return CycleCheck::kTooLarge;
    bool changed = false;
    for (const EpsilonEdge &edge : edges) {
      const double candidate = distance[edge.from] + edge.weight;
      if (candidate < distance[edge.to] - kCycleTolerance) {
        distance[edge.to] = candidate;
        changed = true;
      }
    }
    if (!changed) return CycleCheck::kNone;
  }
  return CycleCheck::kNegative;
}

bool HasNegativeArc(const FlatFst &fst, const std::vector<Arc::StateId> &component) {
  for (const Arc::StateId state : component) {
    for (fst::ArcIterator<FlatFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      if (arc.ilabel > 0) break;
      if (IsFiniteEpsilon(arc) && arc.weight.Value() < 0.0f) return true;
    }
  }
  return false;
}

}  // namespace

Status CheckInputEpsilonCycles(const FlatFst &fst) {
  if (!HasNegativeEpsilon(fst)) return Status();
  std::vector<std::vector<Arc::StateId>> suspects = CyclicEpsilonComponents(fst);
  std::erase_if(suspects, [&fst](const std::vector<Arc::StateId> &component) {
    return !HasNegativeArc(fst, component);
  });
  if (suspects.empty()) return Status();
  const std::vector<bool> useful = UsefulStates(fst);
  std::uint64_t work = 0;
  for (const std::vector<Arc::StateId> &component : suspects) {
    switch (CheckComponent(fst, component, useful, work)) {
      case CycleCheck::kNone:
        break;
      case CycleCheck::kNegative:
        return InvalidInput(
            "model has a cycle of input-epsilon arcs with negative weight "
            "through state " +
            std::to_string(*std::min_element(component.begin(), component.end())) +
            ": its best paths are undefined");
      case CycleCheck::kTooLarge:
        return InvalidInput(
            "model has input-epsilon cycles with negative arcs too large to "
            "check for negative cycles (" +
            std::to_string(component.size()) + " states in one component)");
    }
  }
  return Status();
}

// OpenFst's ArcSort sorts with std::sort, which may reorder arcs with equal
// input labels; composition results depend on that order, so the file's
// order is kept here. Properties are computed as ArcSort's StateMap does:
// from the properties known before the sort, through the comparator.
void StableSortArcsByInput(VectorFst &fst) {
  if (fst.Start() == fst::kNoStateId) return;
  const std::uint64_t known = fst.Properties(fst::kFstProperties, false);
  std::vector<Arc> arcs;
  for (Arc::StateId state = 0; state < fst.NumStates(); ++state) {
    if (IsSortedByInput(fst, state)) continue;
    arcs.clear();
    for (fst::ArcIterator<VectorFst> it(fst, state); !it.Done(); it.Next()) {
      arcs.push_back(it.Value());
    }
    std::stable_sort(arcs.begin(), arcs.end(), ByInput);
    fst::MutableArcIterator<VectorFst> it(&fst, state);
    for (const Arc &arc : arcs) {
      it.SetValue(arc);
      it.Next();
    }
  }
  fst.SetProperties(fst::ILabelCompare<Arc>().Properties(known),
                    fst::kFstProperties);
}

void StableSortArcsByInput(FlatFst &fst) {
  if (fst.Start() == fst::kNoStateId) return;
  const std::uint64_t known = fst.Properties(fst::kFstProperties, false);
  for (Arc::StateId state = 0; state < fst.NumStates(); ++state) {
    if (IsSortedByInput(fst, state)) continue;
    const std::span<Arc> arcs = fst.MutableArcs(state);
    std::stable_sort(arcs.begin(), arcs.end(), ByInput);
  }
  fst.SetProperties(fst::ILabelCompare<Arc>().Properties(known), fst::kFstProperties);
}

namespace {

// The file's property bits are taken as they stand, but OpenFst picks its
// algorithms by them (a false "top sorted" or "acyclic" sends the shortest
// distance off the end of its queue). Only claims that let an algorithm
// take a shortcut can do harm, so only those are checked, and dropped if
// the arcs contradict them; a claim such as "cyclic" or "not sorted" just
// sends OpenFst down its general road. Trained models claim only "sorted",
// which costs a pass over the arcs.
constexpr std::uint64_t kShortcutProperties =
    fst::kAcceptor | fst::kIDeterministic | fst::kODeterministic | fst::kNoEpsilons |
    fst::kNoIEpsilons | fst::kNoOEpsilons | fst::kILabelSorted | fst::kOLabelSorted |
    fst::kUnweighted | fst::kAcyclic | fst::kInitialAcyclic | fst::kTopSorted |
    fst::kAccessible | fst::kCoAccessible | fst::kString | fst::kUnweightedCycles;

}  // namespace

void DropFalseProperties(FlatFst &fst) {
  const std::uint64_t claimed =
      fst.Properties(fst::kFstProperties, false) & kShortcutProperties;
  if (claimed == 0) return;
  // Without a start state, OpenFst's computation of these reads an empty
  // table (its depth-first search visits nothing); they are dropped unread.
  constexpr std::uint64_t kSearchedProperties = fst::kAcyclic | fst::kInitialAcyclic |
      fst::kAccessible | fst::kCoAccessible | fst::kUnweightedCycles;
  std::uint64_t checked = claimed;
  if (fst.Start() == fst::kNoStateId) checked &= ~kSearchedProperties;
  std::uint64_t known = 0;
  const std::uint64_t actual = fst::internal::ComputeProperties(fst, checked, &known);
  const std::uint64_t false_claims = claimed & ~(checked & known & actual);
  if (false_claims != 0) fst.SetProperties(0, false_claims);
}

DecodeSettings DecodeSettings::FromEnvironment() {
  DecodeSettings settings;
  if (const char *megabytes = std::getenv("VUREL_WORD_BUDGET_MB")) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(megabytes, &end, 10);
    constexpr unsigned long long kLargest = std::numeric_limits<std::uint64_t>::max() >> 20;
    if (end != megabytes && *end == '\0' && errno == 0 && value >= 1 &&
        value <= kLargest && megabytes[0] != '-') {
      settings.word_budget_bytes = static_cast<std::uint64_t>(value) << 20;
    }
  }
  if (const char *engine = std::getenv("VUREL_ENGINE")) {
    settings.reference_only = std::string_view(engine) == "reference";
  }
  return settings;
}

Result<Model> Model::Load(const std::string &path, std::string delimiter,
                          std::optional<DecodeSettings> settings) {
  Result<FlatFst> read = ReadFlatFstFile(path);
  if (!read.ok()) {
    Error error = std::move(read).error();
    if (error.code != ErrorCode::kInvalidInput) return error;
    return InvalidInput("failed to read FST: " + error.message);
  }
  Result<Model> model = FromFlatFst(std::move(read).value(), std::move(delimiter), settings);
  // The arrays the file was read into are free now, but the allocator may
  // keep the pages of some of them; they would stay resident beside the
  // model's own.
  malloc_trim(0);
  return model;
}

Result<Model> Model::FromFst(VectorFst fst, std::string delimiter,
                             std::optional<DecodeSettings> settings) {
  return FromFlatFst(FlatFst(fst), std::move(delimiter), settings);
}

// Building the merged model costs about 45 ns an arc of the model, and the
// bounds save about 200 µs a word at 5 pronunciations on the default
// English model: it is built once the searches that ask for it outnumber
// the model's arcs divided by this, about the words that repay it (800).
constexpr std::uint64_t kArcsPerSearchBeforeMergedModel = 4000;

Result<Model> Model::FromFlatFst(FlatFst fst, std::string delimiter,
                                 std::optional<DecodeSettings> settings) {
  DropFalseProperties(fst);
  StableSortArcsByInput(fst);
  if (fst.InputSymbols() == nullptr) {
    return InvalidInput("FST is missing input symbol table");
  }
  if (fst.OutputSymbols() == nullptr) {
    return InvalidInput("FST is missing output symbol table");
  }
  if (Status cycles = CheckInputEpsilonCycles(fst); !cycles.ok()) {
    return cycles.error();
  }
  const std::uint64_t arcs = fst.TotalArcs();
  if (arcs > ModelFst::kMostArcs) {
    return InvalidInput("model has " + std::to_string(arcs) + " arcs, more than the " +
                        std::to_string(ModelFst::kMostArcs) + " a model may have");
  }
  Model model{std::move(fst).ReleaseAsModelFst()};
  model.suits_direct_search_ = SuitsDirectSearch(model.fst_);
  if (model.suits_direct_search_) {
    model.start_closure_ = FindStartClosure(model.fst_);
    model.quotient_ = std::make_shared<LazyQuotient>(arcs / kArcsPerSearchBeforeMergedModel);
  }
  model.unbounded_ = std::make_shared<LazyUnboundedStates>();
  model.input_clusters_ = BuildClusterTable(*model.fst_.InputSymbols());
  model.output_clusters_ = BuildClusterTable(*model.fst_.OutputSymbols());
  model.veto_set_ = MakeVetoSet();
  model.delimiter_ = std::move(delimiter);
  model.settings_ = settings ? *settings : DecodeSettings::FromEnvironment();
  return model;
}

std::optional<Label> Model::FindInputLabel(std::string_view text) const {
  return FindLabel(input_symbols(), text);
}

std::optional<Label> Model::FindOutputLabel(std::string_view text) const {
  return FindLabel(output_symbols(), text);
}

std::optional<std::string> Model::FindInputText(std::int64_t label) const {
  return FindText(input_symbols(), label);
}

std::optional<std::string> Model::FindOutputText(std::int64_t label) const {
  return FindText(output_symbols(), label);
}

// Copies of a model share it. The first search past the threshold builds it
// within its own call, and searches on other threads settle by distance
// alone meanwhile: waiting for it would hold up every thread for the build.
struct Model::LazyQuotient {
  explicit LazyQuotient(std::uint64_t searches_first) : searches_first(searches_first) {}

  const std::uint64_t searches_first;
  std::atomic<std::uint64_t> searches{0};
  ClaimedBuild<HistoryQuotient> quotient;
};

namespace {

// What `build` returns, once the pages of what building it took are handed
// back. Its temporaries are tables a state long, which the allocator keeps
// resident for the process's life otherwise: 44 MiB for the merged model of
// the default model, 18 MiB for its unbounded states, more than either keeps.
template <class Build>
auto BuildTrimmed(Build build) {
  auto built = build();
  malloc_trim(0);
  return built;
}

std::unique_ptr<const HistoryQuotient> BuildQuotient(const ModelFst &fst) {
  return BuildTrimmed([&fst] { return std::make_unique<const HistoryQuotient>(fst); });
}

}  // namespace

// Built by the first search that asks, while any other waits: its answer
// depends on it.
struct Model::LazyUnboundedStates {
  ClaimedBuild<UnboundedStates> states;
};

namespace {

std::unique_ptr<const UnboundedStates> FindUnboundedStates(const ModelFst &fst) {
  constexpr std::uint32_t kOutside = std::numeric_limits<std::uint32_t>::max();
  auto unbounded = std::make_unique<UnboundedStates>();
  // Per state, its number within the component being measured.
  std::vector<std::uint32_t> local(static_cast<std::size_t>(fst.NumStates()), kOutside);
  std::vector<MassArc> arcs;
  for (const std::vector<Arc::StateId> &component : CyclicEpsilonComponents(fst)) {
    for (std::size_t i = 0; i < component.size(); ++i) {
      local[component[i]] = static_cast<std::uint32_t>(i);
    }
    arcs.clear();
    for (const Arc::StateId state : component) {
      for (fst::ArcIterator<ModelFst> it(fst, state); !it.Done(); it.Next()) {
        const Arc &arc = it.Value();
        if (arc.ilabel > 0) break;
        if (!IsFiniteEpsilon(arc) || local[arc.nextstate] == kOutside) continue;
        arcs.push_back({local[state], local[arc.nextstate],
                        std::exp(-static_cast<double>(arc.weight.Value()))});
      }
    }
    for (const Arc::StateId state : component) local[state] = kOutside;
    if (MassRoundCycles(component.size(), arcs, kMostMassRoundsOfAModel) != CycleMass::kUnbounded) {
      continue;
    }
    if (unbounded->empty()) unbounded->assign(static_cast<std::size_t>(fst.NumStates()), 0);
    for (const Arc::StateId state : component) (*unbounded)[state] = 1;
  }
  return unbounded;
}

}  // namespace

const UnboundedStates &Model::unbounded_states() const {
  return *unbounded_->states.GetOrWait(
      [this] { return BuildTrimmed([this] { return FindUnboundedStates(fst_); }); });
}

const HistoryQuotient *Model::history_quotient() const {
  if (quotient_ == nullptr) return nullptr;
  if (const HistoryQuotient *ready = quotient_->quotient.Get()) return ready;
  if (quotient_->searches.fetch_add(1, std::memory_order_relaxed) < quotient_->searches_first) {
    return nullptr;
  }
  return quotient_->quotient.GetOrClaim(
      [this] { return BuildQuotient(fst_); });
}

const HistoryQuotient *Model::BuildHistoryQuotient() const {
  if (quotient_ == nullptr) return nullptr;
  return quotient_->quotient.GetOrWait(
      [this] { return BuildQuotient(fst_); });
}

}  // namespace vurel
