#include "arguments.hpp"

#include <climits>
#include <string>

#include "errors.hpp"
#include "pyref.hpp"

namespace vakra::ext {
namespace {

bool in_range(long value, long low, long high) {
  if (value >= low && value <= high) return true;
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

bool read_long(PyObject* object, long& out) {
  out = PyLong_AsLong(object);
  return !(out == -1 && PyErr_Occurred());
}

}  // namespace

Raised raise_cannot_convert(PyObject* object, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  const std::string type_name = qualname ? utf8_or(qualname.get(), "?") : "?";
  if (!qualname) PyErr_Clear();
  return raise(PyExc_TypeError, "'" + type_name + "' object cannot be converted to '" + target + "'");
}

bool to_bool(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  // NumPy's bool scalar (numpy.bool_ / numpy.bool) converts through its own __bool__.
  PyTypeObject* type = Py_TYPE(object);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) PyErr_Clear();
  const bool numpy_bool = module && PyUnicode_Check(module.get()) &&
                          PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 && name &&
                          (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  if (!numpy_bool) return raise_cannot_convert(object, "PyBool");
  PyRef method = PyRef::steal(PyObject_GetAttrString(object, "__bool__"));
  if (!method) {
    PyErr_Clear();
    return raise(PyExc_TypeError, "object of type '" + utf8_or(name.get(), "?") + "' does not define a '__bool__' conversion");
  }
  PyRef result = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!result) return false;
  if (result.get() != Py_True && result.get() != Py_False) return raise_cannot_convert(result.get(), "PyBool");
  out = result.get() == Py_True;
  return true;
}

bool to_u64(PyObject* object, uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  out = PyLong_AsUnsignedLongLong(object);
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool to_c_int(PyObject* object, int& out) {
  long value = 0;
  if (!read_long(object, value) || !in_range(value, INT_MIN, INT_MAX)) return false;
  out = static_cast<int>(value);
  return true;
}

bool to_u32(PyObject* object, uint32_t& out) {
  long value = 0;
  if (!read_long(object, value) || !in_range(value, 0, 4294967295L)) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool to_u8(PyObject* object, uint8_t& out) {
  long value = 0;
  if (!read_long(object, value) || !in_range(value, 0, 255)) return false;
  out = static_cast<uint8_t>(value);
  return true;
}

bool to_i64(PyObject* object, int64_t& out) {
  long value = 0;
  if (!read_long(object, value)) return false;
  out = value;
  return true;
}

bool to_size_limit(PyObject* object, int64_t& out) {
  if (object == Py_None) {
    out = kNoSizeLimit;
    return true;
  }
  return to_i64(object, out);
}

bool to_double(PyObject* object, double& out) {
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_bytes(PyObject* object, ByteView& out) {
  if (!PyBytes_Check(object)) return raise_cannot_convert(object, "PyBytes");
  char* data = PyBytes_AsString(object);
  if (data == nullptr) return false;
  out = ByteView(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(PyBytes_Size(object)));
  return true;
}

bool to_alignment(PyObject* object, uint64_t& out) {
  if (to_u64(object, out)) return true;
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyErr_Clear();
  return raise(PyExc_ValueError, kPackageAlignmentText);
}

bool to_callable_or_none(PyObject* object, PyObject*& out) {
  if (object != Py_None && PyCallable_Check(object) == 0) return raise(PyExc_TypeError, "expected a callable or None");
  out = object;
  return true;
}

namespace {

bool is_power_of_two(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

bool check_alignment(const EncodeOptions& options) {
  if (is_power_of_two(options.alignment)) return true;
  return raise(PyExc_ValueError, "Alignment must be a power of two");
}

bool check_package_alignment(const EncodeOptions& options) {
  if (is_power_of_two(options.alignment) && options.alignment <= kMaxPackageAlignment) return true;
  return raise(PyExc_ValueError, kPackageAlignmentText);
}

}  // namespace vakra::ext
