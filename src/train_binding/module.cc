// The extension module vurel._train: the trainer and the evaluation, apart
// from the decoder's module so that vurel._vurel never links the trainer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dictionary.h"
#include "evaluation.h"
#include "model/model.h"
#include "model_builder.h"
#include "openfst.h"
#include "py_compat.h"
#include "py_ref.h"
#include "trainer.h"

namespace vurel::python {
namespace {

using train::Dictionary;
using train::DictionaryFormat;
using train::DictionaryOptions;
using train::PrimaryStress;
using train::Smoothing;
using train::TrainOptions;

PyObject *RaiseError(const Error &error) {
  PyErr_SetString(error.code == ErrorCode::kInvalidInput ? PyExc_ValueError
                                                         : PyExc_RuntimeError,
                  error.message.c_str());
  return nullptr;
}

// The value that `names` gives `value`; raises ValueError naming the
// argument and the allowed names otherwise.
template <class Value>
bool ParseChoice(const char *argument, const char *value,
                 std::span<const train::NamedValue<Value>> names, Value &out) {
  if (std::optional<Value> named = train::ValueNamed(names, value)) {
    out = *named;
    return true;
  }
  std::string allowed;
  for (const auto &named : names) {
    allowed += (allowed.empty() ? "'" : ", '") + std::string(named.name) + "'";
  }
  PyErr_Format(PyExc_ValueError, "%s must be one of %s, not '%s'", argument,
               allowed.c_str(), value);
  return false;
}

// Adds `value` (a new reference, null on failure) to `dict` under `key`.
bool SetItem(PyObject *dict, const char *key, PyObject *value) {
  PyRef owned = PyRef::Steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// Runs `work` with the GIL released; `progress` (a callable or None) is
// called with each message under the GIL. An exception from it, or a
// pending signal (Ctrl-C), stops the work and is kept for the caller.
class ProgressBridge {
 public:
  explicit ProgressBridge(PyObject *progress) : progress_(progress) {}

  template <class Work>
  auto Run(Work &&work) {
    state_ = PyEval_SaveThread();
    auto result = work([this](const std::string &message) { return Report(message); });
    PyEval_RestoreThread(state_);
    state_ = nullptr;
    return result;
  }

  // The exception raised by the callback or by a signal handler, if any.
  PyRef TakeFailure() { return std::move(failure_); }

 private:
  // False once the work must stop.
  bool Report(const std::string &message) {
    if (failure_) return false;
    PyEval_RestoreThread(state_);
    if (PyErr_CheckSignals() < 0) {
      failure_ = TakeRaisedException();
    } else if (progress_ != Py_None) {
      PyRef text = PyRef::Steal(
          PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
      PyRef result = text ? PyRef::Steal(PyObject_CallOneArg(progress_, text.get())) : PyRef();
      if (!result) failure_ = TakeRaisedException();
    }
    state_ = PyEval_SaveThread();
    return !failure_;
  }

  PyObject *progress_;
  PyThreadState *state_ = nullptr;
  PyRef failure_;
};

PyObject *Train(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {
      "dictionary", "model", "format", "skip_malformed", "strip_stress", "order",
      "smoothing", "max_letters", "max_phonemes", "insertions", "deletions",
      "many_to_many", "iterations", "alternatives", "align_stress",
      "primary_stress", "progress", nullptr};
  const char *dictionary_path = nullptr;
  const char *model_path = nullptr;
  const char *format = "auto";
  const char *smoothing = "kn";
  const char *primary_stress = "auto";
  int skip_malformed = 0, strip_stress = 0, insertions = 1, deletions = 1;
  int many_to_many = 0, align_stress = 0;
  TrainOptions options;
  PyObject *progress = Py_None;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "ss|$sppisiipppiipsO:train", const_cast<char **>(keywords),
          &dictionary_path, &model_path, &format, &skip_malformed, &strip_stress,
          &options.ngram.order, &smoothing, &options.aligner.max_graphemes,
          &options.aligner.max_phonemes, &insertions, &deletions, &many_to_many,
          &options.aligner.max_iterations, &options.aligner.alternatives,
          &align_stress, &primary_stress, &progress)) {
    return nullptr;
  }
  if (progress != Py_None && !PyCallable_Check(progress)) {
    PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
    return nullptr;
  }
  DictionaryOptions dictionary_options;
  if (!ParseChoice<DictionaryFormat>("format", format, train::kDictionaryFormatNames,
                                     dictionary_options.format) ||
      !ParseChoice<Smoothing>("smoothing", smoothing, train::kSmoothingNames,
                              options.ngram.smoothing) ||
      !ParseChoice<PrimaryStress>("primary_stress", primary_stress,
                                  train::kPrimaryStressNames, options.primary_stress)) {
    return nullptr;
  }
  dictionary_options.skip_malformed = skip_malformed;
  dictionary_options.strip_stress = strip_stress;
  options.aligner.allow_insertions = insertions;
  options.aligner.allow_deletions = deletions;
  options.aligner.allow_many_to_many = many_to_many;
  options.aligner.ignore_stress = !align_stress;

  const std::string dictionary_file = dictionary_path;
  const std::string model_file = model_path;
  ProgressBridge bridge(progress);
  struct Outcome {
    Result<Dictionary> dictionary;
    Result<train::TrainReport> report;
  };
  Outcome outcome = bridge.Run([&](const train::ProgressCallback &report_progress) {
    try {
      if (Status status = train::CheckModelPath(dictionary_file, model_file); !status.ok()) {
        return Outcome{status.error(), status.error()};
      }
      Result<Dictionary> dictionary = train::ReadDictionary(dictionary_file, dictionary_options);
      if (!dictionary.ok()) {
        const Error error = dictionary.error();
        return Outcome{error, error};
      }
      Result<train::TrainReport> report =
          train::TrainModel(*dictionary, options, model_file, report_progress);
      return Outcome{std::move(dictionary), std::move(report)};
    } catch (const std::bad_alloc &) {
      const Error error = InternalError("out of memory while training");
      return Outcome{error, error};
    }
  });
  if (PyRef failure = bridge.TakeFailure()) {
    // Training stopped before writing anything.
    RestoreRaisedException(std::move(failure));
    return nullptr;
  }
  if (!outcome.report.ok()) return RaiseError(outcome.report.error());
  const train::TrainReport &report = *outcome.report;
  const Dictionary &dictionary = *outcome.dictionary;
  PyRef result = PyRef::Steal(PyDict_New());
  if (!result) return nullptr;
  PyObject *dict = result.get();
  if (!SetItem(dict, "entries", PyLong_FromSize_t(report.entries)) ||
      !SetItem(dict, "skipped_lines", PyLong_FromSize_t(dictionary.skipped.size())) ||
      !SetItem(dict, "duplicates", PyLong_FromSize_t(dictionary.duplicates)) ||
      !SetItem(dict, "unalignable", PyLong_FromSize_t(report.unalignable)) ||
      !SetItem(dict, "alignment_iterations", PyLong_FromLong(report.alignment_iterations)) ||
      !SetItem(dict, "units", PyLong_FromSize_t(report.units)) ||
      !SetItem(dict, "ngrams", PyLong_FromSize_t(report.ngrams)) ||
      !SetItem(dict, "one_primary_stress", PyBool_FromLong(report.one_primary_stress)) ||
      !SetItem(dict, "one_primary_stress_share", PyFloat_FromDouble(report.one_primary_stress_share)) ||
      !SetItem(dict, "states", PyLong_FromUnsignedLongLong(report.model.states)) ||
      !SetItem(dict, "arcs", PyLong_FromUnsignedLongLong(report.model.arcs)) ||
      !SetItem(dict, "bytes", PyLong_FromUnsignedLongLong(report.model.bytes)) ||
      !SetItem(dict, "seconds", PyFloat_FromDouble(report.seconds))) {
    return nullptr;
  }
  return result.release();
}

// A list of str from phonemes.
PyObject *PhonemeList(const std::vector<std::string> &phonemes) {
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(phonemes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < phonemes.size(); ++i) {
    PyObject *text = PyUnicode_DecodeUTF8(phonemes[i].data(),
                                          static_cast<Py_ssize_t>(phonemes[i].size()), "replace");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

PyObject *ErrorList(const std::vector<train::WordError> &errors) {
  PyRef list = PyRef::Steal(PyList_New(0));
  if (!list) return nullptr;
  for (const train::WordError &error : errors) {
    PyRef item = PyRef::Steal(PyDict_New());
    PyRef references = PyRef::Steal(PyList_New(0));
    if (!item || !references) return nullptr;
    for (const auto &reference : error.references) {
      PyRef phonemes = PyRef::Steal(PhonemeList(reference));
      if (!phonemes || PyList_Append(references.get(), phonemes.get()) < 0) return nullptr;
    }
    if (!SetItem(item.get(), "word",
                 PyUnicode_DecodeUTF8(error.word.data(),
                                      static_cast<Py_ssize_t>(error.word.size()), "replace")) ||
        !SetItem(item.get(), "predicted", PhonemeList(error.predicted)) ||
        !SetItem(item.get(), "references", references.release()) ||
        !SetItem(item.get(), "edits", PyLong_FromSize_t(error.edits)) ||
        PyList_Append(list.get(), item.get()) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject *Evaluate(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"model", "dictionary", "format", "skip_malformed",
                                   "strip_stress", "errors", nullptr};
  const char *model_path = nullptr;
  const char *dictionary_path = nullptr;
  const char *format = "auto";
  int skip_malformed = 0, strip_stress = 0, list_errors = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|$sppp:evaluate",
                                   const_cast<char **>(keywords), &model_path,
                                   &dictionary_path, &format, &skip_malformed,
                                   &strip_stress, &list_errors)) {
    return nullptr;
  }
  DictionaryOptions dictionary_options;
  if (!ParseChoice<DictionaryFormat>("format", format, train::kDictionaryFormatNames,
                                     dictionary_options.format)) {
    return nullptr;
  }
  dictionary_options.skip_malformed = skip_malformed;
  dictionary_options.strip_stress = strip_stress;

  const std::string model_file = model_path;
  const std::string dictionary_file = dictionary_path;
  Result<train::EvaluationReport> outcome = InternalError("not evaluated");
  Py_BEGIN_ALLOW_THREADS
  try {
    Result<Model> model = Model::Load(model_file, "");
    Result<Dictionary> dictionary = model.ok()
        ? train::ReadDictionary(dictionary_file, dictionary_options)
        : Result<Dictionary>(model.error());
    if (!model.ok()) {
      outcome = model.error();
    } else if (!dictionary.ok()) {
      outcome = dictionary.error();
    } else if (Status evaluable = train::CheckEvaluable(*dictionary); !evaluable.ok()) {
      outcome = evaluable.error();
    } else {
      outcome = train::Evaluate(*model, *dictionary, list_errors);
    }
  } catch (const std::bad_alloc &) {
    outcome = InternalError("out of memory while evaluating");
  }
  Py_END_ALLOW_THREADS
  if (!outcome.ok()) return RaiseError(outcome.error());
  const train::EvaluationReport &report = *outcome;
  PyRef result = PyRef::Steal(PyDict_New());
  if (!result) return nullptr;
  PyObject *dict = result.get();
  if (!SetItem(dict, "words", PyLong_FromSize_t(report.words)) ||
      !SetItem(dict, "word_errors", PyLong_FromSize_t(report.word_errors)) ||
      !SetItem(dict, "wer", PyFloat_FromDouble(report.word_error_rate())) ||
      !SetItem(dict, "reference_phonemes", PyLong_FromSize_t(report.reference_phonemes)) ||
      !SetItem(dict, "phoneme_errors", PyLong_FromSize_t(report.phoneme_errors)) ||
      !SetItem(dict, "per", PyFloat_FromDouble(report.phoneme_error_rate())) ||
      !SetItem(dict, "words_with_unknown_letters",
               PyLong_FromSize_t(report.words_with_unknown_letters)) ||
      !SetItem(dict, "decoding_seconds", PyFloat_FromDouble(report.decoding_seconds))) {
    return nullptr;
  }
  if (list_errors && !SetItem(dict, "errors", ErrorList(report.errors))) return nullptr;
  return result.release();
}

PyMethodDef module_methods[] = {
    {"train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Train)),
     METH_VARARGS | METH_KEYWORDS,
     "train(dictionary, model, *, format='auto', skip_malformed=False, strip_stress=False, "
     "order=9, smoothing='kn', max_letters=1, max_phonemes=1, insertions=True, "
     "deletions=True, many_to_many=False, iterations=30, alternatives=1, "
     "align_stress=False, primary_stress='auto', progress=None)\n--\n\n"
     "Trains a model from the dictionary file and writes it to the model path; "
     "returns the training report as a dict."},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Evaluate)),
     METH_VARARGS | METH_KEYWORDS,
     "evaluate(model, dictionary, *, format='auto', skip_malformed=False, "
     "strip_stress=False, errors=False)\n--\n\n"
     "Word and phoneme error rates of the model on the dictionary, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

int ExecModule(PyObject *) {
  openfst::MakeErrorsNonFatal();
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(ExecModule)},
    VUREL_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_train", "The trainer of vurel models.", 0,
    module_methods,        module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vurel::python

PyMODINIT_FUNC PyInit__train() { return PyModuleDef_Init(&vurel::python::module_def); }
