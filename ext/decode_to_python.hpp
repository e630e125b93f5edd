// decoded_to_py: a Decoded tree to Python objects, for loads_rs.
#pragma once

#include <cstdint>

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

}  // namespace vakra::ext
