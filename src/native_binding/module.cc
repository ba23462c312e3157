// The extension module vurel._native: what the package's front end needs
// from the C++ core beyond the Model class. It reads model files for
// `vurel info` and dictionaries for lexicons with the same C++ readers the
// decoder and the trainer use, and offers a decoder that any thread may
// call, with the GIL released while it decodes, so that several threads
// share one loaded model.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cluster_table.h"
#include "dictionary.h"
#include "driver.h"
#include "fst_file.h"
#include "heap_type.h"
#include "model.h"
#include "openfst.h"
#include "phoneme_strings.h"
#include "py_compat.h"
#include "py_ref.h"

namespace vurel::python {
namespace {

PyObject *RaiseError(const Error &error) {
  PyErr_SetString(error.code == ErrorCode::kInvalidInput ? PyExc_ValueError
                                                         : PyExc_RuntimeError,
                  error.message.c_str());
  return nullptr;
}

PyObject *NewText(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "replace");
}

// A tuple of the texts, or null with an exception set.
PyObject *NewTextTuple(const std::vector<std::string> &texts) {
  PyRef tuple = PyRef::Steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject *item = NewText(texts[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// Adds `value` (a new reference, null on failure) to `dict` under `key`.
bool SetItem(PyObject *dict, const char *key, PyObject *value) {
  PyRef owned = PyRef::Steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// ---- model files ----

// The symbol count, the clusters as the decoder builds them, and the
// longest cluster (its length in symbols and its text, None without any).
PyObject *DescribeSymbols(const fst::SymbolTable *symbols) {
  if (symbols == nullptr) Py_RETURN_NONE;
  const ClusterTable table = BuildClusterTable(*symbols);
  const std::string tie = symbols->NumSymbols() > 1 ? symbols->Find(1) : "";
  std::size_t clusters = 0;
  std::size_t longest = 1;
  std::string longest_text;
  for (std::int64_t label = 2; label < static_cast<std::int64_t>(symbols->NumSymbols()); ++label) {
    const std::string text = symbols->Find(label);
    if (tie.empty() ? text.size() < 2 : text.find(tie) == std::string::npos) continue;
    ++clusters;
    const auto found = table.decompositions.find(static_cast<Label>(label));
    const std::size_t length = found == table.decompositions.end() ? 0 : found->second.size();
    if (longest_text.empty() || length > longest) {
      longest = std::max(longest, length);
      longest_text = text;
    }
  }
  PyRef dict = PyRef::Steal(PyDict_New());
  if (!dict ||
      !SetItem(dict.get(), "symbols", PyLong_FromSize_t(symbols->NumSymbols())) ||
      !SetItem(dict.get(), "clusters", PyLong_FromSize_t(clusters)) ||
      !SetItem(dict.get(), "longest_cluster", PyLong_FromSize_t(longest)) ||
      !SetItem(dict.get(), "longest_cluster_text",
               longest_text.empty() ? Py_NewRef(Py_None) : NewText(longest_text)))
    return nullptr;
  return dict.release();
}

PyObject *ReadModelInfo(PyObject *, PyObject *argument) {
  Py_ssize_t size = 0;
  const char *path = PyUnicode_AsUTF8AndSize(argument, &size);
  if (path == nullptr) return nullptr;
  Result<VectorFst> read = Error{};
  bool ran = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    read = ReadFstFile(std::string(path, static_cast<std::size_t>(size)));
    ran = true;
  } catch (const std::bad_alloc &) {
  }
  Py_END_ALLOW_THREADS
  if (!ran) return PyErr_NoMemory();
  // Worded as the decoder's loader words it, so that both say the same.
  if (!read.ok()) return RaiseError(InvalidInput("failed to read FST: " + read.error().message));
  const VectorFst &fst = *read;

  std::size_t arcs = 0;
  std::size_t final_states = 0;
  bool sorted_by_input = true;
  for (fst::StateIterator<VectorFst> states(fst); !states.Done(); states.Next()) {
    const auto state = states.Value();
    if (fst.Final(state) != Weight::Zero()) ++final_states;
    Label previous = 0;
    for (fst::ArcIterator<VectorFst> arc(fst, state); !arc.Done(); arc.Next()) {
      const Label label = static_cast<Label>(arc.Value().ilabel);
      if (label < previous) sorted_by_input = false;
      previous = label;
      ++arcs;
    }
  }
  const std::uint64_t properties = fst.Properties(fst::kFstProperties, false);
  const char *header_says = (properties & fst::kILabelSorted)      ? "sorted"
                            : (properties & fst::kNotILabelSorted) ? "not sorted"
                                                                   : "unknown";
  PyRef dict = PyRef::Steal(PyDict_New());
  if (!dict ||
      !SetItem(dict.get(), "states", PyLong_FromLong(fst.NumStates())) ||
      !SetItem(dict.get(), "final_states", PyLong_FromSize_t(final_states)) ||
      !SetItem(dict.get(), "start", PyLong_FromLong(fst.Start())) ||
      !SetItem(dict.get(), "arcs", PyLong_FromSize_t(arcs)) ||
      !SetItem(dict.get(), "input_symbols", DescribeSymbols(fst.InputSymbols())) ||
      !SetItem(dict.get(), "output_symbols", DescribeSymbols(fst.OutputSymbols())) ||
      !SetItem(dict.get(), "arcs_sorted_by_input", PyBool_FromLong(sorted_by_input)) ||
      !SetItem(dict.get(), "header_sorted", PyUnicode_FromString(header_says)))
    return nullptr;
  return dict.release();
}

// ---- dictionaries ----

PyObject *ReadDictionary(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"path", "skip_malformed", nullptr};
  const char *path = nullptr;
  int skip_malformed = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$p:read_dictionary",
                                   const_cast<char **>(keywords), &path,
                                   &skip_malformed))
    return nullptr;
  train::DictionaryOptions options;
  options.skip_malformed = skip_malformed != 0;
  Result<train::Dictionary> read = Error{};
  bool ran = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    read = train::ReadDictionary(path, options);
    ran = true;
  } catch (const std::bad_alloc &) {
  }
  Py_END_ALLOW_THREADS
  if (!ran) return PyErr_NoMemory();
  if (!read.ok()) return RaiseError(read.error());
  const std::vector<train::DictionaryEntry> &entries = read->entries;
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyRef word = PyRef::Steal(NewText(entries[i].word));
    PyRef phonemes = word ? PyRef::Steal(NewTextTuple(entries[i].phonemes)) : PyRef();
    if (!phonemes) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    PyTuple_Pack(2, word.get(), phonemes.get()));
    if (PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)) == nullptr) return nullptr;
  }
  return list.release();
}

// ---- the decoder ----

struct PyDecoder {
  PyObject_HEAD
  const Model *model;  // owned; read-only, so any thread may decode with it
};

std::atomic<PyObject *> decoder_type{nullptr};
PyType_Spec decoder_spec{};

PyObject *DecoderNew(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"path", "delim", nullptr};
  const char *path = nullptr;
  const char *delim = "";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|s:Decoder",
                                   const_cast<char **>(keywords), &path, &delim))
    return nullptr;
  std::unique_ptr<Model> model;
  Error error;
  Py_BEGIN_ALLOW_THREADS
  try {
    Result<Model> loaded = Model::Load(path, delim);
    if (loaded.ok()) {
      model = std::make_unique<Model>(std::move(loaded).value());
    } else {
      error = std::move(loaded).error();
    }
  } catch (const std::bad_alloc &) {
    error = InternalError("out of memory while loading the model");
  }
  Py_END_ALLOW_THREADS
  if (!model) return RaiseError(error);
  PyRef self = PyRef::Steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<PyDecoder *>(self.get())->model = model.release();
  return self.release();
}

void DecoderDealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  delete reinterpret_cast<PyDecoder *>(self)->model;
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

// decode(word, nbest=1, beam=10000, threshold=99.0, pmass=99.0,
// accumulate=False) -> (status, [(weight, phonemes), ...])
PyObject *DecoderDecode(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"word",  "nbest", "beam", "threshold",
                                   "pmass", "accumulate", nullptr};
  const char *word = nullptr;
  Py_ssize_t word_size = 0;
  Py_ssize_t nbest = 1;
  Py_ssize_t beam = 10000;
  double threshold = kOptionOff;
  double pmass = kOptionOff;
  int accumulate = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|nnddp:decode",
                                   const_cast<char **>(keywords), &word,
                                   &word_size, &nbest, &beam, &threshold,
                                   &pmass, &accumulate))
    return nullptr;
  if (nbest < 0 || beam < 0) {
    PyErr_SetString(PyExc_ValueError, "nbest and beam must not be negative");
    return nullptr;
  }
  PhoneticizeOptions options;
  options.nbest = static_cast<std::uint64_t>(nbest);
  options.beam = static_cast<std::uint64_t>(beam);
  options.threshold = static_cast<float>(threshold);
  options.pmass = pmass;
  options.accumulate = accumulate != 0;
  const Model &model = *reinterpret_cast<PyDecoder *>(self)->model;
  const std::string_view text(word, static_cast<std::size_t>(word_size));

  Decoding decoding;
  std::vector<std::vector<std::string>> phonemes;
  bool ran = false;
  // The word's text belongs to the str argument, which the caller keeps
  // alive for the whole call.
  Py_BEGIN_ALLOW_THREADS
  try {
    decoding = Decode(model, text, options);
    phonemes.reserve(decoding.paths.size());
    for (const PathData &path : decoding.paths) {
      phonemes.push_back(RenderLabels(path.uniques, model.output_symbols()));
    }
    ran = true;
  } catch (const std::bad_alloc &) {
  }
  Py_END_ALLOW_THREADS
  if (!ran) return PyErr_NoMemory();

  const std::vector<PathData> &paths = decoding.paths;
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    PyRef weight = PyRef::Steal(PyFloat_FromDouble(paths[i].path_weight));
    PyRef texts = weight ? PyRef::Steal(NewTextTuple(phonemes[i])) : PyRef();
    if (!texts) return nullptr;
    PyObject *pair = PyTuple_Pack(2, weight.get(), texts.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return Py_BuildValue("(sN)", StatusName(decoding.status), list.release());
}

// The texts of the model's input symbols from label 3 on: the letters (and
// letter clusters) a word may hold. Labels 0 to 2 are epsilon, the tie and
// the skip symbol.
PyObject *DecoderLetters(PyObject *self, PyObject *) {
  const fst::SymbolTable &symbols =
      reinterpret_cast<PyDecoder *>(self)->model->input_symbols();
  std::vector<std::string> texts;
  for (std::int64_t label = 3; label < static_cast<std::int64_t>(symbols.NumSymbols()); ++label) {
    texts.push_back(symbols.Find(label));
  }
  return NewTextTuple(texts);
}

PyMethodDef decoder_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DecoderDecode)),
     METH_VARARGS | METH_KEYWORDS,
     "decode(word, nbest=1, beam=10000, threshold=99.0, pmass=99.0, accumulate=False)\n--\n\n"
     "The word's pronunciations as (status, [(weight, phonemes), ...]); any\n"
     "thread may call it, and the GIL is released while it decodes."},
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

// ---- the module ----

PyMethodDef module_methods[] = {
    {"read_model_info", ReadModelInfo, METH_O,
     "read_model_info(path)\n--\n\n"
     "Counts of the model file at `path`; ValueError naming the fault when it\n"
     "is not one."},
    {"read_dictionary",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ReadDictionary)),
     METH_VARARGS | METH_KEYWORDS,
     "read_dictionary(path, *, skip_malformed=False)\n--\n\n"
     "The (word, phonemes) entries of a CMU or tab-separated dictionary, in\n"
     "file order; ValueError naming the file and line of a malformed one."},
    {nullptr, nullptr, 0, nullptr},
};

int ExecModule(PyObject *module) {
  openfst::MakeErrorsNonFatal();
  decoder_spec = {"vurel._native.Decoder", sizeof(PyDecoder), 0,
                  Py_TPFLAGS_DEFAULT, decoder_slots};
  PyTypeObject *type = TypeFromSpecOnce(decoder_type, decoder_spec);
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "Decoder", reinterpret_cast<PyObject *>(type));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(ExecModule)},
    VUREL_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "vurel's internal bridge to its C++ readers and decoder.",
    0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vurel::python

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&vurel::python::module_def); }
