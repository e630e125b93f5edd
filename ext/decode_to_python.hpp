// decoded_to_py: a Decoded tree to Python objects, for loads_rs and _native.loads.
#pragma once

#include <cstdint>

#include "buffer_view.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/decode.hpp"

namespace vakra::ext {

// The caller's object and the start of the bytes exported from it; every view
// in the tree points into those bytes, so a body's offset in `object` is its
// address minus `base`.
struct DecodeSource {
  PyObject* object;
  const uint8_t* base;
  bool immutable;  // an exact bytes object: NumPy's views of it are read-only already
};

// Converts `decoded` into `out`. Returns false with a Python exception set.
// On success `out` is empty when the value holds a kind that is not converted
// (ragged, Inline, or a bundle or sparse packet containing one).
bool decoded_to_py(const DecodeSource& source, const Decoded& decoded, PyRef& out);

// Decodes `packet`, a range of the bytes `buffer` holds from `data`, into a
// new reference (None for kinds that are not converted); nullptr with an
// exception set. The export stays held by the caller until this returns.
PyObject* decode_to_object(PyObject* data, const BufferView& buffer, ByteView packet);

}  // namespace vakra::ext
