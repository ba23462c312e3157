// The extension module vurel._native: what the package's front end needs
// from the C++ core beyond the Model class. It reads model files for
// `vurel info` and dictionaries for lexicons with the same C++ readers the
// decoder and the trainer use, and offers a decoder that any thread may
// call, with the GIL released while it decodes, so that several threads
// share one loaded model. It also carries the text layer's C++ part: word
// boundaries and number spell-out from ICU.
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
#include "conversions.h"
#include "decoder_type.h"
#include "dictionary.h"
#include "driver/driver.h"
#include "driver/phoneme_strings.h"
#include "heap_type.h"
#include "model/fst_file.h"
#include "model/model.h"
#include "openfst.h"
#include "py_compat.h"
#include "py_ref.h"
#include "text_functions.h"

namespace vurel::python {
namespace {

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
  if (AddDecoderType(module) < 0) return -1;
  return AddTextFunctions(module);
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
