#include "packed_elements.hpp"

#include "errors.hpp"

namespace vakra::ext {
namespace {

// Two elements to a byte is the one packing the table holds.
void require_nibbles(Dtype dtype) {
  const DtypeInfo* row = find_dtype_info(dtype);
  if (row == nullptr || row->unit_elements != 2 || row->element_size != 1) {
    throw InternalFailure("no packing known for dtype " + std::string(row ? row->name : "?"));
  }
}

}  // namespace

bool is_packed(Dtype dtype) {
  const DtypeInfo* row = find_dtype_info(dtype);
  return row != nullptr && row->unit_elements != 1;
}

size_t numpy_item_size(Dtype dtype) { return is_packed(dtype) ? 1 : element_size(dtype); }

size_t numpy_length(Dtype dtype, size_t body_length) {
  const DtypeInfo* row = find_dtype_info(dtype);
  return body_length / row->element_size * row->unit_elements;
}

void unpack_elements(Dtype dtype, ByteView packed, MutableBytes out) {
  require_nibbles(dtype);
  if (out.size() != 2 * packed.size()) throw InternalFailure("unpacked length does not match");
  for (size_t i = 0; i < packed.size(); ++i) {
    out[2 * i] = packed[i] & 0x0F;
    out[2 * i + 1] = packed[i] >> 4;
  }
}

void pack_elements(Dtype dtype, ByteView elements, MutableBytes out) {
  require_nibbles(dtype);
  if (elements.size() != 2 * out.size()) throw InternalFailure("packed length does not match");
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>((elements[2 * i] & 0x0F) | (elements[2 * i + 1] << 4));
  }
}

}  // namespace vakra::ext
