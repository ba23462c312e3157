// The extension module vurel._vurel.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int ExecModule(PyObject *module) {
  PyObject *names = PyList_New(0);
  if (names == nullptr) return -1;
  int status = PyModule_AddObjectRef(module, "__all__", names);
  Py_DECREF(names);
  return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(ExecModule)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vurel", "", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vurel() { return PyModuleDef_Init(&module_def); }
