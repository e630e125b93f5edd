// Values the harnesses build from fuzz input: owned copies of everything an
// encoder takes, so a decoded result can be compared with what went in.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <variant>

#include "fuzz_support.hpp"
#include "vakra/dense.hpp"
#include "vakra/plan.hpp"
#include "vakra/quantized.hpp"

namespace vakra::fuzz {

using Packet = std::vector<uint8_t>;

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
};

struct QuantizedValue {
  Dtype dtype = Dtype::Qint8;
  std::vector<uint32_t> shape;
  std::vector<uint8_t> scales, zero_points, data;  // data may run past the value bytes; the rest is not written
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0, axis = 0;
  EncodeOptions options;
  size_t value_bytes() const;
};

struct BundleEntry;
struct BundleValue {
  std::vector<BundleEntry> entries;
};
struct Value {
  std::variant<DenseValue, SparseValue, BundleValue, StringValue, QuantizedValue> node;
};
struct BundleEntry {
  std::string key;
  Value value;
};

// One value of any kind; nesting stops at `depth_left` == 0.
Value build_value(FuzzInput& in, int depth_left);

// True when a dense body anywhere in the value is LZ4-compressed.
bool contains_compressed(const Value& value);

// Runs `write` into a span of `required` bytes followed by guard bytes and
// checks that it writes exactly `required` bytes and nothing past them; then
// into one byte less (BufferTooSmall, nothing written).
Packet write_checked(size_t required, const std::function<Result<size_t>(MutableBytes)>& write);

// The packet of a value: each leaf written by its own plan, bundles framing
// their children's finished packets.
Packet encode_value(const Value& value);

// The same value as one nested plan.
PacketPlan plan_value(const Value& value);

// Aborts unless `decoded` carries exactly `value`. Compressed bodies appear
// only with CompressedBodies::View and are decompressed for the comparison;
// decode_owned's tree holds them decompressed.
void expect_matches(const Value& value, const Decoded& decoded);

}  // namespace vakra::fuzz
