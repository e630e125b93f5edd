// Writes a dict of tensors to a file with the vakra codec and reads it back.
//
//   vakra_example FILE          writes {weights, adjacency, labels} to FILE, then reads it as below
//   vakra_example --read FILE   prints the body digest of every tensor in FILE
//
// The digest is FNV-1a over each decoded body (sparse: per component; strings:
// the offset table then the payload; quantized: scales, zero points, codes), so
// another reader of the same file can check it decoded the same bytes.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <vakra/vakra.hpp>

namespace {

using vakra::ByteView;
using vakra::Result;

// ---- writing -----------------------------------------------------------

// Sizes, allocates once, writes: the pattern every encoder follows.
template <class Size, class Write>
Result<std::vector<uint8_t>> encode_to_vector(Size size, Write write) {
  VAKRA_ASSIGN_OR_RETURN(const size_t capacity, size());
  std::vector<uint8_t> packet(capacity);
  VAKRA_ASSIGN_OR_RETURN(const size_t length, write(vakra::MutableBytes(packet)));
  packet.resize(length);  // compressed bodies come in under their bound
  return packet;
}

std::vector<uint64_t> string_offsets(const std::vector<std::string>& items, std::string& payload) {
  std::vector<uint64_t> offsets{0};
  for (const std::string& item : items) {
    payload += item;
    offsets.push_back(payload.size());
  }
  return offsets;
}

ByteView bytes_of(const void* data, size_t size) { return {static_cast<const uint8_t*>(data), size}; }

Result<std::vector<uint8_t>> encode_example() {
  // A 3 x 4 float32 matrix, with checksums on.
  std::vector<float> weights(12);
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<float>(i);
  const uint32_t weights_shape[] = {3, 4};
  const vakra::DenseView weights_view{bytes_of(weights.data(), weights.size() * sizeof(float)), weights_shape,
                                      vakra::Dtype::Float32};
  const vakra::EncodeOptions checked{.check_integrity = true};
  VAKRA_ASSIGN_OR_RETURN(
      const std::vector<uint8_t> weights_packet,
      encode_to_vector([&] { return vakra::dense_required_size(weights_view, checked); },
                       [&](vakra::MutableBytes out) { return vakra::encode_dense_into(weights_view, out, checked); }));

  // A 4 x 5 CSR matrix: values, column indices, row pointers.
  const float values[] = {1.5f, -2.0f, 3.25f, 4.0f};
  const int32_t indices[] = {0, 4, 2, 3};
  const int32_t indptr[] = {0, 2, 2, 3, 4};
  const uint32_t nnz[] = {4}, rows_plus_one[] = {5}, matrix_shape[] = {4, 5};
  const vakra::DenseView components[] = {
      {bytes_of(values, sizeof values), nnz, vakra::Dtype::Float32},
      {bytes_of(indices, sizeof indices), nnz, vakra::Dtype::Int32},
      {bytes_of(indptr, sizeof indptr), rows_plus_one, vakra::Dtype::Int32},
  };
  VAKRA_ASSIGN_OR_RETURN(
      const std::vector<uint8_t> adjacency_packet,
      encode_to_vector([&] { return vakra::sparse_required_size(matrix_shape, components); },
                       [&](vakra::MutableBytes out) {
                         return vakra::encode_sparse_into(vakra::SparseFormat::csr, matrix_shape, components, out);
                       }));

  // Three labels as one string tensor.
  std::string payload;
  const std::vector<uint64_t> offsets = string_offsets({"cat", "dog", "\xc3\xa9meu"}, payload);
  const auto count = static_cast<uint32_t>(offsets.size() - 1);
  VAKRA_ASSIGN_OR_RETURN(
      const std::vector<uint8_t> labels_packet,
      encode_to_vector([&] { return vakra::string_packet_size(count, payload.size(), true); },
                       [&](vakra::MutableBytes out) {
                         return vakra::encode_string_into(count, offsets, bytes_of(payload.data(), payload.size()),
                                                          out, true);
                       }));

  // The dict: named packets framed by one bundle header.
  const auto key = [](const char* text) { return bytes_of(text, std::strlen(text)); };
  const vakra::BundleEntry entries[] = {
      {key("weights"), weights_packet},
      {key("adjacency"), adjacency_packet},
      {key("labels"), labels_packet},
  };
  return encode_to_vector([&] { return vakra::bundle_required_size(entries); },
                          [&](vakra::MutableBytes out) { return vakra::encode_bundle_into(entries, out); });
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
vakra::Status print_digests(const vakra::Decoded& node, const std::string& path) {
  Fnv1a digest;
  if (const auto* dense = std::get_if<vakra::DecodedDense>(&node.value)) {
    if (dense->compressed) {
      // Views borrow the file's bytes; only a compressed body needs memory of its own.
      VAKRA_ASSIGN_OR_RETURN(const uint64_t count, vakra::element_count(dense->shape));
      VAKRA_ASSIGN_OR_RETURN(const vakra::OwnedBytes body,
                             vakra::lz4_decompress_frame(dense->data, count * vakra::element_size(dense->dtype)));
      digest.add(body.view());
    } else {
      digest.add(dense->data);
    }
  } else if (const auto* bundle = std::get_if<vakra::DecodedBundle>(&node.value)) {
    for (const vakra::BundleItem& item : bundle->entries) {
      VAKRA_TRY(print_digests(item.value, path.empty() ? item.key : path + "/" + item.key));
    }
    return {};
  } else if (const auto* sparse = std::get_if<vakra::DecodedSparse>(&node.value)) {
    for (size_t i = 0; i < sparse->components.size(); ++i) {
      VAKRA_TRY(print_digests(sparse->components[i], path + "/" + sparse_component_name(sparse->format, i)));
    }
    return {};
  } else if (const auto* strings = std::get_if<vakra::DecodedString>(&node.value)) {
    digest.add(strings->offsets);
    digest.add(strings->payload);
  } else if (const auto* quantized = std::get_if<vakra::DecodedQuantized>(&node.value)) {
    digest.add(quantized->scales);
    digest.add(quantized->zero_points);
    digest.add(quantized->data);
  } else {
    std::printf("%s: not read by this example\n", path.c_str());
    return {};
  }
  std::printf("%s: %016" PRIx64 "\n", path.empty() ? "(top)" : path.c_str(), digest.state);
  return {};
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
  // CompressedBodies::View hands compressed bodies over as LZ4 frames instead of refusing them.
  auto decoded = vakra::decode(*bytes, vakra::CompressedBodies::View);
  if (!decoded) return fail(path, decoded.error());
  if (auto printed = print_digests(*decoded, ""); !printed) return fail(path, printed.error());
  return 0;
}

int write_example(const char* path) {
  auto packet = encode_example();
  if (!packet) return fail(path, packet.error());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(packet->data()), static_cast<std::streamsize>(packet->size()));
  if (!out.flush()) {
    std::fprintf(stderr, "vakra_example: cannot write %s\n", path);
    return 1;
  }
  std::printf("wrote %zu bytes to %s\n", packet->size(), path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--read") == 0) return read_and_print(argv[2]);
  if (argc == 2 && argv[1][0] != '-') return write_example(argv[1]) || read_and_print(argv[1]);
  std::fprintf(stderr, "usage: vakra_example FILE | vakra_example --read FILE\n");
  return 2;
}
