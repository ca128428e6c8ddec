// The two compressor classes, "PalimpText" and "PalimpTokens".
#pragma once

#include "python_bindings/pyref.h"

namespace palimp::py {

// Type objects, created once per process on first need.
PyTypeObject* palimp_text_type();
PyTypeObject* palimp_tokens_type();

// tp_new of both: the classes are built only by their class methods.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

}  // namespace palimp::py
