// Heap types that are created once per process and never released.
#ifndef VUREL_BINDING_HEAP_TYPE_H_
#define VUREL_BINDING_HEAP_TYPE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "py_ref.h"

namespace vurel::python {

// Returns the type kept in `slot`, creating it from `type_spec` on first use.
// Threads racing on the first use all get the same type: the loser of the
// race drops the type it made. Borrowed reference; null with an exception
// set when creation fails.
inline PyTypeObject *TypeFromSpecOnce(std::atomic<PyObject *> &slot,
                                      PyType_Spec &type_spec) {
  if (PyObject *existing = slot.load(std::memory_order_acquire))
    return reinterpret_cast<PyTypeObject *>(existing);
  PyRef created = PyRef::Steal(PyType_FromSpec(&type_spec));
  if (!created) return nullptr;
  PyObject *expected = nullptr;
  if (slot.compare_exchange_strong(expected, created.get(),
                                   std::memory_order_acq_rel))
    return reinterpret_cast<PyTypeObject *>(created.release());
  return reinterpret_cast<PyTypeObject *>(expected);
}

}  // namespace vurel::python

#endif  // VUREL_BINDING_HEAP_TYPE_H_
