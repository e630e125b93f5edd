// check_decode: arbitrary bytes through decode (both compressed-body modes)
// and decode_owned. Every result is walked byte by byte, and the readers
// must agree with one another.
#include "fuzz_support.hpp"

namespace vakra::fuzz {

void check_decode(ByteView input) {
  auto refused = decode(input, CompressedBodies::Refuse);
  if (refused.ok()) walk_decoded(*refused, input);
  auto viewed = decode(input, CompressedBodies::View);
  if (viewed.ok()) walk_decoded(*viewed, input);

  // The refusal comes once all else is checked: the modes differ in it alone.
  if (!refused.ok() && is_refusal(refused.error())) {
    FUZZ_CHECK(viewed.ok());
  } else {
    FUZZ_CHECK(refused.ok() == viewed.ok() && (refused.ok() || viewed.error() == refused.error()));
  }

  // The owning decode fails where the viewing one does, or on a frame that
  // does not hold exactly its array's bytes (its values: the round trip harness).
  auto owned = decode_owned(input);
  if (!viewed.ok()) return FUZZ_CHECK(!owned.ok() && owned.error() == viewed.error());
  FUZZ_CHECK(owned.ok() || (!refused.ok() && owned.error().kind != ErrorKind::IntegrityMismatch));
  if (owned.ok()) walk_decoded(owned->value, owned->memory.view());
}

}  // namespace vakra::fuzz
