// What both extension modules share when they are created: the one-interpreter
// guard and the way a function table becomes module attributes and __all__.
#pragma once

#include <span>

#include "python_api.hpp"

namespace vakra::ext {

// METH_VARARGS | METH_KEYWORDS routines are stored in the PyCFunction slot.
inline PyCFunction with_keywords(PyCFunctionWithKeywords routine) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(routine));
}

// METH_FASTCALL | METH_KEYWORDS routines (Signature::call_vector) likewise.
using VectorRoutine = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction with_vector(VectorRoutine routine) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(routine));
}

// Refuses a second interpreter: module state is process-wide. `module_name`
// names the module in the ImportError. False with an exception set.
bool claim_interpreter(const char* module_name);

// Adds every function of `table` to `module` and lists it in __all__.
bool add_functions(PyObject* module, std::span<PyMethodDef> table);

// The module of `def`, created once per process with the functions of
// `table`, then handed to `finish` (false with an exception set fails the
// import); later imports get the same object from `cache`. `import_name`
// names the module in the one-interpreter ImportError.
PyObject* create_module_once(const char* import_name, PyModuleDef& def, std::span<PyMethodDef> table,
                             PyObject*& cache, bool (*finish)(PyObject* module));

}  // namespace vakra::ext
