// check_model: a model file written from values built of the input (up to a
// few hundred names over several bundles, ties, one alignment from 1 to
// 4096), then: every uncompressed body lies aligned in the file and the
// record reads. Then the file is damaged (bytes flipped, u32s written, cut
// short; or left as it is): its record reads or is refused, and once it
// reads, every range lies inside the file after the record and decodes to
// its value where the damage left its bytes alone (all of them, undamaged),
// or else to some value or a refusal, never a read outside the file.
#include <sys/mman.h>
#include <unistd.h>

#include <variant>

#include "value_model.hpp"
#include "vakra/model_file.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
namespace {

// Every body of the value aligned as the file is.
void align(Value& value, size_t alignment) {
  if (auto* dense = std::get_if<DenseValue>(&value.node)) dense->options.alignment = alignment;
  if (auto* quantized = std::get_if<QuantizedValue>(&value.node)) quantized->options.alignment = alignment;
  if (auto* bundle = std::get_if<BundleValue>(&value.node)) {
    for (BundleEntry& entry : bundle->entries) align(entry.value, alignment);
  }
}

// Uncompressed dense and quantized bodies below the top level (a top-level
// array is a filler) start at multiples of the alignment.
void expect_aligned(const WalkedPacket& packet, size_t at, size_t alignment, bool top) {
  const auto* dense = std::get_if<WalkedDense>(&packet.parts);
  if ((dense != nullptr && !top && !dense->compressed) || packet.kind() == PacketKind::Quantized) {
    FUZZ_CHECK((at + packet.body().offset) % alignment == 0);
  }
  if (const auto* bundle = std::get_if<WalkedBundle>(&packet.parts)) {
    for (const WalkedEntry& entry : bundle->entries) expect_aligned(entry.packet, at, alignment, false);
  }
  if (const auto* sparse = std::get_if<WalkedSparse>(&packet.parts)) {
    for (const WalkedPacket& component : sparse->components) expect_aligned(component, at, alignment, false);
  }
}

ByteView range_of(const Packet& file, ByteRange range) { return ByteView(file).subspan(range.offset, range.length); }

}  // namespace

void check_model(ByteView input) {
  FuzzInput in(input);
  const size_t alignment = size_t{1} << in.below(13);
  std::vector<Value> values(1 + in.below(4));
  for (Value& value : values) {
    value = build_value(in, 2);
    align(value, alignment);
  }
  const size_t count = (in.byte() & 1) ? 1 + in.below(8) : 250 + in.below(100);
  std::vector<std::string> names;
  std::vector<size_t> picks;  // the value of each name, or a tie to an earlier name (its index past the values)
  for (size_t i = 0; i < count; ++i) {
    names.push_back("layer." + std::to_string(i));
    const uint8_t choice = in.byte();
    picks.push_back(i > 0 && choice % 5 == 0 ? values.size() + choice % i : choice % values.size());
  }
  const std::vector<std::string_view> views(names.begin(), names.end());
  const MetadataItem metadata[] = {{"k", "v"}};

  // The codec's own descriptor output, into memory.
  const int fd = memfd_create("model", 0);
  FUZZ_CHECK(fd >= 0);
  DescriptorOutput output(fd);
  auto writer = ModelFileWriter::start(output, views, metadata, alignment);
  FUZZ_CHECK(writer.ok());
  for (const size_t pick : picks) {
    if (pick >= values.size()) {
      FUZZ_CHECK(writer->tie_entry(pick - values.size()).ok());
      continue;
    }
    PacketPlan plan = plan_value(values[pick]);
    FUZZ_CHECK(writer->write_entry(plan).ok());
  }
  const auto size = writer->finish();
  FUZZ_CHECK(size.ok());
  Packet file(*size);
  FUZZ_CHECK(pread(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()) && close(fd) == 0);
  for (size_t at = 0; at < file.size();) {
    const auto packet = walk_packet(ByteView(file).subspan(at));
    FUZZ_CHECK(packet.ok());
    expect_aligned(*packet, at, alignment, true);
    at += packet->length;
  }

  const auto record = read_model_record(file);
  FUZZ_CHECK(record.ok() && record->names == views);
  std::vector<size_t> value_of(count);
  for (size_t i = 0; i < count; ++i) value_of[i] = picks[i] < values.size() ? picks[i] : value_of[picks[i] - values.size()];

  // No edits at all leaves every range to decode to its value.
  Packet damaged = file;
  const size_t edits = in.below(5);
  for (size_t edit = 0; edit < edits; ++edit) {
    const size_t at = in.u32() % damaged.size();
    switch (in.below(3)) {
      case 0: damaged[at] ^= static_cast<uint8_t>(in.byte() | 1); break;
      case 1: for (size_t k = 0; k < 4 && at + k < damaged.size(); ++k) damaged[at + k] = in.byte(); break;
      default: damaged.resize(std::max<size_t>(at, 1)); break;
    }
  }
  // An exactly sized copy, so that AddressSanitizer sees a read past its end.
  const Packet exact(damaged.begin(), damaged.end());
  const auto reread = read_model_record(exact);
  FUZZ_CHECK(reread.ok() || edits > 0);
  if (!reread.ok()) return;
  FUZZ_CHECK(reread->names.size() == count);
  for (size_t i = 0; i < count; ++i) {
    const ByteRange range = reread->ranges[i];
    FUZZ_CHECK(range.offset >= reread->length && range.length <= exact.size() - range.offset);
    const ByteView bytes = range_of(exact, range);
    const auto decoded = decode(bytes, CompressedBodies::View);
    const bool untouched = range == record->ranges[i] && std::equal(bytes.begin(), bytes.end(), file.begin() + range.offset);
    if (untouched) {
      FUZZ_CHECK(decoded.ok());
      expect_matches(values[value_of[i]], *decoded);
    } else if (decoded.ok()) {
      walk_decoded(*decoded, bytes);
    }
  }
}

}  // namespace vakra::fuzz
