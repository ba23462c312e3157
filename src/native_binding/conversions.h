// Conversions the front end's bridge shares: core errors to exceptions,
// texts to str objects.
#ifndef VUREL_NATIVE_BINDING_CONVERSIONS_H_
#define VUREL_NATIVE_BINDING_CONVERSIONS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "py_ref.h"
#include "result.h"

namespace vurel::python {

// Raises ValueError for invalid input, RuntimeError otherwise; returns null.
inline PyObject *RaiseError(const Error &error) {
  PyErr_SetString(error.code == ErrorCode::kInvalidInput ? PyExc_ValueError
                                                         : PyExc_RuntimeError,
                  error.message.c_str());
  return nullptr;
}

// A str of UTF-8 `text`, invalid bytes replaced; null with an exception set.
inline PyObject *NewText(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// A tuple of the texts, or null with an exception set.
inline PyObject *NewTextTuple(const std::vector<std::string> &texts) {
  PyRef tuple = PyRef::Steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject *item = NewText(texts[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

}  // namespace vurel::python

#endif  // VUREL_NATIVE_BINDING_CONVERSIONS_H_
