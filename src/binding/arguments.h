// Argument binding and conversion shared by every callable of Model: the
// same matching rules and the same messages for the constructor, the
// lookups and the decoding methods.
#ifndef VUREL_BINDING_ARGUMENTS_H_
#define VUREL_BINDING_ARGUMENTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace vurel::python {

// The parameters of one callable, all positional-or-keyword; the first
// `required` of them must be given.
struct Signature {
  const char *full_name;  // "Model.find_isym()", used in every message
  std::span<const char *const> parameters;
  std::size_t required;
};

// Matches a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list to the
// parameters. On success `bound[i]` is a borrowed reference to the value of
// parameter i, or null when it was not given. On failure raises TypeError
// and returns false.
bool BindArguments(const Signature &signature, PyObject *const *args,
                   Py_ssize_t positional_count, PyObject *keyword_names,
                   PyObject **bound);

// The same for a tuple of positional arguments and an optional dict of
// keyword arguments (the constructor's calling convention).
bool BindArguments(const Signature &signature, PyObject *args,
                   PyObject *kwargs, PyObject **bound);

// Conversions. Each returns false with an exception set on failure; a
// TypeError is re-raised as "argument '<parameter>': <message>".

// A str (or subclass) as UTF-8; the view lives as long as `object`.
bool ConvertText(PyObject *object, const char *parameter,
                 std::string_view *text);
// An int, or an object with __index__, that fits an unsigned 64-bit value.
bool ConvertUnsigned(PyObject *object, const char *parameter,
                     std::uint64_t *value);
// Anything the interpreter converts to a float; rounded to 32 bits.
bool ConvertFloat(PyObject *object, const char *parameter, float *value);
bool ConvertDouble(PyObject *object, const char *parameter, double *value);
// True/False, or a numpy boolean scalar.
bool ConvertBool(PyObject *object, const char *parameter, bool *value);

// Raises "'<type>' object is not an instance of '<wanted>'" (or "'None' is
// not an instance of '<wanted>'"). Always returns false.
bool RaiseTypeMismatch(PyObject *object, const char *wanted);

}  // namespace vurel::python

#endif  // VUREL_BINDING_ARGUMENTS_H_
