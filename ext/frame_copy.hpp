// The memory loads_frames copies parts of a packet into (fields and bodies cut
// by a frame boundary, the index arrays it checks), which decoded arrays may
// go on viewing: a FrameCopy object exporting it writable.
//
// Checked index arrays of MiBs are copied on every transfer, and in fresh
// 4 KiB pages their first touches cost more than the copy and the checks
// together. So large copies get a mapping of their own in huge pages, and
// when the last view of one goes it is kept (one at a time, up to
// kSpareCopyLimit) for the next call, whose copies then land in memory
// already faulted in.
#pragma once

#include <cstddef>

#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

inline constexpr size_t kSpareCopyLimit = size_t{16} << 20;

// The FrameCopy type, made once for process_objects(); nullptr with an exception set.
PyRef make_frame_copy_type();

// A FrameCopy of exactly `size` bytes of unspecified content: the spare
// memory when it is large enough (and not four times larger), else new.
// nullptr with an exception set.
PyRef new_frame_copy(size_t size);

// Its memory, valid while the object lives.
MutableBytes frame_copy_bytes(PyObject* copy);

}  // namespace vakra::ext
