// What vakra._native hands the thin vakra_rs image through a capsule (the
// C-API pattern of one extension serving another): the codec, the entry
// routines, their texts and PanicException exist once per process, in
// _native, and vakra_rs only asks _native to build its module.
#pragma once

#include <cstdint>

#include "python_api.hpp"

namespace vakra::ext {

// The capsule is _native's attribute `_vakra_rs_api`; this is its name.
inline constexpr const char* kVakraRsApiCapsule = "vakra._native._vakra_rs_api";

// Bumped whenever VakraRsApi changes, so a vakra_rs image from another build refuses to load.
inline constexpr uint32_t kVakraRsApiVersion = 1;

struct VakraRsApi {
  uint32_t version;
  // PyInit_vakra_rs's work: the one-interpreter check, then the module with
  // its thirteen functions and __all__, created once per process.
  PyObject* (*create_module)();
};

// _native's table, published as the capsule (vakra_rs_module.cpp).
extern const VakraRsApi kVakraRsApi;

}  // namespace vakra::ext
