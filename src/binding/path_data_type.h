// The PathData class: one decoded path, immutable, made only by decoding.
#ifndef VUREL_BINDING_PATH_DATA_TYPE_H_
#define VUREL_BINDING_PATH_DATA_TYPE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "path_data.h"

namespace vurel::python {

// The class, created on first use. Borrowed; null with an exception set.
PyTypeObject *PathDataType();

// A new list holding one PathData per record, in order; the records' lists
// are moved into the objects. Null with an exception set on failure.
PyObject *NewPathDataList(std::vector<PathData> records);

// "PathData(path_weight=1.2346, uniques=[5, 17, 9])": the weight's exact
// value rounded to four decimals (ties to even), labels as signed 32-bit.
std::string PathDataRepr(const PathData &record);

}  // namespace vurel::python

#endif  // VUREL_BINDING_PATH_DATA_TYPE_H_
