// The routines of vakra._native, the package's private module: what the
// package needs beyond vakra_rs's fixed thirteen functions. Each lives in the
// file of its concern and runs its body through guarded_call().
#pragma once

#include "python_api.hpp"

namespace vakra::ext {

// Reading packets (native_walk_entry.cpp).
PyObject* native_probe(PyObject* module, PyObject* data);
PyObject* native_walk(PyObject* module, PyObject* data);
PyObject* native_loads(PyObject* module, PyObject* data);
PyObject* native_dtype_names(PyObject* module, PyObject* unused);

}  // namespace vakra::ext
