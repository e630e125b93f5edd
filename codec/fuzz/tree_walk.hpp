// Walks a Decoded tree, checking the invariants every decoded value promises
// and reading every byte of every view, so AddressSanitizer reports a view
// that reaches outside the input.
#pragma once

#include <cstdint>

#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"

namespace vakra::fuzz {

// `input` is the byte range handed to decode(). Compressed dense frames (from
// CompressedBodies::View) are also decompressed and read.
void walk_decoded(const Decoded& decoded, ByteView input);

// True when two trees decoded from the same input are identical, views
// included (same addresses, same lengths).
bool same_tree(const Decoded& a, const Decoded& b);

// Reads every byte of `view`; the return value only keeps the reads alive.
uint64_t touch(ByteView view);

}  // namespace vakra::fuzz
