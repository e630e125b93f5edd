#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pyref.hpp"

namespace vakra::ext {
namespace {

PyObject* g_panic_type = nullptr;  // created once under the GIL, never released

constexpr const char* kPanicDoc =
    "Raised when vakra's native code fails in a way it cannot recover from.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it will\n"
    "typically propagate all the way through the stack and end the interpreter.";

constexpr const char* kGenericPanic = "vakra internal failure (no message)";

}  // namespace

Raised raise_codec_error(const CodecError& error) {
  PyErr_SetString(PyExc_ValueError, error_message(error).c_str());
  return {};
}

Raised raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return {};
}

Raised raise_errno(int error) {
  PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", error, std::strerror(error)));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return {};
}

Raised raise_from(PyObject* type, const std::string& message) {
  PyRef cause_type, cause, traceback;
  PyErr_Fetch(cause_type.out(), cause.out(), traceback.out());
  PyErr_NormalizeException(cause_type.inout(), cause.inout(), traceback.inout());
  if (cause && traceback) PyException_SetTraceback(cause.get(), traceback.get());
  raise(type, message);
  if (!cause) return {};
  PyRef new_type, value, new_traceback;
  PyErr_Fetch(new_type.out(), value.out(), new_traceback.out());
  PyErr_NormalizeException(new_type.inout(), value.inout(), new_traceback.inout());
  if (value) PyException_SetCause(value.get(), cause.release());  // steals the reference
  PyErr_Restore(new_type.release(), value.release(), new_traceback.release());
  return {};
}

void add_note(const std::string& note) {
  PyRef type, value, traceback;
  PyErr_Fetch(type.out(), value.out(), traceback.out());
  PyErr_NormalizeException(type.inout(), value.inout(), traceback.inout());
  if (value) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyRef added = text ? PyRef::steal(PyObject_CallMethod(value.get(), "add_note", "O", text.get())) : PyRef();
    if (!added) PyErr_Clear();
  }
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

std::string utf8_or(PyObject* text, const char* fallback) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(data, static_cast<size_t>(size));
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("vakra.vakra_rs.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, message != nullptr ? message : kGenericPanic);
}

}  // namespace vakra::ext
