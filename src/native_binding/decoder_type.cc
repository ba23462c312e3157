#include "decoder_type.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "conversions.h"
#include "driver/driver.h"
#include "driver/phoneme_strings.h"
#include "heap_type.h"
#include "model/model.h"
#include "py_compat.h"
#include "py_ref.h"

namespace vurel::python {
namespace {

// What a Decoder owns. The model is read-only, so any thread may decode
// with it; `cancelled` stops every decode under way and to come.
struct DecoderState {
  explicit DecoderState(Model loaded) : model(std::move(loaded)) {}
  ~DecoderState() {
    if (merged_model_builder.joinable()) merged_model_builder.join();
  }
  const Model model;
  std::atomic<bool> cancelled{false};
  // Builds the merged model in the background when asked; joined by the
  // next call that waits for it, so that no thread of ours outlives it.
  std::mutex merged_model_mutex;
  std::thread merged_model_builder;
  std::atomic<bool> merged_model_done{false};
};

struct PyDecoder {
  PyObject_HEAD
  DecoderState *state;  // owned
};

DecoderState &StateOf(PyObject *self) { return *reinterpret_cast<PyDecoder *>(self)->state; }

std::atomic<PyObject *> decoder_type{nullptr};
PyType_Spec decoder_spec{};

PyObject *DecoderNew(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"path", "delim", nullptr};
  const char *path = nullptr;
  const char *delim = "";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|s:Decoder",
                                   const_cast<char **>(keywords), &path, &delim))
    return nullptr;
  std::unique_ptr<DecoderState> state;
  Error error;
  Py_BEGIN_ALLOW_THREADS
  try {
    Result<Model> loaded = Model::Load(path, delim);
    if (loaded.ok()) {
      state = std::make_unique<DecoderState>(std::move(loaded).value());
    } else {
      error = std::move(loaded).error();
    }
  } catch (const std::bad_alloc &) {
    error = InternalError("out of memory while loading the model");
  }
  Py_END_ALLOW_THREADS
  if (!state) return RaiseError(error);
  PyRef self = PyRef::Steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<PyDecoder *>(self.get())->state = state.release();
  return self.release();
}

void DecoderDealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  delete reinterpret_cast<PyDecoder *>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

const char *StatusName(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kDecoded:
      return "decoded";
    case DecodeStatus::kNoPath:
      return "no path";
    case DecodeStatus::kOverBudget:
      return "over budget";
    case DecodeStatus::kCancelled:
      return "cancelled";
    case DecodeStatus::kFailed:
      break;
  }
  return "failed";
}

// One call's options: which search, and its settings.
struct Request {
  bool distinct = true;
  PhoneticizeOptions paths;
  DistinctOptions pronunciations;
};

// A word's answer, in plain C++ until the GIL is taken back.
struct Answer {
  struct Found {
    float weight;
    std::vector<std::string> phonemes;
    double probability;  // negative: not computed
  };
  DecodeStatus status = DecodeStatus::kNoPath;
  // Probabilities asked for, and none defined: the word's paths hold
  // unbounded mass.
  bool probabilities_undefined = false;
  std::vector<Found> found;
};

Answer DecodeWord(const DecoderState &state, std::string_view word, const Request &request) {
  Answer answer;
  const fst::SymbolTable &symbols = state.model.output_symbols();
  if (!request.distinct) {
    Decoding decoding = Decode(state.model, word, request.paths, &state.cancelled);
    answer.status = decoding.status;
    for (const PathData &path : decoding.paths) {
      answer.found.push_back({path.path_weight, RenderLabels(path.uniques, symbols), -1.0});
    }
    return answer;
  }
  DistinctDecoding decoding =
      DecodeDistinct(state.model, word, request.pronunciations, &state.cancelled);
  answer.status = decoding.status;
  answer.probabilities_undefined = decoding.probabilities_undefined;
  // The threshold, as for paths, drops what weighs more; NaN and 99 or
  // more switch it off.
  const float threshold = request.paths.threshold;
  const bool use_threshold = threshold < static_cast<float>(kOptionOff);
  for (const Pronunciation &pronunciation : decoding.pronunciations) {
    if (use_threshold && pronunciation.weight > threshold) continue;
    answer.found.push_back({pronunciation.weight, RenderLabels(pronunciation.record.uniques, symbols),
                            pronunciation.probability});
  }
  return answer;
}

// (status, [(weight, phonemes, probability or None), ...]); null with an
// exception set.
PyObject *NewAnswer(const Answer &answer) {
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(answer.found.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < answer.found.size(); ++i) {
    const Answer::Found &found = answer.found[i];
    PyRef weight = PyRef::Steal(PyFloat_FromDouble(found.weight));
    PyRef texts = weight ? PyRef::Steal(NewTextTuple(found.phonemes)) : PyRef();
    PyRef probability = !texts                   ? PyRef()
                        : found.probability < 0.0 ? PyRef::Borrow(Py_None)
                                                  : PyRef::Steal(PyFloat_FromDouble(found.probability));
    if (!probability) return nullptr;
    PyObject *item = PyTuple_Pack(3, weight.get(), texts.get(), probability.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  // A word decoded without probabilities tells why in its status, its
  // pronunciations given all the same.
  const char *status = answer.status == DecodeStatus::kDecoded && answer.probabilities_undefined
                           ? "probabilities undefined"
                           : StatusName(answer.status);
  return Py_BuildValue("(sN)", status, list.release());
}

// Reads the keyword options shared by decode and decode_many into `request`;
// false with an exception set on a bad value.
bool ReadRequest(Py_ssize_t nbest, const char *search, int probabilities, const char *ranking,
                 Py_ssize_t beam, double threshold, double pmass, int accumulate,
                 Request &request) {
  if (nbest < 0 || beam < 0) {
    PyErr_SetString(PyExc_ValueError, "nbest and beam must not be negative");
    return false;
  }
  const std::string_view search_name(search);
  const std::string_view ranking_name(ranking);
  if (search_name != "distinct" && search_name != "paths") {
    PyErr_Format(PyExc_ValueError, "search must be 'distinct' or 'paths', not '%s'", search);
    return false;
  }
  if (ranking_name != "path" && ranking_name != "probability") {
    PyErr_Format(PyExc_ValueError, "ranking must be 'path' or 'probability', not '%s'", ranking);
    return false;
  }
  request.distinct = search_name == "distinct";
  request.paths.nbest = static_cast<std::uint64_t>(nbest);
  request.paths.beam = static_cast<std::uint64_t>(beam);
  request.paths.threshold = static_cast<float>(threshold);
  request.paths.pmass = pmass;
  request.paths.accumulate = accumulate != 0;
  request.pronunciations.count = static_cast<std::uint64_t>(nbest);
  request.pronunciations.probabilities = probabilities != 0;
  request.pronunciations.ranking =
      ranking_name == "probability" ? Ranking::kProbability : Ranking::kBestPath;
  return true;
}

#define VUREL_DECODE_KEYWORDS \
  "nbest", "search", "probabilities", "ranking", "beam", "threshold", "pmass", "accumulate"
#define VUREL_DECODE_FORMAT "|n$spsnddp"

PyObject *DecoderDecode(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"word", VUREL_DECODE_KEYWORDS, nullptr};
  const char *word = nullptr;
  Py_ssize_t word_size = 0;
  Py_ssize_t nbest = 1;
  const char *search = "distinct";
  int probabilities = 0;
  const char *ranking = "path";
  Py_ssize_t beam = 10000;
  double threshold = kOptionOff;
  double pmass = kOptionOff;
  int accumulate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#" VUREL_DECODE_FORMAT ":decode",
                                   const_cast<char **>(keywords), &word, &word_size, &nbest,
                                   &search, &probabilities, &ranking, &beam, &threshold,
                                   &pmass, &accumulate))
    return nullptr;
  Request request;
  if (!ReadRequest(nbest, search, probabilities, ranking, beam, threshold, pmass, accumulate,
                   request))
    return nullptr;
  const DecoderState &state = StateOf(self);
  Answer answer;
  bool ran = false;
  // The word's text belongs to the str argument, which the caller keeps
  // alive for the whole call.
  Py_BEGIN_ALLOW_THREADS
  try {
    answer = DecodeWord(state, std::string_view(word, static_cast<std::size_t>(word_size)),
                        request);
    ran = true;
  } catch (const std::bad_alloc &) {
  }
  Py_END_ALLOW_THREADS
  if (!ran) return PyErr_NoMemory();
  return NewAnswer(answer);
}

PyObject *DecoderDecodeMany(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"words", VUREL_DECODE_KEYWORDS, nullptr};
  PyObject *words_object = nullptr;
  Py_ssize_t nbest = 1;
  const char *search = "distinct";
  int probabilities = 0;
  const char *ranking = "path";
  Py_ssize_t beam = 10000;
  double threshold = kOptionOff;
  double pmass = kOptionOff;
  int accumulate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O" VUREL_DECODE_FORMAT ":decode_many",
                                   const_cast<char **>(keywords), &words_object, &nbest,
                                   &search, &probabilities, &ranking, &beam, &threshold,
                                   &pmass, &accumulate))
    return nullptr;
  Request request;
  if (!ReadRequest(nbest, search, probabilities, ranking, beam, threshold, pmass, accumulate,
                   request))
    return nullptr;
  PyRef sequence = PyRef::Steal(PySequence_Fast(words_object, "words must be a sequence of str"));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  // Copies, since the list may change once the GIL is released.
  std::vector<std::string> words;
  words.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "words must be str, not %.100s", Py_TYPE(item)->tp_name);
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return nullptr;
    words.emplace_back(text, static_cast<std::size_t>(size));
  }
  const DecoderState &state = StateOf(self);
  std::vector<Answer> answers;
  bool ran = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    answers.reserve(words.size());
    for (const std::string &word : words) {
      if (state.cancelled.load(std::memory_order_relaxed)) {
        answers.emplace_back().status = DecodeStatus::kCancelled;
        continue;
      }
      answers.push_back(DecodeWord(state, word, request));
    }
    ran = true;
  } catch (const std::bad_alloc &) {
  }
  Py_END_ALLOW_THREADS
  if (!ran) return PyErr_NoMemory();
  PyRef list = PyRef::Steal(PyList_New(count));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *answer = NewAnswer(answers[static_cast<std::size_t>(i)]);
    if (answer == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, answer);
  }
  return list.release();
}

PyObject *DecoderCancel(PyObject *self, PyObject *) {
  StateOf(self).cancelled.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject *DecoderResume(PyObject *self, PyObject *) {
  StateOf(self).cancelled.store(false, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

// Builds the distinct search's merged model now rather than when enough
// searches have asked for it, so that processes forked afterwards share it;
// with `background`, on a thread of the decoder's own, the call returning at
// once whether that build is done.
PyObject *DecoderBuildMergedModel(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"background", nullptr};
  int background = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:build_merged_model",
                                   const_cast<char **>(keywords), &background))
    return nullptr;
  DecoderState &state = StateOf(self);
  bool built = false;
  bool ran = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    std::lock_guard lock(state.merged_model_mutex);
    if (background) {
      if (!state.merged_model_done.load(std::memory_order_acquire) &&
          !state.merged_model_builder.joinable()) {
        try {
          state.merged_model_builder = std::thread([&state] {
            try {
              state.model.BuildHistoryQuotient();
            } catch (const std::bad_alloc &) {
              // The searches build it themselves, or do without it.
            }
            state.merged_model_done.store(true, std::memory_order_release);
          });
        } catch (const std::system_error &) {
          // No thread to be had: the call that waits builds it instead.
        }
      }
      built = state.merged_model_done.load(std::memory_order_acquire);
    } else {
      if (state.merged_model_builder.joinable()) state.merged_model_builder.join();
      built = state.model.BuildHistoryQuotient() != nullptr;
      state.merged_model_done.store(true, std::memory_order_release);
    }
    ran = true;
  } catch (const std::bad_alloc &) {
  }
  Py_END_ALLOW_THREADS
  if (!ran) return PyErr_NoMemory();
  return PyBool_FromLong(built);
}

// The texts of the model's input symbols from label 3 on: the letters (and
// letter clusters) a word may hold. Labels 0 to 2 are epsilon, the tie and
// the skip symbol.
PyObject *DecoderLetters(PyObject *self, PyObject *) {
  const fst::SymbolTable &symbols = StateOf(self).model.input_symbols();
  std::vector<std::string> texts;
  for (std::int64_t label = 3; label < static_cast<std::int64_t>(symbols.NumSymbols()); ++label) {
    texts.push_back(symbols.Find(label));
  }
  return NewTextTuple(texts);
}

#define VUREL_DECODE_SIGNATURE                                                            \
  "nbest=1, *, search='distinct', probabilities=False, ranking='path', beam=10000, " \
  "threshold=99.0, pmass=99.0, accumulate=False"

PyMethodDef decoder_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DecoderDecode)),
     METH_VARARGS | METH_KEYWORDS,
     "decode($self, word, " VUREL_DECODE_SIGNATURE ")\n--\n\n"
     "The word's pronunciations as (status, [(weight, phonemes, probability), ...]).\n"
     "search='distinct': the nbest best distinct pronunciations, ranked by best path\n"
     "or by probability, with probabilities when asked (else None); threshold drops\n"
     "heavier ones. Status 'probabilities undefined': the model's cycles hold\n"
     "unbounded mass on the word's paths, so the pronunciations come by best path\n"
     "with None for each probability. search='paths': Model.phoneticize_paths's records, probability\n"
     "None. Any thread may call it; the GIL is released while it decodes."},
    {"decode_many",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DecoderDecodeMany)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_many($self, words, " VUREL_DECODE_SIGNATURE ")\n--\n\n"
     "decode() of each word of a sequence of str, in order, in one call that holds\n"
     "the GIL only to read the words and build the answers."},
    {"cancel", DecoderCancel, METH_NOARGS,
     "cancel($self)\n--\n\n"
     "Stops every decode under way and to come: their words get the status\n"
     "'cancelled', until resume() is called."},
    {"resume", DecoderResume, METH_NOARGS,
     "resume($self)\n--\n\nUndoes cancel() for the decodes to come."},
    {"build_merged_model",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DecoderBuildMergedModel)),
     METH_VARARGS | METH_KEYWORDS,
     "build_merged_model($self, *, background=False)\n--\n\n"
     "Builds the merged model that bounds the distinct search now, or waits for a\n"
     "build under way and for the decoder's thread building it to end; False when\n"
     "the model has none (the direct search cannot decode with it). With\n"
     "background=True it is built on a thread of the decoder's own, and the call\n"
     "returns at once whether that build is done. The GIL is released meanwhile."},
    {"letters", DecoderLetters, METH_NOARGS,
     "letters($self)\n--\n\nThe texts of the model's input symbols from label 3 on."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(DecoderDealloc)},
    {Py_tp_new, reinterpret_cast<void *>(DecoderNew)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_doc, const_cast<char *>(
                    "Decoder(path, delim=\"\")\n--\n\n"
                    "A loaded model that any thread may decode with.")},
    {0, nullptr},
};

}  // namespace

int AddDecoderType(PyObject *module) {
  decoder_spec = {"vurel._native.Decoder", sizeof(PyDecoder), 0, Py_TPFLAGS_DEFAULT,
                  decoder_slots};
  PyTypeObject *type = TypeFromSpecOnce(decoder_type, decoder_spec);
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "Decoder", reinterpret_cast<PyObject *>(type));
}

}  // namespace vurel::python
