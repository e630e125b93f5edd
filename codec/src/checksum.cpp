#include "vakra/checksum.hpp"

#include "body_copy_internal.hpp"

namespace vakra {

void body_checksums(std::span<const ByteView> bodies, std::span<uint64_t> digests) {
  parallel::hash_bodies(bodies, digests);
}

}  // namespace vakra
