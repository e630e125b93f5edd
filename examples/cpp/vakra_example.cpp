// Writes a dict of tensors to a file with the vakra codec and reads it back.
//
//   vakra_example FILE          writes {weights, weights_q, adjacency, labels} to FILE, then reads it as below
//   vakra_example --read FILE   prints FILE's packet tree as `vakra info` does (the walker, no body
//                               read), then decodes its values (compressed bodies too) and prints
//                               the digest of every body
//
// The digest is FNV-1a over each decoded body (sparse: per component; strings:
// the offset table then the payload; quantized: scales, zero points, codes), so
// another reader of the same file can check it decoded the same bytes.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <vakra/vakra.hpp>

#include "tree_text.hpp"

namespace {

using vakra::ByteView;
using vakra::Result;

// ---- writing -----------------------------------------------------------

std::vector<uint64_t> string_offsets(const std::vector<std::string>& items, std::string& payload) {
  std::vector<uint64_t> offsets{0};
  for (const std::string& item : items) {
    payload += item;
    offsets.push_back(payload.size());
  }
  return offsets;
}

ByteView bytes_of(const void* data, size_t size) { return {static_cast<const uint8_t*>(data), size}; }

// Adds one planned value to a bundle plan under `key`.
template <class Plan>
vakra::Status add_entry(vakra::BundlePlan& bundle, const char* key, Result<Plan> plan) {
  VAKRA_TRY(plan);
  bundle.entries.push_back({bytes_of(key, std::strlen(key)), vakra::PacketPlan{std::move(plan).value()}});
  return {};
}

// The inputs the plan views; they must outlive it.
struct ExampleValues {
  std::vector<float> weights = std::vector<float>(12);
  uint32_t weights_shape[2] = {3, 4};
  // The weights as qint8 codes, one scale per row: weight = code * scale.
  std::vector<int8_t> codes = std::vector<int8_t>(12);
  float row_scales[3] = {}, zero_points[3] = {};
  // A 4 x 5 CSR matrix: values, column indices, row pointers.
  float values[4] = {1.5f, -2.0f, 3.25f, 4.0f};
  int32_t indices[4] = {0, 4, 2, 3};
  int32_t indptr[5] = {0, 2, 2, 3, 4};
  uint32_t nnz[1] = {4}, rows_plus_one[1] = {5}, matrix_shape[2] = {4, 5};
  std::string payload;
  std::vector<uint64_t> offsets = string_offsets({"cat", "dog", "\xc3\xa9meu"}, payload);

  ExampleValues() {
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<float>(i);
    for (size_t row = 0; row < 3; ++row) {
      const float* w = &weights[4 * row];
      const float largest = std::max({std::fabs(w[0]), std::fabs(w[1]), std::fabs(w[2]), std::fabs(w[3])});
      row_scales[row] = largest > 0 ? largest / 127 : 1;
      for (size_t i = 0; i < 4; ++i) codes[4 * row + i] = static_cast<int8_t>(std::lround(w[i] / row_scales[row]));
    }
  }
};

// Plan first, then write: every value is validated and sized while the plan
// is built, and the dict is then written in one pass.
Result<vakra::PacketPlan> plan_example(const ExampleValues& v) {
  vakra::BundlePlan bundle;
  // A 3 x 4 float32 matrix, with checksums on.
  const vakra::DenseView weights{bytes_of(v.weights.data(), v.weights.size() * sizeof(float)), v.weights_shape,
                                 vakra::Dtype::Float32};
  VAKRA_TRY(add_entry(bundle, "weights", vakra::plan_dense(weights, {.check_integrity = true})));
  const vakra::QuantizedView weights_q{.shape = v.weights_shape,
                                       .scales = bytes_of(v.row_scales, sizeof v.row_scales),
                                       .zero_points = bytes_of(v.zero_points, sizeof v.zero_points),
                                       .data = bytes_of(v.codes.data(), v.codes.size()),
                                       .quant_scheme = 1,  // per axis
                                       .axis = 0,
                                       .dtype = vakra::Dtype::Qint8};
  VAKRA_TRY(add_entry(bundle, "weights_q", vakra::plan_quantized(weights_q, {})));
  const vakra::DenseView components[] = {
      {bytes_of(v.values, sizeof v.values), v.nnz, vakra::Dtype::Float32},
      {bytes_of(v.indices, sizeof v.indices), v.nnz, vakra::Dtype::Int32},
      {bytes_of(v.indptr, sizeof v.indptr), v.rows_plus_one, vakra::Dtype::Int32},
  };
  VAKRA_TRY(add_entry(bundle, "adjacency", vakra::plan_sparse(vakra::SparseFormat::csr, v.matrix_shape, components)));
  // Three labels as one string tensor.
  const auto count = static_cast<uint32_t>(v.offsets.size() - 1);
  VAKRA_TRY(add_entry(bundle, "labels",
                      vakra::plan_string(count, v.offsets, bytes_of(v.payload.data(), v.payload.size()), true)));
  VAKRA_TRY(vakra::finish_bundle_plan(bundle));
  return vakra::PacketPlan{std::move(bundle)};
}

// ---- reading -----------------------------------------------------------

struct Fnv1a {
  uint64_t state = 0xcbf29ce484222325;
  void add(ByteView bytes) {
    for (uint8_t byte : bytes) state = (state ^ byte) * 0x100000001b3;
  }
};

const char* sparse_component_name(vakra::SparseFormat format, size_t index) {
  static const char* const coo[] = {"data", "row", "col"};
  static const char* const compressed[] = {"data", "indices", "indptr"};
  return format == vakra::SparseFormat::coo ? coo[index] : compressed[index];
}

// One line per body: its path in the tree and the digest of its decoded bytes.
void print_digests(const vakra::Decoded& node, const std::string& path) {
  Fnv1a digest;
  if (const auto* dense = std::get_if<vakra::DecodedDense>(&node.value)) {
    digest.add(dense->data);
  } else if (const auto* bundle = std::get_if<vakra::DecodedBundle>(&node.value)) {
    for (const vakra::BundleItem& item : bundle->entries) {
      print_digests(item.value, path.empty() ? item.key : path + "/" + item.key);
    }
    return;
  } else if (const auto* sparse = std::get_if<vakra::DecodedSparse>(&node.value)) {
    for (size_t i = 0; i < sparse->components.size(); ++i) {
      print_digests(sparse->components[i], path + "/" + sparse_component_name(sparse->format, i));
    }
    return;
  } else if (const auto* strings = std::get_if<vakra::DecodedString>(&node.value)) {
    digest.add(strings->offsets);
    digest.add(strings->payload);
  } else if (const auto* quantized = std::get_if<vakra::DecodedQuantized>(&node.value)) {
    digest.add(quantized->scales);
    digest.add(quantized->zero_points);
    digest.add(quantized->data);
  } else {
    std::printf("%s: not read by this example\n", path.c_str());
    return;
  }
  std::printf("%s: %016" PRIx64 "\n", path.empty() ? "(top)" : path.c_str(), digest.state);
}

std::optional<std::vector<uint8_t>> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int fail(const char* path, const vakra::CodecError& error) {
  // The same text Python's ValueError carries for the same bytes.
  std::fprintf(stderr, "vakra_example: %s: %s\n", path, vakra::error_message(error).c_str());
  return 1;
}

int read_and_print(const char* path) {
  const std::optional<std::vector<uint8_t>> bytes = read_file(path);
  if (!bytes) {
    std::fprintf(stderr, "vakra_example: cannot read %s\n", path);
    return 1;
  }
  // The walker reads only the framing: headers, shapes, lengths.
  auto walked = vakra::walk_packet(*bytes);
  if (!walked) return fail(path, walked.error());
  for (const std::string& line : render_tree(*walked, *bytes, path)) std::printf("%s\n", line.c_str());

  // The values in one call: every body in memory of the result's own, compressed ones decompressed.
  auto decoded = vakra::decode_owned(*bytes);
  if (!decoded) return fail(path, decoded.error());
  print_digests(decoded->value, "");
  return 0;
}

// The packet goes out as its segment list: the headers the list owns and the
// bodies straight from the values' memory (writev(2) takes the same list).
int write_example(const char* path) {
  const ExampleValues values;
  auto plan = plan_example(values);
  if (!plan) return fail(path, plan.error());
  const vakra::SegmentList segments = vakra::plan_segments(*plan);
  std::ofstream out(path, std::ios::binary);
  for (const vakra::Segment& segment : segments.segments()) {
    out.write(reinterpret_cast<const char*>(segment.bytes.data()), static_cast<std::streamsize>(segment.bytes.size()));
  }
  if (!out.flush()) {
    std::fprintf(stderr, "vakra_example: cannot write %s\n", path);
    return 1;
  }
  std::printf("wrote %zu bytes to %s\n", segments.size(), path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--read") == 0) return read_and_print(argv[2]);
  if (argc == 2 && argv[1][0] != '-') return write_example(argv[1]) || read_and_print(argv[1]);
  std::fprintf(stderr, "usage: vakra_example FILE | vakra_example --read FILE\n");
  return 2;
}
