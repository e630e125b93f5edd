// Read-only memoryviews of one body inside the memory of the object it lies
// in (an array, a bytes object), which they keep alive: how encode_segments
// hands out bodies without copying them.
#pragma once

#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

// The type behind the views, made once for process_objects(); nullptr with an exception set.
PyRef make_body_view_type();

// A read-only memoryview of `bytes`, which must lie in `owner`'s memory.
PyObject* body_memoryview(PyObject* owner, ByteView bytes);

}  // namespace vakra::ext
