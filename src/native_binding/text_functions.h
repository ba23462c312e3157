// The text layer's C++ part in vurel._native: word_segments(), its
// SEGMENT_* kinds, and the NumberSpeller type.
#ifndef VUREL_NATIVE_BINDING_TEXT_FUNCTIONS_H_
#define VUREL_NATIVE_BINDING_TEXT_FUNCTIONS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vurel::python {

// Adds the text functions, constants and types to `module`; -1 with an
// exception set on failure.
int AddTextFunctions(PyObject *module);

}  // namespace vurel::python

#endif  // VUREL_NATIVE_BINDING_TEXT_FUNCTIONS_H_
