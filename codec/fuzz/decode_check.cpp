// check_decode: arbitrary bytes through decode (both compressed-body modes)
// and decode_dense_to_owned. Every result is walked byte by byte, and the
// three readers must agree with one another.
#include <cstring>

#include "fuzz_check.hpp"
#include "harnesses.hpp"
#include "tree_walk.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

volatile uint64_t g_sink;

bool is_refusal(const CodecError& error) {
  return error.kind == ErrorKind::Other && error.text != nullptr &&
         std::strcmp(error.text, kCompressedNeedsOwningPath) == 0;
}

// The owning reader copies a dense body, refuses every other kind, and
// passes on any error that is not the compressed-body refusal.
void check_owned_agrees(const Result<Decoded>& refused, const Result<DenseOwned>& owned) {
  if (refused.ok()) {
    const auto* dense = std::get_if<DecodedDense>(&refused->value);
    if (dense == nullptr) {
      FUZZ_CHECK(failed_with(owned, ErrorKind::Malformed));
      return;
    }
    FUZZ_CHECK(owned.ok());
    FUZZ_CHECK(owned->dtype == dense->dtype && owned->shape == dense->shape);
    FUZZ_CHECK(owned->data.size() == dense->data.size());
    FUZZ_CHECK(dense->data.empty() || std::memcmp(owned->data.data(), dense->data.data(), dense->data.size()) == 0);
    return;
  }
  if (!is_refusal(refused.error())) FUZZ_CHECK(!owned.ok() && owned.error() == refused.error());
}

}  // namespace

void check_decode(ByteView input) {
  auto refused = decode(input, CompressedBodies::Refuse);
  if (refused.ok()) walk_decoded(*refused, input);
  auto viewed = decode(input, CompressedBodies::View);
  if (viewed.ok()) walk_decoded(*viewed, input);

  // The modes differ only once a compressed dense body is met; until then
  // both walk the same packets and fail at the same place.
  if (refused.ok()) {
    FUZZ_CHECK(viewed.ok() && same_tree(*refused, *viewed));
  } else if (refused.error().kind == ErrorKind::Other) {
    FUZZ_CHECK(is_refusal(refused.error()));
  } else {
    FUZZ_CHECK(!viewed.ok() && viewed.error() == refused.error());
  }

  auto owned = decode_dense_to_owned(input);
  if (owned.ok()) {
    FUZZ_CHECK(owned->shape.size() <= MAX_NDIM);
    g_sink = g_sink + touch(owned->data.view());
  }
  check_owned_agrees(refused, owned);

  // Nothing is read below the nesting limit.
  FUZZ_CHECK(failed_with(decode_depth(input, MAX_NESTING_DEPTH + 1), ErrorKind::Malformed));
}

}  // namespace vakra::fuzz
