#include "arguments.h"

#include <cmath>

#include "py_compat.h"
#include "py_ref.h"

namespace vurel::python {
namespace {

bool RaiseTooManyPositional(const Signature &signature, Py_ssize_t given) {
  const std::size_t count = signature.parameters.size();
  if (signature.required == count) {
    PyErr_Format(PyExc_TypeError,
                 "%s takes %zu positional arguments but %zd were given",
                 signature.full_name, count, given);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s takes from %zu to %zu positional arguments but %zd were "
                 "given",
                 signature.full_name, signature.required, count, given);
  }
  return false;
}

// Puts one keyword argument in its parameter's place.
bool BindKeyword(const Signature &signature, PyObject *name, PyObject *value,
                 PyObject **bound) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (!UnicodeEqualsUtf8(name, signature.parameters[i])) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%s got multiple values for argument '%s'",
                   signature.full_name, signature.parameters[i]);
      return false;
    }
    bound[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               signature.full_name, name);
  return false;
}

bool CheckRequired(const Signature &signature, PyObject **bound) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%s missing 1 required positional argument: '%s'",
                   signature.full_name, signature.parameters[i]);
      return false;
    }
  }
  return true;
}

// A conversion failed: name the argument if the failure is a plain
// TypeError, keeping the original's cause; leave anything else as it is.
bool NameArgument(const char *parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyRef original = TakeRaisedException();
  if (Py_TYPE(original.get()) !=
      reinterpret_cast<PyTypeObject *>(PyExc_TypeError)) {
    RestoreRaisedException(std::move(original));
    return false;
  }
  PyRef message = PyRef::Steal(PyObject_Str(original.get()));
  if (!message) return false;
  PyRef text = PyRef::Steal(
      PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
  if (!text) return false;
  PyRef renamed =
      PyRef::Steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!renamed) return false;
  PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
  PyErr_SetObject(PyExc_TypeError, renamed.get());
  return false;
}

bool IsNumpyBool(PyTypeObject *type) {
  PyRef module = PyRef::Steal(PyObject_GetAttrString(
      reinterpret_cast<PyObject *>(type), "__module__"));
  if (!module) {
    PyErr_Clear();  // a type without a module name is not numpy's
    return false;
  }
  if (!UnicodeEqualsUtf8(module.get(), "numpy")) return false;
  PyRef name = PyRef::Steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return UnicodeEqualsUtf8(name.get(), "bool_") ||
         UnicodeEqualsUtf8(name.get(), "bool");
}

}  // namespace

bool BindArguments(const Signature &signature, PyObject *const *args,
                   Py_ssize_t positional_count, PyObject *keyword_names,
                   PyObject **bound) {
  const auto parameter_count =
      static_cast<Py_ssize_t>(signature.parameters.size());
  if (positional_count > parameter_count)
    return RaiseTooManyPositional(signature, positional_count);
  for (Py_ssize_t i = 0; i < parameter_count; ++i)
    bound[i] = i < positional_count ? args[i] : nullptr;
  if (keyword_names != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      if (!BindKeyword(signature, PyTuple_GET_ITEM(keyword_names, k),
                       args[positional_count + k], bound))
        return false;
    }
  }
  return CheckRequired(signature, bound);
}

bool BindArguments(const Signature &signature, PyObject *args,
                   PyObject *kwargs, PyObject **bound) {
  const Py_ssize_t positional_count = PyTuple_GET_SIZE(args);
  const auto parameter_count =
      static_cast<Py_ssize_t>(signature.parameters.size());
  if (positional_count > parameter_count)
    return RaiseTooManyPositional(signature, positional_count);
  for (Py_ssize_t i = 0; i < parameter_count; ++i)
    bound[i] = i < positional_count ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    // A dict keeps the keywords in the order of the call.
    Py_ssize_t position = 0;
    PyObject *name = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!BindKeyword(signature, name, value, bound)) return false;
    }
  }
  return CheckRequired(signature, bound);
}

bool RaiseTypeMismatch(PyObject *object, const char *wanted) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", wanted);
    return false;
  }
  PyRef type_name = PyRef::Steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'",
               type_name.get(), wanted);
  return false;
}

bool ConvertText(PyObject *object, const char *parameter,
                 std::string_view *text) {
  if (!PyUnicode_Check(object)) {
    RaiseTypeMismatch(object, "str");
    return NameArgument(parameter);
  }
  Py_ssize_t size = 0;
  const char *utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return NameArgument(parameter);
  *text = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool ConvertUnsigned(PyObject *object, const char *parameter,
                     std::uint64_t *value) {
  PyRef integer = PyLong_Check(object) ? PyRef::Borrow(object)
                                       : PyRef::Steal(PyNumber_Index(object));
  if (!integer) return NameArgument(parameter);
  const unsigned long long converted =
      PyLong_AsUnsignedLongLong(integer.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    return NameArgument(parameter);
  *value = converted;
  return true;
}

bool ConvertDouble(PyObject *object, const char *parameter, double *value) {
  const double converted = PyFloat_AsDouble(object);
  if (converted == -1.0 && PyErr_Occurred()) return NameArgument(parameter);
  *value = converted;
  return true;
}

bool ConvertFloat(PyObject *object, const char *parameter, float *value) {
  double wide = 0.0;
  if (!ConvertDouble(object, parameter, &wide)) return false;
  // IEEE narrowing: rounds to nearest, and beyond the float range gives an
  // infinity of the same sign.
  *value = static_cast<float>(wide);
  return true;
}

bool ConvertBool(PyObject *object, const char *parameter, bool *value) {
  if (PyBool_Check(object)) {
    *value = object == Py_True;
    return true;
  }
  PyTypeObject *type = Py_TYPE(object);
  if (!IsNumpyBool(type)) {
    RaiseTypeMismatch(object, "bool");
    return NameArgument(parameter);
  }
  inquiry to_bool =
      type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (to_bool == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject *>(type));
    return NameArgument(parameter);
  }
  const int truth = to_bool(object);
  if (truth < 0) return NameArgument(parameter);
  *value = truth != 0;
  return true;
}

}  // namespace vurel::python
