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

inline constexpr size_t kHugePage = size_t{2} << 20;

// Anonymous memory in a mapping of its own that starts on a huge page
// boundary and spans whole huge pages, asked to be backed by them: every
// first touch where the kernel allows costs one fault per 2 MiB rather than
// per 4 KiB, with no 4 KiB pages at the ends. `size` is rounded up to whole
// huge pages (the length unmap_pages takes); nullptr when the system has no
// memory to map.
void* map_pages(size_t& size);
void unmap_pages(void* data, size_t size);

// An uninitialised buffer that is about to be written front to back.
inline OwnedBytes fresh_output(size_t size) {
  OwnedBytes out = OwnedBytes::uninitialized(size);
  prefer_huge_pages(out.data(), size);
  return out;
}

}  // namespace memory
}  // namespace vakra
