// Values the roundtrip harness builds from fuzz input: owned copies of
// everything an encoder takes, so the decoded result can be compared with
// what went in.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_input.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/quantized.hpp"

namespace vakra::fuzz {

struct DenseValue {
  Dtype dtype = Dtype::Float32;
  std::vector<uint32_t> shape;
  std::vector<uint8_t> data;
  EncodeOptions options;
  DenseView view() const { return {data, shape, dtype}; }
};

struct SparseValue {
  SparseFormat format = SparseFormat::coo;
  std::vector<uint32_t> shape;
  std::array<DenseValue, 3> components;  // written with the standard options
};

struct StringValue {
  std::vector<uint64_t> offsets;  // count + 1 entries
  std::vector<uint8_t> payload;
  bool check_integrity = false;
  uint32_t count() const { return static_cast<uint32_t>(offsets.size() - 1); }
};

struct QuantizedValue {
  Dtype dtype = Dtype::Qint8;
  std::vector<uint32_t> shape;
  std::vector<uint8_t> scales;
  std::vector<uint8_t> zero_points;
  std::vector<uint8_t> data;  // may run past the value bytes; the rest is not written
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0;
  uint8_t axis = 0;
  EncodeOptions options;
  size_t value_bytes() const;
  QuantizedView view() const;
};

struct BundleValue;
struct Value;
struct BundleItemValue;

struct BundleValue {
  std::vector<BundleItemValue> entries;
};

struct Value {
  std::variant<DenseValue, SparseValue, BundleValue, StringValue, QuantizedValue> node;
};

struct BundleItemValue {
  std::string key;
  Value value;
};

// One value of any kind; nesting stops at `depth_left` == 0.
Value build_value(FuzzInput& in, int depth_left);

// `levels` single-entry bundles around a small dense leaf.
Value nested_bundles(size_t levels);

// True when a dense body anywhere in the value is LZ4-compressed.
bool contains_compressed(const Value& value);

}  // namespace vakra::fuzz
