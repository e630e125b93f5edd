// libFuzzer entry point for check_walk (harnesses.hpp).
#include <cstddef>
#include <cstdint>

#include "harnesses.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vakra::fuzz::check_walk({data, size});
  return 0;
}
