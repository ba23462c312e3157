#include "path_data_type.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

#include "heap_type.h"
#include "internal_error.h"
#include "py_ref.h"

namespace vurel::python {
namespace {

struct PathDataObject {
  PyObject_HEAD
  PathData record;
};

const PathData &RecordOf(PyObject *self) {
  return reinterpret_cast<PathDataObject *>(self)->record;
}

PyObject *LabelToPython(Label label) {
  return PyLong_FromLong(static_cast<std::int32_t>(label));
}

PyObject *WeightToPython(float weight) {
  return PyFloat_FromDouble(static_cast<double>(weight));
}

template <class T, class Convert>
PyObject *ListOf(const std::vector<T> &values, Convert convert) {
  PyRef list =
      PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return RaisePendingAsInternalError();
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject *item = convert(values[i]);
    if (item == nullptr) return RaisePendingAsInternalError();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject *GetPathWeight(PyObject *self, void *) {
  PyObject *weight = WeightToPython(RecordOf(self).path_weight);
  return weight != nullptr ? weight : RaisePendingAsInternalError();
}

PyObject *GetPathWeights(PyObject *self, void *) {
  return ListOf(RecordOf(self).path_weights, WeightToPython);
}

PyObject *GetIlabels(PyObject *self, void *) {
  return ListOf(RecordOf(self).ilabels, LabelToPython);
}

PyObject *GetOlabels(PyObject *self, void *) {
  return ListOf(RecordOf(self).olabels, LabelToPython);
}

PyObject *GetUniques(PyObject *self, void *) {
  return ListOf(RecordOf(self).uniques, LabelToPython);
}

PyObject *Repr(PyObject *self) {
  std::string text;
  try {
    text = PathDataRepr(RecordOf(self));
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return RaisePendingAsInternalError();
  }
  PyObject *result = PyUnicode_FromStringAndSize(
      text.data(), static_cast<Py_ssize_t>(text.size()));
  return result != nullptr ? result : RaisePendingAsInternalError();
}

void Dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  reinterpret_cast<PathDataObject *>(self)->record.~PathData();
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef getters[] = {
    {"path_weight", GetPathWeight, nullptr, "", nullptr},
    {"path_weights", GetPathWeights, nullptr, "", nullptr},
    {"ilabels", GetIlabels, nullptr, "", nullptr},
    {"olabels", GetOlabels, nullptr, "", nullptr},
    {"uniques", GetUniques, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void *>(Dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(Repr)},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "vurel._vurel.PathData",
    sizeof(PathDataObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

std::atomic<PyObject *> path_data_type{nullptr};

}  // namespace

PyTypeObject *PathDataType() { return TypeFromSpecOnce(path_data_type, type_spec); }

PyObject *NewPathDataList(std::vector<PathData> records) {
  PyTypeObject *type = PathDataType();
  if (type == nullptr) return nullptr;
  PyRef list =
      PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return RaisePendingAsInternalError();
  for (std::size_t i = 0; i < records.size(); ++i) {
    // On failure the list releases the objects made so far, and `records`
    // the records not yet moved.
    PyObject *object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    new (&reinterpret_cast<PathDataObject *>(object)->record)
        PathData(std::move(records[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list.release();
}

std::string PathDataRepr(const PathData &record) {
  std::string text = "PathData(path_weight=";
  const float weight = record.path_weight;
  if (std::isnan(weight)) {
    text += "NaN";
  } else if (std::isinf(weight)) {
    text += weight > 0 ? "inf" : "-inf";
  } else {
    // to_chars with a precision is exact and rounds the exact binary value
    // half to even; a float's integer part has at most 39 digits.
    char digits[64];
    const auto written =
        std::to_chars(digits, digits + sizeof digits, static_cast<double>(weight),
                      std::chars_format::fixed, 4);
    text.append(digits, written.ptr);
  }
  text += ", uniques=[";
  for (std::size_t i = 0; i < record.uniques.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(static_cast<std::int32_t>(record.uniques[i]));
  }
  text += "])";
  return text;
}

}  // namespace vurel::python
