// The extension module vurel._vurel: the classes Model and PathData.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "internal_error.h"
#include "model_type.h"
#include "openfst.h"
#include "path_data_type.h"
#include "py_compat.h"
#include "py_ref.h"

namespace vurel::python {
namespace {

// The module's __all__, made and stored if the module has none yet.
PyRef AllNames(PyObject *module) {
  PyObject *dict = PyModule_GetDict(module);
  PyRef key = PyRef::Steal(PyUnicode_InternFromString("__all__"));
  if (!key) return key;
  PyRef names = PyRef::Borrow(PyDict_GetItemWithError(dict, key.get()));
  if (names) {
    if (!PyList_Check(names.get())) {
      PyErr_Format(PyExc_TypeError,
                   "__all__ of the module must be a list, not '%s'",
                   Py_TYPE(names.get())->tp_name);
      return PyRef();
    }
    return names;
  }
  if (PyErr_Occurred()) return names;
  names = PyRef::Steal(PyList_New(0));
  if (!names || PyDict_SetItem(dict, key.get(), names.get()) < 0)
    return PyRef();
  return names;
}

int AddType(PyObject *module, const char *name, PyTypeObject *type) {
  if (type == nullptr) return -1;
  PyRef names = AllNames(module);
  if (!names) return -1;
  PyRef text = PyRef::Steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(names.get(), text.get()) < 0) {
    RaisePendingAsInternalError();
    return -1;
  }
  return PyModule_AddObjectRef(module, name,
                               reinterpret_cast<PyObject *>(type));
}

int ExecModule(PyObject *module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "expected a module, got '%s'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  openfst::MakeErrorsNonFatal();
  if (AddType(module, "Model", ModelType()) < 0) return -1;
  if (AddType(module, "PathData", PathDataType()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(ExecModule)},
    VUREL_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vurel",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vurel::python

PyMODINIT_FUNC PyInit__vurel() {
  return PyModuleDef_Init(&vurel::python::module_def);
}
