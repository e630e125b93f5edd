// What the encoders learn about a NumPy array: its Dtype, shape and where its
// element bytes lie, read by attribute access and confirmed through the
// buffer protocol before any byte is read.
#pragma once

#include <cstdint>
#include <vector>

#include "buffer_view.hpp"
#include "python_api.hpp"
#include "vakra/dtype.hpp"

namespace vakra::ext {

struct NumpyArrayInfo {
  std::vector<uint32_t> shape;
  uint64_t data_address = 0;
  uint64_t nbytes = 0;
  Dtype dtype = Dtype::Float32;
  bool native_order = true;  // false for a byte-swapped dtype: the bytes are not what the wire wants
};

// Fills `info` from `object`, and holds the array's memory in `memory` so it
// cannot be freed or resized while the caller reads it. Refuses (BufferError)
// an object whose attributes describe memory its buffer does not back.
// Returns false with a Python exception set.
bool extract_numpy(PyObject* object, NumpyArrayInfo& info, BufferView& memory);

// The same for an exact numpy.ndarray, except that an array that is not
// C-contiguous is no error: `contiguous` is set false and nothing else is read.
bool extract_ndarray(PyObject* array, NumpyArrayInfo& info, BufferView& memory, bool& contiguous);

// Whether `object`'s type is exactly numpy.ndarray.
bool is_exact_ndarray(PyObject* object);

// Reads `flags.c_contiguous` with the bool conversion rule.
bool read_c_contiguous(PyObject* object, bool& contiguous);

// Converts a `shape` value to u32 dimensions, with the messages for a str, a
// non-sequence and a dimension above 4294967295.
bool read_dimensions(PyObject* shape, std::vector<uint32_t>& dims);

}  // namespace vakra::ext
