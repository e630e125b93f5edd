// Element types: one row each in dtype.cpp's table, holding the type's
// one-byte wire code, its names, its element size and its role. A new type
// is a new enumerator here (at the end) and its row there; new wire codes
// start at 32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "vakra/result.hpp"

namespace vakra {

// Element types in table order. Codes 1 to 21 are enumerator + 1: float32
// is code 1, bytes code 21.
enum class Dtype : uint8_t {
  Float32, Int32, Float64, Int64, Uint8, Uint16, Bool, Float16, Int8, Int16,
  Uint32, Uint64, Complex64, Complex128, Bfloat16, Qint8, Quint8, Qint4, Quint4,
  String, Bytes,
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
  uint8_t element_size;                // bytes per element in a body; 0 for qint4, quint4, string and bytes
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

// Bytes per element in a body; 0 for qint4, quint4, string and bytes.
size_t element_size(Dtype dtype);

// The dense dtype whose NumPy name is `name`, if any.
std::optional<Dtype> dense_dtype_from_name(std::string_view name);

// Whether the type's elements form a dense body (false outside the enumeration).
bool is_dense(Dtype dtype);

// True for qint8, quint8, qint4 and quint4.
bool is_quantized(Dtype dtype);

}  // namespace vakra
