#include "module_frame.hpp"

#include <atomic>
#include <cstdint>
#include <string>

#include "pyref.hpp"

namespace vakra::ext {
namespace {

std::atomic<int64_t> g_interpreter_id{-1};

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) != 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

bool claim_interpreter(const char* module_name) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return false;
  }
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    const std::string message = std::string(module_name) +
                                " does not support subinterpreters: it can only be imported in one interpreter per process";
    PyErr_SetString(PyExc_ImportError, message.c_str());
    return false;
  }
  return true;
}

bool add_functions(PyObject* module, std::span<PyMethodDef> table) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : table) {
    if (!add_function(module, module_name.get(), &def)) return false;
  }
  return true;
}

PyObject* create_module_once(const char* import_name, PyModuleDef& def, std::span<PyMethodDef> table,
                             PyObject*& cache, bool (*finish)(PyObject* module)) {
  if (!claim_interpreter(import_name)) return nullptr;
  if (cache != nullptr) return PyRef::borrow(cache).release();
  PyRef module = PyRef::steal(PyModule_Create2(&def, 3));
  if (!module || !add_functions(module.get(), table) || !finish(module.get())) return nullptr;
  cache = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace vakra::ext
