// check_decode: arbitrary bytes through decode (both compressed-body modes)
// and decode_owned. Every result is walked byte by byte, and the readers
// must agree with one another.
#include <optional>

#include "fuzz_support.hpp"
#include "vakra/dense.hpp"
#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

// The owned tree holds the viewed tree's values: the same shape of tree, the
// same bytes, compressed bodies decompressed; every view inside `memory`.
void expect_owned(const Decoded& viewed, const Decoded& owned, ByteView memory) {
  FUZZ_CHECK(viewed.value.index() == owned.value.index());
  auto same = [&](ByteView a, ByteView b) {
    FUZZ_CHECK(a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0));
    FUZZ_CHECK(b.empty() || (b.data() >= memory.data() && b.data() + b.size() <= memory.data() + memory.size()));
  };
  if (const auto* dense = std::get_if<DecodedDense>(&viewed.value)) {
    const auto& copy = std::get<DecodedDense>(owned.value);
    FUZZ_CHECK(!copy.compressed && copy.dtype == dense->dtype && copy.shape == dense->shape);
    if (!dense->compressed) return same(dense->data, copy.data);
    auto body = lz4_decompress_frame(dense->data, copy.data.size());
    FUZZ_CHECK(body.ok());
    return same(body->view(), copy.data);
  }
  if (const auto* bundle = std::get_if<DecodedBundle>(&viewed.value)) {
    const auto& copy = std::get<DecodedBundle>(owned.value);
    FUZZ_CHECK(copy.entries.size() == bundle->entries.size());
    for (size_t i = 0; i < copy.entries.size(); ++i) {
      FUZZ_CHECK(copy.entries[i].key == bundle->entries[i].key);
      expect_owned(bundle->entries[i].value, copy.entries[i].value, memory);
    }
  } else if (const auto* sparse = std::get_if<DecodedSparse>(&viewed.value)) {
    const auto& copy = std::get<DecodedSparse>(owned.value);
    FUZZ_CHECK(copy.format == sparse->format && copy.shape == sparse->shape);
    for (size_t i = 0; i < 3; ++i) expect_owned(sparse->components[i], copy.components[i], memory);
  } else if (const auto* q = std::get_if<DecodedQuantized>(&viewed.value)) {
    const auto& copy = std::get<DecodedQuantized>(owned.value);
    same(q->scales, copy.scales), same(q->zero_points, copy.zero_points), same(q->data, copy.data);
  } else if (std::holds_alternative<DecodedString>(viewed.value) || std::holds_alternative<DecodedRagged>(viewed.value)) {
    const auto& s = std::holds_alternative<DecodedString>(viewed.value)
                        ? static_cast<const DecodedOffsets&>(std::get<DecodedString>(viewed.value))
                        : std::get<DecodedRagged>(viewed.value);
    const auto& copy = std::holds_alternative<DecodedString>(owned.value)
                           ? static_cast<const DecodedOffsets&>(std::get<DecodedString>(owned.value))
                           : std::get<DecodedRagged>(owned.value);
    same(s.offsets, copy.offsets), same(s.payload, copy.payload);
  }
}

}  // namespace

void check_decode(ByteView input) {
  auto refused = decode(input, CompressedBodies::Refuse);
  if (refused.ok()) walk_decoded(*refused, input);
  auto viewed = decode(input, CompressedBodies::View);
  if (viewed.ok()) walk_decoded(*viewed, input);

  // The refusal comes once all else is checked: the modes differ in it alone.
  if (!refused.ok() && is_refusal(refused.error())) {
    FUZZ_CHECK(viewed.ok());
  } else {
    FUZZ_CHECK(refused.ok() == viewed.ok());
    FUZZ_CHECK(refused.ok() ? same_tree(*refused, *viewed, input) : viewed.error() == refused.error());
  }

  // The owning decode fails where the viewing one does, or on a frame that
  // does not hold exactly its array's bytes.
  auto owned = decode_owned(input);
  if (!viewed.ok()) return FUZZ_CHECK(!owned.ok() && owned.error() == viewed.error());
  if (owned.ok()) expect_owned(*viewed, owned->value, owned->memory.view());
  if (!owned.ok()) FUZZ_CHECK(!refused.ok() && owned.error().kind != ErrorKind::IntegrityMismatch);

  // Nothing is read below the nesting limit.
  FUZZ_CHECK(failed_with(decode_depth(input, MAX_NESTING_DEPTH + 1), ErrorKind::Malformed));
}

}  // namespace vakra::fuzz
