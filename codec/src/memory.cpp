#include "memory_internal.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace vakra {

void prefer_huge_pages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  using memory::kHugePage;
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

namespace memory {

void* map_pages(size_t& size) {
  if (size > SIZE_MAX - 2 * kHugePage) return nullptr;
  const size_t length = (size + kHugePage - 1) / kHugePage * kHugePage;
  // One huge page more than needed, then the ends trimmed off, leaves an aligned run.
  void* mapped = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (begin + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned > begin) ::munmap(mapped, aligned - begin);
  const uintptr_t tail = begin + kHugePage - aligned;
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
#endif
  size = length;
  return reinterpret_cast<void*>(aligned);
}

void unmap_pages(void* data, size_t size) {
  if (data != nullptr) ::munmap(data, size);
}

}  // namespace memory
}  // namespace vakra
