// Model files: the writer against a file the Python writer of the release
// before this one saved (exact bytes), the record reader's refusals in its
// order, and the writer's refusals and a packet too long for a slot (on its
// own, a filler after it) through an output that never reads large bodies,
// so that views of unbacked memory stand in for 4 GiB values. (A child too
// long for its slot is test_model_files.py's.)
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

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
  std::map<uint64_t, Bytes> chunks;
  uint64_t end = 0;
};

ByteView bytes_of(const void* data, size_t size) { return {static_cast<const uint8_t*>(data), size}; }

PacketPlan dense_plan(ByteView data, std::span<const uint32_t> shape, Dtype dtype, size_t alignment = 64) {
  return {plan_dense({data, shape, dtype}, {alignment, false, false}).value()};
}

TEST(ModelFile, WritesTheBytesOfTheReleaseAndReadsThemBack) {
  const std::string_view u2_text = kModelFileFormatV2;
  const std::string_view names[] = {"w", "d", "t"};
  const MetadataItem metadata[] = {{"k", "v"}};
  const int16_t w[] = {0, 1, 2};
  const uint32_t three[] = {3};
  const uint8_t seven = 7;
  const uint64_t offsets[] = {0, 2};
  BundlePlan d;
  d.entries.push_back({bytes_of("s", 1), {plan_string(1, offsets, bytes_of("ab", 2), false).value()}});
  d.entries.push_back({bytes_of("x", 1), dense_plan({&seven, 1}, {}, Dtype::Uint8, 16)});
  ASSERT_TRUE(finish_bundle_plan(d).ok());
  PacketPlan values[] = {dense_plan(bytes_of(w, sizeof w), three, Dtype::Int16, 16), {std::move(d)}};
  MemoryOutput output;
  auto writer = ModelFileWriter::start(output, names, metadata, 16);
  for (PacketPlan& value : values) EXPECT_EQ(outcome(writer->write_entry(value)), "ok");
  EXPECT_EQ(outcome(writer->tie_entry(0)), "ok");
  EXPECT_EQ(outcome(writer->finish()), "ok");
  EXPECT_EQ(output.chunks, (std::map<uint64_t, Bytes>{{0, kGolden}}));

  const auto record = read_model_record(kGolden);
  ASSERT_EQ(outcome(record), "ok");
  EXPECT_EQ(record->names, std::vector<std::string_view>(std::begin(names), std::end(names)));
  EXPECT_EQ(record->metadata, (std::vector<std::pair<std::string_view, std::string_view>>{{"k", "v"}}));
  EXPECT_TRUE(record->find("t") == (ByteRange{560, 22}) && !record->find("x") && !record->tree);

  // With a tree: the second layout, the skeleton after the five fields.
  MemoryOutput with_tree;
  auto tree_writer = ModelFileWriter::start(with_tree, std::span(names).first(1), {}, 16, {}, "{\"root\":1}");
  PacketPlan w_again = dense_plan(bytes_of(w, sizeof w), three, Dtype::Int16, 16);
  EXPECT_EQ(outcome(tree_writer->write_entry(w_again)), "ok");
  EXPECT_EQ(outcome(tree_writer->finish()), "ok");
  const Bytes& tree_file = with_tree.chunks.begin()->second;
  const auto tree_record = read_model_record(tree_file);
  ASSERT_EQ(outcome(tree_record), "ok");
  EXPECT_EQ(tree_record->tree, "{\"root\":1}");
  EXPECT_NE(std::search(tree_file.begin(), tree_file.end(), u2_text.begin(), u2_text.end()), tree_file.end());
}

// A record of `names` and `rows` (offsets counted from the record's end; from the first multiple of 64 after it with
// `aligned`), the `extra` fields after the five, 8 bytes (`tail` with `aligned`) after it, the file's length off by
// `size_error`: a model file, or a forgery of one.
Bytes forged(std::vector<std::string> names, std::vector<uint64_t> rows, int64_t size_error = 0,
             std::string format = std::string(kModelFileFormat), Dtype ranges_dtype = Dtype::Uint64,
             std::vector<std::pair<std::string, Bytes>> extra = {}, bool aligned = false, size_t tail = 8) {
  auto strings = [](const std::vector<std::string>& items) {
    std::vector<uint64_t> offsets{0};
    std::string payload;
    for (const std::string& item : items) offsets.push_back((payload += item).size());
    return testing::encode(plan_string(static_cast<uint32_t>(items.size()), offsets, bytes_of(payload.data(), payload.size()), true));
  };
  auto u64s = [](std::span<const uint64_t> values, std::span<const uint32_t> shape, Dtype dtype) {
    return testing::encode(plan_dense({bytes_of(values.data(), values.size_bytes()), shape, dtype}, {64, true, false}));
  };
  auto record = [&](uint64_t length) {
    const uint64_t start = aligned ? (length + 63) / 64 * 64 : length;
    std::vector<uint64_t> ranges = rows;
    for (size_t i = 0; i < ranges.size(); i += 2) ranges[i] += start;
    const uint64_t size = start + tail + size_error;
    const uint32_t shape[] = {static_cast<uint32_t>(rows.size() / 2), 2};
    std::vector<std::pair<std::string, Bytes>> fields = {
        {"format", strings({format})}, {"names", strings(names)}, {"ranges", u64s(ranges, shape, ranges_dtype)},
        {"metadata", strings({})}, {"file_size", u64s({&size, 1}, {}, Dtype::Uint64)}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return testing::bundle(fields);
  };
  const Bytes head = record(record(0).size());
  const size_t start = aligned ? (head.size() + 63) / 64 * 64 : head.size();
  return testing::concat(testing::concat(head, Bytes(start - head.size())), Bytes(tail));
}

// The "bodies" field of `words`, as the writer writes it.
std::pair<std::string, Bytes> bodies_field(std::vector<uint64_t> words) {
  const uint32_t shape[] = {static_cast<uint32_t>(words.size())};
  return {"bodies", testing::encode(plan_dense({bytes_of(words.data(), 8 * words.size()), shape, Dtype::Uint64}, {64, true, false}))};
}

// The "tree" field of `items`, as the writer writes it (one item).
std::pair<std::string, Bytes> tree_field(std::vector<std::string> items) {
  std::vector<uint64_t> offsets{0};
  std::string payload;
  for (const std::string& item : items) offsets.push_back((payload += item).size());
  return {"tree", testing::encode(plan_string(static_cast<uint32_t>(items.size()), offsets,
                                              bytes_of(payload.data(), payload.size()), true))};
}

// A version 2 record of one name whose entry is a body described by `words`, at a multiple of 64 unless `shift`.
Bytes forged_body(std::vector<uint64_t> words, uint64_t length = 6, uint64_t shift = 0, std::string key = "bodies") {
  auto field = bodies_field(std::move(words));
  field.first = std::move(key);
  return forged({"a"}, {shift, length}, 0, std::string(kModelFileFormatV2), Dtype::Uint64, {field}, true, 64);
}

TEST(ModelFile, TheRecordReaderRefusesInItsOrder) {
  const std::string u8 = std::string(kModelFileFormat), u2 = std::string(kModelFileFormatV2);
  const std::pair<Bytes, std::string> cases[] = {
      {forged({"a", "b"}, {0, 4, 4, 4}), "ok"},
      {Bytes(kGolden.begin(), kGolden.begin() + 100), "Packet too short"},
      {testing::bundle({{"format", testing::dense({1})}}), kModelNotARecord},
      {testing::with(kGolden, 14, {'F'}), kModelNotARecord},  // the key "format"
      {testing::with(kGolden, 240, {'W'}), "Integrity check failed: XXH3 mismatch"},  // a name
      {testing::with(kGolden, 30, {0x02}), kModelRecordWrongTypes},  // "format" a ragged tensor
      {forged({"a"}, {0, 4}, 0, "vakra model file 3"), kModelLayoutUnsupported},
      {forged({"a"}, {0, 4}, 0, u2, Dtype::Uint64, {tree_field({"{}"})}), "ok"},
      {forged({"a"}, {0, 4}, 0, u2, Dtype::Uint64, {tree_field({"{}"}), tree_field({"{}"})}), kModelRecordWrongTypes},
      {forged({"a"}, {0, 4}, 0, u2, Dtype::Uint64, {tree_field({"{}", "{}"})}), kModelRecordWrongTypes},
      {forged({"a"}, {0, 4}, 0, u2, Dtype::Uint64, {tree_field({"\xff"})}), kModelRecordWrongTypes},
      {forged({"a"}, {0, 4, 4, 4}), kModelRecordWrongTypes},  // a row more than names
      {forged({"a"}, {0, 4}, 0, u8, Dtype::Int64), kModelRecordWrongTypes},
      {forged({"a"}, {0, 4}, 1), kModelFileSizeWrong},
      {forged({"a"}, {uint64_t(0) - 1, 4}), kModelRangeOutside},  // before the record's end
      {forged({"a"}, {4, 5}), kModelRangeOutside},
      {forged({"a"}, {8, 0}), "ok"},  // empty, at the very end
      {forged({"\xff"}, {0, 4}), kModelRecordWrongTypes},
      {forged({"a", "b", "a"}, {0, 4, 4, 4, 0, 4}), kModelNameTwice},
      // Version 2: a body of int16 [3], then forgeries of its description.
      {forged_body({0, dtype_code(Dtype::Int16), 1, 3}), "ok"},
      {forged({"a"}, {0, 4}, 0, std::string(kModelFileFormatV2)), "ok"},  // no optional field at all
      {forged({"a"}, {0, 4}, 0, u8, Dtype::Uint64, {bodies_field({})}), kModelRecordWrongTypes},  // version 1 has none
      {forged_body({0, dtype_code(Dtype::Int16), 1, 3}, 6, 0, "tree2"), kModelRecordWrongTypes},  // an unknown field
      {forged({"a"}, {0, 4}, 0, std::string(kModelFileFormatV2), Dtype::Uint64, {bodies_field({}), bodies_field({})}),
       kModelRecordWrongTypes},  // a field twice
      {forged_body({0, dtype_code(Dtype::Int16), 1}), kModelRecordWrongTypes},  // cut inside its dimensions
      {forged_body({1, dtype_code(Dtype::Int16), 1, 3}), kModelRecordWrongTypes},  // no such entry
      {forged_body({0, 23, 1, 3}), kModelRecordWrongTypes},  // an unknown dtype code
      {forged_body({0, dtype_code(Dtype::Qint8), 1, 6}), kModelRecordWrongTypes},  // no dense body
      {forged_body({0, dtype_code(Dtype::Int16), 33}), kModelRecordWrongTypes},  // more dimensions than arrays have
      {forged_body({0, dtype_code(Dtype::Int16), 3, 1ull << 32, 1ull << 32, 3}), kModelBodyShape},  // 2^64 x 3 elements
      {forged_body({0, dtype_code(Dtype::Int16), 2, 1ull << 31, 1ull << 32}), kModelBodyShape},  // 2^64 bytes
      {forged_body({0, dtype_code(Dtype::Int16), 2, 0, 1ull << 63}), kModelBodyShape},  // a dimension no index holds
      {forged_body({0, dtype_code(Dtype::Int16), 1, 4}), kModelBodyLength},
      {forged_body({0, dtype_code(Dtype::Int16), 1, 3}, 6, 8), kModelBodyMisaligned},
      {forged_body({0, dtype_code(Dtype::Int16), 1, 3}, 6, 60), kModelRangeOutside},  // past the end of the file
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(outcome(read_model_record(cases[i].first)), cases[i].second) << "row " << i;
}

// A body between two packets: the record says where it lies and what it holds; a tie shares it; the next packet
// opens a bundle. Writes out of turn and bodies of the wrong length are refused.
TEST(ModelFile, BodiesLieAlignedWhereTheRecordSays) {
  const std::string_view names[] = {"a", "big", "tied", "c"};
  const int16_t big[] = {1, 2, 3, 4, 5, 6};
  const uint8_t small[] = {9};
  const uint32_t one[] = {1};
  const ModelBody bodies[] = {{1, Dtype::Int16, {2, 3}}, {2, Dtype::Int16, {2, 3}}};
  MemoryOutput output;
  auto writer = ModelFileWriter::start(output, names, {}, 16, bodies);
  ASSERT_EQ(outcome(writer), "ok");
  PacketPlan a = dense_plan({small, 1}, one, Dtype::Uint8, 16), c = dense_plan({small, 1}, one, Dtype::Uint8, 16);
  EXPECT_EQ(outcome(writer->write_body(bytes_of(big, sizeof big))), kModelEntryOrder);  // "a" is a packet
  ASSERT_EQ(outcome(writer->write_entry(a)), "ok");
  EXPECT_EQ(outcome(writer->write_entry(c)), kModelEntryOrder);  // "big" is a body
  EXPECT_EQ(outcome(writer->write_body(bytes_of(big, 10))), "Malformed vakra packet");
  ASSERT_EQ(outcome(writer->write_body(bytes_of(big, sizeof big))), "ok");
  EXPECT_EQ(outcome(writer->tie_entry(0)), kModelEntryOrder);  // a body ties only to a body
  ASSERT_EQ(outcome(writer->tie_entry(1)), "ok");
  ASSERT_EQ(outcome(writer->write_entry(c)), "ok");
  const auto size = writer->finish();
  ASSERT_EQ(outcome(size), "ok");
  Bytes file(*size);
  for (const auto& [at, chunk] : output.chunks) std::copy(chunk.begin(), chunk.end(), file.begin() + at);
  const auto record = read_model_record(file);
  ASSERT_EQ(outcome(record), "ok");
  EXPECT_EQ(record->bodies, std::vector<ModelBody>(std::begin(bodies), std::end(bodies)));
  const ByteRange body = *record->find("big");
  EXPECT_TRUE(body.offset % 64 == 0 && record->find("tied") == body && record->body_of(3) == nullptr);
  EXPECT_EQ(Bytes(file.begin() + body.offset, file.begin() + body.offset + body.length), Bytes(bytes_of(big, sizeof big).begin(), bytes_of(big, sizeof big).end()));
  EXPECT_EQ(outcome(decode(ByteView(file).subspan(record->find("c")->offset, record->find("c")->length))), "ok");

  const ModelBody unordered[] = {{1, Dtype::Int16, {1}}, {1, Dtype::Int16, {1}}}, packed[] = {{0, Dtype::Qint8, {1}}};
  for (std::span<const ModelBody> refused : {std::span<const ModelBody>(unordered), std::span<const ModelBody>(packed)}) {
    MemoryOutput untouched;
    EXPECT_NE(outcome(ModelFileWriter::start(untouched, names, {}, 16, refused)), "ok");
    EXPECT_EQ(untouched.end, 0u);
  }
}

// Refusals before anything is written, and a value of 4 GiB viewing memory that is never read.
TEST(ModelFile, RefusalsAndLongPackets) {
  const std::string_view one[] = {"a"}, twice[] = {"a", "b", "a"}, not_utf8[] = {"\xc0"};
  const std::tuple<std::span<const std::string_view>, size_t, std::string> starts[] = {
      {one, 48, "Malformed vakra packet"}, {one, kMaxModelAlignment * 2, "Malformed vakra packet"},
      {twice, 64, kModelNameTwice}, {not_utf8, 64, "Malformed vakra packet"}};
  for (const auto& [names, alignment, expected] : starts) {
    MemoryOutput output;
    EXPECT_EQ(outcome(ModelFileWriter::start(output, names, {}, alignment)), expected);
    EXPECT_EQ(output.end, 0u);
  }
  static const uint8_t backing[8] = {};
  const uint32_t big_shape[] = {uint32_t{1} << 29}, one_shape[] = {1};
  MemoryOutput output;
  auto writer = ModelFileWriter::start(output, std::span(twice).first(2), {}, 64);
  EXPECT_EQ(outcome(writer->tie_entry(0)), kModelEntryOrder);  // nothing to tie to yet
  EXPECT_EQ(outcome(writer->finish()), kModelEntryOrder);
  // A packet too long for any slot stands alone; the next entry opens a bundle behind a filler.
  PacketPlan big = dense_plan({backing, size_t{8} << 29}, big_shape, Dtype::Uint64), small = dense_plan({backing, 8}, one_shape, Dtype::Uint64);
  ASSERT_EQ(outcome(writer->write_entry(big)), "ok");
  ASSERT_EQ(outcome(writer->write_entry(small)), "ok");
  ASSERT_EQ(outcome(writer->finish()), "ok");
  const auto record = decode(output.chunks.begin()->second);  // the record, then the big packet's header
  const ByteView ranges = std::get<DecodedDense>(std::get<DecodedBundle>(record->value).entries[2].value.value).data;
  uint64_t rows[4];
  std::memcpy(rows, ranges.data(), sizeof rows);
  EXPECT_TRUE(rows[0] % 64 == 0 && rows[1] == (size_t{8} << 29) + 64 && rows[2] % 64 == 0);
  const auto& [tail_at, tail] = *output.chunks.rbegin();
  EXPECT_EQ(tail_at, rows[0] + rows[1]);
  EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 10), testing::v4_header(FLAG_CUSTOM_ALIGN, dtype_code(Dtype::Uint8), 1));
}

}  // namespace
}  // namespace vakra
