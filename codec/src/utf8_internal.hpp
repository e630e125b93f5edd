// UTF-8 validation of bundle keys, shared by the decoder and the walker.
#pragma once

#include "vakra/bytes.hpp"

namespace vakra {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(ByteView text);

}  // namespace vakra
