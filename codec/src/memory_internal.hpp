// Fresh output buffers for large bodies.
#pragma once

#include <sys/mman.h>

#include <cstdint>

#include "vakra/bytes.hpp"

namespace vakra::memory {

// An uninitialised buffer that is about to be written front to back. Writing
// tens of MiB into fresh memory is dominated by first-touch page faults, not
// by the copy, so large buffers ask for transparent huge pages (a hint the
// kernel may ignore; the 2 MiB-aligned interior is what qualifies).
inline OwnedBytes fresh_output(size_t size) {
  OwnedBytes out = OwnedBytes::uninitialized(size);
#ifdef MADV_HUGEPAGE
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size >= 2 * kHugePage) {
    const auto begin = reinterpret_cast<uintptr_t>(out.data());
    const uintptr_t first = (begin + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    const uintptr_t last = (begin + size) & ~uintptr_t{kHugePage - 1};
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
  return out;
}

}  // namespace vakra::memory
