// Owning holder of one strong reference to a Python object.
#ifndef VUREL_BINDING_PY_REF_H_
#define VUREL_BINDING_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vurel::python {

// Releases its reference when it goes out of scope, so that an early return
// on a failure path can neither leak nor release twice.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. a failed call's result).
  static PyRef Steal(PyObject *object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef Borrow(PyObject *object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef &&other) noexcept : object_(other.release()) {}
  PyRef &operator=(PyRef &&other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference over to the caller.
  PyObject *release() { return std::exchange(object_, nullptr); }
  void swap(PyRef &other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject *object) : object_(object) {}
  PyObject *object_ = nullptr;
};

}  // namespace vurel::python

#endif  // VUREL_BINDING_PY_REF_H_
