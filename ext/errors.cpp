#include "errors.hpp"

#include <cstdio>
#include <cstdlib>

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
