#include "internal_error.h"

#include <atomic>

#include "py_ref.h"

namespace vurel::python {
namespace {

constexpr char kGenericMessage[] = "vurel: internal error in native code";

constexpr char kDoc[] =
    "Raised when the native code of vurel fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, "
    "so that it normally propagates all the way up and ends the "
    "interpreter.";

std::atomic<PyObject *> internal_error_type{nullptr};

}  // namespace

PyObject *InternalErrorType() {
  if (PyObject *existing = internal_error_type.load(std::memory_order_acquire))
    return existing;
  PyRef created = PyRef::Steal(PyErr_NewExceptionWithDoc(
      "vurel._vurel.InternalError", kDoc, PyExc_BaseException, nullptr));
  if (!created) return nullptr;
  PyObject *expected = nullptr;
  // A thread that lost the race uses the winner's type and drops its own.
  if (internal_error_type.compare_exchange_strong(expected, created.get(),
                                                  std::memory_order_acq_rel))
    return created.release();
  return expected;
}

PyObject *RaiseInternalError(std::string_view message) {
  PyObject *type = InternalErrorType();
  if (type == nullptr) return nullptr;
  if (message.empty()) message = kGenericMessage;
  PyRef text = PyRef::Steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject *RaisePendingAsInternalError() {
  PyErr_WriteUnraisable(nullptr);
  return RaiseInternalError(
      "vurel: the interpreter failed to build a result object");
}

}  // namespace vurel::python
