// Encodes harness values with the codec's plans, and compares decoded trees
// with the values they came from.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "value_model.hpp"
#include "vakra/decode.hpp"
#include "vakra/plan.hpp"

namespace vakra::fuzz {

using Packet = std::vector<uint8_t>;
using Writer = std::function<Result<size_t>(MutableBytes)>;

// Runs `write` into a buffer of `required` bytes followed by guard bytes and
// checks what may be written: the packet (exactly `required` bytes when
// `exact`), nothing past it. Then writes again into exactly the packet's
// length (same bytes) and into one byte less (BufferTooSmall, untouched).
Packet write_checked(size_t required, bool exact, const Writer& write);

// The packet of a value: each leaf written by its own plan, bundles framing
// their children's finished packets.
Packet encode_value(const Value& value);

// The same value as one nested plan.
PacketPlan plan_value(const Value& value);

// Aborts unless `decoded` carries exactly `value`. Compressed bodies appear
// only with CompressedBodies::View and are decompressed for the comparison.
void expect_matches(const Value& value, const Decoded& decoded);

}  // namespace vakra::fuzz
