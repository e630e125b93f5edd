// Element types and their one-byte wire codes (code = enumerator + 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vakra/result.hpp"

namespace vakra {

// Element types in wire-code order: float32 is code 1, bytes code 21. Codes
// 1 to 15 are dense element types, 16 to 19 quantized codes, 20 and 21 the
// item types of string tensors.
enum class Dtype : uint8_t {
  Float32, Int32, Float64, Int64, Uint8, Uint16, Bool, Float16, Int8, Int16,
  Uint32, Uint64, Complex64, Complex128, Bfloat16, Qint8, Quint8, Qint4, Quint4,
  String, Bytes,
};

inline constexpr uint8_t kMaxDtypeCode = 21;  // the highest valid wire code

// The wire code of `dtype` (1 to 21).
constexpr uint8_t dtype_code(Dtype dtype) { return static_cast<uint8_t>(static_cast<uint8_t>(dtype) + 1); }

// Validates a wire code: 0 or above 21 is UnknownDtype carrying the code.
Result<Dtype> dtype_from_code(uint8_t code);

// The name NumPy knows the type by ("float32", ..., "qint8", "string", "bytes").
std::string_view dtype_name(Dtype dtype);

// Bytes per element in a dense body; 0 for qint4, quint4, string and bytes.
size_t element_size(Dtype dtype);

// The dense dtype (codes 1 to 15) whose NumPy name is `name`, if any.
std::optional<Dtype> dense_dtype_from_name(std::string_view name);

// True for qint8, quint8, qint4 and quint4.
constexpr bool is_quantized(Dtype dtype) { return dtype >= Dtype::Qint8 && dtype <= Dtype::Quint4; }

}  // namespace vakra
