// libFuzzer entry point for check_shm_mutex_area (shm_mutex_check.hpp).
#include "shm_mutex_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vakra::ext::fuzz::check_shm_mutex_area(data, size);
  return 0;
}
