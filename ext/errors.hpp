// How failures leave the module: codec errors as ValueError, the module's own
// broken invariants as PanicException, and C++ exceptions never past the
// entry routine.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "python_api.hpp"
#include "vakra/result.hpp"

namespace vakra::ext {

// What the raise helpers return once a Python exception is set: it converts to
// nullptr or to false, so a function of either style can `return raise(...)`.
struct Raised {
  template <class T>
  operator T*() const {  // NOLINT: implicit by design
    return nullptr;
  }
  operator bool() const { return false; }  // NOLINT: implicit by design
};

// Sets ValueError(message of the kind).
Raised raise_codec_error(const CodecError& error);

// `out = *result`, or raises the codec error and returns false.
template <class T>
bool unwrap(Result<T>&& result, T& out) {
  if (!result.ok()) {
    raise_codec_error(result.error());
    return false;
  }
  out = std::move(result).value();
  return true;
}
inline bool unwrap(Status status) {
  if (!status.ok()) raise_codec_error(status.error());
  return status.ok();
}

// Sets a Python exception of `type` with `message`.
Raised raise(PyObject* type, const std::string& message);

// OSError(error, strerror(error)): Python picks the subclass (BrokenPipeError,
// ...) and sets .errno, as os.write's errors do.
Raised raise_errno(int error);

// Replaces the pending exception with type(message), whose __cause__ it becomes.
Raised raise_from(PyObject* type, const std::string& message);

// Adds `note` to the pending exception's notes (BaseException.add_note); the
// exception stands unchanged if that fails.
void add_note(const std::string& note);

// The UTF-8 form of a str, for a message; `fallback` (and no exception
// pending) when it has none, such as a str holding a lone surrogate.
std::string utf8_or(PyObject* text, const char* fallback);

// A broken invariant of the module's own code; turned into PanicException at the boundary.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Thrown where a Python exception is already set and the whole call must end
// with it (process_objects() failing); guarded_call returns nullptr for it.
struct PythonErrorSet {};

// The PanicException type, created on first use; nullptr with an exception set on failure.
PyObject* panic_exception_type();

// Raises PanicException(message); `message` may be null for the generic text.
// Aborts with "uncaught panic at ffi boundary" if even that cannot be raised.
void raise_panic(const char* message);

// Runs an entry routine's body. C++ exceptions stop here: PythonErrorSet
// leaves its exception as it is, allocation failure becomes MemoryError,
// anything else PanicException.
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return nullptr;
}

}  // namespace vakra::ext
