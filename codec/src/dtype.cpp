// The Dtype table: one row per element type.
#include "vakra/dtype.hpp"

#include <array>

namespace vakra {
namespace {

using enum DtypeRole;

// dtype, code, NumPy name, element size, role, torch, safetensors, ml_dtypes, needs ml_dtypes.
constexpr auto kTable = std::to_array<DtypeInfo>({
    {Dtype::Float32, 1, "float32", 4, Dense, "float32", "F32", "", false},
    {Dtype::Int32, 2, "int32", 4, Dense, "int32", "I32", "", false},
    {Dtype::Float64, 3, "float64", 8, Dense, "float64", "F64", "", false},
    {Dtype::Int64, 4, "int64", 8, Dense, "int64", "I64", "", false},
    {Dtype::Uint8, 5, "uint8", 1, Dense, "uint8", "U8", "", false},
    {Dtype::Uint16, 6, "uint16", 2, Dense, "uint16", "U16", "", false},
    {Dtype::Bool, 7, "bool", 1, Dense, "bool", "BOOL", "", false},
    {Dtype::Float16, 8, "float16", 2, Dense, "float16", "F16", "", false},
    {Dtype::Int8, 9, "int8", 1, Dense, "int8", "I8", "", false},
    {Dtype::Int16, 10, "int16", 2, Dense, "int16", "I16", "", false},
    {Dtype::Uint32, 11, "uint32", 4, Dense, "uint32", "U32", "", false},
    {Dtype::Uint64, 12, "uint64", 8, Dense, "uint64", "U64", "", false},
    {Dtype::Complex64, 13, "complex64", 8, Dense, "complex64", "C64", "", false},
    {Dtype::Complex128, 14, "complex128", 16, Dense, "complex128", "", "", false},
    {Dtype::Bfloat16, 15, "bfloat16", 2, Dense, "bfloat16", "BF16", "bfloat16", true},
    {Dtype::Qint8, 16, "qint8", 1, Quantized, "", "", "", false},
    {Dtype::Quint8, 17, "quint8", 1, Quantized, "", "", "", false},
    {Dtype::Qint4, 18, "qint4", 0, Quantized, "", "", "", false},
    {Dtype::Quint4, 19, "quint4", 0, Quantized, "", "", "", false},
    {Dtype::String, 20, "string", 0, StringItem, "", "", "", false},
    {Dtype::Bytes, 21, "bytes", 0, StringItem, "", "", "", false},
});

// Rows are looked up by enumerator, and codes are unique and never 0.
constexpr bool rows_in_order() {
  std::array<bool, 256> taken{};
  for (size_t i = 0; i < kTable.size(); ++i) {
    if (static_cast<size_t>(kTable[i].dtype) != i || kTable[i].code == 0 || taken[kTable[i].code]) return false;
    taken[kTable[i].code] = true;
  }
  return true;
}
static_assert(rows_in_order(), "one row per Dtype, in enumerator order, with unique non-zero codes");

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
