#include "model_type.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.h"
#include "driver/driver.h"
#include "driver/phoneme_strings.h"
#include "heap_type.h"
#include "internal_error.h"
#include "model/model.h"
#include "path_data_type.h"
#include "py_compat.h"
#include "py_ref.h"

namespace vurel::python {
namespace {

constexpr char kTypePath[] = "vurel::python::PyModel";

// A per-thread identity that is never reused within the process, so a new
// thread can never pass for the exited thread that created a Model.
std::uint64_t CurrentThreadIdentity() {
  static std::atomic<std::uint64_t> next_identity{1};
  thread_local const std::uint64_t identity = next_identity.fetch_add(1);
  return identity;
}

struct PyModel {
  PyObject_HEAD
  Model *model;  // owned; left unreleased when dropped on a foreign thread
  std::atomic<std::uint64_t> holds;
  std::uint64_t owner_thread;
};

// One shared hold on a Model for the duration of a call.
class SharedHold {
 public:
  explicit SharedHold(PyModel *self) : self_(self) {
    self_->holds.fetch_add(1, std::memory_order_relaxed);
  }
  ~SharedHold() { self_->holds.fetch_sub(1, std::memory_order_relaxed); }
  SharedHold(const SharedHold &) = delete;
  SharedHold &operator=(const SharedHold &) = delete;

 private:
  PyModel *self_;
};

// Runs `work`, turning any C++ exception into the internal-error exception;
// the core reports its own failures as values, so one here is a fault.
template <class Work>
bool RunGuarded(Work &&work) {
  try {
    work();
    return true;
  } catch (const std::exception &error) {
    RaiseInternalError(error.what());
  } catch (...) {
    RaiseInternalError({});
  }
  return false;
}

// The entry steps of every method: binding, check of self, thread check.
// Returns the instance, or null with an exception set.
PyModel *EnterMethod(const Signature &signature, PyObject *self,
                     PyObject *const *args, std::size_t nargsf,
                     PyObject *keyword_names, PyObject **bound) {
  if (!BindArguments(signature, args, PyVectorcall_NARGS(nargsf),
                     keyword_names, bound))
    return nullptr;
  PyTypeObject *model_type = ModelType();
  if (model_type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, model_type)) {
    RaiseTypeMismatch(self, "Model");
    return nullptr;
  }
  auto *instance = reinterpret_cast<PyModel *>(self);
  const std::uint64_t current = CurrentThreadIdentity();
  if (current != instance->owner_thread) {
    RaiseInternalError(std::string(kTypePath) +
                       " is unsendable, but sent to another thread (calling "
                       "thread " +
                       std::to_string(current) + ", owning thread " +
                       std::to_string(instance->owner_thread) + ")");
    return nullptr;
  }
  return instance;
}

PyObject *NewText(const std::string &text) {
  PyObject *result = PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  return result != nullptr ? result : RaisePendingAsInternalError();
}

PyObject *NewTextList(const std::vector<std::string> &texts) {
  PyRef list =
      PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return RaisePendingAsInternalError();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject *item = NewText(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---- constructor ----

constexpr const char *kNewParameters[] = {"path", "delim"};
constexpr Signature kNewSignature{"Model.__new__()", kNewParameters, 1};

PyObject *New(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *bound[2];
  if (!BindArguments(kNewSignature, args, kwargs, bound)) return nullptr;
  std::string_view path;
  std::string_view delimiter;
  if (!ConvertText(bound[0], "path", &path)) return nullptr;
  if (bound[1] != nullptr && !ConvertText(bound[1], "delim", &delimiter))
    return nullptr;

  std::unique_ptr<Model> model;
  std::optional<Error> failure;
  if (!RunGuarded([&] {
        Result<Model> loaded =
            Model::Load(std::string(path), std::string(delimiter));
        if (loaded.ok())
          model = std::make_unique<Model>(std::move(loaded).value());
        else
          failure = std::move(loaded).error();
      }))
    return nullptr;
  if (failure.has_value()) {
    if (failure->code == ErrorCode::kInvalidInput) {
      PyErr_SetString(PyExc_ValueError, failure->message.c_str());
      return nullptr;
    }
    return RaiseInternalError(failure->message);
  }

  PyObject *self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto *instance = reinterpret_cast<PyModel *>(self);
  instance->model = model.release();
  new (&instance->holds) std::atomic<std::uint64_t>(0);
  instance->owner_thread = CurrentThreadIdentity();
  return self;
}

void Dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  auto *instance = reinterpret_cast<PyModel *>(self);
  if (instance->owner_thread == CurrentThreadIdentity()) {
    delete instance->model;
  } else {
    // The model must not be released here; report and leave it.
    PyRef pending = TakeRaisedException();
    PyErr_SetString(PyExc_RuntimeError,
                    (std::string(kTypePath) +
                     " is unsendable, but is being dropped on another thread")
                        .c_str());
    PyErr_WriteUnraisable(nullptr);
    RestoreRaisedException(std::move(pending));
  }
  instance->holds.~atomic();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- decoding methods ----

constexpr const char *kPhoneticizeParameters[] = {"word"};
constexpr Signature kPhoneticizeSignature{"Model.phoneticize()",
                                          kPhoneticizeParameters, 1};

PyObject *Phoneticize(PyObject *self, PyObject *const *args,
                      Py_ssize_t nargsf, PyObject *keyword_names) {
  PyObject *bound[1];
  PyModel *instance = EnterMethod(kPhoneticizeSignature, self, args,
                                  static_cast<std::size_t>(nargsf),
                                  keyword_names, bound);
  if (instance == nullptr) return nullptr;
  SharedHold hold(instance);
  std::string_view word;
  if (!ConvertText(bound[0], "word", &word)) return nullptr;
  std::vector<std::string> phonemes;
  if (!RunGuarded([&] { phonemes = PhoneticizeBest(*instance->model, word); }))
    return nullptr;
  return NewTextList(phonemes);
}

constexpr const char *kPathsParameters[] = {
    "word", "nbest", "beam", "threshold", "write_fsts", "accumulate", "pmass"};
constexpr Signature kPathsSignature{"Model.phoneticize_paths()",
                                    kPathsParameters, 1};

PyObject *PhoneticizePaths(PyObject *self, PyObject *const *args,
                           Py_ssize_t nargsf, PyObject *keyword_names) {
  PyObject *bound[7];
  PyModel *instance =
      EnterMethod(kPathsSignature, self, args,
                  static_cast<std::size_t>(nargsf), keyword_names, bound);
  if (instance == nullptr) return nullptr;
  SharedHold hold(instance);
  std::string_view word;
  PhoneticizeOptions options;
  if (!ConvertText(bound[0], "word", &word) ||
      (bound[1] && !ConvertUnsigned(bound[1], "nbest", &options.nbest)) ||
      (bound[2] && !ConvertUnsigned(bound[2], "beam", &options.beam)) ||
      (bound[3] && !ConvertFloat(bound[3], "threshold", &options.threshold)) ||
      (bound[4] && !ConvertBool(bound[4], "write_fsts", &options.write_fsts)) ||
      (bound[5] && !ConvertBool(bound[5], "accumulate", &options.accumulate)) ||
      (bound[6] && !ConvertDouble(bound[6], "pmass", &options.pmass)))
    return nullptr;
  std::vector<PathData> records;
  if (!RunGuarded([&] {
        records = vurel::Phoneticize(*instance->model, word, options);
      }))
    return nullptr;
  return NewPathDataList(std::move(records));
}

constexpr const char *kSamplingParameters[] = {"word", "nbest", "beam",
                                               "threshold", "pmass"};
constexpr Signature kSamplingSignature{"Model.phoneticize_sampling()",
                                       kSamplingParameters, 1};

PyObject *PhoneticizeSampling(PyObject *self, PyObject *const *args,
                              Py_ssize_t nargsf, PyObject *keyword_names) {
  PyObject *bound[5];
  PyModel *instance =
      EnterMethod(kSamplingSignature, self, args,
                  static_cast<std::size_t>(nargsf), keyword_names, bound);
  if (instance == nullptr) return nullptr;
  SharedHold hold(instance);
  std::string_view word;
  PhoneticizeOptions options;
  if (!ConvertText(bound[0], "word", &word) ||
      (bound[1] && !ConvertUnsigned(bound[1], "nbest", &options.nbest)) ||
      (bound[2] && !ConvertUnsigned(bound[2], "beam", &options.beam)) ||
      (bound[3] && !ConvertFloat(bound[3], "threshold", &options.threshold)) ||
      (bound[4] && !ConvertDouble(bound[4], "pmass", &options.pmass)))
    return nullptr;
  std::vector<std::vector<std::string>> paths;
  if (!RunGuarded([&] {
        paths = vurel::PhoneticizeSampling(*instance->model, word,
                                           options.nbest, options.beam,
                                           options.threshold, options.pmass);
      }))
    return nullptr;
  PyRef list =
      PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
  if (!list) return RaisePendingAsInternalError();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    PyObject *item = NewTextList(paths[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---- symbol lookups ----

enum class Side { kInput, kOutput };

// A str key as UTF-8; a lone surrogate, which UTF-8 cannot carry, becomes
// three U+FFFD, one per byte of its surrogate-permitting encoding.
PyRef KeyText(PyObject *key) {
  PyRef text = PyRef::Steal(PyObject_Str(key));
  if (!text) return text;
  if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) != nullptr) return text;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return PyRef();
  PyErr_Clear();
  PyRef encoded = PyRef::Steal(
      PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!encoded) return encoded;
  return PyRef::Steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()),
                                           PyBytes_GET_SIZE(encoded.get()),
                                           "replace"));
}

PyObject *FindSymbol(Side side, const Signature &signature, PyObject *self,
                     PyObject *const *args, Py_ssize_t nargsf,
                     PyObject *keyword_names) {
  PyObject *bound[1];
  PyModel *instance =
      EnterMethod(signature, self, args, static_cast<std::size_t>(nargsf),
                  keyword_names, bound);
  if (instance == nullptr) return nullptr;
  SharedHold hold(instance);
  const Model &model = *instance->model;
  PyObject *key = bound[0];

  if (PyUnicode_Check(key)) {
    PyRef text = KeyText(key);
    if (!text) return nullptr;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return nullptr;
    const std::string_view view(utf8, static_cast<std::size_t>(size));
    std::optional<Label> label;
    if (!RunGuarded([&] {
          label = side == Side::kInput ? model.FindInputLabel(view)
                                       : model.FindOutputLabel(view);
        }))
      return nullptr;
    if (!label.has_value()) Py_RETURN_NONE;
    PyObject *result = PyLong_FromLong(static_cast<std::int32_t>(*label));
    return result != nullptr ? result : RaisePendingAsInternalError();
  }

  if (PyLong_Check(key)) {
    const long value = PyLong_AsLong(key);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      PyErr_SetString(PyExc_OverflowError,
                      "out of range integral type conversion attempted");
      return nullptr;
    }
    std::optional<std::string> text;
    if (!RunGuarded([&] {
          text = side == Side::kInput ? model.FindInputText(value)
                                      : model.FindOutputText(value);
        }))
      return nullptr;
    if (!text.has_value()) Py_RETURN_NONE;
    return NewText(*text);
  }

  PyErr_SetString(PyExc_TypeError, "expected str or int");
  return nullptr;
}

constexpr const char *kKeyParameters[] = {"key"};
constexpr Signature kFindIsymSignature{"Model.find_isym()", kKeyParameters, 1};
constexpr Signature kFindOsymSignature{"Model.find_osym()", kKeyParameters, 1};

PyObject *FindIsym(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                   PyObject *keyword_names) {
  return FindSymbol(Side::kInput, kFindIsymSignature, self, args, nargsf,
                    keyword_names);
}

PyObject *FindOsym(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                   PyObject *keyword_names) {
  return FindSymbol(Side::kOutput, kFindOsymSignature, self, args, nargsf,
                    keyword_names);
}

// ---- the class ----

template <PyObject *(*Method)(PyObject *, PyObject *const *, Py_ssize_t,
                              PyObject *)>
PyCFunction AsCFunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef methods[] = {
    {"phoneticize", AsCFunction<Phoneticize>(), METH_FASTCALL | METH_KEYWORDS,
     "phoneticize($self, word)\n--\n\n"
     "Returns the top-1 path's phoneme strings."},
    {"phoneticize_paths", AsCFunction<PhoneticizePaths>(),
     METH_FASTCALL | METH_KEYWORDS,
     "phoneticize_paths($self, word, nbest=1, beam=10000, threshold=99.0, "
     "write_fsts=False, accumulate=False, pmass=99.0)\n--\n\n"
     "Returns the n best paths as a list of `PathData`,\n"
     "each with `path_weight`, `path_weights`, `ilabels`, `olabels`, "
     "`uniques`."},
    {"phoneticize_sampling", AsCFunction<PhoneticizeSampling>(),
     METH_FASTCALL | METH_KEYWORDS,
     "phoneticize_sampling($self, word, nbest=1, beam=10000, threshold=99.0, "
     "pmass=99.0)\n--\n\n"
     "Convenience over `phoneticize_paths`: returns each path's phoneme\n"
     "strings (already cluster-decomposed and veto-filtered) instead of\n"
     "raw `PathData`."},
    {"find_isym", AsCFunction<FindIsym>(), METH_FASTCALL | METH_KEYWORDS,
     "find_isym($self, key)\n--\n\n"
     "Look up an input symbol by name or ID. Mirrors `FindIsym` overloads."},
    {"find_osym", AsCFunction<FindOsym>(), METH_FASTCALL | METH_KEYWORDS,
     "find_osym($self, key)\n--\n\n"
     "Look up an output symbol by name or ID. Mirrors `FindOsym` overloads."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void *>(Dealloc)},
    {Py_tp_doc, const_cast<char *>("Model(path, delim=\"\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(New)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "vurel._vurel.Model",
    sizeof(PyModel),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

std::atomic<PyObject *> model_type{nullptr};

}  // namespace

PyTypeObject *ModelType() { return TypeFromSpecOnce(model_type, type_spec); }

}  // namespace vurel::python
