// Invalid encoder inputs: each must be refused with its documented error by
// the sizing function, the writer and the plan alike, before any byte of
// the output is written.
#pragma once

#include "fuzz_input.hpp"

namespace vakra::fuzz {

void check_refusals(FuzzInput& in);

}  // namespace vakra::fuzz
