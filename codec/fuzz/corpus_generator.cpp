// Writes the seed corpora: valid packets of every kind, produced by the
// codec's own encoders, for the decode and header harnesses, and input
// streams that steer the roundtrip harness to every kind and option.
//   usage: fuzz_corpus_generator <corpus directory>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "value_codec.hpp"
#include "vakra/header.hpp"

namespace fs = std::filesystem;
using namespace vakra;
using namespace vakra::fuzz;

namespace {

void write_file(const fs::path& path, const Packet& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> counting(size_t n, uint8_t start = 1) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(start + i);
  return out;
}

DenseValue dense(Dtype dtype, std::vector<uint32_t> shape, EncodeOptions options = {}) {
  uint64_t count = 1;
  for (uint32_t dim : shape) count *= dim;
  return {dtype, std::move(shape), counting(count * element_size(dtype)), options};
}

EncodeOptions options(size_t alignment, bool check_integrity, bool compress) { return {alignment, check_integrity, compress}; }

StringValue strings(bool check_integrity) { return {{0, 2, 3, 3, 8}, counting(8, 'a'), check_integrity}; }

QuantizedValue quantized(Dtype dtype, EncodeOptions opts) {
  QuantizedValue q;
  q.dtype = dtype;
  q.shape = {4, 3};
  q.scales = counting(8, 0x40);
  q.zero_points = counting(8, 0x10);
  q.data = counting(12);
  q.group_size = 4;
  q.quant_scheme = 1;
  q.axis = 255;
  q.options = opts;
  return q;
}

DenseValue int32_values(std::vector<int32_t> values) {
  std::vector<uint8_t> bytes(4 * values.size());
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return {Dtype::Int32, {static_cast<uint32_t>(values.size())}, bytes, {}};
}

// A 3 x 3 matrix whose index arrays are sound in every format.
SparseValue sparse(SparseFormat format) {
  return {format, {3, 3}, {dense(Dtype::Float64, {2}), int32_values({0, 2}), int32_values({0, 1, 2, 2})}};
}

std::vector<std::pair<std::string, Value>> packet_values() {
  std::vector<std::pair<std::string, Value>> out;
  out.push_back({"dense-float32", {dense(Dtype::Float32, {2, 3})}});
  out.push_back({"dense-scalar-float64", {dense(Dtype::Float64, {})}});
  out.push_back({"dense-empty-int8", {dense(Dtype::Int8, {4, 0})}});
  out.push_back({"dense-complex128-checksum", {dense(Dtype::Complex128, {3}, options(64, true, false))}});
  out.push_back({"dense-uint16-align1", {dense(Dtype::Uint16, {5}, options(1, false, false))}});
  out.push_back({"dense-bool-align16-checksum", {dense(Dtype::Bool, {2, 2, 2}, options(16, true, false))}});
  out.push_back({"dense-int64-compressed", {dense(Dtype::Int64, {40}, options(64, false, true))}});
  out.push_back({"dense-float16-compressed-checksum", {dense(Dtype::Float16, {8, 8}, options(128, true, true))}});
  out.push_back({"sparse-coo", {sparse(SparseFormat::coo)}});
  out.push_back({"sparse-csr", {sparse(SparseFormat::csr)}});
  out.push_back({"sparse-csc", {sparse(SparseFormat::csc)}});
  out.push_back({"string", {strings(false)}});
  out.push_back({"string-checksum", {strings(true)}});
  out.push_back({"quantized-qint8", {quantized(Dtype::Qint8, options(64, false, false))}});
  out.push_back({"quantized-quint8-checksum", {quantized(Dtype::Quint8, options(64, true, false))}});
  out.push_back({"quantized-qint4-align8", {quantized(Dtype::Qint4, options(8, false, false))}});
  out.push_back({"quantized-quint4-align1-checksum", {quantized(Dtype::Quint4, options(1, true, false))}});
  BundleValue inner;
  inner.entries.push_back({"m", {sparse(SparseFormat::csr)}});
  inner.entries.push_back({"s", {strings(true)}});
  BundleValue outer;
  outer.entries.push_back({"w", {dense(Dtype::Float32, {4})}});
  outer.entries.push_back({"q", {quantized(Dtype::Qint8, options(64, true, false))}});
  outer.entries.push_back({"nested", {std::move(inner)}});
  outer.entries.push_back({"", {BundleValue{}}});
  out.push_back({"bundle-nested", {std::move(outer)}});
  out.push_back({"bundle-empty", {BundleValue{}}});
  out.push_back({"bundle-depth-64", nested_bundles(MAX_NESTING_DEPTH)});
  return out;
}

// Kinds no encoder writes, built byte by byte.
std::vector<std::pair<std::string, Packet>> handmade_packets(const Packet& dense_packet, const Packet& string_packet) {
  std::vector<std::pair<std::string, Packet>> out;
  // Version 3: 8-byte header (one flags byte), shape [3] of int16, no alignment.
  out.push_back({"v3-dense-int16", {'V', 'K', 'R', 'A', 3, 0, 10, 1, 3, 0, 0, 0, 1, 0, 2, 0, 3, 0}});
  // Version 3, FLAG_ALIGNED: shape [2] of uint8, body at offset 64.
  Packet v3_aligned = {'V', 'K', 'R', 'A', 3, 0x01, 5, 1, 2, 0, 0, 0};
  v3_aligned.resize(64, 0);
  v3_aligned.push_back(9);
  v3_aligned.push_back(8);
  out.push_back({"v3-dense-uint8-aligned", v3_aligned});
  Packet inline_record = {'V', 'K', 'R', 'A', 4, 0x00, 0x04, 0, 0, 1};
  for (int i = 0; i < 96; ++i) inline_record.push_back(static_cast<uint8_t>(i));
  out.push_back({"inline", inline_record});
  Packet ragged = string_packet;
  ragged[5] = 0x01;
  ragged[6] = 0x02;  // FLAG_RAGGED instead of FLAG_STRING
  out.push_back({"ragged", ragged});
  Packet trailing = dense_packet;
  trailing.insert(trailing.end(), {1, 2, 3});
  out.push_back({"dense-trailing-bytes", trailing});
  return out;
}

// A deterministic byte stream for the roundtrip harness.
Packet steering(std::initializer_list<uint8_t> prefix, uint32_t seed, size_t length) {
  Packet out(prefix);
  for (size_t i = 0; i < length; ++i) {
    seed = seed * 1103515245u + 12345u;
    out.push_back(static_cast<uint8_t>(seed >> 16));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  for (const char* harness : {"decode", "header", "roundtrip", "walk"}) fs::create_directories(root / harness);

  Packet dense_packet, string_packet;
  size_t written = 0;
  for (const auto& [name, value] : packet_values()) {
    const Packet packet = encode_value(value);
    if (name == "dense-float32") dense_packet = packet;
    if (name == "string") string_packet = packet;
    for (const char* harness : {"decode", "header", "walk"}) write_file(root / harness / name, packet);
    written += 3;
  }
  for (const auto& [name, packet] : handmade_packets(dense_packet, string_packet)) {
    for (const char* harness : {"decode", "header", "walk"}) write_file(root / harness / name, packet);
    written += 3;
  }
  // First byte: 0 builds a value, 14 a bundle chain, 15 an invalid encoder
  // input; the second picks the kind (or the refusal family).
  const char* kinds[] = {"dense", "sparse", "string", "quantized", "bundle"};
  for (uint8_t kind = 0; kind < 5; ++kind) {
    for (uint32_t seed = 0; seed < 8; ++seed) {
      write_file(root / "roundtrip" / (std::string(kinds[kind]) + "-" + std::to_string(seed)),
                 steering({0, kind}, seed * 7919 + kind, 160));
      ++written;
    }
  }
  for (uint8_t levels = 0; levels < 8; ++levels) {
    write_file(root / "roundtrip" / ("nesting-" + std::to_string(60 + levels)), {14, levels});
    ++written;
  }
  for (uint8_t family = 0; family < 5; ++family) {
    for (uint8_t variant = 0; variant < 5; ++variant) {
      write_file(root / "roundtrip" / ("refusal-" + std::to_string(family) + "-" + std::to_string(variant)),
                 steering({15, family, variant}, family * 31 + variant, 8));
      ++written;
    }
  }
  std::printf("wrote %zu seeds under %s\n", written, root.c_str());
  return 0;
}
