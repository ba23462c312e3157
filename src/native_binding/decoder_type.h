// vurel._native.Decoder: a loaded model that any thread may decode with,
// the GIL released while it decodes, one word or a batch of words per call,
// with a cancellation flag that stops the words being decoded.
#ifndef VUREL_NATIVE_BINDING_DECODER_TYPE_H_
#define VUREL_NATIVE_BINDING_DECODER_TYPE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vurel::python {

// Adds the Decoder type to `module`; -1 with an exception set on failure.
int AddDecoderType(PyObject *module);

}  // namespace vurel::python

#endif  // VUREL_NATIVE_BINDING_DECODER_TYPE_H_
