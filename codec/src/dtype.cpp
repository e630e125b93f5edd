// The Dtype table: wire codes, NumPy names and dense element sizes.
#include "vakra/dtype.hpp"

#include <array>

namespace vakra {
namespace {

struct DtypeRow {
  std::string_view name;
  uint8_t element_size;  // 0: no fixed size in a dense body
};

constexpr std::array<DtypeRow, kMaxDtypeCode> kTable = {{
    {"float32", 4}, {"int32", 4},  {"float64", 8}, {"int64", 8},     {"uint8", 1},      {"uint16", 2},
    {"bool", 1},    {"float16", 2}, {"int8", 1},   {"int16", 2},     {"uint32", 4},     {"uint64", 8},
    {"complex64", 8}, {"complex128", 16}, {"bfloat16", 2}, {"qint8", 1}, {"quint8", 1}, {"qint4", 0},
    {"quint4", 0},  {"string", 0},  {"bytes", 0},
}};

constexpr uint8_t kDenseCodes = 15;  // codes 1 to 15 come from NumPy arrays

}  // namespace

Result<Dtype> dtype_from_code(uint8_t code) {
  if (code == 0 || code > kMaxDtypeCode) return make_error(ErrorKind::UnknownDtype, code);
  return static_cast<Dtype>(code - 1);
}

std::string_view dtype_name(Dtype dtype) { return kTable[static_cast<size_t>(dtype)].name; }

size_t element_size(Dtype dtype) { return kTable[static_cast<size_t>(dtype)].element_size; }

std::optional<Dtype> dense_dtype_from_name(std::string_view name) {
  for (uint8_t i = 0; i < kDenseCodes; ++i) {
    if (kTable[i].name == name) return static_cast<Dtype>(i);
  }
  return std::nullopt;
}

}  // namespace vakra
