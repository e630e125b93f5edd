// check_decode: arbitrary bytes through decode (both compressed-body modes)
// and decode_dense_to_owned. Every result is walked byte by byte, and the
// three readers must agree with one another.
#include "fuzz_support.hpp"
#include "vakra/dense.hpp"
#include "vakra/header.hpp"

namespace vakra::fuzz {

volatile uint64_t g_owned_sink;

void check_decode(ByteView input) {
  auto refused = decode(input, CompressedBodies::Refuse);
  if (refused.ok()) walk_decoded(*refused, input);
  auto viewed = decode(input, CompressedBodies::View);
  if (viewed.ok()) walk_decoded(*viewed, input);

  // The modes differ only once a compressed dense body is met; until then
  // both walk the same packets and fail at the same place.
  if (refused.ok()) {
    FUZZ_CHECK(viewed.ok() && same_tree(*refused, *viewed, input));
  } else if (refused.error().kind == ErrorKind::Other) {
    FUZZ_CHECK(is_refusal(refused.error()));
  } else {
    FUZZ_CHECK(!viewed.ok() && viewed.error() == refused.error());
  }

  // The owning reader copies a dense body, refuses every other kind, and
  // passes on any error that is not the compressed-body refusal.
  auto owned = decode_dense_to_owned(input);
  if (owned.ok()) {
    const auto count = element_count(owned->shape);
    FUZZ_CHECK(count.ok() && owned->data.size() == *count * element_size(owned->dtype));
    g_owned_sink = g_owned_sink + touch(owned->data.view());
  }
  const auto* dense = refused.ok() ? std::get_if<DecodedDense>(&refused->value) : nullptr;
  if (dense != nullptr) {
    FUZZ_CHECK(owned.ok() && owned->dtype == dense->dtype && owned->shape == dense->shape);
    FUZZ_CHECK(owned->data.size() == dense->data.size());
    FUZZ_CHECK(dense->data.empty() || std::memcmp(owned->data.data(), dense->data.data(), dense->data.size()) == 0);
  } else if (refused.ok()) {
    FUZZ_CHECK(failed_with(owned, ErrorKind::Malformed));
  } else if (!is_refusal(refused.error())) {
    FUZZ_CHECK(!owned.ok() && owned.error() == refused.error());
  }

  // Nothing is read below the nesting limit.
  FUZZ_CHECK(failed_with(decode_depth(input, MAX_NESTING_DEPTH + 1), ErrorKind::Malformed));
}

}  // namespace vakra::fuzz
