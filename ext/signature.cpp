#include "signature.hpp"

#include <string>
#include <vector>

#include "pyref.hpp"

namespace vakra::ext {
namespace {

std::string call_name(const ParamNames& function) { return std::string(function.function) + "()"; }

Raised raise_too_many_positional(const ParamNames& function, size_t given) {
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

Raised raise_missing(const ParamNames& function, std::span<PyObject*> slots) {
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

}  // namespace

bool match_arguments(const ParamNames& function, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
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
        return raise(PyExc_TypeError, call_name(function) + " got an unexpected keyword argument '" + utf8_or(key, "?") + "'");
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
  const std::string message = std::string("argument '") + name + "': " + utf8_or(text.get(), "?");
  PyRef message_object = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), message.size()));
  if (!message_object) return;
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message_object.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(value.get())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace vakra::ext
