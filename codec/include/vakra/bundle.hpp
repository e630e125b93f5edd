// Bundle packets: named, already-encoded packets framed behind one header.
#pragma once

#include <span>

#include "vakra/bytes.hpp"
#include "vakra/result.hpp"

namespace vakra {

inline constexpr size_t MAX_BUNDLE_ENTRIES = 255;

struct BundleEntry {
  ByteView key;     // UTF-8, not validated here
  ByteView packet;  // any complete packet, copied verbatim
};

// 10 + sum(8 + key + packet); TooManyBundleEntries above 255 entries,
// Malformed for a key or packet of 4 GiB or more or a size overflow.
Result<size_t> bundle_required_size(std::span<const BundleEntry> entries);

Result<size_t> encode_bundle_into(std::span<const BundleEntry> entries, MutableBytes buffer);

}  // namespace vakra
