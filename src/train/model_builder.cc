#include "model_builder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/fst_file.h"

namespace vurel::train {
namespace {

constexpr Label kSkipLabel = 2;
constexpr StateId kNoState = std::numeric_limits<StateId>::max();

// Probabilities never exceed 1; rounding must not make a weight negative.
float WeightOf(double probability) {
  if (!(probability > 0)) return std::numeric_limits<float>::infinity();
  return static_cast<float>(std::max(0.0, -std::log(probability)));
}

// Symbol table of "<eps>", "|", "_", the single members of all units, then
// the clusters, each group sorted by text; every cluster's members are
// symbols, so that the decoder can decompose it.
std::unique_ptr<fst::SymbolTable> MakeSymbols(
    const std::vector<std::vector<std::string>> &sides, const char *name) {
  std::set<std::string> singles, clusters;
  for (const auto &members : sides) {
    for (const auto &member : members) singles.insert(member);
    if (members.size() > 1) {
      std::string text = members.front();
      for (std::size_t i = 1; i < members.size(); ++i) text += "|" + members[i];
      clusters.insert(text);
    }
  }
  auto symbols = std::make_unique<fst::SymbolTable>(name);
  symbols->AddSymbol("<eps>");
  symbols->AddSymbol("|");
  symbols->AddSymbol("_");
  for (const auto &text : singles) symbols->AddSymbol(text);
  for (const auto &text : clusters) symbols->AddSymbol(text);
  return symbols;
}

std::uint64_t CountArcs(const VectorFst &fst) {
  std::uint64_t arcs = 0;
  for (StateId state = 0; state < static_cast<StateId>(fst.NumStates()); ++state) {
    arcs += fst.NumArcs(state);
  }
  return arcs;
}

}  // namespace

Result<VectorFst> BuildModelFst(const JointNgramModel &model,
                                const std::vector<JointUnit> &units) {
  if (units.size() != model.end_token()) {
    return InternalError("unit list does not match the n-gram vocabulary");
  }
  std::vector<std::vector<std::string>> grapheme_sides, phoneme_sides;
  for (const JointUnit &unit : units) {
    if (unit.graphemes.empty() && unit.phonemes.empty()) {
      return InternalError("a unit with neither letters nor phonemes");
    }
    grapheme_sides.push_back(unit.graphemes);
    phoneme_sides.push_back(unit.phonemes);
  }
  auto input_symbols = MakeSymbols(grapheme_sides, "graphemes");
  auto output_symbols = MakeSymbols(phoneme_sides, "phonemes");
  std::vector<Label> input_label(units.size()), output_label(units.size());
  for (std::size_t t = 0; t < units.size(); ++t) {
    input_label[t] = units[t].graphemes.empty()
                         ? 0
                         : input_symbols->Find(GraphemeText(units[t]));
    output_label[t] = units[t].phonemes.empty()
                          ? kSkipLabel
                          : output_symbols->Find(PhonemeText(units[t]));
  }

  using NodeId = JointNgramModel::NodeId;
  const auto is_history = [&](NodeId node) {
    return !model.children(node).empty();
  };
  // The longest suffix of `node` (itself included) that is a history.
  const auto history_of = [&](NodeId node) {
    while (node != JointNgramModel::kNoNode && !is_history(node)) {
      node = model.backoff(node);
    }
    return node;
  };

  VectorFst fst;
  std::vector<StateId> state_of(model.num_nodes(), kNoState);
  for (NodeId node = 0; node < model.num_nodes(); ++node) {
    if (is_history(node)) state_of[node] = fst.AddState();
  }
  if (state_of[model.begin_history()] == kNoState) {
    return InternalError("the model has no begin history");
  }
  fst.SetStart(state_of[model.begin_history()]);
  for (NodeId history = 0; history < model.num_nodes(); ++history) {
    const StateId state = state_of[history];
    if (state == kNoState) continue;
    for (NodeId child : model.children(history)) {
      const std::uint32_t token = model.token(child);
      if (token >= units.size() || !(model.probability(child) > 0)) continue;
      const NodeId target = history_of(
          model.order_of(child) < model.order() ? child : model.backoff(child));
      fst.AddArc(state, Arc(input_label[token], output_label[token],
                            WeightOf(model.probability(child)),
                            state_of[target]));
    }
    const bool backs_off = history != JointNgramModel::kRoot &&
                           model.backoff_weight(history) > 0;
    if (backs_off) {
      fst.AddArc(state, Arc(0, 0, WeightOf(model.backoff_weight(history)),
                            state_of[history_of(model.backoff(history))]));
    }
    // The end of a word is an event like the others: a history that never
    // saw it reaches it through its backoff arc. Giving such a history the
    // backed-off probability as its own final weight as well would count
    // that ending twice, as two paths of the same weight.
    const NodeId end = model.Find(history, model.end_token());
    const float final_weight =
        end != JointNgramModel::kNoNode ? WeightOf(model.probability(end))
        : backs_off                     ? std::numeric_limits<float>::infinity()
                                        : WeightOf(model.Probability(history, model.end_token()));
    if (std::isfinite(final_weight)) fst.SetFinal(state, final_weight);
  }
  fst.SetInputSymbols(input_symbols.get());
  fst.SetOutputSymbols(output_symbols.get());
  return fst;
}

std::vector<Arc::StateId> LetterHistoryOrder(const VectorFst &fst) {
  const auto count = static_cast<std::size_t>(fst.NumStates());
  // Per state, one arc into it: the state it leaves from, and what it
  // reads: 1 + its input label (clipped to 16 bits), or 1 where it inserts
  // phonemes; 0 where neither kind of arc comes in.
  std::vector<StateId> parent(count, kNoState);
  std::vector<std::uint16_t> letters(count, 0);
  constexpr Label kWidest = std::numeric_limits<std::uint16_t>::max() - 1;
  for (StateId state = 0; state < count; ++state) {
    for (fst::ArcIterator<VectorFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      const auto to = static_cast<std::size_t>(arc.nextstate);
      if (arc.ilabel != 0 && letters[to] <= 1) {
        letters[to] = static_cast<std::uint16_t>(std::min(static_cast<Label>(arc.ilabel), kWidest) + 1);
        parent[to] = state;
      } else if (arc.ilabel == 0 && arc.olabel != 0 && letters[to] == 0) {
        letters[to] = 1;
        parent[to] = state;
      }
    }
  }
  std::vector<std::pair<std::uint64_t, StateId>> keyed(count);
  for (StateId state = 0; state < count; ++state) {
    std::uint64_t key = 0;
    StateId current = state;
    for (int level = 0; level < 4; ++level) {
      key <<= 16;
      if (current == kNoState) continue;
      key |= letters[current];
      current = parent[current];
    }
    keyed[state] = {key, state};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<Arc::StateId> numbers(count);
  for (std::size_t rank = 0; rank < count; ++rank) {
    numbers[keyed[rank].second] = static_cast<Arc::StateId>(rank);
  }
  return numbers;
}

Status CheckInputEpsilonCycles(const VectorFst &fst) {
  const StateId states = static_cast<StateId>(fst.NumStates());
  bool has_negative = false;
  for (StateId state = 0; state < states; ++state) {
    if (std::isnan(fst.Final(state).Value())) {
      return InvalidInput("model has a NaN final weight");
    }
    for (fst::ArcIterator<VectorFst> arcs(fst, state); !arcs.Done();
         arcs.Next()) {
      const Arc &arc = arcs.Value();
      if (std::isnan(arc.weight.Value())) {
        return InvalidInput("model has a NaN arc weight");
      }
      if (arc.nextstate < 0 || static_cast<StateId>(arc.nextstate) >= states) {
        return InvalidInput("model has an arc to a missing state");
      }
      if (arc.ilabel == 0 && arc.weight.Value() < 0) has_negative = true;
    }
  }
  if (!has_negative) return {};
  // Bellman-Ford (queue-based) from a virtual source joined to every state
  // by a zero-weight arc: a state relaxed once per state lies on or behind
  // a negative cycle.
  std::vector<double> distance(states, 0.0);
  std::vector<StateId> relaxations(states, 0);
  std::vector<char> queued(states, 1);
  std::deque<StateId> queue;
  for (StateId state = 0; state < states; ++state) queue.push_back(state);
  while (!queue.empty()) {
    const StateId state = queue.front();
    queue.pop_front();
    queued[state] = 0;
    for (fst::ArcIterator<VectorFst> arcs(fst, state); !arcs.Done();
         arcs.Next()) {
      const Arc &arc = arcs.Value();
      if (arc.ilabel != 0) continue;
      const double candidate = distance[state] + arc.weight.Value();
      if (candidate < distance[arc.nextstate] - 1e-9) {
        distance[arc.nextstate] = candidate;
        if (++relaxations[arc.nextstate] > states) {
          return InvalidInput(
              "model has a cycle of input-epsilon arcs with negative weight");
        }
        if (!queued[arc.nextstate]) {
          queued[arc.nextstate] = 1;
          queue.push_back(arc.nextstate);
        }
      }
    }
  }
  return {};
}

namespace {

std::string CannotWrite(const std::string &path, const std::string &target,
                        const std::string &cause) {
  std::string shown = path;
  if (target != path) shown += " (a link to " + target + ")";
  return "cannot write the model to " + shown + ": " + cause;
}

std::string SystemMessage(int error_number) {
  return std::error_code(error_number, std::generic_category()).message();
}

// The file a model written to `path` must replace: `path` with the links
// along its last component followed. Fails when that is anything but a
// regular file or a name not taken yet, since renaming over a device, a
// pipe, a directory or a link would replace it rather than write to it.
Result<std::string> ModelTarget(const std::string &path) {
  namespace fs = std::filesystem;
  fs::path target = path;
  // The same limit as the kernel's, which would refuse a longer chain anyway.
  for (int links = 0; links <= 40; ++links) {
    struct stat status;
    if (::lstat(target.c_str(), &status) != 0) {
      if (errno == ENOENT) return target.string();
      return InvalidInput(CannotWrite(path, target.string(), SystemMessage(errno)));
    }
    if (S_ISREG(status.st_mode)) return target.string();
    if (!S_ISLNK(status.st_mode)) {
      return InvalidInput(CannotWrite(path, target.string(), "not a regular file"));
    }
    std::error_code error;
    const fs::path next = fs::read_symlink(target, error);
    if (error) return InvalidInput(CannotWrite(path, target.string(), error.message()));
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return InvalidInput(CannotWrite(path, target.string(), SystemMessage(ELOOP)));
}

// Creates an empty file with a name of its own beside `target` and returns
// that name; the caller removes it. Fails with the system's reason, so that
// an unwritable place is named before any work is spent on the model.
Result<std::string> CreatePartial(const std::string &path, const std::string &target) {
  // Named by process and call, since threads of one process may train at once.
  static std::atomic<unsigned> calls{0};
  const std::string partial = target + ".partial-" + std::to_string(::getpid()) + "-" +
                              std::to_string(calls.fetch_add(1));
  const int file = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (file < 0) return InvalidInput(CannotWrite(path, target, SystemMessage(errno)));
  ::close(file);
  return partial;
}

struct RemoveOnExit {
  const std::string &file;
  ~RemoveOnExit() {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
  }
};

}  // namespace

Result<ModelFileSize> WriteModel(const VectorFst &fst, const std::string &path) {
  if (Status status = CheckInputEpsilonCycles(fst); !status.ok()) {
    return status.error();
  }
  Result<std::string> target = ModelTarget(path);
  if (!target.ok()) return target.error();
  // Written beside its final name and moved there only once checked, so
  // that a failure never destroys a model already at `path`. The temporary
  // file goes on every way out but the rename.
  Result<std::string> created = CreatePartial(path, *target);
  if (!created.ok()) return created.error();
  const std::string &partial = *created;
  RemoveOnExit remove_partial{partial};
  const auto reject = [&](const std::string &message) -> Result<ModelFileSize> {
    return InternalError("written model " + path + " is unusable: " + message);
  };
  if (Status status = WriteFstFile(fst, partial); !status.ok()) {
    return InvalidInput(CannotWrite(path, *target, status.error().message));
  }
  Result<VectorFst> written = ReadFstFile(partial);
  if (!written.ok()) return reject(written.error().message);
  ModelFileSize size;
  size.states = static_cast<std::uint64_t>(written->NumStates());
  size.arcs = CountArcs(*written);
  if (size.states != static_cast<std::uint64_t>(fst.NumStates()) ||
      size.arcs != CountArcs(fst)) {
    return reject("states or arcs differ from the model built");
  }
  if (written->InputSymbols() == nullptr || written->OutputSymbols() == nullptr) {
    return reject("a symbol table is missing");
  }
  if (Status status = CheckInputEpsilonCycles(*written); !status.ok()) {
    return reject(status.error().message);
  }
  std::error_code error;
  size.bytes = std::filesystem::file_size(partial, error);
  if (error) return reject("cannot read its size");
  std::filesystem::rename(partial, *target, error);
  if (error) return InvalidInput(CannotWrite(path, *target, error.message()));
  return size;
}

Status CheckModelPath(const std::string &dictionary_path, const std::string &model_path) {
  std::error_code error;
  if (std::filesystem::equivalent(dictionary_path, model_path, error)) {
    return InvalidInput("the model " + model_path + " would overwrite the dictionary");
  }
  Result<std::string> target = ModelTarget(model_path);
  if (!target.ok()) return target.error();
  Result<std::string> probe = CreatePartial(model_path, *target);
  if (!probe.ok()) return probe.error();
  RemoveOnExit remove_probe{*probe};
  return {};
}

}  // namespace vurel::train
