// The Dtype table: one row per element type.
#include "vakra/dtype.hpp"

#include <array>

#include "vakra/header.hpp"

namespace vakra {
namespace {

using enum DtypeRole;

// dtype, code, NumPy name, element size, elements per unit, role, torch, safetensors, ml_dtypes, needs ml_dtypes.
// float4 arrays are one element per byte in NumPy (ml_dtypes) and two per byte
// on the wire and in torch (float4_e2m1fn_x2) and safetensors (F4).
constexpr auto kTable = std::to_array<DtypeInfo>({
    {Dtype::Float32, 1, "float32", 4, 1, Dense, "float32", "F32", "", false},
    {Dtype::Int32, 2, "int32", 4, 1, Dense, "int32", "I32", "", false},
    {Dtype::Float64, 3, "float64", 8, 1, Dense, "float64", "F64", "", false},
    {Dtype::Int64, 4, "int64", 8, 1, Dense, "int64", "I64", "", false},
    {Dtype::Uint8, 5, "uint8", 1, 1, Dense, "uint8", "U8", "", false},
    {Dtype::Uint16, 6, "uint16", 2, 1, Dense, "uint16", "U16", "", false},
    {Dtype::Bool, 7, "bool", 1, 1, Dense, "bool", "BOOL", "", false},
    {Dtype::Float16, 8, "float16", 2, 1, Dense, "float16", "F16", "", false},
    {Dtype::Int8, 9, "int8", 1, 1, Dense, "int8", "I8", "", false},
    {Dtype::Int16, 10, "int16", 2, 1, Dense, "int16", "I16", "", false},
    {Dtype::Uint32, 11, "uint32", 4, 1, Dense, "uint32", "U32", "", false},
    {Dtype::Uint64, 12, "uint64", 8, 1, Dense, "uint64", "U64", "", false},
    {Dtype::Complex64, 13, "complex64", 8, 1, Dense, "complex64", "C64", "", false},
    {Dtype::Complex128, 14, "complex128", 16, 1, Dense, "complex128", "", "", false},
    {Dtype::Bfloat16, 15, "bfloat16", 2, 1, Dense, "bfloat16", "BF16", "bfloat16", true},
    {Dtype::Qint8, 16, "qint8", 1, 1, Quantized, "", "", "", false},
    {Dtype::Quint8, 17, "quint8", 1, 1, Quantized, "", "", "", false},
    {Dtype::Qint4, 18, "qint4", 0, 1, Quantized, "", "", "", false},
    {Dtype::Quint4, 19, "quint4", 0, 1, Quantized, "", "", "", false},
    {Dtype::String, 20, "string", 0, 1, StringItem, "", "", "", false},
    {Dtype::Bytes, 21, "bytes", 0, 1, StringItem, "", "", "", false},
    {Dtype::Float8E4m3fn, 32, "float8_e4m3fn", 1, 1, Dense, "float8_e4m3fn", "F8_E4M3", "float8_e4m3fn", true},
    {Dtype::Float8E5m2, 33, "float8_e5m2", 1, 1, Dense, "float8_e5m2", "F8_E5M2", "float8_e5m2", true},
    {Dtype::Float8E4m3fnuz, 34, "float8_e4m3fnuz", 1, 1, Dense, "float8_e4m3fnuz", "F8_E4M3FNUZ", "float8_e4m3fnuz",
     true},
    {Dtype::Float8E5m2fnuz, 35, "float8_e5m2fnuz", 1, 1, Dense, "float8_e5m2fnuz", "F8_E5M2FNUZ", "float8_e5m2fnuz",
     true},
    {Dtype::Float8E8m0fnu, 36, "float8_e8m0fnu", 1, 1, Dense, "float8_e8m0fnu", "F8_E8M0", "float8_e8m0fnu", true},
    {Dtype::Float4E2m1fn, 37, "float4_e2m1fn", 1, 2, Dense, "float4_e2m1fn_x2", "F4", "float4_e2m1fn", true},
});

// Rows are looked up by enumerator; codes are unique, 1 to 21 or from 32
// on (0, 22 to 31 and 255 are never types); a unit holds at least one element.
constexpr bool rows_in_order() {
  std::array<bool, 256> taken{};
  for (size_t i = 0; i < kTable.size(); ++i) {
    const DtypeInfo& row = kTable[i];
    const bool code_free = row.code != 0 && (row.code <= 21 || row.code >= 32) && row.code != 255;
    if (static_cast<size_t>(row.dtype) != i || !code_free || taken[row.code] || row.unit_elements == 0) return false;
    taken[row.code] = true;
  }
  return true;
}
static_assert(rows_in_order(), "one row per Dtype, in enumerator order, with unique codes outside 0, 22-31, 255");

// The row index of each wire code, kNoRow where there is none.
constexpr uint8_t kNoRow = 0xFF;
constexpr std::array<uint8_t, 256> kRowOfCode = [] {
  std::array<uint8_t, 256> rows{};
  rows.fill(kNoRow);
  for (size_t i = 0; i < kTable.size(); ++i) rows[kTable[i].code] = static_cast<uint8_t>(i);
  return rows;
}();

}  // namespace

std::span<const DtypeInfo> dtype_table() { return kTable; }

const DtypeInfo* find_dtype_info(Dtype dtype) {
  const auto index = static_cast<size_t>(dtype);
  return index < kTable.size() ? &kTable[index] : nullptr;
}

uint8_t dtype_code(Dtype dtype) {
  const DtypeInfo* facts = find_dtype_info(dtype);
  return facts != nullptr ? facts->code : 0;
}

Result<Dtype> dtype_from_code(uint8_t code) {
  const uint8_t row = kRowOfCode[code];
  if (row == kNoRow) return make_error(ErrorKind::UnknownDtype, code);
  return kTable[row].dtype;
}

std::string_view dtype_name(Dtype dtype) { return kTable[static_cast<size_t>(dtype)].name; }

size_t element_size(Dtype dtype) { return kTable[static_cast<size_t>(dtype)].element_size; }

Result<uint64_t> dense_body_length(Dtype dtype, std::span<const uint32_t> shape) {
  VAKRA_ASSIGN_OR_RETURN(const uint64_t count, element_count(shape));
  // A quantized or string code would be read back as that kind, and a Dtype
  // outside the enumeration (a cast from a bad integer) has no row at all.
  VAKRA_RETURN_IF(!is_dense(dtype), make_error(ErrorKind::UnknownDtype, dtype_code(dtype)));
  const DtypeInfo& row = kTable[static_cast<size_t>(dtype)];
  if (row.unit_elements != 1) {
    VAKRA_RETURN_IF(shape.empty() || shape.back() % row.unit_elements != 0, make_error(ErrorKind::Malformed));
  }
  // count <= 10^9 and element_size <= 16: the product cannot overflow.
  return count / row.unit_elements * row.element_size;
}

std::optional<Dtype> dense_dtype_from_name(std::string_view name) {
  for (const DtypeInfo& row : kTable) {
    if (row.role == DtypeRole::Dense && row.name == name) return row.dtype;
  }
  return std::nullopt;
}

bool is_dense(Dtype dtype) {
  const DtypeInfo* facts = find_dtype_info(dtype);
  return facts != nullptr && facts->role == DtypeRole::Dense;
}

bool is_quantized(Dtype dtype) {
  const DtypeInfo* facts = find_dtype_info(dtype);
  return facts != nullptr && facts->role == DtypeRole::Quantized;
}

}  // namespace vakra
