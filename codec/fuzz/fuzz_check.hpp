// Assertions for harness code. The library never aborts; a harness does, so
// libFuzzer and the replay driver both report a failed property as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "vakra/error.hpp"
#include "vakra/result.hpp"

#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace vakra::fuzz {

// True when `result` failed with exactly `kind` (payload not compared).
template <class R>
bool failed_with(const R& result, ErrorKind kind) {
  return !result.ok() && result.error().kind == kind;
}

}  // namespace vakra::fuzz
