// Element types: one row each in dtype.cpp's table, holding the type's
// one-byte wire code, its names, its element size and its role. A new type
// is a new enumerator here (at the end) and its row there; new wire codes
// start at 32 (codes 22 to 31 stay unused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "vakra/result.hpp"

namespace vakra {

// Element types in table order. Codes 1 to 21 are enumerator + 1: float32
// is code 1, bytes code 21; the low-precision floats after them have codes
// from 32 on.
enum class Dtype : uint8_t {
  Float32, Int32, Float64, Int64, Uint8, Uint16, Bool, Float16, Int8, Int16,
  Uint32, Uint64, Complex64, Complex128, Bfloat16, Qint8, Quint8, Qint4, Quint4,
  String, Bytes, Float8E4m3fn, Float8E5m2, Float8E4m3fnuz, Float8E5m2fnuz, Float8E8m0fnu,
  Float4E2m1fn,
};

// What packets a type's code appears in.
enum class DtypeRole : uint8_t {
  Dense,       // the elements of a dense body (and of sparse components)
  Quantized,   // the codes of a quantized packet
  StringItem,  // the items of a string tensor
};

// One row of the table.
struct DtypeInfo {
  Dtype dtype;
  uint8_t code;                        // on the wire
  std::string_view name;               // NumPy's name ("float32", ..., "qint8", "string", "bytes")
  uint8_t element_size;                // bytes per element in a body (per unit for packed types); 0 for
                                       // qint4, quint4, string and bytes
  uint8_t unit_elements;               // elements packed in one unit of element_size bytes: 2 for float4, else 1
  DtypeRole role;
  std::string_view torch_name;         // torch's dtype attribute; empty where torch has none
  std::string_view safetensors_name;   // safetensors' dtype; empty where it has none
  std::string_view ml_dtypes_name;     // ml_dtypes' type; empty where it has none
  bool needs_ml_dtypes;                // NumPy names it only once ml_dtypes is imported
};

// Every row, in enumerator order.
std::span<const DtypeInfo> dtype_table();

// The row of `dtype`; nullptr for a value outside the enumeration (a cast
// from a bad integer).
const DtypeInfo* find_dtype_info(Dtype dtype);

// The wire code of `dtype` (0 outside the enumeration).
uint8_t dtype_code(Dtype dtype);

// Validates a wire code: a code with no row is UnknownDtype carrying it.
Result<Dtype> dtype_from_code(uint8_t code);

// NumPy's name of the type.
std::string_view dtype_name(Dtype dtype);

// Bytes per element in a body (per packed unit); 0 for qint4, quint4, string and bytes.
size_t element_size(Dtype dtype);

// The length of a dense body of `dtype` in `shape`: every decoder and
// encoder derives it here. Packed types (float4: two elements per byte, the
// first in the low nibble) hold whole units along the last dimension, so
// that dimension must be a multiple of the unit and a 0-d array is refused.
// TooManyElements (the element-count rule), UnknownDtype for a type without
// a dense body, Malformed for a shape a packed type cannot fill.
Result<uint64_t> dense_body_length(Dtype dtype, std::span<const uint32_t> shape);

// The dense dtype whose NumPy name is `name`, if any.
std::optional<Dtype> dense_dtype_from_name(std::string_view name);

// Whether the type's elements form a dense body (false outside the enumeration).
bool is_dense(Dtype dtype);

// True for qint8, quint8, qint4 and quint4.
bool is_quantized(Dtype dtype);

}  // namespace vakra
