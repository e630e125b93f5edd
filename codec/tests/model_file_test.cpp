// Model files: the writer against a file the Python writer of the release
// before this one saved (exact bytes), the record reader's refusals in its
// order, and the writer's refusals and layout at the edges (a packet of its
// own, a filler, a slot too long) through an output that never reads large
// bodies, so that views of unbacked memory stand in for 4 GiB values.
#include <cstring>
#include <map>
#include <string>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/model_file.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

Bytes from_hex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// vakra.save({"w": int16 [0, 1, 2], "d": {"s": ["ab"], "x": uint8 7 (0-d)}, "t": tied to "w"},
//            metadata={"k": "v"}, alignment=16), as the Python writer of the previous release wrote it.
const Bytes kGolden = from_hex(
    "564b524104100000050006000000666f726d61746a000000564b524104030114010001000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000120000000000000076616b7261206d6f"
    "64656c2066696c652031d34795f0b65222cd050000006e616d657373000000564b5241040301140100030000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000010000000000000002"
    "000000000000000300000000000000776474614508b5876d705800000000000000000600000072616e67657358000000564b52410482000c"
    "020003000000020000000400000000000000000000000000300200000000000016000000000000004f020000000000008200000000000000"
    "30020000000000001600000000000000bf19152378fdc3b9080000006d6574616461746167000000564b5241040301140100020000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "010000000000000002000000000000006b7674caf2adefb8812d00000000000900000066696c655f73697a652d000000564b52410482000c"
    "0000040000000000d102000000000000f3c212d741ed412e00000000000000000000000000564b5241041000000200010000007716000000"
    "564b52410480000a0100030000000400000001000200010000006482000000564b5241041000000200010000007355000000564b52410401"
    "0114010001000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000002000000000000006162000000010000007811000000564b524104800005000004000000000007");

// The bytes appended and patched, by offset; pieces of 1 MiB or more are counted, never read.
class MemoryOutput final : public ModelFileOutput {
 public:
  Status append(std::span<const ByteView> pieces) override {
    for (const ByteView piece : pieces) {
      if (piece.size() < (size_t{1} << 20)) chunks[end].assign(piece.begin(), piece.end());
      end += piece.size();
    }
    return {};
  }
  Status patch(uint64_t offset, ByteView bytes) override {
    auto chunk = std::prev(chunks.upper_bound(offset));
    std::copy(bytes.begin(), bytes.end(), chunk->second.begin() + (offset - chunk->first));
    return {};
  }
  // Everything, when nothing was left unread.
  Bytes whole() const {
    Bytes out;
    for (const auto& [at, bytes] : chunks) {
      EXPECT_EQ(at, out.size());
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
  }
  std::map<uint64_t, Bytes> chunks;
  uint64_t end = 0;
};

uint64_t wire_u64(ByteView bytes, size_t at) {
  uint64_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

PacketPlan dense_plan(ByteView data, std::span<const uint32_t> shape, Dtype dtype, size_t alignment) {
  return {plan_dense({data, shape, dtype}, {alignment, false, false}).value()};
}

TEST(ModelFile, WritesTheBytesOfTheReleaseAndReadsThemBack) {
  const std::string_view names[] = {"w", "d", "t"};
  const MetadataItem metadata[] = {{"k", "v"}};
  MemoryOutput output;
  auto writer = ModelFileWriter::start(output, names, metadata, 16);
  ASSERT_EQ(outcome(writer), "ok");
  const int16_t w[] = {0, 1, 2};
  const uint32_t three[] = {3};
  const uint8_t seven = 7;
  const uint64_t ab_offsets[] = {0, 2};
  const uint8_t ab[] = {'a', 'b'};
  PacketPlan first = dense_plan({reinterpret_cast<const uint8_t*>(w), sizeof w}, three, Dtype::Int16, 16);
  BundlePlan d;
  d.entries.push_back({ByteView(reinterpret_cast<const uint8_t*>("s"), 1), {plan_string(1, ab_offsets, ab, false).value()}});
  d.entries.push_back({ByteView(reinterpret_cast<const uint8_t*>("x"), 1), dense_plan({&seven, 1}, {}, Dtype::Uint8, 16)});
  ASSERT_TRUE(finish_bundle_plan(d).ok());
  PacketPlan second{std::move(d)};
  EXPECT_EQ(outcome(writer->write_entry(first)), "ok");
  EXPECT_EQ(outcome(writer->write_entry(second)), "ok");
  EXPECT_EQ(outcome(writer->tie_entry(0)), "ok");
  EXPECT_EQ(outcome(writer->finish()), "ok");
  EXPECT_EQ(output.whole(), kGolden);

  const auto record = read_model_record(kGolden);
  ASSERT_EQ(outcome(record), "ok");
  EXPECT_EQ(record->names, std::vector<std::string_view>(std::begin(names), std::end(names)));
  EXPECT_EQ(record->metadata, (std::vector<std::pair<std::string_view, std::string_view>>{{"k", "v"}}));
  EXPECT_EQ(record->find("t"), (ByteRange{560, 22}));
  EXPECT_EQ(record->find("x"), std::nullopt);
  const auto nested = decode(ByteView(kGolden).subspan(record->find("d")->offset, record->find("d")->length));
  ASSERT_EQ(outcome(nested), "ok");
  EXPECT_EQ(std::get<DecodedDense>(std::get<DecodedBundle>(nested->value).entries[1].value.value).data[0], 7);
}

// A record of `names`, its ranges `rows` (offsets counted from the end of the record), the file's length off by
// `size_error`, then `tail`: a model file, or a forgery of one.
Bytes forged(std::vector<std::string> names, std::vector<std::pair<uint64_t, uint64_t>> rows, Bytes tail = Bytes(8),
             int64_t size_error = 0, std::string format = std::string(kModelFileFormat), Dtype ranges_dtype = Dtype::Uint64) {
  auto strings = [](const std::vector<std::string>& items) {
    std::vector<uint64_t> offsets{0};
    std::string payload;
    for (const std::string& item : items) offsets.push_back((payload += item).size());
    return testing::encode(plan_string(static_cast<uint32_t>(items.size()), offsets,
                                       {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}, true));
  };
  auto record = [&](uint64_t shift) {
    std::vector<uint64_t> ranges;
    for (const auto& [offset, length] : rows) ranges.insert(ranges.end(), {offset + shift, length});
    const uint64_t size = shift + tail.size() + size_error;
    const uint32_t shape[] = {static_cast<uint32_t>(rows.size()), 2};
    const size_t width = element_size(ranges_dtype);
    return testing::bundle({{"format", strings({format})}, {"names", strings(names)},
                            {"ranges", testing::encode(plan_dense({{reinterpret_cast<const uint8_t*>(ranges.data()),
                                                                    width * ranges.size()}, shape, ranges_dtype}, {64, true, false}))},
                            {"metadata", strings({})},
                            {"file_size", testing::encode(plan_dense({{reinterpret_cast<const uint8_t*>(&size), 8}, {}, Dtype::Uint64},
                                                                     {64, true, false}))}});
  };
  return testing::concat(record(record(0).size()), tail);
}

TEST(ModelFile, TheRecordReaderRefusesInItsOrder) {
  const Bytes other = testing::bundle({{"format", testing::dense({1})}});
  Bytes flipped = kGolden, renamed = kGolden;
  flipped[240] ^= 1;  // in the names' checksummed payload
  renamed[14] = 'F';  // the key "format"
  const std::pair<Bytes, std::string> cases[] = {
      {forged({"a", "b"}, {{0, 4}, {4, 4}}), "ok"},
      {{}, "Packet too short"},
      {Bytes(kGolden.begin(), kGolden.begin() + 100), "Packet too short"},
      {other, kModelNotARecord},
      {renamed, kModelNotARecord},
      {flipped, "Integrity check failed: XXH3 mismatch"},
      {forged({"a"}, {{0, 4}}, Bytes(8), 0, "vakra model file 2"), kModelLayoutUnsupported},
      {forged({"a"}, {{0, 4}, {4, 4}}), kModelRecordWrongTypes},  // a row more than names
      {forged({"a"}, {{0, 4}}, Bytes(8), 0, std::string(kModelFileFormat), Dtype::Int64), kModelRecordWrongTypes},
      {Bytes(kGolden.begin(), kGolden.end() - 1), kModelFileSizeWrong},
      {forged({"a"}, {{0, 4}}, Bytes(8), 1), kModelFileSizeWrong},
      {forged({"a"}, {{uint64_t(0) - 1, 4}}), kModelRangeOutside},  // before the record's end
      {forged({"a"}, {{4, 5}}), kModelRangeOutside},
      {forged({"a"}, {{8, 0}}), "ok"},  // empty, at the very end
      {forged({"\xff"}, {{0, 4}}), kModelRecordWrongTypes},
      {forged({"a", "b", "a"}, {{0, 4}, {4, 4}, {0, 4}}), kModelNameTwice},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(outcome(read_model_record(cases[i].first)), cases[i].second) << "row " << i;
}

TEST(ModelFile, TheWriterRefusesBeforeWriting) {
  const std::string_view one[] = {"a"}, twice[] = {"a", "b", "a"}, not_utf8[] = {"\xc0"};
  const std::pair<std::span<const std::string_view>, size_t> starts[] = {{one, 48}, {one, kMaxModelAlignment * 2}, {twice, 64}, {not_utf8, 64}};
  const std::string expected[] = {"Malformed vakra packet", "Malformed vakra packet", kModelNameTwice, "Malformed vakra packet"};
  for (size_t i = 0; i < std::size(starts); ++i) {
    MemoryOutput output;
    EXPECT_EQ(outcome(ModelFileWriter::start(output, starts[i].first, {}, starts[i].second)), expected[i]) << "row " << i;
    EXPECT_EQ(output.end, 0u);
  }
  MemoryOutput output;
  auto writer = ModelFileWriter::start(output, one, {}, 64);
  EXPECT_EQ(outcome(writer->tie_entry(0)), kModelEntryOrder);  // nothing to tie to yet
  EXPECT_EQ(outcome(writer->finish()), kModelEntryOrder);      // "a" has no entry
  // A child that the padding its slot takes before the next one makes 4 GiB long, from memory never read.
  static const uint8_t backing = 0;
  const uint32_t long_shape[] = {(uint32_t{1} << 29) - 9}, one_shape[] = {1};
  BundlePlan nested;
  nested.entries.push_back({ByteView(&backing, 1), dense_plan({&backing, 8 * size_t{long_shape[0]}}, long_shape, Dtype::Float64, 64)});
  nested.entries.push_back({ByteView(&backing, 1), dense_plan({&backing, 8}, one_shape, Dtype::Float64, 64)});
  ASSERT_TRUE(finish_bundle_plan(nested).ok());
  PacketPlan value{std::move(nested)};
  const uint64_t before = output.end;
  EXPECT_EQ(outcome(writer->write_entry(value)), "Malformed vakra packet");
  ASSERT_TRUE(writer->slot_overflow());
  EXPECT_EQ(writer->slot_overflow()->path, std::vector<size_t>{0});
  EXPECT_EQ(writer->slot_overflow()->length, (uint64_t{1} << 32) + 55);
  EXPECT_EQ(output.end, before);
}

TEST(ModelFile, APacketTooLongForASlotStandsAloneAndAFillerFollowsIt) {
  const std::string_view names[] = {"big", "small"};
  MemoryOutput output;
  auto writer = ModelFileWriter::start(output, names, {}, 64);
  static const uint8_t backing[8] = {};
  const uint32_t big_shape[] = {uint32_t{1} << 29}, one_shape[] = {1};
  PacketPlan big = dense_plan({backing, size_t{8} << 29}, big_shape, Dtype::Uint64, 64);
  PacketPlan small = dense_plan({backing, 8}, one_shape, Dtype::Uint64, 64);
  ASSERT_EQ(outcome(writer->write_entry(big)), "ok");
  ASSERT_EQ(outcome(writer->write_entry(small)), "ok");
  ASSERT_EQ(outcome(writer->finish()), "ok");
  const Bytes& head = output.chunks.begin()->second;  // the record, then the big packet's header
  const auto record = decode(head, CompressedBodies::Refuse);
  ASSERT_EQ(outcome(record), "ok");
  const ByteView ranges = std::get<DecodedDense>(std::get<DecodedBundle>(record->value).entries[2].value.value).data;
  const uint64_t big_at = wire_u64(ranges, 0), small_at = wire_u64(ranges, 16);
  EXPECT_EQ(wire_u64(ranges, 8), (size_t{8} << 29) + 64);
  EXPECT_TRUE(big_at % 64 == 0 && small_at % 64 == 0);
  // After the big body: a filler (uint8, alignment 1), then the bundle holding "small".
  const auto& [tail_at, tail] = *output.chunks.rbegin();
  EXPECT_EQ(tail_at, big_at + (size_t{8} << 29) + 64);
  EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 10), testing::v4_header(FLAG_CUSTOM_ALIGN, dtype_code(Dtype::Uint8), 1));
  EXPECT_EQ(tail_at + tail.size(), output.end);
}

}  // namespace
}  // namespace vakra
