// Invalid encoder inputs: each must be refused with its documented error
// while it is planned, so no writer ever sees it.
#pragma once

#include "fuzz_input.hpp"

namespace vakra::fuzz {

void check_refusals(FuzzInput& in);

}  // namespace vakra::fuzz
