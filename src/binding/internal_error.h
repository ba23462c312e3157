// The exception that carries internal faults and thread-binding violations
// to Python. It derives from BaseException, like SystemExit, so that a
// handler for Exception does not swallow it.
#ifndef VUREL_BINDING_INTERNAL_ERROR_H_
#define VUREL_BINDING_INTERNAL_ERROR_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace vurel::python {

// The exception type, created on first use and kept for the life of the
// process. Borrowed reference; null with an exception set if it cannot be
// created.
PyObject *InternalErrorType();

// Raises the internal-error exception with `message` (a fixed generic text
// when `message` is empty). Always returns null.
PyObject *RaiseInternalError(std::string_view message);

// For failures of the interpreter itself (memory exhausted while building a
// result): reports the pending exception through the unraisable hook, then
// raises the internal-error exception. Always returns null.
PyObject *RaisePendingAsInternalError();

}  // namespace vurel::python

#endif  // VUREL_BINDING_INTERNAL_ERROR_H_
