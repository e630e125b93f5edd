#include "interned.hpp"

#include <new>

namespace vakra::ext {
namespace {

PyObject* intern(const char* text) {
  PyObject* object = PyUnicode_InternFromString(text);
  if (object == nullptr) throw std::bad_alloc();
  return object;
}

PyObject* g_numpy = nullptr;
PyObject* g_ndarray = nullptr;
PyObject* g_dtype = nullptr;

PyObject* g_string_tensor = nullptr;
PyObject* g_quantized_tensor = nullptr;

PyObject* module_attribute(PyObject*& slot, const char* module_name, const char* name) {
  if (slot == nullptr) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    slot = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
  }
  return slot;
}

PyObject* numpy_attribute(PyObject*& slot, const char* name) {
  if (slot == nullptr) {
    PyObject* numpy = numpy_module();
    if (numpy == nullptr) return nullptr;
    slot = PyObject_GetAttrString(numpy, name);
  }
  return slot;
}

}  // namespace

const InternedNames& names() {
  static const InternedNames table{
      intern("dtype"),   intern("name"),  intern("flags"), intern("c_contiguous"), intern("nbytes"),
      intern("ctypes"),  intern("data"),  intern("shape"), intern("format"),       intern("row"),
      intern("col"),     intern("indices"), intern("indptr"), intern("ascontiguousarray"), intern("isnative"), intern("_offsets"), intern("_payload"), intern("to_raw"),
  };
  return table;
}

PyObject* numpy_module() {
  if (g_numpy == nullptr) g_numpy = PyImport_ImportModule("numpy");
  return g_numpy;
}

PyObject* numpy_ndarray_type() { return numpy_attribute(g_ndarray, "ndarray"); }
PyObject* numpy_dtype_type() { return numpy_attribute(g_dtype, "dtype"); }
PyObject* string_tensor_class() { return module_attribute(g_string_tensor, "vakra.ragged", "StringTensor"); }
PyObject* quantized_tensor_class() { return module_attribute(g_quantized_tensor, "vakra.quantize", "QuantizedTensor"); }

}  // namespace vakra::ext
