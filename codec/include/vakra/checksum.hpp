// The integrity checksum that FLAG_INTEGRITY stores after a body: XXH3-64,
// seed 0, over the body's bytes as stored.
#pragma once

#include <cstdint>
#include <span>

#include "vakra/bytes.hpp"

namespace vakra {

// digests[i] = the checksum of bodies[i]; large bodies are hashed across the
// thread pool, one body per thread when there are several.
void body_checksums(std::span<const ByteView> bodies, std::span<uint64_t> digests);

}  // namespace vakra
