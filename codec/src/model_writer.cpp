// ModelFileWriter: the record, then each entry as the next child of the open
// bundle (a new one every 255 entries, or when nothing can take the padding
// a value needs), placed by the rule of model_layout_internal.hpp. Lengths
// written before their final value is known (a slot that takes padding
// later, a bundle's entry count, the record's ranges and file size) are
// patched in place.
#include <algorithm>
#include <array>
#include <unordered_set>

#include "model_bodies_internal.hpp"
#include "model_record_keys_internal.hpp"
#include "model_gather_internal.hpp"
#include "model_layout_internal.hpp"
#include "utf8_internal.hpp"
#include "vakra/header.hpp"
#include "vakra/model_file.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

using model::Placed;
using model::Placement;
using model::Room;

// Plans shorter than this are written straight into the gathered bytes;
// longer ones become segments, so their bodies go out from their own memory.
constexpr size_t kWriteBelow = size_t{64} << 10;

ByteView bytes_of(std::string_view text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

bool is_utf8(std::string_view text) { return is_valid_utf8(bytes_of(text)); }

// The offsets and payload of a string tensor, item by item.
struct StringItems {
  std::vector<uint64_t> offsets{0};
  std::vector<uint8_t> payload;

  void add(std::string_view item) {
    payload.insert(payload.end(), item.begin(), item.end());
    offsets.push_back(payload.size());
  }
};

Result<PacketPlan> record_strings(std::span<const uint64_t> offsets, ByteView payload) {
  VAKRA_ASSIGN_OR_RETURN(StringPlan plan, plan_string(static_cast<uint32_t>(offsets.size() - 1), offsets, payload, true));
  return PacketPlan{std::move(plan)};
}

// A uint64 array of the record (checksummed, aligned as the file is).
Result<PacketPlan> record_uint64(std::span<const uint64_t> values, std::span<const uint32_t> shape, size_t alignment) {
  const DenseView view{{reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes()}, shape, Dtype::Uint64};
  VAKRA_ASSIGN_OR_RETURN(DensePlan plan, plan_dense(view, {alignment, true, false}));
  return PacketPlan{std::move(plan)};
}

// The zeros of the longest filler: the alignment, less one, and the shortest filler's length.
constexpr std::array<uint8_t, kMaxModelAlignment + model::kShortestFiller> kFillerZeros{};

// Placement from `end`, the end of the file so far, after `framing` bytes
// (bundle header, key and slot length): the last child's slot takes padding
// if there is one, else a filler when the value starts a top-level packet,
// else nothing.
Placement placement_after(uint64_t end, uint64_t framing, bool top_level, bool last_slot, size_t alignment) {
  Placement placement;
  placement.position = end + framing;
  placement.alignment = alignment;
  placement.room = last_slot ? Room::WrittenSlot : top_level ? Room::Filler : Room::None;
  return placement;
}

}  // namespace

ModelFileWriter::ModelFileWriter(ModelFileOutput& output, size_t alignment, size_t names)
    : alignment_(alignment), ranges_(2 * names, 0),
      pending_(std::make_unique<model::GatheredOutput>(output)) {}
ModelFileWriter::ModelFileWriter(ModelFileWriter&&) noexcept = default;
ModelFileWriter& ModelFileWriter::operator=(ModelFileWriter&&) noexcept = default;
ModelFileWriter::~ModelFileWriter() = default;

Result<ModelFileWriter> ModelFileWriter::start(ModelFileOutput& output, std::span<const std::string_view> names,
                                               std::span<const MetadataItem> metadata, size_t alignment,
                                               std::span<const ModelBody> bodies, std::optional<std::string_view> tree) {
  VAKRA_RETURN_IF(!wire::is_power_of_two(alignment) || alignment > kMaxModelAlignment, make_error(ErrorKind::Malformed));
  // Both string tensors count their items in a u32.
  VAKRA_RETURN_IF(names.size() > UINT32_MAX || metadata.size() > UINT32_MAX / 2, make_error(ErrorKind::Malformed));
  std::unordered_set<std::string_view> seen;
  seen.reserve(names.size());
  for (const std::string_view name : names) {
    VAKRA_RETURN_IF(!is_utf8(name), make_error(ErrorKind::Malformed));
    VAKRA_RETURN_IF(!seen.insert(name).second, other_error(kModelNameTwice));
  }
  for (const auto& [key, value] : metadata) {
    VAKRA_RETURN_IF(!is_utf8(key) || !is_utf8(value), make_error(ErrorKind::Malformed));
  }
  VAKRA_RETURN_IF(tree && !is_utf8(*tree), make_error(ErrorKind::Malformed));
  VAKRA_TRY(model::check_bodies(bodies, names.size()));
  ModelFileWriter writer(output, alignment, names.size());
  writer.bodies_.assign(bodies.begin(), bodies.end());
  VAKRA_TRY(writer.write_record(names, metadata, tree));
  return Result<ModelFileWriter>(std::move(writer));
}

// The record is one bundle of its own, whatever its length; its ranges and
// file size are zeros until finish(). A tree or declared bodies make it
// version 2, with their fields after the five in that order.
Status ModelFileWriter::write_record(std::span<const std::string_view> names, std::span<const MetadataItem> metadata,
                                     std::optional<std::string_view> tree) {
  const bool version_2 = tree || !bodies_.empty();
  StringItems format, name_items, pairs, tree_items;
  format.add(version_2 ? kModelFileFormatV2 : kModelFileFormat);
  for (const std::string_view name : names) name_items.add(name);
  for (const auto& [key, value] : metadata) {
    pairs.add(key);
    pairs.add(value);
  }
  name_offsets_ = std::move(name_items.offsets);
  name_bytes_ = std::move(name_items.payload);
  const uint32_t ranges_shape[] = {static_cast<uint32_t>(names.size()), 2};
  const uint64_t no_size = 0;
  std::vector<std::pair<std::string_view, PacketPlan>> fields(model::kRecordKeys.size());
  for (size_t i = 0; i < fields.size(); ++i) fields[i].first = model::kRecordKeys[i];
  VAKRA_ASSIGN_OR_RETURN(fields[0].second, record_strings(format.offsets, format.payload));
  VAKRA_ASSIGN_OR_RETURN(fields[1].second, record_strings(name_offsets_, name_bytes_));
  VAKRA_ASSIGN_OR_RETURN(fields[2].second, record_uint64(ranges_, ranges_shape, alignment_));
  VAKRA_ASSIGN_OR_RETURN(fields[3].second, record_strings(pairs.offsets, pairs.payload));
  VAKRA_ASSIGN_OR_RETURN(fields[4].second, record_uint64({&no_size, 1}, {}, alignment_));
  if (tree) {
    tree_items.add(*tree);
    VAKRA_ASSIGN_OR_RETURN(PacketPlan plan, record_strings(tree_items.offsets, tree_items.payload));
    fields.emplace_back(model::kTreeKey, std::move(plan));
  }
  const std::vector<uint64_t> body_words = model::body_words(bodies_);
  const uint32_t body_shape[] = {static_cast<uint32_t>(body_words.size())};
  if (!bodies_.empty()) {
    VAKRA_ASSIGN_OR_RETURN(PacketPlan plan, record_uint64(body_words, body_shape, alignment_));
    fields.emplace_back(model::kBodiesKey, std::move(plan));
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteRange placed, add(bytes_of(fields[i].first), fields[i].second, true));
    if (i == 2) ranges_at_ = placed.offset;
    if (i == 4) file_size_at_ = placed.offset;
  }
  return close_bundle();
}

Status ModelFileWriter::write_entry(PacketPlan& value) {
  if (failed_) return *failed_;
  VAKRA_RETURN_IF(written_ == ranges_.size() / 2 || body_of(written_) != nullptr, other_error(kModelEntryOrder));
  overflow_.reset();
  VAKRA_TRY(model::align_sparse_components(value, alignment_));
  const ByteView name(name_bytes_.data() + name_offsets_[written_], name_offsets_[written_ + 1] - name_offsets_[written_]);
  const auto placed = add(name, value, false);
  if (!placed.ok()) return record_error(placed.error());
  ranges_[2 * written_] = placed->offset;
  ranges_[2 * written_ + 1] = placed->length;
  ++written_;
  // Views of the value's memory go out before the value does.
  return pending_->holds_views() ? record_error(pending_->flush()) : Status();
}

// A body goes after everything before it, the open bundle closed, at a
// multiple of the body alignment: padding in the last slot written when
// there is one, else zeros nothing reads (the record says where each entry
// lies). Its bytes go to the output from their own memory before this returns.
Status ModelFileWriter::write_body(ByteView bytes) {
  if (failed_) return *failed_;
  VAKRA_RETURN_IF(written_ == ranges_.size() / 2, other_error(kModelEntryOrder));
  const ModelBody* body = body_of(written_);
  VAKRA_RETURN_IF(body == nullptr, other_error(kModelEntryOrder));
  VAKRA_RETURN_IF(model_body_length(body->dtype, body->shape).value() != bytes.size(), make_error(ErrorKind::Malformed));
  VAKRA_TRY(record_error(close_bundle()));
  const uint64_t alignment = std::max<uint64_t>(alignment_, model::kBodyAlignment);
  const uint64_t pad = (alignment - pending_->end() % alignment) % alignment;
  if (pad != 0 && last_slot_at_ && last_slot_length_ <= model::kMaxSlot - pad) {
    VAKRA_TRY(record_error(write_room(pad, 0)));
  } else {
    pending_->zeros(pad);
  }
  last_slot_at_.reset();
  ranges_[2 * written_] = pending_->end();
  ranges_[2 * written_ + 1] = bytes.size();
  ++written_;
  pending_->view(bytes);
  return record_error(pending_->flush());
}

const ModelBody* ModelFileWriter::body_of(size_t entry) const {
  const auto found = std::ranges::lower_bound(bodies_, entry, {}, &ModelBody::entry);
  return found != bodies_.end() && found->entry == entry ? &*found : nullptr;
}

Status ModelFileWriter::tie_entry(size_t earlier) {
  if (failed_) return *failed_;
  VAKRA_RETURN_IF(earlier >= written_ || written_ == ranges_.size() / 2, other_error(kModelEntryOrder));
  // A body is read by its dtype and shape: only a name of the same ones may share its range.
  const ModelBody* body = body_of(written_);
  const ModelBody* tied = body_of(earlier);
  const bool same = body == nullptr ? tied == nullptr
                                    : tied != nullptr && tied->dtype == body->dtype && tied->shape == body->shape;
  VAKRA_RETURN_IF(!same, other_error(kModelEntryOrder));
  ranges_[2 * written_] = ranges_[2 * earlier];
  ranges_[2 * written_ + 1] = ranges_[2 * earlier + 1];
  ++written_;
  return {};
}

Result<uint64_t> ModelFileWriter::finish() {
  if (failed_) return *failed_;
  VAKRA_RETURN_IF(written_ != ranges_.size() / 2, other_error(kModelEntryOrder));
  failed_ = other_error(kModelEntryOrder);  // nothing follows, whatever happens below
  VAKRA_TRY(close_bundle());
  const uint64_t file_size = pending_->end();
  // The record keeps its length: only the bodies and checksums of these two change.
  const uint32_t ranges_shape[] = {static_cast<uint32_t>(ranges_.size() / 2), 2};
  const std::pair<uint64_t, Result<PacketPlan>> patched[] = {
      {ranges_at_, record_uint64(ranges_, ranges_shape, alignment_)},
      {file_size_at_, record_uint64({&file_size, 1}, {}, alignment_)},
  };
  for (const auto& [offset, plan] : patched) {
    VAKRA_TRY(plan);
    OwnedBytes bytes = OwnedBytes::uninitialized(plan->size());
    write_plan(*plan, bytes.span());
    VAKRA_TRY(pending_->patch(offset, bytes.view()));
  }
  VAKRA_TRY(pending_->flush());
  return file_size;
}

// Adds `plan` as the next child of the open bundle, opening one when none is
// open, the open one is full, or nothing in it can take the padding the
// value needs; a value too long for a slot becomes a packet of its own (a
// record field is refused instead). Returns where its packet lies.
Result<ByteRange> ModelFileWriter::add(ByteView key, PacketPlan& plan, bool record_field) {
  if (bundle_count_at_ && bundle_count_ == MAX_BUNDLE_ENTRIES) VAKRA_TRY(close_bundle());
  bool opening = !bundle_count_at_;
  uint64_t framing = (opening ? kHeaderLenV4 : 0) + 8 + key.size();
  Placement placement = placement_after(pending_->end(), framing, opening, last_slot_at_.has_value(), alignment_);
  Placed placed = model::place(plan, placement);
  if (placed == Placed::NoRoom) {
    VAKRA_TRY(close_bundle());  // only a new top-level packet can have a filler before it
    opening = true;
    framing += kHeaderLenV4;
    placement = placement_after(pending_->end(), framing, true, last_slot_at_.has_value(), alignment_);
    placed = model::place(plan, placement);
  }
  if (placed == Placed::Overflow) overflow_ = std::move(placement.overflow);
  VAKRA_RETURN_IF(placed != Placed::Ok, make_error(ErrorKind::Malformed));  // NoRoom again is not possible
  const uint64_t size = plan.size();
  // The slot's padding, added later, stays below the alignment.
  if (size > model::kMaxSlot - (alignment_ - 1)) {
    VAKRA_RETURN_IF(record_field, make_error(ErrorKind::Malformed));
    return add_packet(plan);
  }
  VAKRA_TRY(write_room(placement.written_pad, placement.filler));
  if (opening) {
    bundle_count_at_ = pending_->end() + 8;
    bundle_count_ = 0;
    write_v4_header(pending_->grow(kHeaderLenV4), FLAG_BUNDLE, 0, 0);
  }
  const MutableBytes slot_head = pending_->grow(8 + key.size());
  wire::store_u32(slot_head.data(), static_cast<uint32_t>(key.size()));
  std::copy(key.begin(), key.end(), slot_head.data() + 4);
  wire::store_u32(slot_head.data() + 4 + key.size(), static_cast<uint32_t>(size));
  const uint64_t offset = pending_->end();
  VAKRA_TRY(emit(plan, record_field));
  ++bundle_count_;
  last_slot_at_ = model::takes_padding(plan) ? std::optional<uint64_t>(offset - 4) : std::nullopt;
  last_slot_length_ = static_cast<uint32_t>(size);
  return ByteRange{offset, size};
}

// Writes `plan` as a top-level packet of its own, closing the open bundle.
Result<ByteRange> ModelFileWriter::add_packet(PacketPlan& plan) {
  VAKRA_TRY(close_bundle());
  Placement placement = placement_after(pending_->end(), 0, true, last_slot_at_.has_value(), alignment_);
  const Placed placed = model::place(plan, placement);
  if (placed == Placed::Overflow) overflow_ = std::move(placement.overflow);
  VAKRA_RETURN_IF(placed != Placed::Ok, make_error(ErrorKind::Malformed));
  VAKRA_TRY(write_room(placement.written_pad, placement.filler));
  const uint64_t offset = pending_->end();
  VAKRA_TRY(emit(plan, false));
  last_slot_at_.reset();  // a top-level packet has no slot to pad
  return ByteRange{offset, plan.size()};
}

// The padding placement found room for: at the end of the last slot (its
// length patched), or a filler packet.
Status ModelFileWriter::write_room(uint64_t slot_pad, uint64_t filler) {
  if (slot_pad != 0) {
    pending_->zeros(slot_pad);
    last_slot_length_ += static_cast<uint32_t>(slot_pad);
    uint8_t length[4];
    wire::store_u32(length, last_slot_length_);
    return pending_->patch(*last_slot_at_, length);
  }
  if (filler == 0) return {};
  // A uint8 vector of zeros with alignment 1: its header, its one dimension, the alignment byte, the zeros.
  const uint32_t shape[] = {static_cast<uint32_t>(filler - model::kShortestFiller)};
  VAKRA_ASSIGN_OR_RETURN(DensePlan zeros,
                         plan_dense({ByteView(kFillerZeros).first(shape[0]), shape, Dtype::Uint8}, {1, false, false}));
  return emit(PacketPlan{std::move(zeros)}, true);
}

Status ModelFileWriter::close_bundle() {
  if (!bundle_count_at_) return {};
  const uint8_t count = bundle_count_;
  const uint64_t at = *std::exchange(bundle_count_at_, std::nullopt);
  return pending_->patch(at, {&count, 1});
}

// Appends the packet: into the gathered bytes when `gathered` (or short),
// else as segments whose large bodies are views of their memory.
Status ModelFileWriter::emit(const PacketPlan& plan, bool gathered) {
  if (gathered || plan.size() < kWriteBelow) {
    write_plan(plan, pending_->grow(plan.size()));
  } else {
    pending_->segments(plan_segments(plan));
  }
  return pending_->flush_when_full();
}

// An error after the output may have taken part of an entry ends the
// writer; only a child too long for its slot is refused before anything.
Status ModelFileWriter::record_error(Status status) {
  if (!status.ok() && !overflow_) failed_ = status.error();
  return status;
}

}  // namespace vakra
