#include "memory_internal.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace vakra {

void prefer_huge_pages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  const uintptr_t last = (begin + size) & ~uintptr_t{kHugePage - 1};
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vakra
