#include "arguments.hpp"

#include <climits>
#include <string>
#include <vector>

#include "errors.hpp"
#include "pyref.hpp"

namespace vakra::ext {
namespace {

std::string call_name(const FunctionSpec& function) { return std::string(function.name) + "()"; }

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<size_t>(size));
}

Raised raise_too_many_positional(const FunctionSpec& function, size_t given) {
  const size_t total = function.params.size();
  std::string message = call_name(function) + " takes ";
  if (function.required == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(function.required) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return raise(PyExc_TypeError, message);
}

Raised raise_missing(const FunctionSpec& function, std::span<PyObject*> slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < function.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(function.params[i]);
  }
  std::string message = call_name(function) + " missing " + std::to_string(missing.size()) + " required positional " +
                        (missing.size() == 1 ? "argument" : "arguments") + ": ";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    message += std::string("'") + missing[i] + "'";
  }
  return raise(PyExc_TypeError, message);
}

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

bool match_arguments(const FunctionSpec& function, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<size_t>(given) > function.params.size()) return raise_too_many_positional(function, given);
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      size_t index = 0;
      while (index < function.params.size() && PyUnicode_CompareWithASCIIString(key, function.params[index]) != 0) ++index;
      if (index == function.params.size()) {
        return raise(PyExc_TypeError, call_name(function) + " got an unexpected keyword argument '" + utf8_of(key) + "'");
      }
      if (slots[index] != nullptr) {
        return raise(PyExc_TypeError,
                     call_name(function) + " got multiple values for argument '" + function.params[index] + "'");
      }
      slots[index] = value;
    }
  }
  for (size_t i = 0; i < function.required; ++i) {
    if (slots[i] == nullptr) return raise_missing(function, slots);
  }
  return true;
}

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef type, value, traceback;
  PyErr_Fetch(type.out(), value.out(), traceback.out());
  PyErr_NormalizeException(type.inout(), value.inout(), traceback.inout());
  PyRef text = PyRef::steal(value ? PyObject_Str(value.get()) : nullptr);
  if (!text) return;
  const std::string message = std::string("argument '") + name + "': " + utf8_of(text.get());
  PyRef message_object = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), message.size()));
  if (!message_object) return;
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message_object.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(value.get())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

Raised raise_cannot_convert(PyObject* object, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  const std::string type_name = qualname ? utf8_of(qualname.get()) : "?";
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
    return raise(PyExc_TypeError, "object of type '" + utf8_of(name.get()) + "' does not define a '__bool__' conversion");
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

bool convert_encode_options(std::span<PyObject*> option_slots, EncodeOptions& options) {
  uint64_t alignment = options.alignment;
  if (!convert_param("check_integrity", option_slots[0], options.check_integrity, to_bool) ||
      !convert_param("compress", option_slots[1], options.compress, to_bool) ||
      !convert_param("alignment", option_slots[2], alignment, to_u64)) {
    return false;
  }
  options.alignment = static_cast<size_t>(alignment);
  return true;
}

bool check_alignment(const EncodeOptions& options) {
  const size_t a = options.alignment;
  if (a != 0 && (a & (a - 1)) == 0) return true;
  return raise(PyExc_ValueError, "Alignment must be a power of two");
}

}  // namespace vakra::ext
