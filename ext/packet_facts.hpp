// The dicts that describe a packet without decoding it: the header facts of
// get_packet_info_rs, and the full tree that _native.walk (vakra.info) adds.
#pragma once

#include <span>

#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {

// Inserts "version", "flags", "dtype_code", "ndim", "aligned",
// "integrity_protected", then for FLAG_BUNDLE "entry_count", "shape" (empty),
// "total_elements" (0), otherwise "total_elements" (the product of `dims`,
// saturating at 2^64 - 1) and "shape". False with an exception set.
bool add_header_facts(PyObject* dict, const PacketHeader& header, std::span<const uint32_t> dims);

// The header facts of `packet`, walked from `bytes`, followed by "kind",
// "dtype", "size", "body_size", the kind's details and the nested "entries"
// or "components".
PyRef walked_facts(const WalkedPacket& packet, ByteView bytes);

}  // namespace vakra::ext
