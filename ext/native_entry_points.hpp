// The routines of vakra._native, the package's private module: what the
// package needs beyond vakra_rs's fixed thirteen functions. Each lives in the
// file of its concern and runs its body through guarded_call().
#pragma once

#include "python_api.hpp"

namespace vakra::ext {

// Frames: a packet as a list of buffers (native_frames_entry.cpp).
PyObject* loads_frames(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vakra::ext
