// Fresh output buffers for large bodies. Internal to the codec and its
// Python binding, which writes large arrays and packets into memory it
// allocates itself.
#pragma once

#include <cstddef>

#include "vakra/bytes.hpp"

namespace vakra {

// Writing tens of MiB into fresh memory is dominated by first-touch page
// faults, not by the copy; asking for transparent huge pages on the buffer's
// 2 MiB-aligned interior cuts the faults 512-fold where the kernel allows it.
// Only a hint: it never fails and changes no byte.
void prefer_huge_pages(void* data, size_t size);

namespace memory {

// An uninitialised buffer that is about to be written front to back.
inline OwnedBytes fresh_output(size_t size) {
  OwnedBytes out = OwnedBytes::uninitialized(size);
  prefer_huge_pages(out.data(), size);
  return out;
}

}  // namespace memory
}  // namespace vakra
