// Packed element types as NumPy holds them. On the wire float4 packs two
// elements to a byte, the first in the low nibble; NumPy (ml_dtypes'
// float4_e2m1fn) holds one element per byte, in its low four bits. Decoding
// unpacks into a new array and encoding packs into a copy: such bodies are
// never viewed in place.
#pragma once

#include <cstddef>

#include "vakra/bytes.hpp"
#include "vakra/dtype.hpp"

namespace vakra::ext {

// Whether the wire packs several elements of `dtype` into one unit.
bool is_packed(Dtype dtype);

// Bytes per element in NumPy's array of `dtype`: one for packed types.
size_t numpy_item_size(Dtype dtype);

// Elements NumPy holds for a wire body of `body_length` bytes.
size_t numpy_length(Dtype dtype, size_t body_length);

// Wire units to one element per byte: `out` holds numpy_length() bytes.
void unpack_elements(Dtype dtype, ByteView packed, MutableBytes out);

// One element per byte to wire units: `out` holds elements.size() / 2 bytes
// (elements.size() is even); each element's high bits are dropped.
void pack_elements(Dtype dtype, ByteView elements, MutableBytes out);

}  // namespace vakra::ext
