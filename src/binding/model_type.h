// The Model class: a loaded model bound to the thread that created it.
#ifndef VUREL_BINDING_MODEL_TYPE_H_
#define VUREL_BINDING_MODEL_TYPE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vurel::python {

// The class, created on first use. Borrowed; null with an exception set.
PyTypeObject *ModelType();

}  // namespace vurel::python

#endif  // VUREL_BINDING_MODEL_TYPE_H_
