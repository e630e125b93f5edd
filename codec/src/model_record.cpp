// The record reader of model files: the one place that decides whether a
// file's first packet is a sound record of that very file.
#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <variant>

#include "hash_internal.hpp"
#include "model_bodies_internal.hpp"
#include "model_record_keys_internal.hpp"
#include "utf8_internal.hpp"
#include "vakra/decode.hpp"
#include "vakra/model_file.hpp"
#include "vakra/walk.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

using model::kRecordKeys;

std::string_view text_of(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// A bundle whose first entries are the record's five keys, in order (what
// follows them is the format's to allow).
bool framed_as_record(const WalkedPacket& packet, ByteView file) {
  const auto* bundle = std::get_if<WalkedBundle>(&packet.parts);
  if (bundle == nullptr || bundle->entries.size() < kRecordKeys.size()) return false;
  for (size_t i = 0; i < kRecordKeys.size(); ++i) {
    const ByteRange key = bundle->entries[i].key;
    if (text_of(file.subspan(key.offset, key.length)) != kRecordKeys[i]) return false;
  }
  return true;
}

// Ragged tensors and Inline records are carried, not read: a record holding
// one anywhere has entries of the wrong kinds.
bool holds_unread_kind(const Decoded& decoded) {
  if (std::holds_alternative<DecodedRagged>(decoded.value) || std::holds_alternative<DecodedInline>(decoded.value)) {
    return true;
  }
  if (const auto* bundle = std::get_if<DecodedBundle>(&decoded.value)) {
    for (const BundleItem& item : bundle->entries) {
      if (holds_unread_kind(item.value)) return true;
    }
  }
  if (const auto* sparse = std::get_if<DecodedSparse>(&decoded.value)) {
    for (const Decoded& component : sparse->components) {
      if (holds_unread_kind(component)) return true;
    }
  }
  return false;
}

size_t item_count(const DecodedString& strings) { return strings.shape.empty() ? 0 : strings.shape[0]; }

// Item i of a string tensor whose offsets the decoder has checked.
std::string_view item(const DecodedString& strings, size_t i) {
  const uint64_t begin = wire::load_u64(strings.offsets.data() + 8 * i);
  const uint64_t end = wire::load_u64(strings.offsets.data() + 8 * (i + 1));
  return text_of(strings.payload.subspan(begin, end - begin));
}

bool is_uint64(const DecodedDense* dense, std::initializer_list<uint32_t> shape) {
  return dense != nullptr && dense->dtype == Dtype::Uint64 && std::ranges::equal(dense->shape, shape);
}

bool all_utf8(const DecodedString& strings) {
  // Names are mostly ASCII: then every item is, and nothing more need be looked at.
  const bool ascii = std::ranges::none_of(strings.payload, [](uint8_t byte) { return byte >= 0x80; });
  for (size_t i = 0; !ascii && i < item_count(strings); ++i) {
    const std::string_view text = item(strings, i);
    if (!is_valid_utf8({reinterpret_cast<const uint8_t*>(text.data()), text.size()})) return false;
  }
  return true;
}

// "tree": a string tensor of exactly one UTF-8 item.
Status read_tree(const Decoded& field, ModelRecord& record) {
  const auto* text = std::get_if<DecodedString>(&field.value);
  VAKRA_RETURN_IF(text == nullptr || text->shape.size() != 1 || item_count(*text) != 1 || !all_utf8(*text),
                  other_error(kModelRecordWrongTypes));
  record.tree = item(*text, 0);
  return {};
}

// Version 2's optional fields, in the order they follow the five, and their readers.
using FieldReader = Status (*)(const Decoded& field, ModelRecord& record);
constexpr std::array<std::pair<std::string_view, FieldReader>, 2> kOptionalFields = {{
    {model::kTreeKey, read_tree},
    {model::kBodiesKey, model::read_bodies},
}};

// The fields after the five: none in version 1; in version 2 known ones,
// each at most once, in their order, each read by its own reader.
Status read_optional_fields(std::span<const BundleItem> fields, bool version_2, ModelRecord& record) {
  const CodecError wrong_types = other_error(kModelRecordWrongTypes);
  VAKRA_RETURN_IF(!version_2 && !fields.empty(), wrong_types);
  size_t next = 0;  // the first optional field that may still come
  for (const BundleItem& field : fields) {
    while (next < kOptionalFields.size() && kOptionalFields[next].first != field.key) ++next;
    VAKRA_RETURN_IF(next == kOptionalFields.size(), wrong_types);
    VAKRA_TRY(kOptionalFields[next++].second(field.value, record));
  }
  return {};
}

}  // namespace

size_t ModelRecord::slot_of(std::string_view name) const {
  const size_t mask = index_.size() - 1;
  for (size_t slot = hash::xxh3({reinterpret_cast<const uint8_t*>(name.data()), name.size()}) & mask;;
       slot = (slot + 1) & mask) {
    if (index_[slot] == 0 || names[index_[slot] - 1] == name) return slot;
  }
}

std::optional<ByteRange> ModelRecord::find(std::string_view name) const {
  const uint32_t found = index_[slot_of(name)];
  if (found == 0) return std::nullopt;
  return ranges[found - 1];
}

Result<ModelRecord> read_model_record(ByteView file, RecordProgress* progress) {
  RecordProgress unused;
  RecordProgress& found = progress != nullptr ? *progress : unused;
  found = RecordProgress{};
  VAKRA_ASSIGN_OR_RETURN(const WalkedPacket walked, walk_packet(file));
  VAKRA_RETURN_IF(!framed_as_record(walked, file), other_error(kModelNotARecord));
  found.record_length = walked.length;
  VAKRA_ASSIGN_OR_RETURN(const Decoded decoded, decode(file.first(walked.length)));
  const std::vector<BundleItem>& fields = std::get<DecodedBundle>(decoded.value).entries;
  const CodecError wrong_types = other_error(kModelRecordWrongTypes);
  for (const BundleItem& field : fields) VAKRA_RETURN_IF(holds_unread_kind(field.value), wrong_types);

  const auto* format = std::get_if<DecodedString>(&fields[0].value.value);
  if (format != nullptr && item_count(*format) == 1) found.format = std::string(item(*format, 0));
  const bool version_2 = found.format == kModelFileFormatV2;
  VAKRA_RETURN_IF(found.format != kModelFileFormat && !version_2, other_error(kModelLayoutUnsupported));
  const auto* names = std::get_if<DecodedString>(&fields[1].value.value);
  const auto* ranges = std::get_if<DecodedDense>(&fields[2].value.value);
  const auto* metadata = std::get_if<DecodedString>(&fields[3].value.value);
  const auto* file_size = std::get_if<DecodedDense>(&fields[4].value.value);
  const bool sound = names != nullptr && metadata != nullptr && item_count(*metadata) % 2 == 0 &&
                     is_uint64(ranges, {static_cast<uint32_t>(item_count(*names)), 2}) && is_uint64(file_size, {});
  VAKRA_RETURN_IF(!sound, wrong_types);
  found.file_size = wire::load_u64(file_size->data.data());
  VAKRA_RETURN_IF(found.file_size != file.size(), other_error(kModelFileSizeWrong));

  ModelRecord record;
  record.length = walked.length;
  const size_t count = item_count(*names);
  record.ranges.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint64_t offset = wire::load_u64(ranges->data.data() + 16 * i);
    const uint64_t length = wire::load_u64(ranges->data.data() + 16 * i + 8);
    VAKRA_RETURN_IF(offset < record.length || offset > file.size() || length > file.size() - offset,
                    other_error(kModelRangeOutside));
    record.ranges.push_back({static_cast<size_t>(offset), static_cast<size_t>(length)});
  }
  VAKRA_RETURN_IF(!all_utf8(*names) || !all_utf8(*metadata), wrong_types);
  record.names.reserve(count);
  record.index_.assign(std::bit_ceil(2 * count + 1), 0);
  for (size_t i = 0; i < count; ++i) {
    record.names.push_back(item(*names, i));
    uint32_t& slot = record.index_[record.slot_of(record.names.back())];
    VAKRA_RETURN_IF(slot != 0, other_error(kModelNameTwice));
    slot = static_cast<uint32_t>(i + 1);
  }
  for (size_t i = 0; i + 1 < item_count(*metadata); i += 2) record.metadata.emplace_back(item(*metadata, i), item(*metadata, i + 1));
  VAKRA_TRY(read_optional_fields(std::span(fields).subspan(kRecordKeys.size()), version_2, record));
  return record;
}

}  // namespace vakra
