// The shared-mutex area under arbitrary bytes: what the fuzzer and the
// regression driver share. Aborts (so both report a crash) when an operation
// does anything but what the area's bytes call for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vakra::ext::fuzz {

// Input: up to 64 bytes of area, one byte whose low bits misalign the area,
// then a stream of steps: lock with no time to wait, unlock, destroy, init,
// or a peer's write of 8 bytes anywhere in the area.
void check_shm_mutex_area(const uint8_t* data, size_t size);

}  // namespace vakra::ext::fuzz
