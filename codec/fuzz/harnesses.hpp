// The fuzz targets, shared by the libFuzzer entry points and the corpus
// replay driver. Each returns normally or aborts on a broken property.
#pragma once

#include "vakra/bytes.hpp"

namespace vakra::fuzz {

// Decodes arbitrary bytes every way the codec offers and walks the result.
void check_decode(ByteView input);
// Parses the header and the packet-info facts (shape, saturating element count).
void check_header(ByteView input);
// Builds values from the input, encodes, decodes and compares.
void check_roundtrip(ByteView input);
// Walks arbitrary bytes and encoded values: lengths, prefixes, agreement with the decoder.
void check_walk(ByteView input);

}  // namespace vakra::fuzz
