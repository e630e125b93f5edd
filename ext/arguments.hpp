// Argument matching from one static description per function, and the
// conversion kinds shared by every entry point.
#pragma once

#include <cstdint>
#include <span>

#include "errors.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"
#include "vakra/dense.hpp"

namespace vakra::ext {

struct FunctionSpec {
  const char* name;                    // "dumps_rs"
  std::span<const char* const> params;  // all positional-or-keyword, required first
  size_t required;
};

// Assigns positional and keyword arguments to `slots` (one per parameter,
// borrowed, nullptr when absent). Produces the interpreter-style TypeErrors.
bool match_arguments(const FunctionSpec& function, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// Conversion kinds: each returns false with a Python exception set.
bool to_bool(PyObject* object, bool& out);
bool to_u64(PyObject* object, uint64_t& out);
bool to_c_int(PyObject* object, int& out);
bool to_u32(PyObject* object, uint32_t& out);
bool to_u8(PyObject* object, uint8_t& out);
bool to_i64(PyObject* object, int64_t& out);
bool to_double(PyObject* object, double& out);
// A view of a `bytes` object's contents, valid while the object lives.
bool to_bytes(PyObject* object, ByteView& out);

// Rewrites a pending TypeError as "argument '<name>': <message>"; other exceptions are left alone.
void prefix_argument_error(const char* name);

// Converts a matched parameter, leaving `out` at its default when absent. A
// TypeError becomes "argument '<name>': <message>", keeping its cause.
template <class T>
bool convert_param(const char* name, PyObject* slot, T& out, bool (*convert)(PyObject*, T&)) {
  if (slot == nullptr) return true;
  if (convert(slot, out)) return true;
  prefix_argument_error(name);
  return false;
}

// The three trailing encoder parameters, check_integrity, compress and
// alignment, converted in that order into `options` (absent ones keep theirs).
bool convert_encode_options(std::span<PyObject*> option_slots, EncodeOptions& options);

// ValueError "Alignment must be a power of two" unless it is one.
bool check_alignment(const EncodeOptions& options);

// "'<qualname of type(object)>' object cannot be converted to '<target>'" as TypeError.
Raised raise_cannot_convert(PyObject* object, const char* target);

}  // namespace vakra::ext
