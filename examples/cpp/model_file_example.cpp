// Writes a model file of 300 named tensors with the vakra codec, reopens it
// and reads one tensor by name: the record gives the name's byte range, and
// only those bytes are decoded.
//
//   model_file_example FILE   writes FILE, then prints the tensor "layer.123.weight"
//
// Entry i is "layer.<i>.weight", a float32 [4, 8] matrix holding i + k/100 at
// flat index k; the metadata is {"framework": "vakra C++ example"}.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <vakra/vakra.hpp>

namespace {

constexpr size_t kEntries = 300;
const uint32_t kShape[] = {4, 8};

vakra::Status write_model(int fd) {
  std::vector<std::string> names;
  for (size_t i = 0; i < kEntries; ++i) names.push_back("layer." + std::to_string(i) + ".weight");
  const std::vector<std::string_view> name_views(names.begin(), names.end());
  const vakra::MetadataItem metadata[] = {{"framework", "vakra C++ example"}};
  vakra::DescriptorOutput output(fd);
  auto writer = vakra::ModelFileWriter::start(output, name_views, metadata, vakra::kStandardAlignment);
  VAKRA_TRY(writer);
  std::vector<float> values(4 * 8);
  for (size_t i = 0; i < kEntries; ++i) {
    // One value at a time: the writer is done with it when write_entry returns.
    for (size_t k = 0; k < values.size(); ++k) values[k] = static_cast<float>(i) + static_cast<float>(k) / 100;
    const vakra::DenseView view{{reinterpret_cast<const uint8_t*>(values.data()), values.size() * sizeof(float)},
                                kShape, vakra::Dtype::Float32};
    auto planned = vakra::plan_dense(view, {});
    VAKRA_TRY(planned);
    vakra::PacketPlan plan{std::move(planned).value()};
    VAKRA_TRY(writer->write_entry(plan));
  }
  VAKRA_TRY(writer->finish());
  return {};
}

int fail(const std::string& what) {
  std::fprintf(stderr, "model_file_example: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: model_file_example FILE");
  const int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return fail(std::string("cannot create ") + argv[1]);
  const vakra::Status written = write_model(fd);
  ::close(fd);
  if (!written.ok()) return fail("writing: " + vakra::error_message(written.error()));

  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto record = vakra::read_model_record(file);
  if (!record.ok()) return fail("reading the record: " + vakra::error_message(record.error()));
  const auto range = record->find("layer.123.weight");
  if (!range) return fail("no entry layer.123.weight");
  const auto decoded = vakra::decode(vakra::ByteView(file).subspan(range->offset, range->length));
  if (!decoded.ok()) return fail("decoding: " + vakra::error_message(decoded.error()));
  const auto& dense = std::get<vakra::DecodedDense>(decoded->value);
  float last;
  std::memcpy(&last, dense.data.data() + dense.data.size() - sizeof last, sizeof last);
  std::printf("%zu entries; layer.123.weight: %s [%u, %u] at byte %zu, last element %.2f\n", record->names.size(),
              std::string(vakra::dtype_name(dense.dtype)).c_str(), dense.shape[0], dense.shape[1], range->offset,
              static_cast<double>(last));
  return 0;
}
