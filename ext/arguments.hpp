// The conversion kinds shared by every entry point (signature.hpp applies
// them to arguments) and by the readers of attributes.
#pragma once

#include <cstdint>
#include <span>

#include "errors.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"
#include "vakra/dense.hpp"

namespace vakra::ext {

// Conversion kinds: each returns false with a Python exception set.
bool to_bool(PyObject* object, bool& out);
bool to_u64(PyObject* object, uint64_t& out);
bool to_c_int(PyObject* object, int& out);
bool to_u32(PyObject* object, uint32_t& out);
bool to_u8(PyObject* object, uint8_t& out);
bool to_i64(PyObject* object, int64_t& out);
// A packet size limit: None for none (kNoSizeLimit); a negative one refuses every packet.
inline constexpr int64_t kNoSizeLimit = INT64_MAX;
bool to_size_limit(PyObject* object, int64_t& out);
bool to_double(PyObject* object, double& out);
// A view of a `bytes` object's contents, valid while the object lives.
bool to_bytes(PyObject* object, ByteView& out);
// An alignment: an int that does not fit 64 bits (negative, or larger) is no
// power of two either (ValueError); whether it is one is checked by the
// caller, in its order (check_package_alignment).
bool to_alignment(PyObject* object, uint64_t& out);
// The package's `convert` callable, or None for none.
bool to_callable_or_none(PyObject* object, PyObject*& out);

// The encoder options of the trailing parameters every encoding entry point takes.
inline EncodeOptions encode_options(bool check_integrity, bool compress, uint64_t alignment) {
  return {.alignment = static_cast<size_t>(alignment), .check_integrity = check_integrity, .compress = compress};
}

// The largest body alignment the package writes. Larger ones are powers of
// two the format can record, but their padding alone would outgrow memory
// (2^63 wraps a packet's size); vakra_rs takes any power of two, as fixed.
inline constexpr uint64_t kMaxPackageAlignment = uint64_t{1} << 16;
inline constexpr const char* kPackageAlignmentText = "Alignment must be a power of two no larger than 65536";

// vakra_rs: ValueError "Alignment must be a power of two" unless it is one.
bool check_alignment(const EncodeOptions& options);
// The package: ValueError kPackageAlignmentText unless it is a power of two
// up to kMaxPackageAlignment.
bool check_package_alignment(const EncodeOptions& options);

// "'<qualname of type(object)>' object cannot be converted to '<target>'" as TypeError.
Raised raise_cannot_convert(PyObject* object, const char* target);

}  // namespace vakra::ext
