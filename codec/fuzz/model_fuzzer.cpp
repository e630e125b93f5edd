// libFuzzer entry point for check_model (fuzz_support.hpp).
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vakra::fuzz::check_model({data, size});
  return 0;
}
