// Process-wide Python objects the encoders look up on every call: interned
// attribute names and the numpy module. Created once under the GIL and kept
// for the life of the process, like the module object itself.
#pragma once

#include "python_api.hpp"

namespace vakra::ext {

struct InternedNames {
  PyObject* dtype;
  PyObject* name;
  PyObject* flags;
  PyObject* c_contiguous;
  PyObject* nbytes;
  PyObject* ctypes;
  PyObject* data;
  PyObject* shape;
  PyObject* format;
  PyObject* row;
  PyObject* col;
  PyObject* indices;
  PyObject* indptr;
  PyObject* ascontiguousarray;
  PyObject* isnative;
  PyObject* _offsets;
  PyObject* _payload;
  PyObject* to_raw;
};

// The interned names; throws std::bad_alloc (MemoryError at the boundary) if they cannot be made.
const InternedNames& names();

// numpy, imported on first use; a new-reference-free borrowed pointer, or
// nullptr with the import error set.
PyObject* numpy_module();

// numpy.ndarray and numpy.dtype, or nullptr with an exception set.
PyObject* numpy_ndarray_type();
PyObject* numpy_dtype_type();

// The package's vakra.ragged.StringTensor and vakra.quantize.QuantizedTensor,
// or nullptr with an exception set.
PyObject* string_tensor_class();
PyObject* quantized_tensor_class();

}  // namespace vakra::ext
