// Placing bodies in an output buffer, and checksumming several bodies, with
// the work of large ones split across the thread pool. Results are the same
// bytes and digests as a plain memcpy and one XXH3-64 pass.
#pragma once

#include <cstdint>
#include <span>

#include "hash_internal.hpp"
#include "vakra/bytes.hpp"

namespace vakra::parallel {

// `source` copied to `destination`; with `digest`, the XXH3-64 of the bytes as
// written into the destination (not as read from the source, which another
// thread may be changing) is stored there. With `stream` instead, the bytes as
// written are fed to it, after those of every earlier body of the list with
// the same stream: one checksum over several bodies (and over what the caller
// fed it before), whose digest the caller takes.
struct BodyCopy {
  uint8_t* destination = nullptr;
  ByteView source;
  uint64_t* digest = nullptr;
  hash::Xxh3Stream* stream = nullptr;
};

// Copies (and hashes) every body. Writing into fresh memory is dominated by
// first-touch page faults, which several threads take in parallel; each
// checksum follows its body's copy chunk by chunk, while it is in cache.
void copy_bodies(std::span<const BodyCopy> bodies);

// digests[i] = XXH3-64 of bodies[i], one body per thread when there are several.
void hash_bodies(std::span<const ByteView> bodies, std::span<uint64_t> digests);

}  // namespace vakra::parallel
