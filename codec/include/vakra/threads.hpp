// How many threads the codec may use for one large body: LZ4 blocks, body
// copies and checksums are split across a small internal pool. Packets are
// byte-identical whatever the count.
#pragma once

#include "vakra/language_version.hpp"

#include <cstddef>

namespace vakra {

// Threads per large body, the calling thread included; 1 means no pool at
// all. 0 restores the default, the machine's hardware thread count. Workers
// are started only when a body first needs them; lowering the count retires
// the extra ones once they are idle.
void set_num_threads(size_t count);
size_t num_threads();

}  // namespace vakra
