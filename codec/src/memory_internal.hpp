// Fresh output buffers for large bodies.
#pragma once

#include "vakra/bytes.hpp"
#include "vakra/memory.hpp"

namespace vakra::memory {

// An uninitialised buffer that is about to be written front to back.
inline OwnedBytes fresh_output(size_t size) {
  OwnedBytes out = OwnedBytes::uninitialized(size);
  prefer_huge_pages(out.data(), size);
  return out;
}

}  // namespace vakra::memory
