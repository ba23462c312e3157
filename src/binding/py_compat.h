// The few C API calls newer than the oldest interpreter we build for (3.11).
// Each one behaves as the newer interpreter's own call does.
#ifndef VUREL_BINDING_PY_COMPAT_H_
#define VUREL_BINDING_PY_COMPAT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "py_ref.h"

namespace vurel::python {

// PyUnicode_EqualToUTF8AndSize (3.13): 1 when `text` is a str whose UTF-8
// form is the `size` bytes at `utf8`, else 0; never leaves an error set.
inline int UnicodeEqualsUtf8(PyObject *text, const char *utf8,
                             Py_ssize_t size) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyUnicode_EqualToUTF8AndSize(text, utf8, size);
#else
  if (!PyUnicode_Check(text)) return 0;
  Py_ssize_t length = 0;
  const char *contents = PyUnicode_AsUTF8AndSize(text, &length);
  if (contents == nullptr) {
    PyErr_Clear();  // a lone surrogate equals no UTF-8 text
    return 0;
  }
  return length == size && std::memcmp(contents, utf8, size) == 0;
#endif
}

inline int UnicodeEqualsUtf8(PyObject *text, const char *utf8) {
  return UnicodeEqualsUtf8(text, utf8, static_cast<Py_ssize_t>(std::strlen(utf8)));
}

// PyErr_GetRaisedException / PyErr_SetRaisedException (3.12): the pending
// exception as one normalised object, or null when none is pending.
inline PyRef TakeRaisedException() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::Steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr;
  PyObject *value = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::Steal(value);
#endif
}

inline void RestoreRaisedException(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  if (!exception) return;
  PyObject *value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value))),
                value, PyException_GetTraceback(value));
#endif
}

}  // namespace vurel::python

// Py_mod_gil (3.13) as a module slot entry, or nothing where it is missing.
#ifdef Py_mod_gil
#define VUREL_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VUREL_MOD_GIL_SLOT
#endif

#endif  // VUREL_BINDING_PY_COMPAT_H_
